#include "RulesParser.h"

#include "Quelvar.h"

#include <climits>
#include <cstring>
#include <tinyxml.h>

namespace rules {

namespace {

constexpr std::size_t kUtf8Slack = 8;

// The text of an element, with a present but empty element read as an empty text.
const char* TextOf(const TiXmlElement& element)
{
    const char* text = element.GetText();
    return text != nullptr ? text : "";
}

// Leading blanks, an optional sign, then decimal digits up to the first other character; 0
// without digits. Values beyond the range of int stop at its limits instead of wrapping.
int ToInteger(const char* text)
{
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) {
        ++text;
    }
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') {
        ++text;
    }
    long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (value <= INT_MAX) {
            value = value * 10 + (*text - '0');
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

struct CSourceText
{
    const char* name;
    std::string CRulesContent::*field;
    int missingCode;
};

// The order in which the texts of source are looked for, which decides the code of a document
// that lacks several of them.
constexpr CSourceText kSourceTexts[] = {
    { "projectname", &CRulesContent::projectName, QUELVAR_NO_PROJECTNAME_ELEMENT },
    { "opentime", &CRulesContent::openTime, QUELVAR_NO_OPENTIME_ELEMENT },
    { "organization", &CRulesContent::openOrg, QUELVAR_NO_ORGANIZATION_ELEMENT },
    { "encalog", &CRulesContent::encAlgo, QUELVAR_NO_ENCALOG_ELEMENT },
    { "hashalog", &CRulesContent::hashAlgo, QUELVAR_NO_HASHALOG_ELEMENT },
};

// Reads m or n. Like every lookup by name below rule's parent, this takes the first child node of
// that value whatever its kind, so a comment reading "m" hides a later m element.
int ReadNumber(
    const TiXmlElement& rule, const char* name, const int missingCode, const int noTextCode, int& number)
{
    const TiXmlNode* node = rule.FirstChild(name);
    const TiXmlElement* element = node != nullptr ? node->ToElement() : nullptr;
    if (element == nullptr) {
        return missingCode;
    }
    const char* text = element->GetText();
    if (text == nullptr) {
        return noTextCode;
    }
    number = ToInteger(text);
    return QUELVAR_OK;
}

int ReadOpener(const TiXmlElement& opener, CBidRules& bidRules)
{
    const TiXmlElement* cert = opener.FirstChildElement("cert");
    if (cert == nullptr) {
        return QUELVAR_NO_CERT_ELEMENT;
    }
    const char* certText = cert->GetText();
    if (certText == nullptr) {
        return QUELVAR_NO_CERT_DATA;
    }
    COpenerCert entry;
    const std::size_t certLength = std::strlen(certText);
    entry.SetData(certText, certLength > INT_MAX ? INT_MAX : static_cast<int>(certLength));
    const TiXmlElement* participate = opener.FirstChildElement("participate");
    if (participate == nullptr) {
        return QUELVAR_NO_PARTICIPATE_ELEMENT;
    }
    entry.participate = std::strcmp(TextOf(*participate), "YES") == 0 ? 1 : 0;
    bidRules.certs.push_back(std::move(entry));
    return QUELVAR_OK;
}

// Everything after the rule element was found: the texts, the numbers and the openers.
int ReadRules(TiXmlHandle source, const TiXmlElement& rule, CRulesContent& content)
{
    for (const CSourceText& sourceText : kSourceTexts) {
        const TiXmlElement* element = source.FirstChild(sourceText.name).ToElement();
        if (element == nullptr) {
            return sourceText.missingCode;
        }
        content.*sourceText.field = TextOf(*element);
    }
    CBidRules& bidRules = *content.bidRules;
    int code = ReadNumber(rule, "m", QUELVAR_NO_M_ELEMENT, QUELVAR_M_WITHOUT_TEXT, bidRules.total);
    if (code != QUELVAR_OK) {
        return code;
    }
    code = ReadNumber(rule, "n", QUELVAR_NO_N_ELEMENT, QUELVAR_N_WITHOUT_TEXT, bidRules.minimum);
    if (code != QUELVAR_OK) {
        return code;
    }
    // A rule without openers counts as one with no opener elements: it passes only with an m
    // of 0.
    const TiXmlNode* openers = rule.FirstChild("openers");
    const TiXmlElement* opener = openers != nullptr ? openers->FirstChildElement("opener") : nullptr;
    long long count = 0;
    for (; opener != nullptr; opener = opener->NextSiblingElement("opener")) {
        ++count;
        code = ReadOpener(*opener, bidRules);
        if (code != QUELVAR_OK) {
            return code;
        }
    }
    return count == bidRules.total ? QUELVAR_OK : QUELVAR_OPENER_COUNT_DIFFERS;
}

} // namespace

int ParseRules(const char* ruleText, CRulesContent& content)
{
    // TinyXML steps over a whole UTF-8 sequence at a time, even over the terminator when a lead
    // byte ends the text, and then reads on. Zero bytes enough for the longest sequence keep it
    // inside the copy it parses.
    std::string text(ruleText);
    text.append(kUtf8Slack, '\0');
    TiXmlDocument document;
    // The parser's own error is not consulted: a text that does not parse has no rule element.
    document.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    const TiXmlHandle source = TiXmlHandle(&document).FirstChild("bidenv").FirstChild("source");
    const TiXmlElement* rule = source.FirstChild("rules").FirstChild("rule").ToElement();
    if (rule == nullptr) {
        return QUELVAR_NO_RULE_ELEMENT;
    }
    content.bidRules = std::make_unique<CBidRules>();
    int code = QUELVAR_OK;
    try {
        code = ReadRules(source, *rule, content);
    } catch (...) {
        content.bidRules.reset();
        throw;
    }
    if (code != QUELVAR_OK) {
        content.bidRules.reset();
    }
    return code;
}

} // namespace rules
