#include "CRulesService.h"
#include "RulesTestSupport.h"
#include "core/RulesBase64.h"
#include "core/RulesKey.h"

#include <gtest/gtest.h>
#include <memory>
#include <openssl/evp.h>
#include <string>

using namespace rulestest;

namespace {

// Decrypts an answer with OpenSSL and the shared key, independently of Quelvar.
std::string Decrypted(const std::string& answer)
{
    const std::string encrypted = rules::DecodeRulesBase64(answer);
    unsigned char key[rules::kRulesKeyLength];
    unsigned char iv[rules::kRulesIvLength];
    rules::BuildRulesKey(key);
    rules::BuildRulesIv(iv);
    const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(
        EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    std::string plain(encrypted.size() + 16, '\0');
    int written = 0;
    int last = 0;
    EXPECT_EQ(EVP_DecryptInit_ex(context.get(), EVP_sm4_cbc(), nullptr, key, iv), 1);
    EXPECT_EQ(
        EVP_DecryptUpdate(context.get(), reinterpret_cast<unsigned char*>(plain.data()), &written,
            reinterpret_cast<const unsigned char*>(encrypted.data()), static_cast<int>(encrypted.size())),
        1);
    EXPECT_EQ(
        EVP_DecryptFinal_ex(context.get(), reinterpret_cast<unsigned char*>(plain.data()) + written, &last),
        1);
    plain.resize(static_cast<size_t>(written + last));
    return plain;
}

class RulesService : public testing::Test
{
protected:
    RulesService()
    {
        // Bytes that a careless server would change: a zero byte, CR LF, no final line end.
        tender.WriteRules(std::string("<bidenv>\r\n\0 odd bytes", 21));
        std::string error;
        std::optional<CTender> loaded = LoadTender(tender.Path(), error);
        EXPECT_TRUE(loaded) << error;
        service = std::make_unique<CRulesService>(std::vector<CTender> { *loaded }, [this] { return now; });
        releaseTime = loaded->releaseTime;
    }

    CTenderFolder tender { "KV-1", "2026-12-08T09:00:00+08:00" };
    std::int64_t now = 0;
    std::int64_t releaseTime = 0;
    std::unique_ptr<CRulesService> service;
};

TEST_F(RulesService, ServesTheRulesFileByteForByteOnceReleased)
{
    now = releaseTime;
    const CRulesService::CAnswer answer = service->Answer("projectid=KV-1");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body.find_first_of("\r\n="), answer.body.find('='))
        << "the Base64 text must be one line";
    EXPECT_EQ(Decrypted(answer.body), ReadFileBytes(tender.RulesFile()));
}

TEST_F(RulesService, RefusesBeforeTheReleaseTime)
{
    now = releaseTime - 1;
    const CRulesService::CAnswer answer = service->Answer("projectid=KV-1");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(Decrypted(answer.body), "bidRulesErrorOutTime");
}

TEST_F(RulesService, ReadsTheProjectUpToTheNextField)
{
    now = releaseTime;
    EXPECT_EQ(service->Answer("projectid=KV-1&site=2").status, 200);
}

TEST_F(RulesService, AnswersAnUnknownProjectWithAnHtmlPage)
{
    const CRulesService::CAnswer answer = service->Answer("projectid=<script>");
    EXPECT_EQ(answer.status, 404);
    EXPECT_EQ(answer.contentType.rfind("text/html", 0), 0u);
    EXPECT_EQ(answer.body.find("<script>"), std::string::npos) << "the page must not echo the request";
    EXPECT_EQ(service->Answer("projectid=KV-1x").status, 404);
    EXPECT_EQ(service->Answer("project=KV-1").status, 400);
}

} // namespace
