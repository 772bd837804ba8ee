// Signed data: CMS made with token keys (RSA, P-256) and software keys, checked with OpenSSL.
#include "PkiTestUtil.h"
#include "PkiTokenSet.h"
#include "QuarnPKI.h"

#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/x509_vfy.h>

using namespace kelvane::test;

namespace {

// Signs as the workstation does: init, update with all bytes, final; the pieces joined.
int SignPieces(
    void* cert, const std::string& data, int attached, int algorithm, std::vector<unsigned char>& der)
{
    void* sd = QuarnPKIMsgNewSignedData(1);
    int rc = QuarnPKIMsgSignedDataSetSignCert(sd, cert, 0);
    if (rc == 1) {
        rc = QuarnPKIMsgSignedDataSetIntegerAttribute(sd, 2, 0, attached);
    }
    if (rc == 1 && algorithm >= 0) {
        rc = QuarnPKIMsgSignedDataSetIntegerAttribute(sd, 3, 0, algorithm);
    }
    unsigned char* pieces[3] = {};
    int lengths[3] = {};
    if (rc == 1) {
        rc = QuarnPKIMsgSignedDataSignInit(sd, &pieces[0], &lengths[0]);
    }
    if (rc == 1) {
        rc = QuarnPKIMsgSignedDataSignUpdate(sd, reinterpret_cast<const unsigned char*>(data.data()),
            static_cast<int>(data.size()), &pieces[1], &lengths[1]);
    }
    if (rc == 1) {
        rc = QuarnPKIMsgSignedDataSignFinal(sd, &pieces[2], &lengths[2]);
    }
    QuarnPKIMsgFreeSignedData(sd);
    der.clear();
    for (int i = 0; i < 3; ++i) {
        const auto piece = TakeBytes(pieces[i], lengths[i]);
        der.insert(der.end(), piece.begin(), piece.end());
    }
    return rc;
}

// Verifies against the test CA; returns the content carried or given, or "" on failure.
std::string Verify(const std::vector<unsigned char>& der, const std::string* detached)
{
    const unsigned char* p = der.data();
    CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size()));
    if (cms == nullptr || p != der.data() + der.size()) {
        CMS_ContentInfo_free(cms);
        return {};
    }
    X509_STORE* store = X509_STORE_new();
    X509_STORE_add_cert(store, Tokens().Ca().Cert());
    BIO* content = detached != nullptr ? BIO_new_mem_buf(detached->data(), static_cast<int>(detached->size()))
                                       : nullptr;
    BIO* out = BIO_new(BIO_s_mem());
    std::string result;
    if (CMS_verify(cms, nullptr, store, content, out, CMS_BINARY) == 1) {
        char* data = nullptr;
        const long length = BIO_get_mem_data(out, &data);
        result.assign(data, static_cast<size_t>(length));
    }
    BIO_free(out);
    BIO_free(content);
    X509_STORE_free(store);
    CMS_ContentInfo_free(cms);
    return result;
}

TEST_F(PkiTokens, SignsWithRsaAndP256TokenKeys)
{
    const std::string record = R"({"logtype":1,"projectid":"P-1","projectname":"项目","logmsg":"开标"})";
    for (const auto& [label, index, algorithm] :
        { std::tuple { kOperator, size_t { 1 }, 2 }, std::tuple { kEcSigner, size_t { 0 }, 0 } }) {
        void* cert = Cert(label, index);
        std::vector<unsigned char> der;
        ASSERT_EQ(SignPieces(cert, record, 1, algorithm, der), 1) << QuarnPKIGetLastError();
        EXPECT_EQ(Verify(der, nullptr), record) << label;
        // A flipped bit anywhere in the content breaks the signature.
        auto tampered = der;
        const size_t at = std::string(tampered.begin(), tampered.end()).find("P-1");
        ASSERT_NE(at, std::string::npos);
        tampered[at] ^= 1;
        EXPECT_EQ(Verify(tampered, nullptr), "");
        QuarnPKICertFreeCert(cert);
    }
    EXPECT_EQ(book.asked[kOperator], 1);
    EXPECT_EQ(book.asked[kEcSigner], 1);
}

TEST_F(PkiTokens, ManySignaturesAskEachTokenOnce)
{
    void* cert = Cert(kOperator, 1);
    for (int i = 0; i < 10; ++i) {
        std::vector<unsigned char> der;
        ASSERT_EQ(SignPieces(cert, "record " + std::to_string(i), 1, 2, der), 1);
    }
    EXPECT_LE(book.asked[kOperator], 1);
    // Logged in, the token shows its private objects too; each key pair still counts once.
    void* keypair = QuarnPKICertGetCertKeyPair(cert, 0x10000000, 2, nullptr);
    void* device = QuarnPKICryptoGetDeviceHandleFromKeypair(keypair);
    int count = 0;
    EXPECT_EQ(QuarnPKICryptoGetKeypairCount(device, &count), 1);
    EXPECT_EQ(count, 2);
    QuarnPKICryptoFreeDevice(device);
    QuarnPKICryptoFreeKeypair(keypair);
    QuarnPKICertFreeCert(cert);
}

TEST_F(PkiTokens, RefusesAnAlgorithmThatDoesNotFitTheKey)
{
    void* cert = Cert(kEcSigner);
    std::vector<unsigned char> der;
    EXPECT_NE(SignPieces(cert, "x", 1, 2, der), 1); // sha256WithRSA with a P-256 key
    EXPECT_NE(SignPieces(cert, "x", 1, 25, der), 1); // SM2 with a P-256 key
    EXPECT_NE(SignPieces(cert, "x", 1, 7, der), 1);
    QuarnPKICertFreeCert(cert);
}

struct SoftwareCase
{
    KeyKind kind;
    int algorithm;
};

class PkiSoftwareSigning : public ::testing::TestWithParam<SoftwareCase>
{
};

TEST_P(PkiSoftwareSigning, SignsAttachedAndDetachedWithAPemKey)
{
    const CTestIssued bidder = Tokens().Ca().Issue(Request("Bidder Ltd", GetParam().kind));
    void* cert = QuarnPKICertNewCert(bidder.certDer.data(), static_cast<int>(bidder.certDer.size()));
    void* key = QuarnPKICryptoNewSoftwareKeypair(
        reinterpret_cast<const unsigned char*>(bidder.keyPem.data()), static_cast<int>(bidder.keyPem.size()));
    ASSERT_EQ(QuarnPKICertSetCertKeyPair(cert, key), 1);
    QuarnPKICryptoFreeKeypair(key);
    const std::string digest(32, '\x5a');
    std::vector<unsigned char> der;
    ASSERT_EQ(SignPieces(cert, digest, 0, GetParam().algorithm, der), 1) << QuarnPKIGetLastError();
    EXPECT_EQ(Verify(der, &digest), digest);
    const std::string other(32, '\x5b');
    EXPECT_EQ(Verify(der, &other), "");
    ASSERT_EQ(SignPieces(cert, digest, 1, GetParam().algorithm, der), 1);
    EXPECT_EQ(Verify(der, nullptr), digest);
    QuarnPKICertFreeCert(cert);
}

INSTANTIATE_TEST_SUITE_P(Pki, PkiSoftwareSigning,
    ::testing::Values(SoftwareCase { KeyKind::Rsa2048, 2 }, SoftwareCase { KeyKind::P256, 0 },
        SoftwareCase { KeyKind::P256, -1 }, SoftwareCase { KeyKind::Sm2, 25 }));

} // namespace
