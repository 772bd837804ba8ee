#include "CTender.h"
#include "RulesTestSupport.h"

#include <gtest/gtest.h>
#include <string>

using namespace rulestest;

namespace {

const std::string kValid = R"({"project": "KV-1", "packages": ["01", "02"], "projectName": "Road works",
  "organisation": "City office", "openingTime": "2026-12-08T09:30:00+08:00",
  "releaseTime": "2026-12-08T09:00:00+08:00", "m": 3, "n": 2})";

TEST(Tender, ReadsEveryMember)
{
    CTenderFolder folder("KV-1");
    folder.WriteTenderJson(kValid);
    std::string error;
    const std::optional<CTender> tender = LoadTender(folder.Path(), error);
    ASSERT_TRUE(tender) << error;
    EXPECT_EQ(tender->project, "KV-1");
    EXPECT_EQ(tender->packages, (std::vector<std::string> { "01", "02" }));
    EXPECT_EQ(tender->projectName, "Road works");
    EXPECT_EQ(tender->organisation, "City office");
    EXPECT_EQ(tender->openingTime, 1796693400); // 2026-12-08 01:30:00 UTC
    EXPECT_EQ(tender->releaseTime, 1796693400 - 1800);
    EXPECT_EQ(tender->m, 3);
    EXPECT_EQ(tender->n, 2);
    EXPECT_EQ(tender->RulesFile(), folder.Path() / "rules" / "KV-1.xml");
}

struct CBadTender
{
    const char* name;
    std::string json;
    const char* reason; // part of the error text
};

class TenderRefuses : public testing::TestWithParam<CBadTender>
{
};

TEST_P(TenderRefuses, WithAReasonThatNamesTheProblem)
{
    CTenderFolder folder("KV-1");
    folder.WriteTenderJson(GetParam().json);
    std::string error;
    EXPECT_FALSE(LoadTender(folder.Path(), error));
    EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
}

std::string With(const std::string& what, const std::string& with)
{
    return Edited(kValid, what, with);
}

INSTANTIATE_TEST_SUITE_P(Files, TenderRefuses,
    testing::Values(CBadTender { "NotJson", "{\"project\": ", "not valid JSON" },
        CBadTender { "InvalidUtf8", "{\"project\": \"\xff\xfe\"}", "not valid JSON" },
        CBadTender { "Array", "[1, 2]", "one JSON object" },
        CBadTender { "MissingProject", With(R"("project": "KV-1",)", ""), "\"project\" is missing" },
        CBadTender { "ProjectLeavesTheFolder", With(R"("KV-1")", R"("../KV-1")"), "\"project\"" },
        CBadTender { "ProjectWithSlash", With(R"("KV-1")", R"("a/b")"), "\"project\"" },
        CBadTender { "HiddenProject", With(R"("KV-1")", R"(".KV")"), "\"project\"" },
        CBadTender { "ProjectNumber", With(R"("KV-1")", "17"), "\"project\" must be a text" },
        CBadTender { "LongProject", With(R"("KV-1")", "\"" + std::string(65, 'A') + "\""), "\"project\"" },
        CBadTender { "PackagesNotArray", With(R"(["01", "02"])", R"("01")"), "\"packages\"" },
        CBadTender { "PackageLeavesTheFolder", With(R"(["01", "02"])", R"(["01", ".."])"), "\"packages\"" },
        CBadTender { "ProjectNameNumber", With(R"("Road works")", "5"), "\"projectName\"" },
        CBadTender {
            "MissingOrganisation", With(R"("organisation": "City office",)", ""), "\"organisation\"" },
        CBadTender { "TimeWithoutOffset", With("2026-12-08T09:30:00+08:00", "2026-12-08T09:30:00"),
            "\"openingTime\"" },
        CBadTender {
            "NoSuchDay", With("2026-12-08T09:00:00+08:00", "2026-02-30T09:00:00+08:00"), "\"releaseTime\"" },
        CBadTender {
            "Hour24", With("2026-12-08T09:00:00+08:00", "2026-12-08T24:00:00+08:00"), "\"releaseTime\"" },
        CBadTender { "ZeroOpeners", With(R"("m": 3)", R"("m": 0)"), "\"m\"" },
        CBadTender { "TooManyOpeners", With(R"("m": 3)", R"("m": 256)"), "\"m\"" },
        CBadTender { "FractionalM", With(R"("m": 3)", R"("m": 2.5)"), "\"m\"" },
        CBadTender { "MAsText", With(R"("m": 3)", R"("m": "3")"), "\"m\"" },
        CBadTender { "HugeN", With(R"("n": 2)", R"("n": 99999999999999999999)"), "\"n\"" },
        CBadTender { "NAboveM", With(R"("n": 2)", R"("n": 4)"), "\"n\" must not be above m" }),
    [](const testing::TestParamInfo<CBadTender>& testCase) { return std::string(testCase.param.name); });

TEST(Tender, RefusesAMissingOrOversizedFileAndAMissingRulesDocument)
{
    CTempDir empty;
    std::string error;
    EXPECT_FALSE(LoadTender(empty.Path(), error));
    EXPECT_NE(error.find("tender.json"), std::string::npos) << error;

    CTenderFolder folder("KV-1");
    folder.WriteTenderJson(kValid + std::string(1 << 20, ' '));
    EXPECT_FALSE(LoadTender(folder.Path(), error));
    EXPECT_NE(error.find("larger than 1 MiB"), std::string::npos) << error;

    folder.WriteTenderJson(kValid);
    std::filesystem::remove(folder.RulesFile());
    EXPECT_FALSE(LoadTender(folder.Path(), error));
    EXPECT_NE(error.find("rules document is missing"), std::string::npos) << error;
}

struct CTimeCase
{
    const char* text;
    std::int64_t seconds;
};

class TenderTime : public testing::TestWithParam<CTimeCase>
{
};

TEST_P(TenderTime, ReadsRfc3339WithItsOffset)
{
    const std::optional<std::int64_t> seconds = ParseRfc3339(GetParam().text);
    ASSERT_TRUE(seconds) << GetParam().text;
    EXPECT_EQ(*seconds, GetParam().seconds);
}

INSTANTIATE_TEST_SUITE_P(Texts, TenderTime,
    testing::Values(CTimeCase { "1970-01-01T00:00:00Z", 0 }, CTimeCase { "1970-01-01T08:00:00+08:00", 0 },
        CTimeCase { "1969-12-31T19:30:00-04:30", 0 }, CTimeCase { "2024-02-29 12:00:00Z", 1709208000 }));

} // namespace
