#include "app/Utility.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/statvfs.h>

namespace fs = std::filesystem;

namespace {

struct SplitCase
{
    const wchar_t* text;
    wchar_t separator;
    std::vector<std::wstring> pieces;
};

class Split : public testing::TestWithParam<SplitCase>
{
};

TEST_P(Split, KeepsInnerEmptyPiecesDropsTrailingOne)
{
    std::vector<std::wstring> pieces { L"earlier" };
    SplitString(GetParam().text, GetParam().separator, pieces);
    std::vector<std::wstring> expected { L"earlier" };
    expected.insert(expected.end(), GetParam().pieces.begin(), GetParam().pieces.end());
    EXPECT_EQ(pieces, expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, Split,
    testing::Values(SplitCase { L"a;;b;", L';', { L"a", L"", L"b" } }, SplitCase { L"", L';', {} },
        SplitCase { L"abc", L';', { L"abc" } }, SplitCase { L";", L';', { L"" } },
        SplitCase { L";a", L';', { L"", L"a" } },
        SplitCase { L"\u5F20\u4E09_P001_1.bidx", L'_', { L"\u5F20\u4E09", L"P001", L"1.bidx" } },
        SplitCase { L"http://a;http://b", L';', { L"http://a", L"http://b" } }));

class DirectoryTree : public testing::Test
{
protected:
    CTempDir dir;
};

TEST_F(DirectoryTree, CreatesEveryMissingParent)
{
    const fs::path deep = dir / "a" / "b" / "c";
    EXPECT_NE(CreateDirectoryTree(deep.wstring()), 0);
    EXPECT_TRUE(fs::is_directory(deep));
    EXPECT_NE(CreateDirectoryTree(deep.wstring()), 0);
    EXPECT_NE(CreateDirectoryTree((dir / "x" / "y").wstring() + L"/"), 0);
    EXPECT_TRUE(fs::is_directory(dir / "x" / "y"));
    EXPECT_NE(CreateDirectoryTree(dir.Path().wstring() + L"/\u6807\u4E66"), 0);
    EXPECT_TRUE(fs::is_directory(dir / "\xE6\xA0\x87\xE4\xB9\xA6"));
}

TEST_F(DirectoryTree, FailsWhereAFolderCannotBe)
{
    dir.WriteFile("file", "x");
    EXPECT_EQ(CreateDirectoryTree((dir / "file").wstring()), 0);
    EXPECT_EQ(CreateDirectoryTree((dir / "file" / "sub").wstring()), 0);
    EXPECT_EQ(CreateDirectoryTree(L""), 0);
    // Nothing to cut: a bare name has no parent to start from.
    EXPECT_EQ(CreateDirectoryTree(L"kelvane-no-parent"), 0);
}

TEST(FreeSpace, ComparesWithTheWholeVolumesFreeBytes)
{
    // /proc has no free blocks at all, so the comparison at the boundary is exact.
    EXPECT_EQ(HasEnoughFreeSpace(L"/proc", 0), 1);
    EXPECT_EQ(HasEnoughFreeSpace(L"/proc", 1), 0);

    CTempDir dir;
    struct statvfs volume
    {
    };
    ASSERT_EQ(statvfs(dir.Path().c_str(), &volume), 0);
    const std::uint64_t freeBytes = static_cast<std::uint64_t>(volume.f_bfree) * volume.f_frsize;
    EXPECT_EQ(HasEnoughFreeSpace(dir.Path().wstring(), freeBytes / 2), 1);
    EXPECT_EQ(HasEnoughFreeSpace(dir.Path().wstring(), freeBytes * 2 + (1ULL << 40)), 0);
}

TEST(FreeSpace, MissingFolderIsMeasuredOnItsNearestParent)
{
    CTempDir dir;
    const std::wstring missing = (dir / "not" / "yet" / "there").wstring();
    EXPECT_EQ(HasEnoughFreeSpace(missing, 1), 1);
    EXPECT_EQ(HasEnoughFreeSpace(missing, ~0ULL), 0);
    EXPECT_EQ(HasEnoughFreeSpace(L"/proc/no/such/folder", 1), 0);
}

TEST(FreeSpace, UnreadableVolumePasses)
{
    // A name longer than any file system allows cannot be measured.
    EXPECT_EQ(HasEnoughFreeSpace(L"/tmp/" + std::wstring(300, L'x'), ~0ULL), 1);
}

class Folders : public testing::Test
{
protected:
    CScopedEnv config { "XDG_CONFIG_HOME", nullptr };
    CScopedEnv home { "HOME", "/home/operator" };
};

TEST_F(Folders, ConfigurationFolderFollowsTheEnvironment)
{
    EXPECT_EQ(GetConfigHomeDir(), L"/home/operator/.config");
    EXPECT_EQ(GetAppDataDir(), L"/home/operator/.config/QUARN/rmw");
    {
        CScopedEnv relative { "XDG_CONFIG_HOME", "relative/config" };
        EXPECT_EQ(GetAppDataDir(), L"/home/operator/.config/QUARN/rmw");
    }
    CScopedEnv absolute { "XDG_CONFIG_HOME", "/etc/xdg-operator" };
    EXPECT_EQ(GetAppDataDir(), L"/etc/xdg-operator/QUARN/rmw");
}

TEST_F(Folders, HomeFallsBackToThePasswordEntry)
{
    CScopedEnv noHome { "HOME", nullptr };
    EXPECT_FALSE(GetHomeDir().empty());
    EXPECT_EQ(GetConfigHomeDir(), GetHomeDir() + L"/.config");
}

} // namespace
