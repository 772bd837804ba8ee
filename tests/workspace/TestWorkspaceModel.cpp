// The workspace tree's model and the folder file cache over real folders.
#include "app/LanguageCatalogue.h"
#include "app/TextConversion.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScriptedPrompt.h"
#include "tests/support/TempDir.h"
#include "workspace/CFolderFileCache.h"
#include "workspace/CWorkspaceModel.h"
#include "workspace/ImportInput.h"
#include "workspace/PackageFolder.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

class Workspace : public ::testing::Test
{
protected:
    void SetUp() override
    {
        temp.WriteFile("work/loose.bidx", "x");
        temp.WriteFile("work/P2/L9/c.bidx", "c");
        temp.WriteFile("work/P1/project-file.bidx", "x");
        temp.WriteFile("work/P1/L2/b.bidx", "b");
        temp.WriteFile("work/P1/L2/a.txt", "a");
        temp.WriteFile("work/P1/L2/Open/bid/content.bin", "o");
        temp.WriteFile("work/P1/L2/Bad/bad.bidx", "x");
        fs::create_directories(temp / "work/P1/L1");
        fs::create_directories(temp / "work/P3");
        ASSERT_EQ(model.Refresh(Work()), CWorkspaceModel::kRefreshed);
    }

    std::wstring Work() const { return (temp / "work").wstring(); }

    CTempDir temp;
    CWorkspaceModel model;
};

} // namespace

TEST_F(Workspace, ShowsProjectsAndPackagesOnlyAndSelectsTheFirstPackage)
{
    ASSERT_EQ(model.GetProjects().size(), 3u);
    EXPECT_EQ(model.GetProjects()[0].name, L"P1");
    EXPECT_EQ(model.GetProjects()[0].packages, (std::vector<std::wstring> { L"L1", L"L2" }));
    EXPECT_EQ(model.GetProjects()[1].name, L"P2");
    EXPECT_EQ(model.GetProjects()[2].name, L"P3");
    EXPECT_TRUE(model.GetProjects()[2].packages.empty());
    EXPECT_EQ(model.GetRootText(), Work());
    EXPECT_EQ(model.GetSelectedProject(), L"P1");
    EXPECT_EQ(model.GetSelectedPackage(), L"L1");
    EXPECT_EQ(model.GetSelectedPath(), Work() + L"/P1/L1/");
}

TEST_F(Workspace, SelectionFollowsExactNamesAndKeepsItselfOnNoMatch)
{
    const struct
    {
        const wchar_t* project;
        const wchar_t* package;
        bool selected;
        const wchar_t* path;
    } cases[] = {
        { L"P1", L"L2", true, L"/P1/L2/" },
        { L"p1", L"L2", false, L"/P1/L2/" },
        { L"P1", L"L9", false, L"/P1/L2/" },
        { L"P3", L"", true, L"" },
        { L"", L"", true, L"" },
        { L"P2", L"L9", true, L"/P2/L9/" },
    };
    for (const auto& c : cases) {
        EXPECT_EQ(model.SelectProjectPackage(c.project, c.package), c.selected)
            << c.project << "/" << c.package;
        EXPECT_EQ(model.GetSelectedPath(), *c.path ? Work() + c.path : L"") << c.project << "/" << c.package;
    }
}

TEST_F(Workspace, WorkingDirWithoutProjectsSelectsTheRootAndMissingOneIsCreated)
{
    CWorkspaceModel fresh;
    const std::wstring missing = (temp / "new/deeper/BidFiles").wstring();
    EXPECT_EQ(fresh.Refresh(L"  " + missing + L"  "), CWorkspaceModel::kRefreshed);
    EXPECT_TRUE(fs::is_directory(missing));
    EXPECT_EQ(fresh.GetRootText(), missing);
    EXPECT_TRUE(fresh.GetProjects().empty());
    EXPECT_TRUE(fresh.GetSelectedProject().empty());
    EXPECT_TRUE(fresh.GetSelectedPath().empty());

    EXPECT_EQ(model.Refresh(L"   "), CWorkspaceModel::kNoWorkingDir);
    EXPECT_EQ(model.GetProjects().size(), 3u) << "an empty setting leaves the tree as it was";

    temp.WriteFile("plain-file", "x");
    EXPECT_EQ(model.Refresh((temp / "plain-file/sub").wstring()), CWorkspaceModel::kCannotCreate);
    EXPECT_TRUE(model.GetProjects().empty());
}

// The import copies into, the opening reads from and the tree shows one folder per package, the
// setting's blanks trimmed: a padded setting once sent the window's imports to a folder the tree
// did not show.
TEST_F(Workspace, PackageFolderIsTheTreesFolderWhateverTheSettingsBlanks)
{
    for (const std::wstring& setting : { Work(), Work() + L"/", L" \t" + Work() + L"/ \r\n" }) {
        EXPECT_EQ(PackageFolderIn(setting, L"P1", L"L2"), Work() + L"/P1/L2/") << WideToUtf8(setting);
        ASSERT_EQ(model.Refresh(setting), CWorkspaceModel::kRefreshed);
        ASSERT_TRUE(model.SelectProjectPackage(L"P1", L"L2"));
        EXPECT_EQ(model.GetSelectedPath(), PackageFolderIn(setting, L"P1", L"L2")) << WideToUtf8(setting);
    }
}

TEST_F(Workspace, DeleteRemovesThePackageOrTheWholeProjectAfterConfirmation)
{
    CScriptedPrompt prompt({ IDNO, IDYES, IDYES });
    ASSERT_TRUE(model.SelectProjectPackage(L"P1", L"L2"));
    EXPECT_EQ(model.DeleteSelectedFolder(prompt), CWorkspaceModel::kDeclined);
    EXPECT_TRUE(fs::exists(temp / "work/P1/L2/b.bidx"));
    ASSERT_EQ(prompt.Questions().size(), 1u);
    EXPECT_NE(prompt.Questions()[0].text.find(Work() + L"/P1/L2"), std::wstring::npos);

    EXPECT_EQ(model.DeleteSelectedFolder(prompt), CWorkspaceModel::kDeleted);
    EXPECT_FALSE(fs::exists(temp / "work/P1/L2"));
    EXPECT_TRUE(fs::exists(temp / "work/P1/L1"));
    EXPECT_EQ(model.GetProjects()[0].packages, std::vector<std::wstring> { L"L1" }) << "refreshed";

    ASSERT_TRUE(model.SelectProjectPackage(L"P2", L""));
    EXPECT_EQ(model.DeleteSelectedFolder(prompt), CWorkspaceModel::kDeleted);
    EXPECT_FALSE(fs::exists(temp / "work/P2"));
    EXPECT_TRUE(fs::exists(temp / "work/loose.bidx"));
}

TEST_F(Workspace, DeleteWithoutProjectOrInsideARunningOpeningAsksNothingAndKeepsAll)
{
    CScriptedPrompt prompt({}, IDYES);
    ASSERT_TRUE(model.SelectProjectPackage(L"", L""));
    EXPECT_EQ(model.DeleteSelectedFolder(prompt), CWorkspaceModel::kNothingSelected);
    ASSERT_EQ(prompt.Questions().size(), 1u);
    EXPECT_EQ(prompt.Questions()[0].text, CLanguageCatalogue::Instance().GetText("select_progorpackage"));

    ASSERT_TRUE(model.SelectProjectPackage(L"P1", L""));
    EXPECT_EQ(model.DeleteSelectedFolder(prompt, Work() + L"/P1/L2/"), CWorkspaceModel::kFolderInUse);
    ASSERT_TRUE(model.SelectProjectPackage(L"P1", L"L1"));
    EXPECT_EQ(model.DeleteSelectedFolder(prompt, Work() + L"/P1/L1"), CWorkspaceModel::kFolderInUse);
    EXPECT_TRUE(fs::exists(temp / "work/P1/L2/b.bidx"));
    EXPECT_TRUE(fs::exists(temp / "work/P1/L1"));
    // A package whose name only begins like the one in use is not protected by it.
    fs::create_directories(temp / "work/P1/L1x");
    model.Refresh(Work());
    ASSERT_TRUE(model.SelectProjectPackage(L"P1", L"L1x"));
    EXPECT_EQ(model.DeleteSelectedFolder(prompt, Work() + L"/P1/L1/"), CWorkspaceModel::kDeleted);
}

TEST_F(Workspace, ProjectNumberIsTheFolderAboveThePackage)
{
    EXPECT_EQ(ProjectNumberOfFolder(Work() + L"/P1/L2/"), L"P1");
    EXPECT_EQ(ProjectNumberOfFolder(L"/BidFiles/P-2026.1/L2/"), L"P-2026.1");
}

TEST_F(Workspace, CacheListsPlainFilesByNameAndSeesHandCopiesOnlyAfterClear)
{
    CFolderFileCache cache;
    const std::wstring package = Work() + L"/P1/L2/";
    const std::vector<std::wstring> before { package + L"a.txt", package + L"b.bidx" };
    EXPECT_EQ(cache.GetFiles(package), before) << "Open/ and Bad/ are folders, not files";

    temp.WriteFile("work/P1/L2/0-by-hand.bidx", "h");
    EXPECT_EQ(cache.GetFiles(package), before);
    cache.Clear();
    const std::vector<std::wstring> after { package + L"0-by-hand.bidx", package + L"a.txt",
        package + L"b.bidx" };
    EXPECT_EQ(cache.GetFiles(package), after);

    fs::remove(temp / "work/P1/L2/a.txt");
    EXPECT_EQ(cache.GetFiles(package), after);
    cache.Rescan(package);
    EXPECT_EQ(cache.GetFiles(package),
        (std::vector<std::wstring> { package + L"0-by-hand.bidx", package + L"b.bidx" }));
    EXPECT_TRUE(cache.GetFiles(Work() + L"/P9/L9/").empty());
}

// A FIFO, a link to a device, a folder named like a bid and a dangling link are no bid files: the
// package list and the bid-server listing leave them out (the opening or the import would hang
// on the FIFO or read the device for ever), and listing them never blocks. Links to regular files
// stay.
TEST_F(Workspace, ListingsShowOnlyRegularFiles)
{
    const fs::path folder = temp / "work/P1/L2";
    ASSERT_EQ(::mkfifo((folder / "fifo_P1_L2.bidx").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", folder / "zero_P1_L2.bidx");
    fs::create_symlink(folder / "missing", folder / "dangling_P1_L2.bidx");
    fs::create_directories(folder / "folder_P1_L2.bidx");
    fs::create_symlink(folder / "b.bidx", folder / "link_P1_L2.bidx");
    // An opening's record is no bid either: opened as one it would be moved to Bad/.
    for (const char* record : { "开标记录-P1-L2-20261208000000.json", "开标记录-P1-L2-20261208000000.p7s" })
        std::ofstream(folder / record) << "{}";
    const std::wstring package = Work() + L"/P1/L2/";
    const auto listed = RunInChild([&] {
        std::wstring names;
        for (const std::wstring& file : CFolderFileCache::Scan(package))
            names += file.substr(package.size()) + L" ";
        names += L"|";
        for (const std::wstring& file : ListBidServerFolder(Work() + L"/P1/L2"))
            names += L" " + file.substr(package.size());
        return WideToUtf8(names);
    });
    ASSERT_TRUE(listed) << "the listing did not come back within the deadline";
    EXPECT_EQ(*listed, "a.txt b.bidx link_P1_L2.bidx | b.bidx link_P1_L2.bidx");
}
