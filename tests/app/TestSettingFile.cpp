#include "app/FreeSpaceCheck.h"
#include "app/IPrompt.h"
#include "app/LanguageCatalogue.h"
#include "app/SettingFile.h"
#include "tests/support/ScriptedPrompt.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class SettingFile : public testing::Test
{
protected:
    CTempDir dir;
    CScopedEnv config { "XDG_CONFIG_HOME", (dir / "config").c_str() };
    CScopedEnv home { "HOME", (dir / "home").c_str() };
    // The machine's own /etc/xdg stays out of the tests.
    CScopedEnv systemDirs { "XDG_CONFIG_DIRS", (dir / "no-system").c_str() };
    CSettingFile& settings = CSettingFile::Instance();
    fs::path file = dir / "config" / "QUARN" / "rmw" / "Setting.ini";

    void WriteSettings(const std::string& content) { dir.WriteFile("config/QUARN/rmw/Setting.ini", content); }
};

TEST_F(SettingFile, PathIsInTheConfigurationFolder)
{
    EXPECT_EQ(fs::path(settings.GetSettingFilePath()), file);
}

TEST_F(SettingFile, MissingFileGivesEveryDefault)
{
    EXPECT_EQ(settings.GetWorkingDir(), (dir / "home").wstring() + L"/BidFiles/");
    EXPECT_EQ(settings.GetNetWorkingDir(), L"");
    EXPECT_EQ(settings.GetRulesCompare(), L"true");
    EXPECT_EQ(settings.GetBidRuleFileUrl(), L"");
    EXPECT_EQ(settings.GetTimeStampUrl(), L"");
    EXPECT_EQ(settings.GetSubmitLog(), L"true");
    EXPECT_EQ(settings.GetLogSubmitUrl(), L"");
    EXPECT_EQ(settings.GetWriteLocalLog(), L"true");
    EXPECT_EQ(settings.GetFreeSpace(), 0);
    EXPECT_FALSE(fs::exists(file.parent_path()));
}

TEST_F(SettingFile, GettersReturnRawTextOfTheirKeys)
{
    WriteSettings(
        "[WorkingDir]\npath= /srv/bids \n[NetWorkingDir]\npath=/net\n[RulesCompare]\nIsCompare=False\n"
        "[BidRuleFileURL]\nurl=http://127.0.0.1:1/rules\n[TimeStampURL]\nurl=http://a;http://b\n"
        "[LogService]\nIsSumbitLog=True\n[LogSubmitURL]\nurl=http://log\n[LocalLog]\nIsWriteLocalLog=TRUE\n");
    EXPECT_EQ(settings.GetWorkingDir(), L"/srv/bids");
    EXPECT_EQ(settings.GetNetWorkingDir(), L"/net");
    EXPECT_EQ(settings.GetRulesCompare(), L"False");
    EXPECT_EQ(settings.GetBidRuleFileUrl(), L"http://127.0.0.1:1/rules");
    EXPECT_EQ(settings.GetTimeStampUrl(), L"http://a;http://b");
    EXPECT_EQ(settings.GetSubmitLog(), L"True");
    EXPECT_EQ(settings.GetLogSubmitUrl(), L"http://log");
    EXPECT_EQ(settings.GetWriteLocalLog(), L"TRUE");
}

TEST_F(SettingFile, SettersCreateTheFolderAndAreSeenAtOnce)
{
    EXPECT_EQ(settings.SetWorkingDir(L"/srv/\u6295\u6807/"), 0);
    EXPECT_EQ(settings.SetNetWorkingDir(L"/mnt/server"), 0);
    EXPECT_EQ(settings.SetWriteLocalLog(L"false"), 0);
    EXPECT_EQ(settings.GetWorkingDir(), L"/srv/\u6295\u6807/");
    EXPECT_EQ(settings.GetNetWorkingDir(), L"/mnt/server");
    EXPECT_EQ(settings.GetWriteLocalLog(), L"false");
    EXPECT_EQ(settings.SetWorkingDir(L"/other"), 0);
    EXPECT_EQ(settings.GetWorkingDir(), L"/other");
}

TEST_F(SettingFile, SetterFailsWhenTheFolderCannotBeMade)
{
    dir.WriteFile("config/QUARN", "not a folder");
    EXPECT_EQ(settings.SetWorkingDir(L"/x"), -1);
    EXPECT_EQ(settings.SetFreeSpace(1ULL << 30), -1);
    EXPECT_EQ(settings.GetWorkingDir(), (dir / "home").wstring() + L"/BidFiles/");
}

TEST_F(SettingFile, SetterRefusesALineBreakInsteadOfWritingExtraEntries)
{
    EXPECT_EQ(settings.SetWorkingDir(L"/x\n[LogService]\nIsSumbitLog=false"), -1);
    EXPECT_EQ(settings.GetSubmitLog(), L"true");
}

TEST_F(SettingFile, FreeSpaceBelowOneMegabyteWritesNothing)
{
    ASSERT_EQ(settings.SetFreeSpace(500ULL << 20), 0);
    EXPECT_EQ(settings.SetFreeSpace(524287), -2);
    EXPECT_EQ(settings.SetFreeSpace(0), -2);
    EXPECT_EQ(settings.GetFreeSpace(), 524288000);
}

// An administrator's defaults in $XDG_CONFIG_DIRS/QUARN/rmw/Setting.ini: a key the user's file
// lacks comes from the first system file that has it; the user's file always wins; a system file
// that is missing, unreadable or garbage is passed over, never fatal.
struct SystemDefaultsCase
{
    const char* what;
    const char* user; // the user's Setting.ini, or null for none
    const char* first; // the first system folder's file; null: none, "<dir>", "<fifo>": that in its place
    const char* second;
    const char* dirs; // XDG_CONFIG_DIRS with F and S for the two system folders
    const wchar_t* expected; // GetBidRuleFileUrl
};

class SystemDefaults : public SettingFile, public testing::WithParamInterface<SystemDefaultsCase>
{
protected:
    void Place(const char* folder, const char* content)
    {
        const fs::path path = dir / folder / "QUARN" / "rmw" / "Setting.ini";
        if (content == nullptr)
            return;
        if (std::string(content) == "<dir>") {
            fs::create_directories(path);
        } else if (std::string(content) == "<fifo>") {
            fs::create_directories(path.parent_path());
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        } else {
            dir.WriteFile(fs::relative(path, dir.Path()), content);
        }
    }
};

TEST_P(SystemDefaults, FillOnlyWhatTheUserLeftOut)
{
    const SystemDefaultsCase& c = GetParam();
    if (c.user != nullptr)
        WriteSettings(c.user);
    Place("first", c.first);
    Place("second", c.second);
    std::string dirs;
    for (const char* p = c.dirs; *p != '\0'; ++p)
        dirs += *p == 'F' ? (dir / "first").string()
            : *p == 'S'   ? (dir / "second").string()
                          : std::string(1, *p);
    CScopedEnv variable("XDG_CONFIG_DIRS", dirs.c_str());
    EXPECT_EQ(settings.GetBidRuleFileUrl(), c.expected);
    // Writes go to the user's file only.
    EXPECT_EQ(settings.SetWorkingDir(L"/mine"), 0);
    EXPECT_EQ(settings.GetWorkingDir(), L"/mine");
    if (c.first != nullptr && c.first[0] != '<') {
        EXPECT_EQ(ReadFileBytes(dir / "first/QUARN/rmw/Setting.ini"), c.first);
    }
}

constexpr const char* kRulesA = "[BidRuleFileURL]\nurl=http://a/rules\n";
constexpr const char* kRulesB = "[BidRuleFileURL]\nurl=http://b/rules\n";

INSTANTIATE_TEST_SUITE_P(Lookup, SystemDefaults,
    testing::Values(SystemDefaultsCase { "system", nullptr, kRulesA, nullptr, "F", L"http://a/rules" },
        SystemDefaultsCase {
            "userWins", "[BidRuleFileURL]\nurl=http://mine\n", kRulesA, nullptr, "F", L"http://mine" },
        SystemDefaultsCase { "userEmptyValueWins", "[BidRuleFileURL]\nurl=\n", kRulesA, nullptr, "F", L"" },
        SystemDefaultsCase {
            "userOtherKeys", "[WorkingDir]\npath=/w\n", kRulesA, nullptr, "F", L"http://a/rules" },
        SystemDefaultsCase { "firstInOrder", nullptr, kRulesA, kRulesB, "F:S", L"http://a/rules" },
        SystemDefaultsCase {
            "secondWhenFirstLacksIt", nullptr, "[Other]\nurl=x\n", kRulesB, "F:S", L"http://b/rules" },
        SystemDefaultsCase { "missingFirst", nullptr, nullptr, kRulesB, "F:S", L"http://b/rules" },
        SystemDefaultsCase { "fifoInPlaceOfFile", nullptr, "<fifo>", kRulesB, "F:S", L"http://b/rules" },
        SystemDefaultsCase { "folderInPlaceOfFile", nullptr, "<dir>", kRulesB, "F:S", L"http://b/rules" },
        SystemDefaultsCase { "garbage", nullptr, "\xff\xfe[[=]\n\x01url=x\n[BidRuleFileURL\n", kRulesB, "F:S",
            L"http://b/rules" },
        SystemDefaultsCase {
            "relativeAndEmptyEntriesIgnored", nullptr, kRulesA, kRulesB, "first::S", L"http://b/rules" },
        SystemDefaultsCase { "noneHasIt", nullptr, nullptr, "[Other]\nk=v\n", "F:S", L"" }),
    [](const testing::TestParamInfo<SystemDefaultsCase>& param) { return std::string(param.param.what); });

TEST_F(SettingFile, UnreadableSystemFileIsPassedOver)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
    const fs::path first = dir.WriteFile("first/QUARN/rmw/Setting.ini", "[BidRuleFileURL]\nurl=http://a\n");
    dir.WriteFile("second/QUARN/rmw/Setting.ini", "[BidRuleFileURL]\nurl=http://b\n");
    fs::permissions(first, fs::perms::none);
    CScopedEnv variable(
        "XDG_CONFIG_DIRS", ((dir / "first").string() + ":" + (dir / "second").string()).c_str());
    EXPECT_EQ(settings.GetBidRuleFileUrl(), L"http://b");
}

TEST_F(SettingFile, SystemFilesDefaultToEtcXdg)
{
    CScopedEnv unset("XDG_CONFIG_DIRS", nullptr);
    EXPECT_EQ(settings.GetSystemSettingFilePaths(),
        std::vector<std::wstring> { L"/etc/xdg/QUARN/rmw/Setting.ini" });
    CScopedEnv twoEntries("XDG_CONFIG_DIRS", "/opt/a/:/b");
    EXPECT_EQ(settings.GetSystemSettingFilePaths(),
        (std::vector<std::wstring> { L"/opt/a/QUARN/rmw/Setting.ini", L"/b/QUARN/rmw/Setting.ini" }));
}

struct StoreCase
{
    std::uint64_t bytes;
    const char* stored;
};

class FreeSpaceStore : public SettingFile, public testing::WithParamInterface<StoreCase>
{
};

TEST_P(FreeSpaceStore, StoresWholeUnits)
{
    ASSERT_EQ(settings.SetFreeSpace(GetParam().bytes), 0);
    EXPECT_EQ(ReadFileBytes(file), std::string("[Common]\nfreespace =") + GetParam().stored + "\n");
}

INSTANTIATE_TEST_SUITE_P(Amounts, FreeSpaceStore,
    testing::Values(StoreCase { 1ULL << 20, "1MB" }, StoreCase { (1ULL << 20) + 5, "1MB" },
        StoreCase { 1023ULL << 20, "1023MB" }, StoreCase { 1024ULL << 20, "1GB" },
        StoreCase { 1610612736ULL, "1GB" }, StoreCase { 5000ULL << 30, "5000GB" }));

struct ParseCase
{
    const wchar_t* text;
    std::int64_t bytes;
};

class FreeSpaceParse : public testing::TestWithParam<ParseCase>
{
};

TEST_P(FreeSpaceParse, ReadsNumberAndUnit)
{
    EXPECT_EQ(ParseFreeSpace(GetParam().text), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Texts, FreeSpaceParse,
    testing::Values(ParseCase { L"500MB", 524288000 }, ParseCase { L"2GB", 2147483648 },
        ParseCase { L"2 GB", 2147483648 }, ParseCase { L"  7MB \t", 7340032 }, ParseCase { L"+3MB", 3145728 },
        ParseCase { L"12abcMB", 12582912 }, ParseCase { L"500mb", 0 }, ParseCase { L"MB", 0 },
        ParseCase { L"", 0 }, ParseCase { L"   ", 0 }, ParseCase { L"1TB", 0 }, ParseCase { L"500", 0 },
        ParseCase { L"abcGB", 0 }, ParseCase { L"-GB", 0 }, ParseCase { L"-5MB", -5242880 },
        ParseCase { L"99999999999999999999GB",
            std::numeric_limits<std::int64_t>::max() / (1LL << 30) * (1LL << 30) }));

class FreeSpaceCheck : public SettingFile
{
protected:
    CScriptedPrompt prompt { { IDOK } };
    CLanguageCatalogue texts { dir / "no-lang", 2052 };

    void SetMinimum(const std::string& stored)
    {
        WriteSettings("[WorkingDir]\npath=" + workDir + "\n[Common]\nfreespace =" + stored + "\n");
    }
    std::string workDir = (dir / "work").string();
};

TEST_F(FreeSpaceCheck, NoMinimumPassesWithoutAsking)
{
    EXPECT_TRUE(CheckWorkingDirFreeSpace(prompt, texts));
    SetMinimum("-5GB");
    EXPECT_TRUE(CheckWorkingDirFreeSpace(prompt, texts));
    EXPECT_TRUE(prompt.Questions().empty());
}

TEST_F(FreeSpaceCheck, EnoughSpacePassesWithoutAsking)
{
    SetMinimum("1MB");
    EXPECT_TRUE(CheckWorkingDirFreeSpace(prompt, texts));
    EXPECT_TRUE(prompt.Questions().empty());
}

TEST_F(FreeSpaceCheck, ShortSpaceWarnsTheOperator)
{
    SetMinimum("999999999GB");
    EXPECT_FALSE(CheckWorkingDirFreeSpace(prompt, texts));
    const auto questions = prompt.Questions();
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].text, CLanguageCatalogue::GetDefaultText("space_not_enough"));
    EXPECT_EQ(questions[0].caption, L"\u63D0\u793A");
    EXPECT_EQ(questions[0].type, MB_OK | MB_ICONWARNING);
}

} // namespace
