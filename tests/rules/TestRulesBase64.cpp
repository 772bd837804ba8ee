#include "core/RulesBase64.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <string>
#include <vector>

namespace {

struct CBase64Case
{
    const char* name;
    std::string text;
    std::string decoded;
};

class RulesBase64Decoding : public testing::TestWithParam<CBase64Case>
{
};

TEST_P(RulesBase64Decoding, DecodesUpToTheFirstCharacterOutsideTheAlphabet)
{
    EXPECT_EQ(rules::DecodeRulesBase64(GetParam().text), GetParam().decoded);
}

INSTANTIATE_TEST_SUITE_P(Cases, RulesBase64Decoding,
    testing::Values(CBase64Case { "Empty", "", "" }, CBase64Case { "WholeGroup", "QUJD", "ABC" },
        CBase64Case { "PaddedOneByte", "QQ==", "A" }, CBase64Case { "PaddedTwoBytes", "QUI=", "AB" },
        CBase64Case { "UnpaddedTwoBytes", "QUI", "AB" },
        CBase64Case { "SingleCharacterGivesNothing", "QUJDR", "ABC" },
        CBase64Case { "LineBreakEndsTheData", "QUJD\nREVG", "ABC" },
        CBase64Case { "BlankEndsTheData", "QUJD REVG", "ABC" },
        CBase64Case { "HtmlPageDecodesToNothing", "<html><body>404</body></html>", "" },
        CBase64Case { "TextBeforeTheStopIsKept", "QUJDRA<", "ABCD" },
        CBase64Case { "ZeroBytesAreKept", "AAAA", std::string(3, '\0') },
        CBase64Case { "PlusAndSlash", "+/+/", std::string("\xfb\xff\xbf", 3) },
        CBase64Case { "UrlSafeAlphabetIsOutside", "QU-D", "A" }),
    [](const testing::TestParamInfo<CBase64Case>& testCase) { return std::string(testCase.param.name); });

TEST(RulesBase64, RoundTripsWhatOpenSslEncodes)
{
    for (int length = 0; length < 100; ++length) {
        std::vector<unsigned char> bytes(static_cast<size_t>(length));
        ASSERT_EQ(RAND_bytes(bytes.data(), length), 1);
        std::string encoded(static_cast<size_t>((length + 2) / 3 * 4 + 1), '\0');
        const int encodedLength
            = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()), bytes.data(), length);
        encoded.resize(static_cast<size_t>(encodedLength));
        EXPECT_EQ(rules::DecodeRulesBase64(encoded), std::string(bytes.begin(), bytes.end())) << length;
    }
}

} // namespace
