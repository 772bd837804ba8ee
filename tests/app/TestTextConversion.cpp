#include "app/TextConversion.h"

#include <gtest/gtest.h>

namespace {

struct Utf8Case
{
    const char* name;
    std::string utf8;
    std::wstring wide;
};

class Utf8RoundTrip : public testing::TestWithParam<Utf8Case>
{
};

TEST_P(Utf8RoundTrip, ConvertsBothWays)
{
    EXPECT_EQ(Utf8ToWide(GetParam().utf8), GetParam().wide);
    EXPECT_EQ(WideToUtf8(GetParam().wide), GetParam().utf8);
    EXPECT_EQ(WideToAnsi(GetParam().wide), GetParam().utf8);
    EXPECT_EQ(AnsiToWide(GetParam().utf8), GetParam().wide);
    EXPECT_EQ(AnsiToUtf8(GetParam().utf8), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(Texts, Utf8RoundTrip,
    testing::Values(Utf8Case { "Empty", "", L"" }, Utf8Case { "Ascii", "C:/BidFiles/", L"C:/BidFiles/" },
        Utf8Case { "Chinese", "\xE5\xBC\x80\xE6\xA0\x87", L"\u5F00\u6807" },
        Utf8Case { "TwoByte", "\xC3\xA9", L"\u00E9" },
        Utf8Case { "Supplementary", "\xF0\x9F\x94\x91", L"\U0001F511" },
        Utf8Case { "EmbeddedNul", std::string("a\0b", 3), std::wstring(L"a\0b", 3) }),
    [](const auto& testCase) { return std::string(testCase.param.name); });

struct InvalidCase
{
    const char* name;
    std::string bytes;
    std::wstring decoded;
};

class InvalidUtf8 : public testing::TestWithParam<InvalidCase>
{
};

TEST_P(InvalidUtf8, EachBadByteBecomesOneReplacement)
{
    EXPECT_FALSE(IsValidUtf8(GetParam().bytes));
    EXPECT_EQ(Utf8ToWide(GetParam().bytes), GetParam().decoded);
}

INSTANTIATE_TEST_SUITE_P(Sequences, InvalidUtf8,
    testing::Values(InvalidCase { "LoneContinuation", "a\x80z", L"a\uFFFDz" },
        InvalidCase { "Overlong", "\xC0\xAF", L"\uFFFD\uFFFD" },
        InvalidCase { "Surrogate", "\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD" },
        InvalidCase { "AboveUnicode", "\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD" },
        InvalidCase { "Truncated", "\xE5\xBC", L"\uFFFD\uFFFD" },
        InvalidCase { "InvalidLead", "\xFF", L"\uFFFD" }),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(TextConversion, WideValuesOutsideUnicodeBecomeReplacement)
{
    const std::wstring wide { L'a', static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000), L'b' };
    EXPECT_EQ(WideToUtf8(wide),
        "a\xEF\xBF\xBD\xEF\xBF\xBD"
        "b");
}

TEST(TextConversion, NarrowTextThatIsNotUtf8IsReadAsGb18030)
{
    // "你好，世界" as a GBK server writes it.
    const std::string gbk = "\xC4\xE3\xBA\xC3\xA3\xAC\xCA\xC0\xBD\xE7";
    EXPECT_EQ(AnsiToWide(gbk), L"\u4F60\u597D\uFF0C\u4E16\u754C");
    EXPECT_EQ(AnsiToUtf8(gbk), "\xE4\xBD\xA0\xE5\xA5\xBD\xEF\xBC\x8C\xE4\xB8\x96\xE7\x95\x8C");
    // Utf8ToWide never guesses another encoding.
    EXPECT_EQ(Utf8ToWide("\xC4\xE3"), L"\uFFFD\uFFFD");
}

TEST(TextConversion, BytesThatAreNeitherEncodingStillConvert)
{
    // 0xFF is no lead byte in GB18030 either.
    EXPECT_EQ(AnsiToWide("a\xFF"
                         "b"),
        L"a\uFFFDb");
}

} // namespace

TEST(TextConversion, ControlCharactersOfOutsideTextAreEscaped)
{
    struct CCase
    {
        std::string in;
        std::string out;
    };
    for (const CCase& c : { CCase { "plain 甲公司_P1_L1.bidx", "plain 甲公司_P1_L1.bidx" },
             CCase { "x\nINFO forged\r", "x\\x0AINFO forged\\x0D" },
             CCase { "\x1b]0;t\x07\x7f", "\\x1B]0;t\\x07\\x7F" },
             CCase { "c1 \xc2\x9b"
                     "2J and \xc2\xa0 kept",
                 "c1 \\u009B2J and \xc2\xa0 kept" } }) {
        EXPECT_EQ(EscapeControlCharacters(std::string_view(c.in)), c.out) << c.in;
        EXPECT_EQ(WideToUtf8(EscapeControlCharacters(std::wstring_view(Utf8ToWide(c.in)))), c.out) << c.in;
    }
}
