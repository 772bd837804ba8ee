#include "app/LanguageCatalogue.h"
#include "opening/COpeningErrorTexts.h"
#include "opening/CResultTexts.h"

#include <gtest/gtest.h>

namespace {

TEST(ResultTexts, LookUpEachTableByCode)
{
    const struct
    {
        int table;
        int code;
        const char* key; // null: a fixed text
        const wchar_t* fixed;
    } found[] = {
        { 1, 1, "brf_failed", nullptr },
        { 1, 23, "parse_xmlelem_openorg_failed", nullptr },
        { 1, 24, nullptr, L"规则文件为空" },
        { 1, 25, nullptr, L"解密规则文件时，没有找到项目名称" },
        { 2, 1, "out_of_memory", nullptr },
        { 2, 31, "cert_cannot_enc", nullptr },
        { 2, 34, "cipher_final_failed", nullptr },
        { 2, 43, "cert_exist", nullptr },
        { 2, 65, "hash_verify_failed", nullptr },
    };
    for (const auto& entry : found) {
        std::wstring text;
        ASSERT_TRUE(CResultTexts::GetText(entry.table, entry.code, text)) << entry.table << "/" << entry.code;
        const std::wstring expected
            = entry.key != nullptr ? CLanguageCatalogue::Instance().GetText(entry.key) : entry.fixed;
        EXPECT_EQ(text, expected) << entry.table << "/" << entry.code;
        EXPECT_FALSE(text.empty());
    }
}

TEST(ResultTexts, CodesWithoutEntryLeaveTheTextAlone)
{
    const struct
    {
        int table;
        int code;
    } missing[] = { { 2, 39 }, { 1, 26 }, { 1, 27 }, { 1, 28 }, { 1, -1 }, { 2, -1 }, { 2, 0 }, { 2, 66 },
        { 3, 1 }, { 0, 1 } };
    for (const auto& entry : missing) {
        std::wstring text = L"before";
        EXPECT_FALSE(CResultTexts::GetText(entry.table, entry.code, text))
            << entry.table << "/" << entry.code;
        EXPECT_EQ(text, L"before");
    }
}

TEST(OpeningErrorTexts, GiveSuccessAndRulesFailure)
{
    std::wstring text;
    ASSERT_TRUE(COpeningErrorTexts::GetText(0, text));
    EXPECT_EQ(text, L"成功");
    ASSERT_TRUE(COpeningErrorTexts::GetText(1, text));
    EXPECT_EQ(text, L"获取规则文件失败");
    text = L"before";
    EXPECT_FALSE(COpeningErrorTexts::GetText(2, text));
    EXPECT_EQ(text, L"before");
}

} // namespace
