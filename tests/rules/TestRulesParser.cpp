#include "Quelvar.h"
#include "core/RulesParser.h"

#include <gtest/gtest.h>
#include <string>

namespace {

const std::string kDocument = R"(<?xml version="1.0" encoding="UTF-8"?>
<bidenv>
  <source>
    <projectname>Road works</projectname>
    <opentime>2026-12-08 09:30:00</opentime>
    <organization>City office</organization>
    <encalog>SM4</encalog>
    <hashalog>SM3</hashalog>
    <rules>
      <rule>
        <m>2</m>
        <n>1</n>
        <openers>
          <opener><cert>CERT-A</cert><participate>YES</participate></opener>
          <opener><cert>CERT-B</cert><participate>NO</participate></opener>
        </openers>
      </rule>
    </rules>
  </source>
</bidenv>
)";

const std::string kTwoOpeners = "<opener><cert>CERT-A</cert><participate>YES</participate></opener>\n"
                                "          <opener><cert>CERT-B</cert><participate>NO</participate></opener>";

// kDocument with the first occurrence of what replaced by with.
std::string Edited(const std::string& what, const std::string& with)
{
    std::string document = kDocument;
    const size_t at = document.find(what);
    EXPECT_NE(at, std::string::npos) << what;
    if (at != std::string::npos) {
        document.replace(at, what.size(), with);
    }
    return document;
}

int Parse(const std::string& document, CRulesContent& content)
{
    return rules::ParseRules(document.c_str(), content);
}

struct CDocumentCase
{
    const char* name;
    std::string document;
    int code;
};

class RulesDocumentCheck : public testing::TestWithParam<CDocumentCase>
{
};

// Every failure leaves the handle without a rules record, except the missing rule element, which
// keeps the earlier one.
TEST_P(RulesDocumentCheck, GivesItsCodeAndLeavesTheRecordAsPromised)
{
    CRulesContent content;
    ASSERT_EQ(Parse(kDocument, content), QUELVAR_OK);
    const CBidRules* earlier = content.bidRules.get();
    const int code = Parse(GetParam().document, content);
    EXPECT_EQ(code, GetParam().code);
    if (code == QUELVAR_OK) {
        EXPECT_NE(content.bidRules, nullptr);
    } else if (code == QUELVAR_NO_RULE_ELEMENT) {
        EXPECT_EQ(content.bidRules.get(), earlier);
    } else {
        EXPECT_EQ(content.bidRules, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, RulesDocumentCheck,
    testing::Values(CDocumentCase { "NotXml", "this is not XML", QUELVAR_NO_RULE_ELEMENT },
        CDocumentCase { "EmptyText", "", QUELVAR_NO_RULE_ELEMENT },
        CDocumentCase { "OtherRoot", Edited("<bidenv>", "<bidenvx>"), QUELVAR_NO_RULE_ELEMENT },
        CDocumentCase { "NoRuleElement", Edited("<rule>", "<rulex>"), QUELVAR_NO_RULE_ELEMENT },
        CDocumentCase {
            "CommentNamedRuleComesFirst", Edited("<rule>", "<!--rule--><rule>"), QUELVAR_NO_RULE_ELEMENT },
        CDocumentCase {
            "TextNamedSourceComesFirst", Edited("<bidenv>", "<bidenv>source"), QUELVAR_NO_RULE_ELEMENT },
        CDocumentCase { "NoProjectName", Edited("<projectname>Road works</projectname>", ""),
            QUELVAR_NO_PROJECTNAME_ELEMENT },
        CDocumentCase { "NoOpenTime", Edited("<opentime>2026-12-08 09:30:00</opentime>", ""),
            QUELVAR_NO_OPENTIME_ELEMENT },
        CDocumentCase { "NoOrganization", Edited("<organization>City office</organization>", ""),
            QUELVAR_NO_ORGANIZATION_ELEMENT },
        CDocumentCase { "NoEncAlgo", Edited("<encalog>SM4</encalog>", ""), QUELVAR_NO_ENCALOG_ELEMENT },
        CDocumentCase { "NoHashAlgo", Edited("<hashalog>SM3</hashalog>", ""), QUELVAR_NO_HASHALOG_ELEMENT },
        CDocumentCase { "NoM", Edited("<m>2</m>", ""), QUELVAR_NO_M_ELEMENT },
        CDocumentCase {
            "CommentNamedMComesFirst", Edited("<m>2</m>", "<!--m--><m>2</m>"), QUELVAR_NO_M_ELEMENT },
        CDocumentCase { "EmptyM", Edited("<m>2</m>", "<m></m>"), QUELVAR_M_WITHOUT_TEXT },
        CDocumentCase { "BlankM", Edited("<m>2</m>", "<m>   </m>"), QUELVAR_M_WITHOUT_TEXT },
        CDocumentCase { "NoN", Edited("<n>1</n>", ""), QUELVAR_NO_N_ELEMENT },
        CDocumentCase { "EmptyN", Edited("<n>1</n>", "<n/>"), QUELVAR_N_WITHOUT_TEXT },
        CDocumentCase { "MoreOpenersThanM", Edited("<m>2</m>", "<m>1</m>"), QUELVAR_OPENER_COUNT_DIFFERS },
        CDocumentCase { "FewerOpenersThanM", Edited("<m>2</m>", "<m>3</m>"), QUELVAR_OPENER_COUNT_DIFFERS },
        CDocumentCase { "NegativeM", Edited("<m>2</m>", "<m>-2</m>"), QUELVAR_OPENER_COUNT_DIFFERS },
        CDocumentCase { "NoCert", Edited("<cert>CERT-B</cert>", ""), QUELVAR_NO_CERT_ELEMENT },
        CDocumentCase { "EmptyCert", Edited("<cert>CERT-B</cert>", "<cert> </cert>"), QUELVAR_NO_CERT_DATA },
        CDocumentCase {
            "NoParticipate", Edited("<participate>NO</participate>", ""), QUELVAR_NO_PARTICIPATE_ELEMENT },
        CDocumentCase {
            "NoOpenersWithPositiveM", Edited("<openers>", "<openersx>"), QUELVAR_OPENER_COUNT_DIFFERS },
        CDocumentCase { "NoOpenersWithZeroM", Edited("<m>2</m>", "<m>0</m><!--openers-->"), QUELVAR_OK },
        CDocumentCase { "MWithTrailingLetters", Edited("<m>2</m>", "<m>2 openers</m>"), QUELVAR_OK },
        CDocumentCase { "MOfLettersWithoutOpeners",
            Edited(kTwoOpeners, "").replace(kDocument.find("<m>2</m>"), 8, "<m>two</m>"), QUELVAR_OK },
        CDocumentCase { "MinimumAboveTotal", Edited("<n>1</n>", "<n>7</n>"), QUELVAR_OK },
        CDocumentCase { "CertAfterParticipate",
            Edited("<cert>CERT-B</cert><participate>NO</participate>",
                "<participate>NO</participate><cert>CERT-B</cert>"),
            QUELVAR_OK },
        CDocumentCase { "EmptyTextsOfSource",
            Edited("<organization>City office</organization>", "<organization/>"), QUELVAR_OK },
        CDocumentCase { "SecondRuleIgnored", Edited("</rule>", "</rule><rule><m>9</m></rule>"), QUELVAR_OK }),
    [](const testing::TestParamInfo<CDocumentCase>& testCase) { return std::string(testCase.param.name); });

TEST(RulesDocument, ReadsTheRecordAndTheTexts)
{
    CRulesContent content;
    ASSERT_EQ(Parse(Edited("</source>", "<projectname>Second</projectname></source>"), content), QUELVAR_OK);
    ASSERT_NE(content.bidRules, nullptr);
    EXPECT_EQ(content.bidRules->total, 2);
    EXPECT_EQ(content.bidRules->minimum, 1);
    ASSERT_EQ(content.bidRules->certs.size(), 2u);
    EXPECT_EQ(std::string(content.bidRules->certs[0].data.begin(), content.bidRules->certs[0].data.end()),
        "CERT-A");
    EXPECT_EQ(content.bidRules->certs[0].participate, 1);
    EXPECT_EQ(content.bidRules->certs[1].participate, 0);
    EXPECT_EQ(content.projectName, "Road works");
    EXPECT_EQ(content.openTime, "2026-12-08 09:30:00");
    EXPECT_EQ(content.openOrg, "City office");
    EXPECT_EQ(content.encAlgo, "SM4");
    EXPECT_EQ(content.hashAlgo, "SM3");
}

TEST(RulesDocument, CondensesWhiteSpaceAndDecodesReferences)
{
    CRulesContent content;
    const std::string document = Edited("<cert>CERT-A</cert>", "<cert>\n  MIIB\n  AbCd  \n  EF==\n</cert>")
                                     .replace(kDocument.find("<organization>City office</organization>"), 40,
                                         "<organization> Smith &amp; Sons\tLtd &#x41; </organization>");
    ASSERT_EQ(Parse(document, content), QUELVAR_OK);
    const auto& cert = content.bidRules->certs[0].data;
    EXPECT_EQ(std::string(cert.begin(), cert.end()), "MIIB AbCd EF==");
    EXPECT_EQ(content.openOrg, "Smith & Sons Ltd A");
}

struct CParticipateCase
{
    const char* text;
    int participate;
};

class RulesParticipate : public testing::TestWithParam<CParticipateCase>
{
};

TEST_P(RulesParticipate, CountsOnlyAnExactYes)
{
    CRulesContent content;
    ASSERT_EQ(Parse(Edited("<participate>YES</participate>",
                        std::string("<participate>") + GetParam().text + "</participate>"),
                  content),
        QUELVAR_OK);
    EXPECT_EQ(content.bidRules->certs[0].participate, GetParam().participate);
}

INSTANTIATE_TEST_SUITE_P(Texts, RulesParticipate,
    testing::Values(CParticipateCase { "YES", 1 }, CParticipateCase { "  YES\n ", 1 },
        CParticipateCase { "yes", 0 }, CParticipateCase { "YES!", 0 }, CParticipateCase { "", 0 },
        CParticipateCase { "Y E S", 0 }));

struct CNumberCase
{
    const char* text;
    int value;
};

class RulesNumber : public testing::TestWithParam<CNumberCase>
{
};

TEST_P(RulesNumber, ReadsLeadingDigitsLikeAtoi)
{
    CRulesContent content;
    ASSERT_EQ(Parse(Edited("<n>1</n>", std::string("<n>") + GetParam().text + "</n>"), content), QUELVAR_OK);
    EXPECT_EQ(content.bidRules->minimum, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Texts, RulesNumber,
    testing::Values(CNumberCase { "3", 3 }, CNumberCase { "3abc", 3 }, CNumberCase { "abc", 0 },
        CNumberCase { "-4", -4 }, CNumberCase { "+5", 5 }, CNumberCase { "0012", 12 },
        CNumberCase { "99999999999", 2147483647 }, CNumberCase { "-99999999999", -2147483647 - 1 }));

TEST(RulesDocument, KeepsTextsStoredBeforeALaterFailure)
{
    CRulesContent content;
    ASSERT_EQ(Parse(kDocument, content), QUELVAR_OK);
    const std::string changed
        = Edited("<hashalog>SM3</hashalog>", "").replace(kDocument.find("Road works"), 10, "Bridge job");
    EXPECT_EQ(Parse(changed, content), QUELVAR_NO_HASHALOG_ELEMENT);
    EXPECT_EQ(content.projectName, "Bridge job");
    EXPECT_EQ(content.hashAlgo, "SM3");
    EXPECT_EQ(content.bidRules, nullptr);
}

TEST(RulesDocument, KeepsEverythingWhenTheRuleElementIsMissing)
{
    CRulesContent content;
    ASSERT_EQ(Parse(kDocument, content), QUELVAR_OK);
    EXPECT_EQ(
        Parse(Edited("<rules>", "<rulesx>").replace(kDocument.find("Road works"), 10, "Bridge job"), content),
        QUELVAR_NO_RULE_ELEMENT);
    EXPECT_EQ(content.projectName, "Road works");
    ASSERT_NE(content.bidRules, nullptr);
    EXPECT_EQ(content.bidRules->certs.size(), 2u);
}

TEST(RulesDocument, TakesOnlyTheTextBeforeAZeroByte)
{
    CRulesContent content;
    const std::string cut = kDocument.substr(0, kDocument.find("<rules>")) + std::string(1, '\0')
        + kDocument.substr(kDocument.find("<rules>"));
    EXPECT_EQ(Parse(cut, content), QUELVAR_NO_RULE_ELEMENT);
}

TEST(OpenerCert, SetDataIgnoresNullAndNonPositiveLengths)
{
    COpenerCert entry;
    entry.SetData("abc", 3);
    entry.SetData(nullptr, 3);
    entry.SetData("xyz", 0);
    entry.SetData("xyz", -1);
    EXPECT_EQ(entry.Length(), 3);
    entry.SetData("de", 2);
    EXPECT_EQ(std::string(entry.data.begin(), entry.data.end()), "de");
}

} // namespace
