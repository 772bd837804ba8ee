// The sealing side: what it refuses before writing anything, the verification code, and that a
// cancelled or failed run leaves no file behind.
#include "BidFormat.h"
#include "SecretFileTestSupport.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

namespace kelvane::bidx::test {
namespace {

class SealerTest : public ::testing::Test
{
protected:
    std::filesystem::path Out() const { return tmp.Path() / "out" / "bid.bidx"; }
    void SetUp() override { std::filesystem::create_directories(tmp.Path() / "out"); }

    CSealFile Input(const std::string& name, size_t size)
    {
        const std::filesystem::path path = tmp.Path() / ("in-" + std::to_string(counter_++));
        WriteAll(path, std::vector<unsigned char>(size, 0x5A));
        return CSealFile { path.string(), name };
    }

    CTempDir tmp;
    int counter_ = 0;
};

TEST_F(SealerTest, RefusesBadRequestsBeforeWritingAnything)
{
    const CIdentity signOnly = MakeIdentity(KeyKind::Rsa2048, "Signing Only", CertUsage::Signature);
    const CIdentity edwards = MakeIdentity(KeyKind::Ed25519, "Edwards");
    CSoftwareSealSigner signer = MakeSigner(Bidder());
    const struct
    {
        const char* name;
        std::function<void(CSealRequest&)> edit;
        int code;
    } cases[] = {
        { "threshold above openers", [](CSealRequest& r) { r.threshold = 4; }, kTotalLessThanMin },
        { "threshold zero", [](CSealRequest& r) { r.threshold = 0; }, kNumberBelowZero },
        { "no openers", [](CSealRequest& r) { r.openerCerts.clear(); }, kCertNumIncorrect },
        { "same opener twice", [](CSealRequest& r) { r.openerCerts[2] = r.openerCerts[0]; }, kCertExist },
        { "signing-only certificate", [&](CSealRequest& r) { r.openerCerts[1] = signOnly.certDer; },
            kCertCannotEncrypt },
        { "unsupported key", [&](CSealRequest& r) { r.openerCerts[1] = edwards.certDer; }, kNotSupportAlgo },
        { "garbage certificate",
            [](CSealRequest& r) {
                r.openerCerts[1] = { 1, 2, 3 };
            },
            kCertFromEncodingFailed },
        { "garbage signer",
            [](CSealRequest& r) {
                r.signerCert = { 1, 2, 3 };
            },
            kConstructSignCertFailed },
        { "signer not matching the key", [](CSealRequest& r) { r.signerCert = Opener(1).certDer; },
            kSignFinalFailed },
        { "unsafe name", [this](CSealRequest& r) { r.files.push_back(Input("../x", 1)); },
            kFileNameFormatError },
        { "repeated name", [this](CSealRequest& r) { r.files.push_back(Input("a.txt", 1)); }, kFileExist },
        { "file below a file", [this](CSealRequest& r) { r.files.push_back(Input("a.txt/b", 1)); },
            kFileExist },
        { "missing input",
            [](CSealRequest& r) {
                r.files.push_back({ "/nonexistent/kelvane", "b.txt" });
            },
            kFileNotFound },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CSealSpec spec;
        spec.files = { Input("a.txt", 10) };
        CSealRequest request = MakeRequest(spec, signer);
        c.edit(request);
        EXPECT_EQ(SealBidFile(request, Out().string(), nullptr), c.code);
        EXPECT_EQ(CountEntries(Out().parent_path()), 0u);
    }
}

TEST_F(SealerTest, AcceptsCertificatesAsPemAndAsBase64TextWithBlanks)
{
    CSoftwareSealSigner signer = MakeSigner(Bidder());
    CSealSpec spec;
    CSealRequest request = MakeRequest(spec, signer);
    // The rules document carries certificates as Base64 whose line breaks became blanks.
    const std::vector<unsigned char>& der = Opener(0).certDer;
    const std::string b64 = kelvane::test::CertBase64(der);
    std::string spaced;
    for (size_t i = 0; i < b64.size(); ++i) {
        spaced += b64[i];
        if (i % 64 == 63) {
            spaced += ' ';
        }
    }
    request.openerCerts[0].assign(spaced.begin(), spaced.end());
    const std::string pem = "-----BEGIN CERTIFICATE-----\n" + kelvane::test::CertBase64(Opener(1).certDer)
        + "\n-----END CERTIFICATE-----\n";
    request.openerCerts[1].assign(pem.begin(), pem.end());
    // PEM inside XML, after the parser's white-space condensing.
    const std::string third = kelvane::test::CertBase64(Opener(2).certDer);
    const std::string condensed = " -----BEGIN CERTIFICATE----- " + third.substr(0, 64) + " "
        + third.substr(64) + " -----END CERTIFICATE----- ";
    request.openerCerts[2].assign(condensed.begin(), condensed.end());
    ASSERT_EQ(SealBidFile(request, Out().string(), nullptr), 0);

    const Handle h = OpenHandle(Out(), tmp.Path() / "Open");
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(TryOpener(h.get(), 0), 0);
    int len = 0;
    ASSERT_EQ(QuarnSecretFileDecryptorGetCrackerCert(h.get(), 0, nullptr, &len), 0);
    std::vector<unsigned char> stored(static_cast<size_t>(len));
    ASSERT_EQ(QuarnSecretFileDecryptorGetCrackerCert(h.get(), 0, stored.data(), &len), 0);
    EXPECT_EQ(stored, der) << "certificates are stored as DER whatever form they came in";
}

TEST_F(SealerTest, VerificationCodeIsTheSm3OfTheWholeFile)
{
    CSoftwareSealSigner signer = MakeSigner(Bidder());
    // One block, and more blocks than the ring between the cipher and the hash threads holds.
    for (const size_t size : { size_t { 200000 }, (size_t { 6 } << 20) + 7 }) {
        CSealSpec spec;
        spec.files = { Input("a.txt", size) };
        CSealResult result;
        std::filesystem::remove(Out());
        ASSERT_EQ(SealBidFile(MakeRequest(spec, signer), Out().string(), &result), 0) << size;
        const std::vector<unsigned char> file = ReadAll(Out());
        EXPECT_EQ(result.fileSize, file.size());
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        ASSERT_EQ(EVP_Digest(file.data(), file.size(), digest, &len, EVP_sm3(), nullptr), 1);
        std::string expected;
        for (unsigned int i = 0; i < len; ++i) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02X", digest[i]);
            expected += hex;
        }
        EXPECT_EQ(result.verificationCode, expected) << size;
        EXPECT_EQ(result.verificationCode.size(), 64u);
    }
}

TEST_F(SealerTest, CancelledOrRefusedRunsLeaveNoFile)
{
    CSoftwareSealSigner signer = MakeSigner(Bidder());
    CSealSpec spec;
    spec.files = { Input("big.bin", 5u << 20) };
    CSealRequest request = MakeRequest(spec, signer);
    int calls = 0;
    request.progress = [&](uint64_t done, uint64_t total) {
        EXPECT_LE(done, total);
        return ++calls < 3;
    };
    EXPECT_EQ(SealBidFile(request, Out().string(), nullptr), kSealCancelled);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(CountEntries(Out().parent_path()), 0u) << "the temporary file is gone too";

    WriteAll(Out(), { 'o', 'l', 'd' });
    request.progress = nullptr;
    EXPECT_EQ(SealBidFile(request, Out().string(), nullptr), kFileExist);
    EXPECT_EQ(ReadAll(Out()), (std::vector<unsigned char> { 'o', 'l', 'd' }));
    EXPECT_EQ(CountEntries(Out().parent_path()), 1u);
}

} // namespace
} // namespace kelvane::bidx::test
