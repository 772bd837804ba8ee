#include "app/IniFile.h"
#include "tests/support/TempDir.h"

#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <thread>

namespace fs = std::filesystem;

namespace {

struct FindCase
{
    const char* name;
    std::string content;
    std::optional<std::string> expected; // value of key "path" in section "WorkingDir"
};

class IniRead : public testing::TestWithParam<FindCase>
{
};

TEST_P(IniRead, FindsValueLikeTheProfileFunctions)
{
    EXPECT_EQ(FindIniValue(GetParam().content, "WorkingDir", "path"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Files, IniRead,
    testing::Values(FindCase { "Plain", "[WorkingDir]\npath=/bids/\n", "/bids/" },
        FindCase { "NamesIgnoreCase", "[workingdir]\nPATH=/bids/\n", "/bids/" },
        FindCase { "BlanksAroundEverything", "  [ WorkingDir ]  \n\t path \t=  /bids/  \n", "/bids/" },
        FindCase { "QuotesStripped", "[WorkingDir]\npath=\"/my bids/\"\n", "/my bids/" },
        FindCase { "SingleQuotesStripped", "[WorkingDir]\npath='/x'\n", "/x" },
        FindCase { "UnmatchedQuoteKept", "[WorkingDir]\npath=\"/x\n", "\"/x" },
        FindCase { "FirstDuplicateWins", "[WorkingDir]\npath=/first\npath=/second\n", "/first" },
        FindCase {
            "DuplicateSectionSearched", "[WorkingDir]\nother=1\n[WorkingDir]\npath=/second\n", "/second" },
        FindCase { "CrLf", "[WorkingDir]\r\npath=/bids/\r\n", "/bids/" },
        FindCase { "ByteOrderMark", "\xEF\xBB\xBF[WorkingDir]\npath=/bids/\n", "/bids/" },
        FindCase { "NoFinalNewline", "[WorkingDir]\npath=/bids/", "/bids/" },
        FindCase { "NulEndsValue", std::string("[WorkingDir]\npath=/bi\0ds\n", 24), "/bi" },
        FindCase { "EqualsInValue", "[WorkingDir]\npath=a=b\n", "a=b" },
        FindCase { "EmptyValue", "[WorkingDir]\npath=\n", "" },
        FindCase { "OtherSection", "[NetWorkingDir]\npath=/net\n", std::nullopt },
        FindCase { "KeyBeforeAnySection", "path=/loose\n[WorkingDir]\n", std::nullopt },
        FindCase { "CommentedOut", "[WorkingDir]\n;path=/old\n", std::nullopt },
        FindCase { "LineWithoutEquals", "[WorkingDir]\npath\n", std::nullopt },
        FindCase { "SectionWithoutBracket", "[WorkingDir\npath=/bids/\n", "/bids/" },
        FindCase { "Empty", "", std::nullopt }),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(IniRead, KeyWithTrailingBlankMatchesEitherSpelling)
{
    EXPECT_EQ(FindIniValue("[Common]\nfreespace =1GB\n", "Common", "freespace "), "1GB");
    EXPECT_EQ(FindIniValue("[Common]\nfreespace=1GB\n", "Common", "freespace "), "1GB");
}

TEST(IniRead, HostileContentNeverCrashesOrHangs)
{
    std::mt19937 random(7);
    std::string garbage(1 << 20, '\0');
    for (char& c : garbage) {
        c = static_cast<char>(random());
    }
    const std::string longLine = "[WorkingDir]\npath=" + std::string(1 << 20, 'x') + "\n";
    const std::string manyLines(1 << 20, '\n');
    const std::string manySections = [] {
        std::string s;
        for (int i = 0; i < 50000; ++i) {
            s += "[WorkingDir]\n";
        }
        return s;
    }();

    const auto start = std::chrono::steady_clock::now();
    for (const std::string* content :
        std::initializer_list<const std::string*> { &garbage, &longLine, &manyLines, &manySections }) {
        FindIniValue(*content, "WorkingDir", "path");
        const auto updated = SetIniValue(*content, "WorkingDir", "path", "/bids/");
        ASSERT_TRUE(updated);
        EXPECT_EQ(FindIniValue(*updated, "WorkingDir", "path"), "/bids/");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

struct SetCase
{
    const char* name;
    std::string before;
    std::string after; // after setting [WorkingDir] path=/new
};

class IniWrite : public testing::TestWithParam<SetCase>
{
};

TEST_P(IniWrite, ChangesOnlyTheEntry)
{
    EXPECT_EQ(SetIniValue(GetParam().before, "WorkingDir", "path", "/new"), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(Files, IniWrite,
    testing::Values(SetCase { "EmptyFile", "", "[WorkingDir]\npath=/new\n" },
        SetCase { "ReplacesValueKeepsOthers",
            "; settings\n[Common]\nfreespace =1GB\n[WorkingDir]\nPath = /old # note\nx=1\n",
            "; settings\n[Common]\nfreespace =1GB\n[WorkingDir]\npath=/new\nx=1\n" },
        SetCase { "AddsAfterLastLineOfSection", "[WorkingDir]\nx=1\n\n[Other]\ny=2\n",
            "[WorkingDir]\nx=1\npath=/new\n\n[Other]\ny=2\n" },
        SetCase { "AddsToFirstOfDuplicateSections", "[WorkingDir]\nx=1\n[WorkingDir]\ny=2\n",
            "[WorkingDir]\nx=1\npath=/new\n[WorkingDir]\ny=2\n" },
        SetCase { "ReplacesInLaterDuplicateSection", "[WorkingDir]\nx=1\n[WorkingDir]\npath=/old\n",
            "[WorkingDir]\nx=1\n[WorkingDir]\npath=/new\n" },
        SetCase {
            "AppendsSectionWithoutFinalNewline", "[Other]\ny=2", "[Other]\ny=2\n[WorkingDir]\npath=/new\n" },
        SetCase { "SectionHeaderAtEndWithoutNewline", "[WorkingDir]", "[WorkingDir]\npath=/new\n" },
        SetCase { "KeepsCrLf", "[Other]\r\ny=2\r\n", "[Other]\r\ny=2\r\n[WorkingDir]\r\npath=/new\r\n" },
        SetCase { "KeepsByteOrderMark", "\xEF\xBB\xBF[WorkingDir]\npath=/old\n",
            "\xEF\xBB\xBF[WorkingDir]\npath=/new\n" },
        SetCase { "KeepsLineEndingOfReplacedLine", "[WorkingDir]\r\npath=/old\r\n",
            "[WorkingDir]\r\npath=/new\r\n" }),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(IniWrite, RefusesTextThatWouldNotReadBackAsTheSameEntry)
{
    EXPECT_FALSE(SetIniValue("", "WorkingDir", "path", "/a\n[LogService]\nIsSumbitLog=false"));
    EXPECT_FALSE(SetIniValue("", "WorkingDir", "path", "/a\r"));
    EXPECT_FALSE(SetIniValue("", "WorkingDir", "path", std::string("/a\0b", 4)));
    EXPECT_FALSE(SetIniValue("", "Working]Dir", "path", "x"));
    EXPECT_FALSE(SetIniValue("", "WorkingDir", "pa=th", "x"));
    EXPECT_FALSE(SetIniValue("", "WorkingDir", ";path", "x"));
    EXPECT_FALSE(SetIniValue("", "WorkingDir", "[path", "x"));
    EXPECT_FALSE(SetIniValue("", " ", "path", "x"));
    EXPECT_FALSE(SetIniValue("", "WorkingDir", "", "x"));
}

class IniFileOnDisk : public testing::Test
{
protected:
    CTempDir dir;
    fs::path file = dir / "QUARN" / "rmw" / "Setting.ini";
};

TEST_F(IniFileOnDisk, MissingFileGivesDefault)
{
    EXPECT_EQ(ReadIniString(file, L"WorkingDir", L"path", L"/default/"), L"/default/");
    EXPECT_EQ(ReadIniString(fs::path(), L"WorkingDir", L"path", L"/default/"), L"/default/");
}

TEST_F(IniFileOnDisk, WriteCreatesFolderAndReadsBack)
{
    ASSERT_TRUE(WriteIniString(file, L"WorkingDir", L"path", L"/\u6295\u6807/"));
    EXPECT_EQ(ReadIniString(file, L"workingdir", L"PATH", L""), L"/\u6295\u6807/");
    EXPECT_EQ(ReadFileBytes(file), "[WorkingDir]\npath=/\xE6\x8A\x95\xE6\xA0\x87/\n");
}

// Reads are served from the last reading while the file is unchanged: an edit in place that keeps
// the size, made after the file had settled and been read, must still be seen.
TEST_F(IniFileOnDisk, EditKeepingTheSizeIsSeenByTheNextRead)
{
    dir.WriteFile("QUARN/rmw/Setting.ini", "[LogService]\nIsSumbitLog=true\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(2500)); // older than a time step
    ASSERT_EQ(ReadIniString(file, L"LogService", L"IsSumbitLog", L""), L"true");
    ASSERT_EQ(ReadIniString(file, L"LogService", L"IsSumbitLog", L""), L"true");
    std::fstream edit(file, std::ios::in | std::ios::out | std::ios::binary);
    edit.seekp(static_cast<std::streamoff>(std::string("[LogService]\nIsSumbitLog=").size()));
    edit << "TRUE";
    edit.close();
    EXPECT_EQ(ReadIniString(file, L"LogService", L"IsSumbitLog", L""), L"TRUE");
}

TEST_F(IniFileOnDisk, LongValueIsCutTo259Characters)
{
    ASSERT_TRUE(WriteIniString(file, L"WorkingDir", L"path", std::wstring(300, L'\u6807')));
    EXPECT_EQ(ReadIniString(file, L"WorkingDir", L"path", L""), std::wstring(259, L'\u6807'));
}

TEST_F(IniFileOnDisk, WriteLeavesNoTemporaryFileAndKeepsMode)
{
    dir.WriteFile("QUARN/rmw/Setting.ini", "[Other]\nkeep=me\n");
    ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    ASSERT_TRUE(WriteIniString(file, L"WorkingDir", L"path", L"/x"));
    EXPECT_EQ(ReadFileBytes(file), "[Other]\nkeep=me\n[WorkingDir]\npath=/x\n");
    struct stat info
    {
    };
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1);
}

TEST_F(IniFileOnDisk, UnusableFilesGiveDefaultsAndAreNotOverwritten)
{
    fs::create_directories(file.parent_path());
    ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadIniString(file, L"WorkingDir", L"path", L"d"), L"d");
    EXPECT_FALSE(WriteIniString(file, L"WorkingDir", L"path", L"/x"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    const fs::path big
        = dir.WriteFile("big.ini", "[WorkingDir]\npath=/x\n" + std::string(kMaxIniFileBytes, ';'));
    EXPECT_EQ(ReadIniString(big, L"WorkingDir", L"path", L"d"), L"d");
    EXPECT_FALSE(WriteIniString(big, L"WorkingDir", L"path", L"/y"));
    EXPECT_EQ(fs::file_size(big), kMaxIniFileBytes + 21);
}

TEST_F(IniFileOnDisk, WriteFailsWhenFolderCannotBeCreated)
{
    dir.WriteFile("QUARN", "a file where the folder should be");
    EXPECT_FALSE(WriteIniString(file, L"WorkingDir", L"path", L"/x"));
}

TEST_F(IniFileOnDisk, ConcurrentWritersLoseNoEntry)
{
    constexpr int kThreads = 8;
    constexpr int kKeys = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < kKeys; ++k) {
                WriteIniString(
                    file, L"S" + std::to_wstring(t), L"k" + std::to_wstring(k), std::to_wstring(t * k));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        for (int k = 0; k < kKeys; ++k) {
            EXPECT_EQ(ReadIniString(file, L"S" + std::to_wstring(t), L"k" + std::to_wstring(k), L"lost"),
                std::to_wstring(t * k));
        }
    }
}

} // namespace
