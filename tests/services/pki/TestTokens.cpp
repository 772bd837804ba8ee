// Key pairs on SoftHSM tokens: finding them without a PIN, logging in once, RSA-OAEP and ECDH
// through the token, a wrong PIN, and the operator's key binding.
#include "PkiTestUtil.h"
#include "PkiTokenSet.h"
#include "QuarnPKI.h"

#include <gtest/gtest.h>
#include <map>
#include <openssl/rsa.h>
#include <string>

using namespace kelvane::test;

CTestTokenSet& kelvane::test::Tokens()
{
    static CTestTokenSet set = [] {
        CTestTokenSet s;
        s.AddToken(kOpener, "111111", { Request("开标人一", KeyKind::Rsa2048, CertUsage::Encryption) });
        s.AddToken(kEcOpener, "222222", { Request("EC Opener", KeyKind::P256, CertUsage::Encryption) });
        s.AddToken(kOperator, "333333",
            { Request("Other Key", KeyKind::P256, CertUsage::Encryption),
                Request("操作员 张三", KeyKind::Rsa2048, CertUsage::Signature, "某某招标中心") });
        s.AddToken(kGuarded, "444444", { Request("Guarded", KeyKind::Rsa2048, CertUsage::Encryption) });
        s.AddToken(kFromFile, "555555", { Request("From File", KeyKind::Rsa2048, CertUsage::Encryption) });
        s.AddToken(
            kFromVariable, "666666", { Request("From Variable", KeyKind::Rsa2048, CertUsage::Encryption) });
        CTestCertRequest expired = Request("Expired Signer", KeyKind::P256, CertUsage::Signature);
        expired.validFromSeconds = -2 * 86400;
        expired.validToSeconds = -86400;
        s.AddToken(
            kEcSigner, "777777", { Request("EC Signer", KeyKind::P256, CertUsage::Signature), expired });
        s.Activate();
        return s;
    }();
    return set;
}

namespace {

std::vector<unsigned char> OaepEncrypt(const std::vector<unsigned char>& certDer, const std::string& plain)
{
    const unsigned char* p = certDer.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(certDer.size()));
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(X509_get0_pubkey(cert), nullptr);
    EVP_PKEY_encrypt_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING);
    EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha256());
    EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256());
    size_t length = 0;
    EVP_PKEY_encrypt(
        ctx, nullptr, &length, reinterpret_cast<const unsigned char*>(plain.data()), plain.size());
    std::vector<unsigned char> out(length);
    EVP_PKEY_encrypt(
        ctx, out.data(), &length, reinterpret_cast<const unsigned char*>(plain.data()), plain.size());
    out.resize(length);
    EVP_PKEY_CTX_free(ctx);
    X509_free(cert);
    return out;
}

TEST_F(PkiTokens, FindsTheKeyOfACertificateWithoutAPin)
{
    void* opener = Cert(kOpener);
    void* keypair = QuarnPKICertGetCertKeyPair(opener, 0x40000000, 0x10000001, nullptr);
    ASSERT_NE(keypair, nullptr) << QuarnPKIGetLastError();
    EXPECT_TRUE(book.asked.empty());
    void* device = QuarnPKICryptoGetDeviceHandleFromKeypair(keypair);
    char* label = nullptr;
    ASSERT_EQ(QuarnPKICryptoGetDeviceLabel(device, &label), 1);
    EXPECT_EQ(TakeText(label), kOpener);
    QuarnPKICryptoFreeDevice(device);
    QuarnPKICryptoFreeKeypair(keypair);
    QuarnPKICertFreeCert(opener);

    // A certificate whose key is on no token.
    const CTestIssued stranger = Tokens().Ca().Issue(Request("Stranger", KeyKind::P256));
    void* strangerCert
        = QuarnPKICertNewCert(stranger.certDer.data(), static_cast<int>(stranger.certDer.size()));
    EXPECT_EQ(QuarnPKICertGetCertKeyPair(strangerCert, 0x40000000, 0x10000001, nullptr), nullptr);
    QuarnPKICertFreeCert(strangerCert);
    EXPECT_TRUE(book.asked.empty());
}

TEST_F(PkiTokens, RsaOaepRoundTripThroughTheTokenAsksThePinOnce)
{
    void* opener = Cert(kOpener);
    void* keypair = QuarnPKICertGetCertKeyPair(opener, 0x40000000, 0x10000001, nullptr);
    ASSERT_NE(keypair, nullptr);
    for (int i = 0; i < 5; ++i) {
        const std::string share = "share of the content key #" + std::to_string(i);
        const auto sealed = OaepEncrypt(Tokens().Token(kOpener).keys[0].certDer, share);
        unsigned char* plain = nullptr;
        int length = 0;
        ASSERT_EQ(QuarnPKICryptoKeypairDecrypt(
                      keypair, sealed.data(), static_cast<int>(sealed.size()), &plain, &length),
            1)
            << QuarnPKIGetLastError();
        EXPECT_EQ(TakeBytes(plain, length), Bytes(share));
    }
    // A ciphertext that is not OAEP for this key fails cleanly, and costs no new prompt.
    std::vector<unsigned char> garbage(256, 0x42);
    unsigned char* plain = nullptr;
    int length = 0;
    EXPECT_NE(QuarnPKICryptoKeypairDecrypt(keypair, garbage.data(), 256, &plain, &length), 1);
    EXPECT_LE(book.asked[kOpener], 1);
    QuarnPKICryptoFreeKeypair(keypair);
    QuarnPKICertFreeCert(opener);
}

TEST_F(PkiTokens, EcdhThroughTheTokenMatchesTheSoftwareSide)
{
    void* opener = Cert(kEcOpener);
    void* keypair = QuarnPKICertGetCertKeyPair(opener, 0x40000000, 0x10000001, nullptr);
    ASSERT_NE(keypair, nullptr);
    // The sealing side: an ephemeral key and ECDH with the opener's certificate.
    PkeyPtr ephemeral = GenerateKey(KeyKind::P256);
    const auto& certDer = Tokens().Token(kEcOpener).keys[0].certDer;
    const unsigned char* p = certDer.data();
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(certDer.size())));
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(ephemeral.get(), nullptr);
    EVP_PKEY_derive_init(ctx);
    EVP_PKEY_derive_set_peer(ctx, X509_get0_pubkey(cert.get()));
    std::vector<unsigned char> expected(32);
    size_t expectedLength = expected.size();
    ASSERT_EQ(EVP_PKEY_derive(ctx, expected.data(), &expectedLength), 1);
    EVP_PKEY_CTX_free(ctx);

    unsigned char* spki = nullptr;
    const int spkiLength = i2d_PUBKEY(ephemeral.get(), &spki);
    unsigned char* secret = nullptr;
    int secretLength = 0;
    ASSERT_EQ(QuarnPKICryptoKeypairDeriveSecret(keypair, spki, spkiLength, &secret, &secretLength), 1)
        << QuarnPKIGetLastError();
    EXPECT_EQ(TakeBytes(secret, secretLength), expected);
    EXPECT_EQ(book.asked[kEcOpener], 1);
    // A cut key, and a point moved off the curve, are refused before the token is used.
    EXPECT_NE(QuarnPKICryptoKeypairDeriveSecret(keypair, spki, spkiLength - 1, &secret, &secretLength), 1);
    spki[spkiLength - 1] ^= 0x01;
    EXPECT_NE(QuarnPKICryptoKeypairDeriveSecret(keypair, spki, spkiLength, &secret, &secretLength), 1);
    EXPECT_EQ(book.asked[kEcOpener], 1);
    OPENSSL_free(spki);
    QuarnPKICryptoFreeKeypair(keypair);
    QuarnPKICertFreeCert(opener);
}

TEST_F(PkiTokens, WrongPinFailsCleanlyAndIsNeverRetried)
{
    book.pins[kGuarded] = "000000";
    void* guarded = Cert(kGuarded);
    void* keypair = QuarnPKICertGetCertKeyPair(guarded, 0x40000000, 0x10000001, nullptr);
    ASSERT_NE(keypair, nullptr);
    const auto sealed = OaepEncrypt(Tokens().Token(kGuarded).keys[0].certDer, "secret");
    unsigned char* plain = nullptr;
    int length = 0;
    EXPECT_EQ(QuarnPKICryptoKeypairDecrypt(
                  keypair, sealed.data(), static_cast<int>(sealed.size()), &plain, &length),
        QUARNPKI_PIN_INCORRECT);
    EXPECT_EQ(book.asked[kGuarded], 1); // one call, one attempt
    const std::string error = QuarnPKIGetLastError();
    EXPECT_EQ(error.find("000000"), std::string::npos);
    EXPECT_NE(error.find(kGuarded), std::string::npos);

    // A cancelled prompt is a cancellation, and the right PIN on a later call works.
    book.pins.erase(kGuarded);
    EXPECT_EQ(QuarnPKICryptoKeypairDecrypt(
                  keypair, sealed.data(), static_cast<int>(sealed.size()), &plain, &length),
        QUARNPKI_CANCELLED);
    book.pins[kGuarded] = "444444";
    ASSERT_EQ(QuarnPKICryptoKeypairDecrypt(
                  keypair, sealed.data(), static_cast<int>(sealed.size()), &plain, &length),
        1);
    EXPECT_EQ(TakeBytes(plain, length), Bytes("secret"));
    EXPECT_EQ(book.asked[kGuarded], 3);
    QuarnPKICryptoFreeKeypair(keypair);
    QuarnPKICertFreeCert(guarded);
}

// The operator's key binding as the workstation does it: key pair, device, serial, type, the
// device found again, and the key pair whose public key equals the certificate's.
TEST_F(PkiTokens, OperatorBindingFindsTheSecondKeyPairOfItsToken)
{
    void* cert = Cert(kOperator, 1);
    void* keypair = QuarnPKICertGetCertKeyPair(cert, 0x10000000, 2, nullptr);
    ASSERT_NE(keypair, nullptr);
    void* device = QuarnPKICryptoGetDeviceHandleFromKeypair(keypair);
    QuarnPKICryptoFreeKeypair(keypair);
    char* serial = nullptr;
    ASSERT_EQ(QuarnPKICryptoGetSerialNumber(device, &serial), 1);
    void* again = nullptr;
    ASSERT_EQ(QuarnPKICryptoFindDevice(QuarnPKICryptoGetType(device), serial, 1, &again), 1);
    QuarnPKICryptoFreeMemory(serial);
    QuarnPKICryptoFreeDevice(device);

    void* certPublic = QuarnPKICertGetCertPublicKey(cert, 7);
    int count = 0;
    ASSERT_EQ(QuarnPKICryptoGetKeypairCount(again, &count), 1);
    EXPECT_EQ(count, 2);
    int matches = 0;
    int matchedIndex = -1;
    for (int i = 0; i < count; ++i) {
        void* candidate = QuarnPKICryptoGetKeypair(again, i);
        void* candidatePublic = QuarnPKICryptoGetPublicKeyFromKeypair(candidate);
        if (QuarnPKICryptoPublicKeyEqual(certPublic, candidatePublic) != 0) {
            ++matches;
            matchedIndex = i;
            EXPECT_EQ(QuarnPKICertSetCertKeyPair(cert, candidate), 1);
        }
        QuarnPKICryptoFreePublicKey(candidatePublic);
        QuarnPKICryptoFreeKeypair(candidate);
    }
    EXPECT_EQ(matches, 1);
    EXPECT_GE(matchedIndex, 0);
    void* missing = nullptr;
    EXPECT_NE(QuarnPKICryptoFindDevice(QUARNPKI_DEVICE_TOKEN, "no such serial", 1, &missing), 1);
    EXPECT_EQ(missing, nullptr);
    QuarnPKICryptoFreePublicKey(certPublic);
    QuarnPKICryptoFreeDevice(again);
    QuarnPKICertFreeCert(cert);
    EXPECT_TRUE(book.asked.empty());
}

// Without a prompt of the program there is no PIN; kelvane-cli's prompt takes it from the PIN
// file, else from KELVANE_PIN_<LABEL>.
TEST_F(PkiTokens, HeadlessPinComesFromTheFileThenTheVariable)
{
    const auto useKey = [](const std::string& label) {
        const auto& issued = Tokens().Token(label).keys[0];
        void* cert = QuarnPKICertNewCert(issued.certDer.data(), static_cast<int>(issued.certDer.size()));
        void* keypair = QuarnPKICertGetCertKeyPair(cert, 0x40000000, 0x10000001, nullptr);
        const auto sealed = OaepEncrypt(issued.certDer, "x");
        unsigned char* plain = nullptr;
        int length = 0;
        const int rc = QuarnPKICryptoKeypairDecrypt(
            keypair, sealed.data(), static_cast<int>(sealed.size()), &plain, &length);
        QuarnPKICryptoFreeMemory(plain);
        QuarnPKICryptoFreeKeypair(keypair);
        QuarnPKICertFreeCert(cert);
        return rc;
    };
    QuarnPKISetPinPromptHook(nullptr, nullptr);
    EXPECT_EQ(useKey(kFromFile), QUARNPKI_CANCELLED);
    QuarnPKISetPinPromptHook(&kelvane::TerminalPinPrompt, nullptr);
    EXPECT_EQ(useKey(kFromFile), 1) << QuarnPKIGetLastError();

    Tokens().SetPinFileEnabled(false);
    EXPECT_EQ(useKey(kFromVariable), QUARNPKI_CANCELLED); // no source, and no terminal under a test
    setenv("KELVANE_PIN____TOKEN_2", "666666", 1);
    EXPECT_EQ(useKey(kFromVariable), 1) << QuarnPKIGetLastError();
    unsetenv("KELVANE_PIN____TOKEN_2");
    Tokens().SetPinFileEnabled(true);
}

} // namespace
