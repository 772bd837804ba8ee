// Copying into a package folder: whole files or nothing, and the replace question.
#include "tests/support/ScriptedPrompt.h"
#include "tests/support/TempDir.h"
#include "verify/FileImport.h"

#include <algorithm>
#include <deque>
#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

// The names in folder, so that a left-over temporary file shows.
std::vector<std::string> Names(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(CopyIntoFolder, CopiesByteForByteAndLeavesNoTemporaryFile)
{
    const CTempDir temp;
    std::string bytes(200000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7);
    const fs::path source = temp.WriteFile("in/x_P1_L1.bidx", bytes);
    fs::create_directories(temp / "pkg");
    CScriptedPrompt prompt;
    EXPECT_EQ(CopyIntoFolder(source.wstring(), (temp / "pkg").wstring(), &prompt), kCopied);
    EXPECT_EQ(ReadFileBytes(temp / "pkg/x_P1_L1.bidx"), bytes);
    EXPECT_EQ(ReadFileBytes(source), bytes) << "the source stays where it was";
    EXPECT_EQ(Names(temp / "pkg"), std::vector<std::string> { "x_P1_L1.bidx" });
    EXPECT_TRUE(prompt.Questions().empty());
}

TEST(CopyIntoFolder, ExistingFileIsReplacedOnlyOnYes)
{
    const CTempDir temp;
    const fs::path source = temp.WriteFile("in/a.bidx", "new bytes");
    temp.WriteFile("pkg/a.bidx", "old bytes, longer than the new ones");
    const struct
    {
        std::deque<int> answers;
        int result;
        const char* kept;
    } cases[] = {
        { { IDNO }, kReplaceDeclined, "old bytes, longer than the new ones" },
        { { IDCANCEL }, kReplaceDeclined, "old bytes, longer than the new ones" },
        { { IDYES }, kCopied, "new bytes" },
    };
    for (const auto& c : cases) {
        CScriptedPrompt prompt(c.answers);
        EXPECT_EQ(CopyIntoFolder(source.wstring(), (temp / "pkg").wstring(), &prompt), c.result);
        EXPECT_EQ(ReadFileBytes(temp / "pkg/a.bidx"), c.kept);
        ASSERT_EQ(prompt.Questions().size(), 1u);
        EXPECT_NE(prompt.Questions()[0].text.find(L"a.bidx"), std::wstring::npos);
        EXPECT_EQ(prompt.Questions()[0].type, MB_YESNO | MB_ICONQUESTION);
        EXPECT_EQ(Names(temp / "pkg"), std::vector<std::string> { "a.bidx" });
    }
    EXPECT_EQ(CopyIntoFolder(source.wstring(), (temp / "pkg").wstring(), nullptr), kReplaceDeclined);
}

TEST(CopyIntoFolder, FailuresLeaveTheFolderAsItWas)
{
    const CTempDir temp;
    fs::create_directories(temp / "pkg");
    fs::create_directories(temp / "in/folder.bidx");
    CScriptedPrompt prompt({}, IDYES);
    EXPECT_EQ(
        CopyIntoFolder((temp / "in/missing.bidx").wstring(), (temp / "pkg").wstring(), &prompt), kCopyFailed);
    EXPECT_EQ(
        CopyIntoFolder((temp / "in/folder.bidx").wstring(), (temp / "pkg").wstring(), &prompt), kCopyFailed);
    EXPECT_TRUE(Names(temp / "pkg").empty());
    const fs::path source = temp.WriteFile("in/b.bidx", "b");
    EXPECT_EQ(CopyIntoFolder(source.wstring(), (temp / "no-such-folder").wstring(), &prompt), kCopyFailed);
    EXPECT_FALSE(fs::exists(temp / "no-such-folder"));
}
