// What a token must not be put through, and what must not pass silently: a certificate taken
// for a key pair, a refused PIN sent again (real tokens lock after a few), an operator
// certificate picked among several, and a PIN file that hangs or floods the process. Through
// the forwarding module, which counts the C_Login calls each token receives.
#include "PkiPrompts.h"
#include "PkiTestUtil.h"
#include "QuarnPKI.h"
#include "TestTokenSet.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

using namespace kelvane::test;

namespace {

const std::string kWrongFile = "Wrong In File";
const std::string kWrongVariable = "Wrong In Variable";
const std::string kLastTry = "Last Try 开标";
const std::string kCertOnly = "Certificate Only";
const std::string kOperatorA = "Operator A";
const std::string kOperatorB = "Operator B";
const std::string kPinFileGuard = "Pin File Guard";

CTestTokenSet& Tokens()
{
    static CTestTokenSet set = [] {
        CTestTokenSet s;
        const auto rsa
            = [](const char* name) { return Request(name, KeyKind::Rsa2048, CertUsage::Encryption); };
        s.AddToken(kWrongFile, "111111", { rsa("Wrong File") });
        s.AddToken(kWrongVariable, "222222", { rsa("Wrong Variable") });
        s.AddToken(kLastTry, "333333", { rsa("Last Try") });
        s.AddCertificateOnlyToken(kCertOnly, "444444", { Request("Cert Only Signer", KeyKind::P256) });
        s.AddToken(kOperatorA, "555555", { Request("operator", KeyKind::P256) });
        s.AddToken(kOperatorB, "666666", { Request("operator", KeyKind::P256) });
        s.AddToken(kPinFileGuard, "777777", { rsa("Pin File Guard") });
        s.Activate(true);
        s.SetFinalTry(kLastTry);
        return s;
    }();
    return set;
}

void* Cert(const std::string& label)
{
    const auto& der = Tokens().Token(label).keys[0].certDer;
    return QuarnPKICertNewCert(der.data(), static_cast<int>(der.size()));
}

std::string Fingerprint(const std::string& label)
{
    void* cert = Cert(label);
    char* text = nullptr;
    QuarnPKICertGetCertStringAttribute(cert, QUARNPKI_CERT_SHA256_FINGERPRINT, &text, nullptr);
    QuarnPKICertFreeCert(cert);
    return TakeText(text);
}

// One private-key operation with the token's key, as one bid's opening needs: RSA-OAEP.
int UseKey(const std::string& label)
{
    const auto& der = Tokens().Token(label).keys[0].certDer;
    void* cert = QuarnPKICertNewCert(der.data(), static_cast<int>(der.size()));
    void* keypair = QuarnPKICertGetCertKeyPair(cert, 0x40000000, 0x10000001, nullptr);
    int rc = QUARNPKI_TOKEN_ABSENT;
    if (keypair != nullptr) {
        const unsigned char* p = der.data();
        X509Ptr x509(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(X509_get0_pubkey(x509.get()), nullptr);
        EVP_PKEY_encrypt_init(ctx);
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING);
        EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha256());
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256());
        const unsigned char share[] = "share";
        std::vector<unsigned char> sealed(512);
        size_t length = sealed.size();
        EVP_PKEY_encrypt(ctx, sealed.data(), &length, share, sizeof share);
        EVP_PKEY_CTX_free(ctx);
        unsigned char* plain = nullptr;
        int plainLength = 0;
        rc = QuarnPKICryptoKeypairDecrypt(
            keypair, sealed.data(), static_cast<int>(length), &plain, &plainLength);
        QuarnPKICryptoFreeMemory(plain);
    }
    QuarnPKICryptoFreeKeypair(keypair);
    QuarnPKICertFreeCert(cert);
    return rc;
}

std::vector<std::string> messages;
void Collect(void*, const char* message)
{
    messages.emplace_back(message);
}

// Answers every prompt with `pin` and records the attempts-left value it was given.
struct CPrompt
{
    std::string pin;
    std::vector<int> asked;
    static int Answer(void* self, const char*, int attemptsLeft, char* pin, int capacity)
    {
        auto* prompt = static_cast<CPrompt*>(self);
        prompt->asked.push_back(attemptsLeft);
        std::snprintf(pin, static_cast<size_t>(capacity), "%s", prompt->pin.c_str());
        return 1;
    }
};

class PkiTokenGuards : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Tokens();
        messages.clear();
        QuarnPKISetMessageHook(&Collect, nullptr);
    }
    void TearDown() override
    {
        QuarnPKISetMessageHook(nullptr, nullptr);
        QuarnPKISetPinPromptHook(&kelvane::TerminalPinPrompt, nullptr);
        setenv("KELVANE_PIN_FILE", Tokens().PinFilePath().c_str(), 1);
        unsetenv("KELVANE_OPERATOR_CERT");
    }

    std::string WritePins(const std::string& name, const std::string& lines)
    {
        const std::string path = Tokens().Folder() + "/" + name;
        std::ofstream(path, std::ios::trunc) << lines;
        return path;
    }
};

TEST_F(PkiTokenGuards, CertificateWithoutItsPrivateKeyIsNoKeyPair)
{
    CPrompt prompt { "444444", {} };
    QuarnPKISetPinPromptHook(&CPrompt::Answer, &prompt);
    void* cert = Cert(kCertOnly);
    // SoftHSM hides private keys until login: before the PIN nothing tells the certificate
    // alone from a key pair, and the signature finds out after login.
    void* sd = QuarnPKIMsgNewSignedData(1);
    ASSERT_EQ(QuarnPKIMsgSignedDataSetSignCert(sd, cert, 0), 1);
    unsigned char* piece = nullptr;
    int length = 0;
    ASSERT_EQ(QuarnPKIMsgSignedDataSignInit(sd, &piece, &length), 1);
    QuarnPKICryptoFreeMemory(piece);
    EXPECT_EQ(QuarnPKIMsgSignedDataSignFinal(sd, &piece, &length), QUARNPKI_NO_PRIVATE_KEY);
    EXPECT_NE(std::string(QuarnPKIGetLastError()).find("not its private key"), std::string::npos);
    QuarnPKIMsgFreeSignedData(sd);
    EXPECT_EQ(prompt.asked.size(), 1U);

    // Logged in, the token shows all its private keys: the certificate is no key pair any more,
    // by any road the workstation takes to it.
    EXPECT_EQ(QuarnPKICertGetCertKeyPair(cert, 0x10000000, 2, nullptr), nullptr);
    EXPECT_NE(std::string(QuarnPKIGetLastError()).find(kCertOnly), std::string::npos);
    void* other = Cert(kOperatorA);
    void* keypair = QuarnPKICertGetCertKeyPair(other, 0x10000000, 2, nullptr);
    EXPECT_NE(keypair, nullptr) << "a token with its key still has a key pair";
    QuarnPKICryptoFreeKeypair(keypair);
    QuarnPKICertFreeCert(other);
    // Nor does the chooser offer it.
    const char* filter = R"({"InValidity":true,"Type":"signature","Value":"Cert Only Signer"})";
    void* chosen = nullptr;
    EXPECT_EQ(QuarnPKISelectCert(filter, 0, &chosen), QUARNPKI_FAILED);
    EXPECT_EQ(chosen, nullptr);
    QuarnPKICertFreeCert(cert);
    EXPECT_EQ(prompt.asked.size(), 1U);
}

// Three bids and two passes over them: a wrong PIN from the file or the variable reaches each
// token once, the operator hears of it once, and the corrected PIN is tried.
TEST_F(PkiTokenGuards, HeadlessWrongPinReachesEachTokenOnce)
{
    setenv("KELVANE_PIN_FILE", WritePins("wrong-pins", kWrongFile + "\t000000\n").c_str(), 1);
    setenv("KELVANE_PIN_WRONG_IN_VARIABLE", "999999", 1);
    for (int pass = 0; pass < 2; ++pass) {
        for (int bid = 0; bid < 3; ++bid) {
            EXPECT_EQ(UseKey(kWrongFile), QUARNPKI_PIN_INCORRECT);
            EXPECT_EQ(UseKey(kWrongVariable), QUARNPKI_PIN_INCORRECT);
        }
    }
    EXPECT_EQ(CTestTokenSet::LoginCalls(kWrongFile), 1);
    EXPECT_EQ(CTestTokenSet::LoginCalls(kWrongVariable), 1);
    const std::string lastError = QuarnPKIGetLastError();
    EXPECT_NE(lastError.find("already refused the PIN from KELVANE_PIN_WRONG_IN_VARIABLE"), std::string::npos)
        << lastError;
    EXPECT_EQ(lastError.find("999999"), std::string::npos);
    ASSERT_EQ(messages.size(), 2U);
    EXPECT_NE(messages[0].find("token \"" + kWrongFile + "\" (serial "), std::string::npos) << messages[0];
    EXPECT_NE(messages[0].find("refused the PIN from the PIN file"), std::string::npos) << messages[0];
    EXPECT_NE(messages[0].find("left out"), std::string::npos) << messages[0];
    // SoftHSM counts wrong PINs: its flag says so.
    EXPECT_NE(messages[0].find("few tries are left"), std::string::npos) << messages[0];

    // The file corrected during the run: the new PIN is a new try, and it works.
    WritePins("wrong-pins", kWrongFile + "\t111111\n");
    EXPECT_EQ(UseKey(kWrongFile), 1) << QuarnPKIGetLastError();
    EXPECT_EQ(CTestTokenSet::LoginCalls(kWrongFile), 2);
    unsetenv("KELVANE_PIN_WRONG_IN_VARIABLE");
}

// A person at the prompt is asked again, told why; the refused PIN itself never goes out again.
TEST_F(PkiTokenGuards, PromptIsAskedAgainButTheRefusedPinIsNotSent)
{
    CPrompt prompt { "000000", {} };
    QuarnPKISetPinPromptHook(&CPrompt::Answer, &prompt);
    EXPECT_EQ(UseKey(kLastTry), QUARNPKI_PIN_INCORRECT);
    ASSERT_EQ(messages.size(), 1U);
    EXPECT_NE(messages[0].find("one more wrong PIN locks the token"), std::string::npos) << messages[0];
    EXPECT_EQ(prompt.asked, std::vector<int> { 1 }); // the token's last try is announced to the prompt

    // The prompt keeps answering the refused PIN: asked three times, nothing sent.
    EXPECT_EQ(UseKey(kLastTry), QUARNPKI_PIN_INCORRECT);
    EXPECT_EQ(prompt.asked.size(), 4U);
    EXPECT_EQ(messages.size(), 3U);
    EXPECT_NE(messages.back().find("already refused the PIN from the PIN prompt"), std::string::npos);
    EXPECT_EQ(CTestTokenSet::LoginCalls(kLastTry), 1);

    prompt.pin = "333333";
    EXPECT_EQ(UseKey(kLastTry), 1) << QuarnPKIGetLastError();
    EXPECT_EQ(CTestTokenSet::LoginCalls(kLastTry), 2);
}

TEST_F(PkiTokenGuards, OperatorIsNeverChosenAmongSeveralSilently)
{
    const char* filter
        = R"({"UIFlag":"default","InValidity":true,"Type":"signature","Method":"device","Value":"any"})";
    const std::string a = Fingerprint(kOperatorA);
    const std::string b = Fingerprint(kOperatorB);
    void* cert = nullptr;
    for (const char* named : { "operator", "" }) {
        setenv("KELVANE_OPERATOR_CERT", named, 1);
        EXPECT_EQ(QuarnPKISelectCert(filter, 0, &cert), QUARNPKI_CERT_AMBIGUOUS) << named;
        EXPECT_EQ(cert, nullptr);
        const std::string error = QuarnPKIGetLastError();
        EXPECT_NE(error.find(kOperatorA + "\", certificate \"operator\", SHA-256 " + a), std::string::npos)
            << error;
        EXPECT_NE(error.find(kOperatorB + "\", certificate \"operator\", SHA-256 " + b), std::string::npos)
            << error;
        EXPECT_NE(error.find("KELVANE_OPERATOR_CERT=<SHA-256 fingerprint>"), std::string::npos) << error;
    }
    setenv("KELVANE_OPERATOR_CERT", b.c_str(), 1);
    ASSERT_EQ(QuarnPKISelectCert(filter, 0, &cert), 1) << QuarnPKIGetLastError();
    void* keypair = QuarnPKICertGetCertKeyPair(cert, 0x10000000, 2, nullptr);
    void* device = QuarnPKICryptoGetDeviceHandleFromKeypair(keypair);
    char* label = nullptr;
    ASSERT_EQ(QuarnPKICryptoGetDeviceLabel(device, &label), 1);
    EXPECT_EQ(TakeText(label), kOperatorB);
    QuarnPKICryptoFreeDevice(device);
    QuarnPKICryptoFreeKeypair(keypair);
    QuarnPKICertFreeCert(cert);
}

// A PIN file that is no regular file, or too big, is refused at once with the reason; the login
// it was for is not tried.
TEST_F(PkiTokenGuards, PinFileThatCouldHangOrFloodIsRefused)
{
    const std::string fifo = Tokens().Folder() + "/pin-fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string zero = Tokens().Folder() + "/pin-zero";
    std::filesystem::create_symlink("/dev/zero", zero);
    std::string big = kPinFileGuard + "\t777777\n";
    big.resize(64 * 1024 + 1, '#');
    const std::string oversized = WritePins("pin-big", big);
    const struct
    {
        std::string path;
        const char* reason;
    } cases[] = { { fifo, "is not a regular file" }, { zero, "is not a regular file" },
        { oversized, "is larger than 64 KiB" } };
    for (const auto& c : cases) {
        setenv("KELVANE_PIN_FILE", c.path.c_str(), 1);
        std::packaged_task<std::pair<int, std::string>()> task([] {
            const int rc = UseKey(kPinFileGuard);
            return std::make_pair(rc, std::string(QuarnPKIGetLastError()));
        });
        auto result = task.get_future();
        std::thread(std::move(task)).detach();
        ASSERT_EQ(result.wait_for(std::chrono::seconds(1)), std::future_status::ready) << c.path << " hangs";
        const auto [rc, error] = result.get();
        EXPECT_EQ(rc, QUARNPKI_FAILED) << c.path;
        EXPECT_NE(error.find(c.path + " " + c.reason), std::string::npos) << error;
    }
    EXPECT_EQ(messages.size(), 3U); // each reason told once
    EXPECT_EQ(CTestTokenSet::LoginCalls(kPinFileGuard), 0);
    big.resize(64 * 1024, '#');
    setenv("KELVANE_PIN_FILE", WritePins("pin-big", big).c_str(), 1);
    EXPECT_EQ(UseKey(kPinFileGuard), 1) << QuarnPKIGetLastError();
}

} // namespace
