// A token pulled out and put back during a run, through the forwarding PKCS#11 module: the next
// call fails cleanly, and a later call logs in again and works. Other tokens keep their login.
#include "PkiPrompts.h"
#include "PkiTestUtil.h"
#include "QuarnPKI.h"
#include "TestTokenSet.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <map>
#include <openssl/rsa.h>
#include <p11-kit/pkcs11.h>

using namespace kelvane::test;

namespace {

const std::string kRemovable = "Removable 开标 Key";
const std::string kStays = "Stays";

CTestTokenSet& Tokens()
{
    static CTestTokenSet set = [] {
        CTestTokenSet s;
        s.AddToken(kRemovable, "123456",
            { Request("Removable", KeyKind::Rsa2048, CertUsage::SignatureAndEncryption) });
        s.AddToken(
            kStays, "654321", { Request("Stays", KeyKind::Rsa2048, CertUsage::SignatureAndEncryption) });
        s.Activate(true);
        return s;
    }();
    return set;
}

std::map<std::string, int> asked;

int AnswerPin(void*, const char* label, int, char* pin, int capacity)
{
    ++asked[label];
    std::snprintf(pin, static_cast<size_t>(capacity), "%s", Tokens().Token(label).pin.c_str());
    return 1;
}

class PkiTokenRemoval : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Tokens();
        asked.clear();
        QuarnPKISetPinPromptHook(&AnswerPin, nullptr);
    }
    void TearDown() override
    {
        Tokens().PutBack(kRemovable);
        QuarnPKISetPinPromptHook(&kelvane::TerminalPinPrompt, nullptr);
    }

    // Decrypts a fresh RSA-OAEP message with the key of the token's certificate.
    static int UseKey(const std::string& label)
    {
        const auto& der = Tokens().Token(label).keys[0].certDer;
        void* cert = QuarnPKICertNewCert(der.data(), static_cast<int>(der.size()));
        void* keypair = QuarnPKICertGetCertKeyPair(cert, 0x40000000, 0x10000001, nullptr);
        int rc = QUARNPKI_TOKEN_ABSENT;
        if (keypair != nullptr) {
            rc = Decrypt(keypair, der);
        }
        QuarnPKICryptoFreeKeypair(keypair);
        QuarnPKICertFreeCert(cert);
        return rc;
    }

    static int Decrypt(void* keypair, const std::vector<unsigned char>& certDer)
    {
        const unsigned char* p = certDer.data();
        X509Ptr x509(d2i_X509(nullptr, &p, static_cast<long>(certDer.size())));
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(X509_get0_pubkey(x509.get()), nullptr);
        EVP_PKEY_encrypt_init(ctx);
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING);
        EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha256());
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256());
        const unsigned char message[] = "share";
        std::vector<unsigned char> sealed(512);
        size_t length = sealed.size();
        EVP_PKEY_encrypt(ctx, sealed.data(), &length, message, sizeof message);
        EVP_PKEY_CTX_free(ctx);
        unsigned char* plain = nullptr;
        int plainLength = 0;
        const int rc = QuarnPKICryptoKeypairDecrypt(
            keypair, sealed.data(), static_cast<int>(length), &plain, &plainLength);
        if (rc == 1
            && TakeBytes(plain, plainLength)
                != std::vector<unsigned char>(message, message + sizeof message)) {
            return 0;
        }
        return rc;
    }
};

TEST_F(PkiTokenRemoval, PulledTokenFailsCleanlyAndWorksAgainWhenPutBack)
{
    ASSERT_EQ(UseKey(kRemovable), 1) << QuarnPKIGetLastError();
    ASSERT_EQ(UseKey(kStays), 1) << QuarnPKIGetLastError();
    EXPECT_EQ(asked[kRemovable], 1);

    Tokens().Pull(kRemovable);
    EXPECT_NE(UseKey(kRemovable), 1);
    EXPECT_EQ(UseKey(kStays), 1);

    Tokens().PutBack(kRemovable);
    EXPECT_EQ(UseKey(kRemovable), 1) << QuarnPKIGetLastError();
    EXPECT_EQ(asked[kRemovable], 2); // logged in again after the removal
    EXPECT_EQ(asked[kStays], 1); // the other token kept its login
}

TEST_F(PkiTokenRemoval, KeyPairHeldAcrossARemovalIsReachedThroughTheNewSession)
{
    const auto& der = Tokens().Token(kRemovable).keys[0].certDer;
    void* cert = QuarnPKICertNewCert(der.data(), static_cast<int>(der.size()));
    void* keypair = QuarnPKICertGetCertKeyPair(cert, 0x40000000, 0x10000001, nullptr);
    ASSERT_NE(keypair, nullptr);
    ASSERT_EQ(Decrypt(keypair, der), 1);

    Tokens().Pull(kRemovable);
    EXPECT_EQ(Decrypt(keypair, der), QUARNPKI_TOKEN_ABSENT);
    EXPECT_EQ(QuarnPKICertGetCertKeyPair(cert, 0x10000000, 2, nullptr), nullptr);
    Tokens().PutBack(kRemovable);
    EXPECT_EQ(Decrypt(keypair, der), 1) << QuarnPKIGetLastError();
    QuarnPKICryptoFreeKeypair(keypair);
    QuarnPKICertFreeCert(cert);
}

TEST_F(PkiTokenRemoval, RemovalBetweenTwoCallsIsNoticedAndRecovered)
{
    ASSERT_EQ(UseKey(kRemovable), 1);
    const int before = asked[kRemovable];
    // Pulled and put back with no call of the library in between: only the module saw it, and
    // the token lost its login and sessions unseen.
    Tokens().Pull(kRemovable);
    void* module = dlopen(CTestTokenSet::ForwardingModule().c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(module, nullptr);
    CK_FUNCTION_LIST_PTR functions = nullptr;
    reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"))(&functions);
    CK_ULONG count = 0;
    functions->C_GetSlotList(CK_TRUE, nullptr, &count);
    dlclose(module);
    Tokens().PutBack(kRemovable);
    int rc = UseKey(kRemovable);
    if (rc != 1) {
        rc = UseKey(kRemovable); // at most one clean failure, then it works
    }
    EXPECT_EQ(rc, 1) << QuarnPKIGetLastError();
    EXPECT_EQ(asked[kRemovable], before + 1);
}

} // namespace
