// Time-stamps against an authority built here with OpenSSL's TS API, served on loopback: only
// a verified grant yields a time and a token.
#include "PkiTestUtil.h"
#include "QuarnPKI.h"
#include "app/PkiSettings.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TestCa.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <openssl/ts.h>
#include <poll.h>
#include <sys/socket.h>

using namespace kelvane::test;

namespace {

enum class Answer
{
    Granted,
    GrantedWithMods,
    Rejection,
    WrongNonce,
    WrongImprint,
    Tampered,
    NotAResponse
};

// An RFC 3161 authority with its own certificate (critical timeStamping usage) from `ca`.
class CTestAuthority
{
public:
    explicit CTestAuthority(CTestCa& ca)
        : key(GenerateKey(KeyKind::P256))
    {
        cert = ca.IssueFor(key.get(), Request("Test TSA", KeyKind::P256, CertUsage::TimeStamping));
    }

    std::string Respond(const std::string& requestDer, Answer answer) const
    {
        const auto* p = reinterpret_cast<const unsigned char*>(requestDer.data());
        TS_REQ* request = d2i_TS_REQ(nullptr, &p, static_cast<long>(requestDer.size()));
        if (request == nullptr) {
            return {};
        }
        if (answer == Answer::WrongNonce) {
            ASN1_INTEGER* nonce = ASN1_INTEGER_new();
            ASN1_INTEGER_set(nonce, 12345);
            TS_REQ_set_nonce(request, nonce);
            ASN1_INTEGER_free(nonce);
        }
        if (answer == Answer::WrongImprint) {
            TS_MSG_IMPRINT* imprint = TS_REQ_get_msg_imprint(request);
            ASN1_OCTET_STRING* digest = TS_MSG_IMPRINT_get_msg(imprint);
            std::string bytes(reinterpret_cast<const char*>(ASN1_STRING_get0_data(digest)),
                static_cast<size_t>(ASN1_STRING_length(digest)));
            bytes[0] ^= 1;
            ASN1_OCTET_STRING_set(
                digest, reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
        }
        unsigned char* modified = nullptr;
        const int modifiedLength = i2d_TS_REQ(request, &modified);
        TS_REQ_free(request);
        BIO* in = BIO_new_mem_buf(modified, modifiedLength);

        TS_RESP_CTX* ctx = TS_RESP_CTX_new();
        TS_RESP_CTX_set_signer_cert(ctx, cert.get());
        TS_RESP_CTX_set_signer_key(ctx, key.get());
        ASN1_OBJECT* policy = OBJ_txt2obj("1.3.6.1.4.1.99999.1", 1);
        TS_RESP_CTX_set_def_policy(ctx, policy);
        ASN1_OBJECT_free(policy);
        TS_RESP_CTX_add_md(ctx, EVP_sha256());
        TS_RESP_CTX_set_clock_precision_digits(ctx, 3); // a fraction of a second in the time
        TS_RESP* response = TS_RESP_create_response(ctx, in);
        BIO_free(in);
        OPENSSL_free(modified);
        TS_RESP_CTX_free(ctx);
        if (answer == Answer::GrantedWithMods || answer == Answer::Rejection) {
            TS_STATUS_INFO_set_status(TS_RESP_get_status_info(response), answer == Answer::Rejection ? 2 : 1);
        }
        unsigned char* der = nullptr;
        const int length = i2d_TS_RESP(response, &der);
        std::string bytes(reinterpret_cast<const char*>(der), static_cast<size_t>(length));
        OPENSSL_free(der);
        TS_RESP_free(response);
        if (answer == Answer::Tampered) {
            // The TSA name or serial lies in the signed TSTInfo; flip a byte of the time text.
            const size_t at = bytes.find("Z");
            if (at != std::string::npos && at > 2) {
                bytes[at - 2] = bytes[at - 2] == '1' ? '2' : '1';
            }
        }
        if (answer == Answer::NotAResponse) {
            return "<html>busy</html>";
        }
        return bytes;
    }

private:
    PkeyPtr key;
    X509Ptr cert;
};

std::string WriteTemp(const std::string& name, const std::string& text)
{
    const std::string path = (std::filesystem::temp_directory_path() / name).string();
    std::ofstream(path) << text;
    return path;
}

class PkiTimeStamp : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        ca = new CTestCa("Trusted TSA Root");
        otherCa = new CTestCa("Unknown Root");
        trusted = new CTestAuthority(*ca);
        untrusted = new CTestAuthority(*otherCa);
        anchorFile = WriteTemp("kelvane-tsa-ca-" + std::to_string(getpid()) + ".pem", ca->CertPem());
        setenv("KELVANE_TSA_CA", anchorFile.c_str(), 1);
        // An empty settings folder, so that only KELVANE_TSA_CA decides among our test authorities.
        emptyConfig
            = (std::filesystem::temp_directory_path() / ("kelvane-empty-cfg-" + std::to_string(getpid())))
                  .string();
        std::filesystem::create_directories(emptyConfig);
        setenv("XDG_CONFIG_HOME", emptyConfig.c_str(), 1);
        kelvane::SupplyPkiSettings(); // as the programs start
    }
    static void TearDownTestSuite()
    {
        std::filesystem::remove(anchorFile);
        std::filesystem::remove_all(emptyConfig);
        delete trusted;
        delete untrusted;
        delete ca;
        delete otherCa;
    }

    void SetUp() override
    {
        server.server.Post("/tsa/(\\w+)/(\\w+)", [](const httplib::Request& req, httplib::Response& res) {
            const CTestAuthority& authority = req.matches[1] == "trusted" ? *trusted : *untrusted;
            static const std::map<std::string, Answer> answers = { { "granted", Answer::Granted },
                { "mods", Answer::GrantedWithMods }, { "rejection", Answer::Rejection },
                { "nonce", Answer::WrongNonce }, { "imprint", Answer::WrongImprint },
                { "tampered", Answer::Tampered }, { "html", Answer::NotAResponse } };
            if (req.get_header_value("Content-Type") != "application/timestamp-query") {
                res.status = 415;
                return;
            }
            res.set_content(
                authority.Respond(req.body, answers.at(req.matches[2])), "application/timestamp-reply");
        });
        server.Start();
    }

    // The workstation's sequence: digest of 80 bytes of 0x01, request, status, time, token.
    struct CAttempt
    {
        int response = 0;
        int status = -1;
        std::string time;
        int token = 0;
    };

    static CAttempt Ask(const std::string& url)
    {
        const std::vector<unsigned char> message(80, 0x01);
        void* device = QuarnPKICryptoGetPseudoDevice();
        void* hash = QuarnPKICryptoNewHash(device, 8192);
        QuarnPKICryptoFreeDevice(device);
        QuarnPKICryptoHashUpdate(hash, message.data(), 80);
        unsigned char* digest = nullptr;
        int digestLength = 0;
        QuarnPKICryptoHashFinal(hash, &digest, &digestLength);
        QuarnPKICryptoFreeHash(hash);

        CAttempt attempt;
        void* ts = QuarnPKIMsgNewTimeStamp();
        EXPECT_EQ(QuarnPKIMsgTimeStampSetTSA(ts, url.c_str()), 1);
        EXPECT_EQ(QuarnPKIMsgTimeStampSetHashAlgorithm(ts, 8192), 1);
        EXPECT_EQ(QuarnPKIMsgTimeStampSetMessageImprint(ts, digest, digestLength), 1);
        QuarnPKICryptoFreeMemory(digest);
        attempt.response = QuarnPKIMsgTimeStampGetResponse(ts, &attempt.status);
        char* time = nullptr;
        if (QuarnPKIMsgTimeStampGetTime(ts, &time) == 1) {
            attempt.time = TakeText(time);
        }
        unsigned char* token = nullptr;
        int tokenLength = 0;
        attempt.token = QuarnPKIMsgTimeStampGetTimeStampToken(ts, &token, &tokenLength);
        if (attempt.token == 1 && (token == nullptr || token[0] != 0x30 || tokenLength < 100)) {
            attempt.token = -100;
        }
        QuarnPKICryptoFreeMemory(token);
        QuarnPKIMsgFreeTimeStamp(ts);
        return attempt;
    }

    static CTestCa* ca;
    static CTestCa* otherCa;
    static CTestAuthority* trusted;
    static CTestAuthority* untrusted;
    static std::string anchorFile;
    static std::string emptyConfig;
    CLoopbackServer server;
};

CTestCa* PkiTimeStamp::ca = nullptr;
CTestCa* PkiTimeStamp::otherCa = nullptr;
CTestAuthority* PkiTimeStamp::trusted = nullptr;
CTestAuthority* PkiTimeStamp::untrusted = nullptr;
std::string PkiTimeStamp::anchorFile;
std::string PkiTimeStamp::emptyConfig;

std::string UtcNow(int offsetSeconds)
{
    const std::time_t now = std::time(nullptr) + offsetSeconds;
    std::tm parts {};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &parts);
    return text;
}

TEST_F(PkiTimeStamp, GrantedResponsesGiveTheTimeWithoutFractionAndTheToken)
{
    for (const std::string answer : { "granted", "mods" }) {
        const std::string before = UtcNow(-2);
        const CAttempt attempt = Ask(server.Url("/tsa/trusted/" + answer));
        const std::string after = UtcNow(2);
        ASSERT_EQ(attempt.response, 1) << answer << ": " << QuarnPKIGetLastError();
        EXPECT_EQ(attempt.status, answer == "granted" ? 0 : 1);
        ASSERT_EQ(attempt.time.size(), 15u) << attempt.time; // 14 digits and Z, the fraction dropped
        EXPECT_EQ(attempt.time.back(), 'Z');
        EXPECT_GE(attempt.time, before);
        EXPECT_LE(attempt.time, after);
        EXPECT_EQ(attempt.token, 1);
    }
}

TEST_F(PkiTimeStamp, RejectionGivesItsStatusAndNeitherTimeNorToken)
{
    const CAttempt attempt = Ask(server.Url("/tsa/trusted/rejection"));
    EXPECT_EQ(attempt.response, 1);
    EXPECT_EQ(attempt.status, 2);
    EXPECT_TRUE(attempt.time.empty());
    EXPECT_NE(attempt.token, 1);
}

TEST_F(PkiTimeStamp, DigestTheAuthorityDoesNotTakeIsRefusedWithoutToken)
{
    void* ts = QuarnPKIMsgNewTimeStamp();
    const std::vector<unsigned char> digest(32, 3);
    QuarnPKIMsgTimeStampSetTSA(ts, server.Url("/tsa/trusted/granted").c_str());
    ASSERT_EQ(QuarnPKIMsgTimeStampSetHashAlgorithm(ts, 4096), 1); // SM3: the authority only takes SHA-256
    QuarnPKIMsgTimeStampSetMessageImprint(ts, digest.data(), 32);
    int status = -1;
    EXPECT_EQ(QuarnPKIMsgTimeStampGetResponse(ts, &status), 1) << QuarnPKIGetLastError();
    EXPECT_EQ(status, 2);
    char* time = nullptr;
    EXPECT_NE(QuarnPKIMsgTimeStampGetTime(ts, &time), 1);
    QuarnPKIMsgFreeTimeStamp(ts);
}

TEST_F(PkiTimeStamp, UnverifiableResponsesFailTheAuthority)
{
    for (const std::string path : { "/tsa/trusted/nonce", "/tsa/trusted/imprint", "/tsa/trusted/tampered",
             "/tsa/untrusted/granted", "/tsa/trusted/html", "/nowhere" }) {
        const CAttempt attempt = Ask(server.Url(path));
        EXPECT_NE(attempt.response, 1) << path;
        EXPECT_TRUE(attempt.time.empty()) << path;
        EXPECT_NE(attempt.token, 1) << path;
        EXPECT_STRNE(QuarnPKIGetLastError(), "") << path;
    }
}

TEST_F(PkiTimeStamp, TrustAnchorFromTheSettingsFolder)
{
    const std::string config
        = (std::filesystem::temp_directory_path() / ("kelvane-cfg-" + std::to_string(getpid()))).string();
    std::filesystem::create_directories(config + "/QUARN/rmw");
    std::ofstream(config + "/QUARN/rmw/tsa-ca.pem") << otherCa->CertPem();
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    kelvane::SupplyPkiSettings();
    const CAttempt attempt = Ask(server.Url("/tsa/untrusted/granted"));
    setenv("XDG_CONFIG_HOME", emptyConfig.c_str(), 1);
    kelvane::SupplyPkiSettings();
    std::filesystem::remove_all(config);
    EXPECT_EQ(attempt.response, 1) << QuarnPKIGetLastError();
    EXPECT_EQ(attempt.token, 1);
}

TEST_F(PkiTimeStamp, RequestNeedsAMatchingImprint)
{
    void* ts = QuarnPKIMsgNewTimeStamp();
    const unsigned char shortDigest[20] = {};
    QuarnPKIMsgTimeStampSetTSA(ts, server.Url("/tsa/trusted/granted").c_str());
    QuarnPKIMsgTimeStampSetMessageImprint(ts, shortDigest, 20); // SHA-1 length for SHA-256
    int status = -1;
    EXPECT_NE(QuarnPKIMsgTimeStampGetResponse(ts, &status), 1);
    EXPECT_NE(QuarnPKIMsgTimeStampSetHashAlgorithm(ts, 1234), 1);
    QuarnPKIMsgFreeTimeStamp(ts);
}

TEST(PkiTimeStampSilence, AnAuthorityThatNeverAnswersIsGivenUpWithinTheTimeOut)
{
    // Takes the connection and the request but never answers, until the client gives up.
    CRawServer silent([](const int fd) {
        char buffer[4096];
        pollfd waiting { fd, POLLIN, 0 };
        while (poll(&waiting, 1, 10000) == 1 && recv(fd, buffer, sizeof buffer, 0) > 0) { }
    });
    QuarnPKICryptoSetHttpTimeouts(1000, 1500);
    const auto start = std::chrono::steady_clock::now();
    void* ts = QuarnPKIMsgNewTimeStamp();
    const std::vector<unsigned char> digest(32, 7);
    QuarnPKIMsgTimeStampSetTSA(ts, silent.Url("/tsa").c_str());
    QuarnPKIMsgTimeStampSetMessageImprint(ts, digest.data(), 32);
    int status = -1;
    EXPECT_NE(QuarnPKIMsgTimeStampGetResponse(ts, &status), 1);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    QuarnPKIMsgFreeTimeStamp(ts);
    QuarnPKICryptoSetHttpTimeouts(10000, 30000);
    EXPECT_GE(elapsed, std::chrono::milliseconds(1400));
    EXPECT_LT(elapsed, std::chrono::milliseconds(5000));
    EXPECT_NE(std::string(QuarnPKIGetLastError()).find("failed"), std::string::npos);
}

} // namespace
