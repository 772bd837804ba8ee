// The rules-document parser on arbitrary text, once on an empty record and once over a record
// from an earlier parse; traps when the promised state after a parse does not hold.
#include "Quelvar.h"
#include "core/RulesParser.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

void Check(const bool condition)
{
    if (!condition) {
        __builtin_trap();
    }
}

void CheckOutcome(const int code, const CRulesContent& content, const CBidRules* before)
{
    if (code == QUELVAR_OK) {
        Check(content.bidRules != nullptr);
        Check(content.bidRules->certs.size() == static_cast<size_t>(content.bidRules->total));
    } else if (code == QUELVAR_NO_RULE_ELEMENT) {
        Check(content.bidRules.get() == before);
    } else {
        Check(content.bidRules == nullptr);
    }
}

const char kEarlier[]
    = "<bidenv><source><projectname>p</projectname><opentime>t</opentime><organization>o</organization>"
      "<encalog>e</encalog><hashalog>h</hashalog><rules><rule><m>1</m><n>1</n><openers><opener>"
      "<cert>c</cert><participate>YES</participate></opener></openers></rule></rules></source></bidenv>";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, const size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    CRulesContent fresh;
    CheckOutcome(rules::ParseRules(text.c_str(), fresh), fresh, nullptr);

    CRulesContent loaded;
    Check(rules::ParseRules(kEarlier, loaded) == QUELVAR_OK);
    const CBidRules* before = loaded.bidRules.get();
    CheckOutcome(rules::ParseRules(text.c_str(), loaded), loaded, before);
    return 0;
}
