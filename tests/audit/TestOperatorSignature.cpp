#include "AuditTestEnvironment.h"
#include "PkiPrompts.h"
#include "PkiPtr.h"
#include "app/TextConversion.h"
#include "audit/OperatorSignature.h"
#include "tests/support/ScriptedPrompt.h"

#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <string>
#include <vector>

using namespace kelvane::test;
using kelvane::pki::CertPtr;

namespace {

constexpr std::chrono::milliseconds kNoWait { 0 };

// Chooses, among the certificates the library offers, the one whose common name is wanted, and
// counts how often it was asked. An empty name cancels.
struct CChooser
{
    std::string wanted;
    int calls = 0;

    static int Choose(void* userData, void* const* certs, int count, int* chosen)
    {
        auto* self = static_cast<CChooser*>(userData);
        ++self->calls;
        for (int i = 0; i < count; ++i) {
            std::string name;
            if (!self->wanted.empty() && kelvane::pki::GetCertText(certs[i], QUARNPKI_CERT_COMMON_NAME, name)
                && name == self->wanted) {
                *chosen = i;
                return 1;
            }
        }
        return 0;
    }
};

CertPtr CertFromDer(const std::vector<unsigned char>& der)
{
    return CertPtr(QuarnPKICertNewCert(der.data(), static_cast<int>(der.size())));
}

// Decodes Base64 and checks that it is CMS SignedData over content, signed by certPem.
bool IsSignatureOver(const std::string& base64, const std::string& content, const std::string& certPem)
{
    std::vector<unsigned char> der(base64.size());
    const int length = EVP_DecodeBlock(
        der.data(), reinterpret_cast<const unsigned char*>(base64.data()), static_cast<int>(base64.size()));
    if (length <= 0)
        return false;
    const unsigned char* p = der.data();
    CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, length);
    BIO* certBio = BIO_new_mem_buf(certPem.data(), static_cast<int>(certPem.size()));
    X509* signer = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
    STACK_OF(X509)* signers = sk_X509_new_null();
    sk_X509_push(signers, signer);
    BIO* out = BIO_new(BIO_s_mem());
    const bool verified
        = cms != nullptr && CMS_verify(cms, signers, nullptr, nullptr, out, CMS_NO_SIGNER_CERT_VERIFY) == 1;
    char* data = nullptr;
    const long outLength = BIO_get_mem_data(out, &data);
    const bool same = verified && std::string(data, static_cast<size_t>(outLength)) == content;
    BIO_free(out);
    sk_X509_pop_free(signers, X509_free);
    BIO_free(certBio);
    CMS_ContentInfo_free(cms);
    return same;
}

class OperatorSignature : public ::testing::Test
{
protected:
    void SetUp() override
    {
        AuditTokens();
        SetAuditPrompt(&prompt);
        QuarnPKISetCertChooserHook(&CChooser::Choose, &chooser);
    }
    void TearDown() override
    {
        QuarnPKISetCertChooserHook(&kelvane::HeadlessCertChooser, nullptr);
        SetAuditPrompt(nullptr);
        SetOperatorCert(nullptr);
        AuditTokens().PutBack(kOperatorP256);
        AuditTokens().PutBack(kOperatorRsa);
    }

    CScriptedPrompt prompt { {}, IDOK };
    CChooser chooser;
};

TEST_F(OperatorSignature, CheckChoosesOnceAndThenKeepsTheHeldCertificate)
{
    chooser.wanted = "操作员 甲";
    ASSERT_EQ(CheckOperatorCert(kNoWait), 1);
    EXPECT_EQ(chooser.calls, 1);
    ASSERT_EQ(CheckOperatorCert(kNoWait), 1);
    EXPECT_EQ(chooser.calls, 1) << "the held certificate's key is on a present token: no chooser";
    EXPECT_TRUE(prompt.Questions().empty());

    const CertPtr held(CopyOperatorCert());
    std::string name;
    ASSERT_TRUE(kelvane::pki::GetCertText(held.get(), QUARNPKI_CERT_COMMON_NAME, name));
    EXPECT_EQ(name, "操作员 甲");
}

TEST_F(OperatorSignature, CheckWaitsBeforeLooking)
{
    chooser.wanted = "操作员 甲";
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(CheckOperatorCert(std::chrono::milliseconds(200)), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
}

TEST_F(OperatorSignature, CheckReportsWhyNoCertificateWasTaken)
{
    // The chooser cancels: the operator is told that he cancelled.
    chooser.wanted.clear();
    EXPECT_EQ(CheckOperatorCert(kNoWait), 0);
    // No token holds a signing certificate: the chooser finds none and the operator is asked to
    // insert one.
    AuditTokens().Pull(kOperatorP256);
    AuditTokens().Pull(kOperatorRsa);
    EXPECT_EQ(CheckOperatorCert(kNoWait), 0);

    const auto questions = prompt.Questions();
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[0].text, kOperatorCancelledText);
    // Then what the token module shows, so that the operator knows what to check.
    EXPECT_EQ(
        questions[1].text.rfind(std::wstring(kOperatorInsertCertText) + L"\nthe PKCS#11 module ", 0), 0u)
        << WideToUtf8(questions[1].text);
    for (const auto& question : questions) {
        EXPECT_EQ(question.caption, L"提示");
        EXPECT_EQ(question.type, MB_OK | MB_ICONINFORMATION);
    }
    EXPECT_EQ(CopyOperatorCert(), nullptr) << "a failed check leaves the held certificate as it was";
}

TEST_F(OperatorSignature, PulledTokenMakesTheChooserComeBack)
{
    chooser.wanted = "操作员 甲";
    ASSERT_EQ(CheckOperatorCert(kNoWait), 1);
    AuditTokens().Pull(kOperatorP256);
    chooser.wanted = "Operator RSA";
    ASSERT_EQ(CheckOperatorCert(kNoWait), 1);
    EXPECT_EQ(chooser.calls, 2);
    const CertPtr held(CopyOperatorCert());
    std::string name;
    ASSERT_TRUE(kelvane::pki::GetCertText(held.get(), QUARNPKI_CERT_COMMON_NAME, name));
    EXPECT_EQ(name, "Operator RSA");
}

TEST_F(OperatorSignature, SignatureAlgorithmFollowsTheKey)
{
    CTestCa ca("Algorithm CA");
    const struct
    {
        KeyKind kind;
        int algorithm;
    } cases[] = {
        { KeyKind::Rsa2048, QUARNPKI_ALG_SHA256_RSA },
        { KeyKind::P256, QUARNPKI_ALG_ECDSA_SHA256 },
        { KeyKind::Sm2, QUARNPKI_ALG_SM2_SM3 },
    };
    for (const auto& entry : cases) {
        const CTestIssued issued = ca.Issue(CertRequest("signer", entry.kind));
        const CertPtr cert = CertFromDer(issued.certDer);
        ASSERT_NE(cert, nullptr);
        int algorithm = -5;
        EXPECT_EQ(GetSignAlgorithm(cert.get(), &algorithm), 1);
        EXPECT_EQ(algorithm, entry.algorithm) << static_cast<int>(entry.kind);
    }
    int algorithm = -5;
    EXPECT_EQ(GetSignAlgorithm(nullptr, &algorithm), -1);
    EXPECT_EQ(algorithm, 0);
}

TEST_F(OperatorSignature, SignsWithTheTokenKeyOfEitherKind)
{
    for (const char* label : { kOperatorP256, kOperatorRsa }) {
        const CTestIssued& issued = AuditTokens().Token(label).keys[0];
        const CertPtr cert = CertFromDer(issued.certDer);
        std::string signature;
        ASSERT_EQ(SignOperatorData(true, "{\"logtype\":1}", cert.get(), signature), 1) << label;
        EXPECT_EQ(signature.find_first_of("\r\n"), std::string::npos) << "one line of Base64";
        EXPECT_TRUE(IsSignatureOver(signature, "{\"logtype\":1}", issued.certPem)) << label;
    }
    EXPECT_TRUE(prompt.Questions().empty());
}

TEST_F(OperatorSignature, SigningWithoutTheTokenSaysTheKeyIsMissing)
{
    const CertPtr cert = CertFromDer(AuditTokens().Token(kOperatorP256).keys[0].certDer);
    AuditTokens().Pull(kOperatorP256);
    std::string signature = "stale";
    EXPECT_NE(SignOperatorData(true, "data", cert.get(), signature), 1);
    const auto questions = prompt.Questions();
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].text, kOperatorNoPrivateKeyText);
    EXPECT_EQ(questions[0].caption, L"错误");
}

TEST_F(OperatorSignature, CertificateWithoutItsKeySaysTheKeyIsMissing)
{
    // SoftHSM shows the missing key only once logged in: the first signature finds out after the
    // PIN, the second before it. Both tell the operator the key is missing.
    const CertPtr cert = CertFromDer(AuditTokens().Token(kCertificateOnly).keys[0].certDer);
    std::string signature;
    EXPECT_NE(SignOperatorData(true, "data", cert.get(), signature), 1);
    EXPECT_EQ(BindPrivateKey(cert.get()), 0);
    EXPECT_NE(SignOperatorData(true, "data", cert.get(), signature), 1);
    const auto questions = prompt.Questions();
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[0].text, kOperatorNoPrivateKeyText);
    EXPECT_EQ(questions[1].text, kOperatorNoPrivateKeyText);
}

TEST_F(OperatorSignature, HeadlessChooserNamesTheCandidatesInsteadOfACancel)
{
    QuarnPKISetCertChooserHook(&kelvane::HeadlessCertChooser, nullptr);
    EXPECT_EQ(CheckOperatorCert(kNoWait), 0);
    const auto questions = prompt.Questions();
    ASSERT_EQ(questions.size(), 1u);
    const std::wstring& text = questions[0].text;
    EXPECT_EQ(text.rfind(kOperatorAmbiguousText, 0), 0u);
    EXPECT_NE(text.find(L"token \"Operator P256\""), std::wstring::npos);
    EXPECT_NE(text.find(L"token \"Operator RSA\""), std::wstring::npos);
    EXPECT_NE(text.find(L"KELVANE_OPERATOR_CERT=<SHA-256 fingerprint>"), std::wstring::npos);
}

TEST_F(OperatorSignature, BindFindsTheKeyPairOfTheCertificateOnly)
{
    const CertPtr p256 = CertFromDer(AuditTokens().Token(kOperatorP256).keys[0].certDer);
    EXPECT_EQ(BindPrivateKey(p256.get()), 1);
    EXPECT_EQ(BindPrivateKey(nullptr), 0);
    // A certificate whose key is on no token binds nowhere.
    CTestCa ca("Foreign CA");
    const CertPtr foreign = CertFromDer(ca.Issue(CertRequest("nobody")).certDer);
    EXPECT_EQ(BindPrivateKey(foreign.get()), 0);
}

TEST(EncodeBase64, EncodesIntoOneZeroTerminatedLine)
{
    const struct
    {
        std::string in;
        std::string out;
    } cases[] = { { "", "" }, { "f", "Zg==" }, { "foobar", "Zm9vYmFy" }, { std::string(100, '\xff'), "" } };
    for (const auto& entry : cases) {
        char* text = nullptr;
        int length = -1;
        ASSERT_EQ(EncodeBase64(reinterpret_cast<const unsigned char*>(entry.in.data()),
                      static_cast<int>(entry.in.size()), &text, &length),
            1);
        const kelvane::pki::TextPtr owned(text);
        ASSERT_NE(owned, nullptr);
        EXPECT_EQ(static_cast<int>(std::strlen(owned.get())), length);
        if (!entry.out.empty()) {
            EXPECT_EQ(std::string(owned.get()), entry.out);
        } else if (!entry.in.empty()) {
            EXPECT_EQ(length, 136) << "100 bytes in one line, no line breaks";
        }
    }
}

} // namespace
