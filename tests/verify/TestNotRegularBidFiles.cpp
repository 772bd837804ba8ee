// Names where a bid file is expected that are no regular file: a FIFO (the open would wait for a
// writer for ever), a link to /dev/zero (a hash or a copy of it never ends) and a folder named like
// a bid. The import's copy and the verification code refuse each at once, with the reason. Each
// step runs in a child with a deadline, so that a regression fails instead of hanging the run.
#include "app/TextConversion.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScriptedPrompt.h"
#include "tests/support/TempDir.h"
#include "verify/CBidFileReport.h"
#include "verify/FileImport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

class NotRegularBidFiles : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fs::create_directories(temp / "in/folder.bidx");
        ASSERT_EQ(::mkfifo((temp / "in/fifo.bidx").c_str(), 0600), 0);
        fs::create_symlink("/dev/zero", temp / "in/zero.bidx");
    }

    static constexpr struct
    {
        const char* name;
        const char* reason;
    } kCases[] = {
        { "fifo.bidx", "不是普通文件 (not a regular file): FIFO" },
        { "zero.bidx", "不是普通文件 (not a regular file): character device" },
        { "folder.bidx", "不是普通文件 (not a regular file): directory" },
    };

    CTempDir temp;
};

} // namespace

TEST_F(NotRegularBidFiles, ImportCopyRefusesBeforeAskingToReplace)
{
    for (const auto& c : kCases) {
        // An older file of that name would bring the replace question if the source were not
        // looked at first; the answer would be Yes.
        temp.WriteFile(std::string("pkg/") + c.name, "old");
        const auto outcome = RunInChild([&] {
            CScriptedPrompt prompt({}, IDYES);
            std::wstring reason;
            const int result = CopyIntoFolder(
                (temp / "in" / c.name).wstring(), (temp / "pkg").wstring(), &prompt, &reason);
            return std::to_string(result) + " " + std::to_string(prompt.Questions().size()) + " "
                + WideToUtf8(reason);
        });
        ASSERT_TRUE(outcome) << c.name << " did not come back within the deadline";
        EXPECT_EQ(*outcome, "-1 0 " + std::string(c.reason)) << c.name;
        EXPECT_EQ(ReadFileBytes(temp / "pkg" / c.name), "old") << c.name;
    }
}

TEST_F(NotRegularBidFiles, VerificationCodeIsNotComputed)
{
    for (const auto& c : kCases) {
        const auto outcome = RunInChild([&] {
            std::wstring code = L"unchanged";
            std::wstring reason;
            const int result = ComputeVerifyCode((temp / "in" / c.name).wstring(), code, &reason);
            return std::to_string(result) + " " + WideToUtf8(code) + " " + WideToUtf8(reason);
        });
        ASSERT_TRUE(outcome) << c.name << " did not come back within the deadline";
        EXPECT_EQ(*outcome, "-1 unchanged " + std::string(c.reason)) << c.name;
    }
}
