#include "opening/CQuelvarLibrary.h"

#include <gtest/gtest.h>

namespace {

TEST(QuelvarLibrary, BindsEveryExportOfTheBuiltLibrary)
{
    CQuelvarLibrary library;
    ASSERT_EQ(library.LoadFrom(KELVANE_QUELVAR_PATH), 0) << library.Error();
    EXPECT_TRUE(library.IsLoaded());
    EXPECT_TRUE(library.Error().empty());
    CQuelvar* handle = nullptr;
    ASSERT_EQ(library.CreateHandle(&handle), QUELVAR_OK);
    EXPECT_EQ(library.SetTargetUrl(handle, "not a url"), QUELVAR_NOT_A_URL);
    EXPECT_EQ(library.ReleaseHandle(handle), QUELVAR_OK);
}

TEST(QuelvarLibrary, FindsTheLibraryBesideTheProgram)
{
    // Test programs lie in <build>/tests, the library in <build>/lib.
    CQuelvarLibrary& library = CQuelvarLibrary::Instance();
    ASSERT_TRUE(library.IsLoaded()) << library.Error();
    EXPECT_EQ(library.LoadedPath(), KELVANE_QUELVAR_PATH);
}

TEST(QuelvarLibrary, NamesWhatIsMissing)
{
    CQuelvarLibrary absent;
    EXPECT_EQ(absent.LoadFrom("/nonexistent/libquelvar.so"), -1);
    EXPECT_FALSE(absent.IsLoaded());
    EXPECT_NE(absent.Error().find("/nonexistent/libquelvar.so"), std::string::npos) << absent.Error();
    EXPECT_EQ(absent.CreateHandle, nullptr);

    // A library that is not Quelvar lacks its exports; the first missing one is named.
    CQuelvarLibrary foreign;
    EXPECT_EQ(foreign.LoadFrom(KELVANE_OTHER_LIBRARY_PATH), -1);
    EXPECT_NE(foreign.Error().find("lacks the export QuelvarCreateHandle"), std::string::npos)
        << foreign.Error();
    EXPECT_EQ(foreign.CreateHandle, nullptr);
    EXPECT_EQ(foreign.CompareFile, nullptr);
}

} // namespace
