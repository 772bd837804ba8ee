#include "app/LanguageCatalogue.h"
#include "app/TextConversion.h"
#include "services/language/LanguageFile.h"
#include "tests/support/TempDir.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <thread>

namespace fs = std::filesystem;

namespace {

const fs::path kShippedLanguages = fs::path(KELVANE_SOURCE_DIR) / "lang";

TEST(LanguageCatalogue, HoldsExactly285DistinctKeys)
{
    const auto keys = CLanguageCatalogue::Keys();
    EXPECT_EQ(keys.size(), 286u);
    EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), 286u);
    for (const std::string& key : keys) {
        EXPECT_TRUE(std::regex_match(key, std::regex("[a-z0-9]+(_[a-z0-9]+)*"))) << key;
        EXPECT_FALSE(CLanguageCatalogue::GetDefaultText(key).empty()) << key;
    }
}

TEST(LanguageCatalogue, KeepsTheEstablishedKeySpellingsAndTexts)
{
    for (const char* key : { "warnning", "unknow_error", "vefifystructure_success", "vefifystructure_fail",
             "get_timestmap_success", "get_timestmap_fail", "status_derypted", "verify_progarm",
             "prepair_decryptfile", "reda_fileheader_failed", "sign_fainal_failed", "updata_hash_failed",
             "create_cert_form_encode_failed", "amm_encrypt_failed", "cipher_update_failed" }) {
        EXPECT_FALSE(CLanguageCatalogue::GetDefaultText(key).empty()) << key;
    }
    EXPECT_EQ(CLanguageCatalogue::GetDefaultText("openfile_success"), L"-------->打开文件成功：");
    EXPECT_EQ(CLanguageCatalogue::GetDefaultText("openfile_fail"), L"-------->打开文件失败：");
    EXPECT_EQ(CLanguageCatalogue::GetDefaultText("cipher_update_failed"), L"更新加密数据失败!");
    EXPECT_EQ(CLanguageCatalogue::GetDefaultText("import_internet"), L"网上\n导入");
    EXPECT_EQ(CLanguageCatalogue::GetDefaultText("no such key"), L"");
}

TEST(LanguageCatalogue, WithoutLanguageFileEveryTextIsBuiltIn)
{
    CTempDir dir;
    CLanguageCatalogue catalogue(dir / "lang", 1033);
    catalogue.Load();
    EXPECT_EQ(catalogue.GetText("title"), L"开标器－－单机版V3.0");
    for (const std::string& key : CLanguageCatalogue::Keys()) {
        EXPECT_EQ(catalogue.GetText(key), CLanguageCatalogue::GetDefaultText(key)) << key;
    }
    EXPECT_EQ(catalogue.GetText("no_such_key"), L"");
}

TEST(LanguageCatalogue, LanguageFileOverridesWhereItHasAText)
{
    CTempDir dir;
    dir.WriteFile("lang/1033.lng",
        "title=Bid Opener\nimport_internet=Online\\nImport\nok=\nlong=" + std::string(120, 'x')
            + "\nextra=only here\n");
    CLanguageCatalogue catalogue(dir / "lang", 1033);
    EXPECT_EQ(catalogue.GetText("title"), L"开标器－－单机版V3.0");
    catalogue.Load();
    EXPECT_EQ(catalogue.GetText("title"), L"Bid Opener");
    EXPECT_EQ(catalogue.GetText("import_internet"), L"Online\nImport");
    EXPECT_EQ(catalogue.GetText("ok"), L"确定");
    EXPECT_EQ(catalogue.GetText("cancel"), L"取消");
    EXPECT_EQ(catalogue.GetText("long"), std::wstring(99, L'x'));
    EXPECT_EQ(catalogue.GetText("extra"), L"only here");
}

TEST(LanguageCatalogue, ReloadPicksUpAnEditedOrRemovedFile)
{
    CTempDir dir;
    CLanguageCatalogue catalogue(dir.Path(), 1031);
    dir.WriteFile("1031.lng", "title=Bieteröffnung\n");
    catalogue.Load();
    EXPECT_EQ(catalogue.GetText("title"), L"Bieteröffnung");
    dir.WriteFile("1031.lng", "title=Angebotsöffnung\n");
    catalogue.Load();
    EXPECT_EQ(catalogue.GetText("title"), L"Angebotsöffnung");
    fs::remove(dir / "1031.lng");
    catalogue.Load();
    EXPECT_EQ(catalogue.GetText("title"), L"开标器－－单机版V3.0");
}

TEST(LanguageCatalogue, InstalledCatalogueLooksBesideTheProgram)
{
    const fs::path path = CLanguageCatalogue().LanguageFilePath();
    EXPECT_EQ(path.parent_path(), fs::read_symlink("/proc/self/exe").parent_path() / "lang");
    EXPECT_EQ(path.filename(), std::to_string(CLanguageCatalogue::LanguageIdFromLocale()) + ".lng");
}

struct LocaleCase
{
    const char* locale;
    int id;
};

class LanguageId : public testing::TestWithParam<LocaleCase>
{
};

TEST_P(LanguageId, FollowsTheLocaleName)
{
    EXPECT_EQ(CLanguageCatalogue::LanguageIdFromLocaleName(GetParam().locale), GetParam().id);
}

INSTANTIATE_TEST_SUITE_P(Locales, LanguageId,
    testing::Values(LocaleCase { "zh_CN.UTF-8", 2052 }, LocaleCase { "zh_TW.UTF-8", 1028 },
        LocaleCase { "zh_HK", 1028 }, LocaleCase { "zh_SG.GB18030", 2052 },
        LocaleCase { "en_US.UTF-8", 1033 }, LocaleCase { "en_GB", 1033 }, LocaleCase { "en", 1033 },
        LocaleCase { "ja_JP.UTF-8", 1041 }, LocaleCase { "de_DE@euro", 1031 }, LocaleCase { "fr_CA", 1036 },
        LocaleCase { "C", 2052 }, LocaleCase { "POSIX", 2052 }, LocaleCase { "C.UTF-8", 2052 },
        LocaleCase { "es_ES", 2052 }, LocaleCase { "eng_XX", 2052 }, LocaleCase { "", 2052 }));

TEST(LanguageId, EnvironmentIsReadInPriorityOrder)
{
    CScopedEnv all("LC_ALL", "ja_JP.UTF-8");
    CScopedEnv messages("LC_MESSAGES", "de_DE.UTF-8");
    CScopedEnv lang("LANG", "fr_FR.UTF-8");
    EXPECT_EQ(CLanguageCatalogue::LanguageIdFromLocale(), 1041);
    {
        CScopedEnv noAll("LC_ALL", "");
        EXPECT_EQ(CLanguageCatalogue::LanguageIdFromLocale(), 1031);
        CScopedEnv noMessages("LC_MESSAGES", nullptr);
        EXPECT_EQ(CLanguageCatalogue::LanguageIdFromLocale(), 1036);
        CScopedEnv noLang("LANG", nullptr);
        EXPECT_EQ(CLanguageCatalogue::LanguageIdFromLocale(), 2052);
    }
}

// The English file we ship: every key translated, nothing unknown, every text whole.
class ShippedEnglish : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(ParseLanguageFile(ReadFileBytes(kShippedLanguages / "1033.lng"), english));
    }
    LanguageTable english;
};

TEST_F(ShippedEnglish, TranslatesEveryKey)
{
    for (const std::string& key : CLanguageCatalogue::Keys()) {
        const auto found = english.find(key);
        EXPECT_TRUE(found != english.end() && !found->second.empty()) << "missing: " << key;
    }
}

TEST_F(ShippedEnglish, HasNoUnknownKeys)
{
    const auto keys = CLanguageCatalogue::Keys();
    const std::set<std::string> known(keys.begin(), keys.end());
    for (const auto& [key, text] : english) {
        EXPECT_TRUE(known.count(key) == 1) << "unknown key: " << key;
    }
}

TEST_F(ShippedEnglish, TextsFitTheLookupBufferAndKeepPlaceholders)
{
    const std::wregex placeholder(L"%[-+ #0-9.]*[a-zA-Z]");
    const auto placeholders = [&](const std::wstring& text) {
        std::vector<std::wstring> found;
        for (std::wsregex_iterator it(text.begin(), text.end(), placeholder), end; it != end; ++it) {
            found.push_back(it->str());
        }
        return found;
    };
    for (const auto& [key, text] : english) {
        EXPECT_LE(text.size(), 99u) << key << " would be cut";
        EXPECT_EQ(placeholders(text), placeholders(CLanguageCatalogue::GetDefaultText(key))) << key;
    }
}

TEST_F(ShippedEnglish, LoadsThroughTheCatalogue)
{
    CLanguageCatalogue catalogue(kShippedLanguages, 1033);
    catalogue.Load();
    EXPECT_EQ(catalogue.GetText("ok"), L"OK");
    EXPECT_EQ(catalogue.GetText("exit_safe"), L"Safe\nExit");
}

TEST(LanguageCatalogueConcurrency, ReadersSeeWholeTextsWhileAnotherThreadReloads)
{
    CTempDir dir;
    const std::string first = "title=First language\nok=Fine\n";
    const std::string second = "title=Second language\nok=Good\n";
    dir.WriteFile("1033.lng", first);
    CLanguageCatalogue catalogue(dir.Path(), 1033);
    catalogue.Load();

    std::atomic<bool> stop { false };
    std::atomic<int> wrong { 0 };
    std::vector<std::thread> readers;
    for (int i = 0; i < 6; ++i) {
        readers.emplace_back([&] {
            while (!stop) {
                const std::wstring title = catalogue.GetText("title");
                const std::wstring ok = catalogue.GetText("ok");
                const std::wstring cancel = catalogue.GetText("cancel");
                if ((title != L"First language" && title != L"Second language")
                    || (ok != L"Fine" && ok != L"Good") || cancel != L"取消") {
                    ++wrong;
                }
            }
        });
    }
    const auto start = std::chrono::steady_clock::now();
    std::thread reloader([&] {
        for (int i = 0; i < 300; ++i) {
            // Replace the file atomically, as an editor saving it would.
            dir.WriteFile("next.lng", i % 2 == 0 ? second : first);
            fs::rename(dir / "next.lng", dir / "1033.lng");
            catalogue.Load();
        }
    });
    std::thread secondLoader([&] {
        for (int i = 0; i < 300; ++i) {
            catalogue.Load();
        }
    });
    reloader.join();
    secondLoader.join();
    // Readers must not keep a reload waiting for as long as they keep coming.
    const auto reloading = std::chrono::steady_clock::now() - start;
    stop = true;
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_LT(reloading, std::chrono::seconds(60));
}

} // namespace
