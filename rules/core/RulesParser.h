// The rules document: an XML document with root element bidenv, read with TinyXML.
//
//   bidenv
//     source
//       projectname, opentime, organization, encalog, hashalog   texts, passed through
//       rules
//         rule              only the first one counts
//           m, n            decimal integers: openers in all, openers who must take part
//           openers
//             opener        once per opener: cert (the certificate text), participate ("YES")
#pragma once

#include "CBidRules.h"

#include <memory>
#include <string>

// What a parse writes: the rules record and the five texts of source. The texts are the bytes
// of the element texts after TinyXML's white-space condensing.
struct CRulesContent
{
    std::unique_ptr<CBidRules> bidRules;
    std::string openTime;
    std::string openOrg;
    std::string projectName;
    std::string encAlgo;
    std::string hashAlgo;
};

namespace rules {

// Parses ruleText, a zero-terminated text, into content and returns 0 or a Quelvar result code
// (4 to 12, 22, 23, 25, 27, 28). The checks run in a fixed order, and callers rely on what each
// failure leaves behind:
//   - without a bidenv/source/rules/rule element (4) content is left exactly as it was, with the
//     rules record of an earlier parse;
//   - past that point the earlier record is gone, and any later failure leaves none;
//   - each text of source is stored as soon as its element is found and keeps its new value
//     whatever fails after it.
// Throws std::bad_alloc only, leaving content without a rules record when it got that far.
int ParseRules(const char* ruleText, CRulesContent& content);

} // namespace rules
