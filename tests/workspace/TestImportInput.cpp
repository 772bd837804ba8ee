// The import dialogs' rules: numbers from a bid file's name, the OK checks and the bid-server
// folder listing.
#include "tests/support/TempDir.h"
#include "workspace/ImportInput.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

TEST(BidFileName, NumbersComeFromTheSecondAndThirdPieceOnly)
{
    const struct
    {
        const wchar_t* path;
        bool parsed;
        const wchar_t* project;
        const wchar_t* package;
    } cases[] = {
        { L"/media/usb/X_P001_L2.bidx", true, L"P001", L"L2" },
        { L"/media/usb/X_P001_L2.tar.bidx", true, L"P001", L"L2" },
        { L"X_P001_L2.bidx", true, L"P001", L"L2" },
        { L"/a_b_c/ X_P001_L2 .bidx", true, L"P001", L"L2 " }, // the OK button trims it
        { L"/media/usb/P001.bidx", false, L"old", L"old" },
        { L"/media/usb/A.B_C_D.bidx", false, L"old", L"old" },
        { L"/media/usb/X_P001_L2", false, L"old", L"old" },
        { L"/media/usb/X_P001_L2_extra.bidx", false, L"old", L"old" },
        { L"/media/usb/X_P001_.bidx", false, L"old", L"old" },
        { L"/media/usb/X__L2.bidx", true, L"", L"L2" },
    };
    for (const auto& c : cases) {
        std::wstring project = L"old";
        std::wstring package = L"old";
        EXPECT_EQ(ParseBidFileName(c.path, project, package), c.parsed) << c.path;
        EXPECT_EQ(project, c.project) << c.path;
        EXPECT_EQ(package, c.package) << c.path;
    }
}

TEST(ImportOk, ChecksTrimmedNumbersThenTheFilesInThatOrder)
{
    const struct
    {
        const wchar_t* project;
        const wchar_t* package;
        size_t files;
        const char* key;
    } cases[] = {
        { L"", L"", 0, "prognum_cannot_null" },
        { L"   ", L"L1", 1, "prognum_cannot_null" },
        { L"P1", L" \t", 1, "package_cannot_null" },
        { L"P1", L"L1", 0, "select_file" },
        // Numbers from outside name folders: none may climb out or forge a line.
        { L"..", L"L1", 1, "prognum_invalid" },
        { L" . ", L"L1", 1, "prognum_invalid" },
        { L"../../escape", L"L1", 1, "prognum_invalid" },
        { L"P\\1", L"L1", 1, "prognum_invalid" },
        { L"P1", L"a/b", 1, "package_invalid" },
        { L"P1", L"L1\nforged", 1, "package_invalid" },
        { L"P1", L"L\x1b[2J", 0, "package_invalid" },
        { L"P..1", L"包组一", 1, nullptr },
        { L" P1 ", L"\tL1 ", 2, nullptr },
    };
    for (const auto& c : cases) {
        std::wstring project = c.project;
        std::wstring package = c.package;
        const char* key = CheckImportInput(project, package, c.files);
        EXPECT_STREQ(key, c.key) << "[" << project.size() << "]";
        EXPECT_EQ(project, TrimBlanks(c.project));
        EXPECT_EQ(package, TrimBlanks(c.package));
    }
}

TEST(BidServerFolder, ListsOnlyBidFilesOfTheFolderAndDoublesTheSeparatorWithoutProject)
{
    EXPECT_EQ(BidServerFolder(L"/srv/bids", L"", L"L2"), L"/srv/bids//L2");
    EXPECT_EQ(BidServerFolder(L"/srv/bids", L"P1", L"L2"), L"/srv/bids/P1/L2");

    EXPECT_FALSE(ShouldListBidServerFolder(true, L"", L"L2"));
    EXPECT_FALSE(ShouldListBidServerFolder(false, L"..", L"L2"));
    EXPECT_FALSE(ShouldListBidServerFolder(false, L"P1", L"../.."));
    EXPECT_FALSE(ShouldListBidServerFolder(true, L"P1", L""));
    EXPECT_TRUE(ShouldListBidServerFolder(true, L"P1", L"L2"));
    EXPECT_TRUE(ShouldListBidServerFolder(false, L"", L""));

    const CTempDir temp;
    temp.WriteFile("P1/L2/b_P1_L2.bidx", "b");
    temp.WriteFile("P1/L2/a_P1_L2.BIDX", "a");
    temp.WriteFile("P1/L2/readme.txt", "r");
    fs::create_directories(temp / "P1/L2/folder.bidx");
    temp.WriteFile("P1/L2/Open/c_P1_L2.bidx", "c");
    const std::wstring root = temp.Path().wstring();
    EXPECT_EQ(ListBidServerFolder(BidServerFolder(root, L"P1", L"L2")),
        (std::vector<std::wstring> { root + L"/P1/L2/a_P1_L2.BIDX", root + L"/P1/L2/b_P1_L2.bidx" }));
    EXPECT_TRUE(ListBidServerFolder(BidServerFolder(root, L"", L"L2")).empty());
}
