#include "services/language/LanguageFile.h"
#include "services/language/QuarnLanguage.h"
#include "tests/support/TempDir.h"

#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>

namespace {

struct HandleDeleter
{
    void operator()(QUARN_LANGUAGE_HANDLE handle) const { QUARN_Language_ReleaseLanguageHandle(handle); }
};
using Handle = std::unique_ptr<QuarnLanguage, HandleDeleter>;

std::wstring WidePath(const std::filesystem::path& path)
{
    // Temporary folders have ASCII names.
    const std::string narrow = path.string();
    return std::wstring(narrow.begin(), narrow.end());
}

Handle Loaded(const std::filesystem::path& file)
{
    Handle handle(QUARN_Language_CreateLanguageHandle());
    EXPECT_EQ(QUARN_Language_LoadLang(handle.get(), WidePath(file).c_str()), 1);
    return handle;
}

std::wstring Value(QUARN_LANGUAGE_HANDLE handle, const char* key, int size = 100)
{
    std::vector<wchar_t> buffer(static_cast<std::size_t>(size), L'#');
    QUARN_Language_GetValue(handle, key, buffer.data(), size);
    return buffer.data();
}

struct ParseCase
{
    const char* name;
    std::string file;
    const char* key;
    std::wstring expected;
};

class LanguageFileFormat : public testing::TestWithParam<ParseCase>
{
};

TEST_P(LanguageFileFormat, ReadsValueAsWritten)
{
    LanguageTable table;
    ASSERT_TRUE(ParseLanguageFile(GetParam().file, table));
    const auto found = table.find(GetParam().key);
    const std::wstring value = found == table.end() ? L"<missing>" : found->second;
    EXPECT_EQ(value, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Lines, LanguageFileFormat,
    testing::Values(ParseCase { "Plain", "title=Bid opener\n", "title", L"Bid opener" },
        ParseCase { "Utf8", "tips=\xE6\x8F\x90\xE7\xA4\xBA\n", "tips", L"\u63D0\u793A" },
        ParseCase { "ByteOrderMark", "\xEF\xBB\xBFtitle=T\n", "title", L"T" },
        ParseCase { "CrLf", "a=1\r\ntitle=T\r\n", "title", L"T" },
        ParseCase { "NoFinalNewline", "a=1\ntitle=T", "title", L"T" },
        ParseCase {
            "KeyBlanksTrimmedValueKept", "  title \t= Opening time is \n", "title", L" Opening time is " },
        ParseCase { "LineBreakStaysEscaped", "import=Web\\nimport\n", "import", L"Web\\nimport" },
        ParseCase { "EqualsInValue", "title=a=b\n", "title", L"a=b" },
        ParseCase { "LaterLineWins", "title=old\ntitle=new\n", "title", L"new" },
        ParseCase { "CommentIgnored", "# title=commented\n", "title", L"<missing>" },
        ParseCase { "IndentedComment", "   #title=commented\n", "title", L"<missing>" },
        ParseCase { "LineWithoutEquals", "title\n", "title", L"<missing>" },
        ParseCase { "EmptyValue", "title=\n", "title", L"" },
        ParseCase { "InvalidUtf8Replaced",
            "title=a\xFF"
            "b\n",
            "title", L"a\uFFFDb" },
        ParseCase { "TruncatedSequenceReplaced", "title=a\xE6\x8F", "title", L"a\uFFFD\uFFFD" }),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(LanguageFileFormat, RefusesOversizedFile)
{
    LanguageTable table;
    EXPECT_FALSE(ParseLanguageFile(std::string(kMaxLanguageFileBytes + 1, 'a'), table));
    EXPECT_TRUE(table.empty());
}

TEST(QuarnLanguage, GetValueCutsToBufferSizeMinusOne)
{
    CTempDir dir;
    const Handle handle
        = Loaded(dir.WriteFile("1033.lng", "long=" + std::string(150, 'x') + "\nshort=abc\n"));
    EXPECT_EQ(Value(handle.get(), "long"), std::wstring(99, L'x'));
    EXPECT_EQ(Value(handle.get(), "long", 5), L"xxxx");
    EXPECT_EQ(Value(handle.get(), "long", 1), L"");
    EXPECT_EQ(Value(handle.get(), "short"), L"abc");
}

TEST(QuarnLanguage, MissingKeyGivesEmptyText)
{
    CTempDir dir;
    const Handle handle = Loaded(dir.WriteFile("1033.lng", "title=T\n"));
    wchar_t buffer[100] = L"stale";
    EXPECT_EQ(QUARN_Language_GetValue(handle.get(), "absent", buffer, 100), 0);
    EXPECT_EQ(std::wstring(buffer), L"");
    EXPECT_EQ(QUARN_Language_GetValue(handle.get(), "title", buffer, 100), 1);
}

TEST(QuarnLanguage, InvalidArgumentsAreRefusedWithoutTouchingTheBuffer)
{
    const Handle handle(QUARN_Language_CreateLanguageHandle());
    wchar_t buffer[4] = L"abc";
    EXPECT_EQ(QUARN_Language_LoadLang(nullptr, L"/x"), -1);
    EXPECT_EQ(QUARN_Language_LoadLang(handle.get(), nullptr), -1);
    EXPECT_EQ(QUARN_Language_GetValue(nullptr, "k", buffer, 4), -1);
    EXPECT_EQ(QUARN_Language_GetValue(handle.get(), nullptr, buffer, 4), -1);
    EXPECT_EQ(QUARN_Language_GetValue(handle.get(), "k", nullptr, 4), -1);
    EXPECT_EQ(QUARN_Language_GetValue(handle.get(), "k", buffer, 0), -1);
    EXPECT_EQ(std::wstring(buffer), L"abc");
    QUARN_Language_ReleaseLanguageHandle(nullptr);
}

TEST(QuarnLanguage, UnreadableFilesFailToLoadWithoutHanging)
{
    CTempDir dir;
    const Handle handle(QUARN_Language_CreateLanguageHandle());
    const auto fifo = dir / "fifo.lng";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_directory(dir / "folder.lng");
    const auto big = dir.WriteFile("big.lng", std::string(kMaxLanguageFileBytes + 1, '#'));

    const auto start = std::chrono::steady_clock::now();
    for (const char* name : { "missing.lng", "fifo.lng", "folder.lng", "big.lng" }) {
        EXPECT_EQ(QUARN_Language_LoadLang(handle.get(), WidePath(dir / name).c_str()), 0) << name;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(QuarnLanguage, FailedReloadForgetsTheEarlierFile)
{
    CTempDir dir;
    const Handle handle = Loaded(dir.WriteFile("a.lng", "title=A\n"));
    EXPECT_EQ(QUARN_Language_LoadLang(handle.get(), WidePath(dir / "missing.lng").c_str()), 0);
    EXPECT_EQ(Value(handle.get(), "title"), L"");
}

TEST(QuarnLanguage, NonAsciiPathLoads)
{
    CTempDir dir;
    const auto file = dir.WriteFile("\xE8\xAF\xAD\xE8\xA8\x80/2052.lng", "title=T\n");
    const Handle handle(QUARN_Language_CreateLanguageHandle());
    const std::wstring path = (dir.Path().wstring()) + L"/\u8BED\u8A00/2052.lng";
    EXPECT_EQ(QUARN_Language_LoadLang(handle.get(), path.c_str()), 1);
    EXPECT_EQ(Value(handle.get(), "title"), L"T");
}

} // namespace
