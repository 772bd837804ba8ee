// Certificate parsing, attributes, public keys and software key pairs.
#include "PkiTestUtil.h"
#include "QuarnPKI.h"
#include "tests/support/TestCa.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace kelvane::test;

namespace {

CTestCa& Ca()
{
    static CTestCa ca;
    return ca;
}

std::string Fingerprint(void* cert)
{
    char* value = nullptr;
    if (QuarnPKICertGetCertStringAttribute(cert, QUARNPKI_CERT_SHA256_FINGERPRINT, &value, nullptr) != 1) {
        return {};
    }
    return TakeText(value);
}

void* NewCert(const std::string& text)
{
    return QuarnPKICertNewCert(
        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
}

TEST(PkiCert, AcceptsDerPemAndBase64TextOfOneCertificate)
{
    const CTestIssued issued = Ca().Issue(Request("Reader"));
    void* der = QuarnPKICertNewCert(issued.certDer.data(), static_cast<int>(issued.certDer.size()));
    ASSERT_NE(der, nullptr);
    const std::string expected = Fingerprint(der);
    ASSERT_EQ(expected.size(), 64u);

    const std::string oneLine = CertBase64(issued.certDer);
    std::string wrapped; // 76 columns with CRLF, as mail-style encoders write it
    for (size_t at = 0; at < oneLine.size(); at += 76) {
        wrapped += oneLine.substr(at, 76) + "\r\n";
    }
    std::string spaced = "  " + oneLine.substr(0, 10) + " \t" + oneLine.substr(10) + "\n";
    for (const std::string& text :
        { issued.certPem, oneLine, wrapped, spaced, oneLine + std::string(1, '\0') }) {
        void* cert = NewCert(text);
        ASSERT_NE(cert, nullptr) << text.substr(0, 40);
        EXPECT_EQ(Fingerprint(cert), expected);
        QuarnPKICertFreeCert(cert);
    }
    QuarnPKICertFreeCert(der);
}

TEST(PkiCert, RefusesWhatIsNotExactlyOneCertificate)
{
    const CTestIssued issued = Ca().Issue(Request("Reader"));
    std::vector<unsigned char> truncated(issued.certDer.begin(), issued.certDer.end() - 1);
    std::vector<unsigned char> trailing = issued.certDer;
    trailing.push_back(0);
    std::vector<unsigned char> flipped = issued.certDer;
    flipped[1] ^= 0x40; // the outer length
    const std::string base64 = CertBase64(issued.certDer);
    for (const auto& bad :
        { truncated, trailing, flipped, Bytes("hello"), Bytes(base64.substr(0, base64.size() - 4)),
            Bytes(base64 + "!"), Bytes("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n") }) {
        EXPECT_EQ(QuarnPKICertNewCert(bad.data(), static_cast<int>(bad.size())), nullptr);
    }
    EXPECT_EQ(QuarnPKICertNewCert(nullptr, 10), nullptr);
    EXPECT_EQ(QuarnPKICertNewCert(issued.certDer.data(), 0), nullptr);
}

TEST(PkiCert, StringAttributesAreUtf8AndMissingNamesFail)
{
    const CTestIssued named
        = Ca().Issue(Request("张三 Zhang", KeyKind::P256, CertUsage::Signature, "某某招标有限公司"));
    void* cert = QuarnPKICertNewCert(named.certDer.data(), static_cast<int>(named.certDer.size()));
    char* value = nullptr;
    int length = 0;
    ASSERT_EQ(QuarnPKICertGetCertStringAttribute(cert, 16, &value, &length), 1);
    EXPECT_EQ(length, static_cast<int>(std::string("张三 Zhang").size()));
    EXPECT_EQ(TakeText(value), "张三 Zhang");
    ASSERT_EQ(QuarnPKICertGetCertStringAttribute(cert, 18, &value, nullptr), 1);
    EXPECT_EQ(TakeText(value), "某某招标有限公司");
    ASSERT_EQ(QuarnPKICertGetCertStringAttribute(cert, QUARNPKI_CERT_ISSUER, &value, nullptr), 1);
    EXPECT_NE(TakeText(value).find("Kelvane Test CA"), std::string::npos);
    ASSERT_EQ(QuarnPKICertGetCertStringAttribute(cert, QUARNPKI_CERT_NOT_AFTER, &value, nullptr), 1);
    const std::string notAfter = TakeText(value);
    EXPECT_EQ(notAfter.size(), 15u);
    EXPECT_EQ(notAfter.back(), 'Z');
    EXPECT_EQ(QuarnPKICertGetCertStringAttribute(cert, 99, &value, nullptr), QUARNPKI_INVALID_ARGUMENT);
    QuarnPKICertFreeCert(cert);

    // Without a commonName, 16 fails and the caller falls back to 18.
    const CTestIssued orgOnly = Ca().Issue(Request("", KeyKind::P256, CertUsage::Signature, "Org Only"));
    cert = QuarnPKICertNewCert(orgOnly.certDer.data(), static_cast<int>(orgOnly.certDer.size()));
    value = nullptr;
    EXPECT_NE(QuarnPKICertGetCertStringAttribute(cert, 16, &value, nullptr), 1);
    EXPECT_EQ(value, nullptr);
    ASSERT_EQ(QuarnPKICertGetCertStringAttribute(cert, 18, &value, nullptr), 1);
    EXPECT_EQ(TakeText(value), "Org Only");
    QuarnPKICertFreeCert(cert);
}

struct KeyCase
{
    KeyKind kind;
    int type;
    int curve;
};

class PkiCertKeys : public ::testing::TestWithParam<KeyCase>
{
};

TEST_P(PkiCertKeys, IntegerAttributesNameTheKey)
{
    const CTestIssued issued = Ca().Issue(Request("K", GetParam().kind));
    void* cert = QuarnPKICertNewCert(issued.certDer.data(), static_cast<int>(issued.certDer.size()));
    ASSERT_NE(cert, nullptr);
    int value = 0;
    ASSERT_EQ(QuarnPKICertGetCertIntegerAttribute(cert, 4, &value), 1);
    EXPECT_EQ(value, GetParam().type);
    ASSERT_EQ(QuarnPKICertGetCertIntegerAttribute(cert, 43, &value), 1);
    EXPECT_EQ(value, GetParam().curve);
    ASSERT_EQ(QuarnPKICertGetCertIntegerAttribute(cert, QUARNPKI_CERT_KEY_USAGE, &value), 1);
    EXPECT_EQ(value & 0x80, 0x80); // digitalSignature
    QuarnPKICertFreeCert(cert);
}

INSTANTIATE_TEST_SUITE_P(Pki, PkiCertKeys,
    ::testing::Values(KeyCase { KeyKind::Rsa2048, 1, -1 }, KeyCase { KeyKind::P256, 4, 1 },
        KeyCase { KeyKind::Sm2, 4, 7 }));

TEST(PkiCert, PublicKeyMatchesOnlyItsOwnKeyPair)
{
    const CTestIssued a = Ca().Issue(Request("A", KeyKind::P256));
    const CTestIssued b = Ca().Issue(Request("B", KeyKind::P256));
    void* certA = QuarnPKICertNewCert(a.certDer.data(), static_cast<int>(a.certDer.size()));
    void* keyA = QuarnPKICryptoNewSoftwareKeypair(
        reinterpret_cast<const unsigned char*>(a.keyPem.data()), static_cast<int>(a.keyPem.size()));
    void* keyB = QuarnPKICryptoNewSoftwareKeypair(b.keyDer.data(), static_cast<int>(b.keyDer.size()));
    ASSERT_NE(keyA, nullptr);
    ASSERT_NE(keyB, nullptr);
    EXPECT_EQ(QuarnPKICertGetCertPublicKey(certA, 6), nullptr);
    void* certPublic = QuarnPKICertGetCertPublicKey(certA, 7);
    void* publicA = QuarnPKICryptoGetPublicKeyFromKeypair(keyA);
    void* publicB = QuarnPKICryptoGetPublicKeyFromKeypair(keyB);
    EXPECT_NE(QuarnPKICryptoPublicKeyEqual(certPublic, publicA), 0);
    EXPECT_EQ(QuarnPKICryptoPublicKeyEqual(certPublic, publicB), 0);
    EXPECT_EQ(QuarnPKICryptoPublicKeyEqual(certPublic, certA), 0);

    unsigned char* spki = nullptr;
    int spkiLength = 0;
    ASSERT_EQ(QuarnPKICryptoGetPublicKeyEncoded(certPublic, &spki, &spkiLength), 1);
    EXPECT_EQ(spki[0], 0x30);
    QuarnPKICryptoFreeMemory(spki);

    EXPECT_EQ(QuarnPKICertSetCertKeyPair(certA, keyB), 0);
    EXPECT_EQ(QuarnPKICertSetCertKeyPair(certA, keyA), 1);
    void* device = QuarnPKICryptoGetDeviceHandleFromKeypair(keyA);
    EXPECT_EQ(QuarnPKICryptoGetType(device), QUARNPKI_DEVICE_SOFTWARE_KEY);
    QuarnPKICryptoFreeDevice(device);
    for (void* key : { certPublic, publicA, publicB }) {
        QuarnPKICryptoFreePublicKey(key);
    }
    QuarnPKICryptoFreeKeypair(keyA);
    QuarnPKICryptoFreeKeypair(keyB);
    QuarnPKICertFreeCert(certA);
}

TEST(PkiCert, SoftwareKeypairRefusesNonKeys)
{
    const CTestIssued a = Ca().Issue(Request("A", KeyKind::Rsa2048));
    EXPECT_EQ(
        QuarnPKICryptoNewSoftwareKeypair(a.certDer.data(), static_cast<int>(a.certDer.size())), nullptr);
    EXPECT_EQ(QuarnPKICryptoNewSoftwareKeypair(reinterpret_cast<const unsigned char*>(a.certPem.data()),
                  static_cast<int>(a.certPem.size())),
        nullptr);
    EXPECT_EQ(QuarnPKICryptoNewSoftwareKeypair(nullptr, 3), nullptr);
}

} // namespace
