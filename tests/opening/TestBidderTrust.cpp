// The bidder's certificate against the tender's trust anchors: which signers pass, and which file
// of anchors decides.
#include "CertificateStore.h"
#include "OpenSslPtr.h"
#include "app/TextConversion.h"
#include "opening/CBidderTrust.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCa.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

using namespace kelvane::test;

CTestCertRequest Signer(
    const std::string& name, CertUsage usage = CertUsage::Signature, long from = -3600, long to = 86400)
{
    CTestCertRequest request = Request(name, KeyKind::P256, usage);
    request.validFromSeconds = from;
    request.validToSeconds = to;
    return request;
}

class BidderTrust : public ::testing::Test
{
protected:
    void SetUp() override
    {
        temp.WriteFile("tender-ca.pem", tender.CertPem());
        temp.WriteFile("other-ca.pem", other.CertPem());
    }

    bool Trusted(const std::vector<unsigned char>& der, std::wstring& reason)
    {
        return IsTrustedBidderCert(der.data(), der.size(), reason);
    }

    CTestCa tender { "Tender CA" };
    CTestCa other { "Other CA" };
    CTempDir temp;
    CScopedEnv config { "XDG_CONFIG_HOME", (temp / "config").c_str() };
    CScopedEnv named { "KELVANE_BIDDER_CA", (temp / "tender-ca.pem").c_str() };
};

TEST_F(BidderTrust, OnlyASignatureCertificateOfTheTendersCaValidNowPasses)
{
    const std::vector<unsigned char> garbage(300, 0x30);
    const struct
    {
        const char* threat;
        std::vector<unsigned char> der;
        const wchar_t* reason; // the start of the reason; null: trusted
        const wchar_t* signer; // named in the reason
    } cases[] = {
        { "the tender's bidder", tender.Issue(Signer("投标人 甲")).certDer, nullptr, L"" },
        { "signature and encryption",
            tender.Issue(Signer("投标人 乙", CertUsage::SignatureAndEncryption)).certDer, nullptr, L"" },
        { "self-signed under the bidder's name", SelfSigned(tender.Issue(Signer("投标人 甲"))).certDer,
            L"签名证书不受信任：", L"投标人 甲" },
        { "another CA", other.Issue(Signer("投标人 甲")).certDer, L"签名证书不受信任：", L"投标人 甲" },
        { "expired", tender.Issue(Signer("投标人 丙", CertUsage::Signature, -2 * 86400, -86400)).certDer,
            L"签名证书已过期：有效期至 ", L"投标人 丙" },
        { "not yet valid", tender.Issue(Signer("投标人 丁", CertUsage::Signature, 86400, 2 * 86400)).certDer,
            L"签名证书尚未生效：有效期自 ", L"投标人 丁" },
        { "no signature usage", tender.Issue(Signer("投标人 戊", CertUsage::Encryption)).certDer,
            L"签名证书没有数字签名用途", L"投标人 戊" },
        { "the anchor itself", CertDer(tender.Cert()), L"签名证书是证书颁发机构的证书", L"Tender CA" },
        { "no certificate", garbage, L"签名证书无法解析", L"" },
    };
    for (const auto& c : cases) {
        std::wstring reason = L"earlier";
        const bool trusted = Trusted(c.der, reason);
        EXPECT_EQ(trusted, c.reason == nullptr) << c.threat;
        const std::string shown = WideToUtf8(reason);
        if (c.reason == nullptr)
            EXPECT_EQ(reason, L"") << c.threat;
        else
            EXPECT_EQ(reason.rfind(c.reason, 0), 0u) << c.threat << ": " << shown;
        EXPECT_NE(reason.find(c.signer), std::wstring::npos) << c.threat << ": " << shown;
    }
}

TEST_F(BidderTrust, SettingsFolderFileDecidesElseTheNamedFileElseTheSystemStore)
{
    const std::vector<unsigned char> tenderBidder = tender.Issue(Signer("投标人 甲")).certDer;
    const std::vector<unsigned char> otherBidder = other.Issue(Signer("投标人 乙")).certDer;
    const std::filesystem::path settings = temp / "config" / "QUARN" / "rmw" / "bidder-ca.pem";
    const struct
    {
        const char* situation;
        const char* settingsFile; // null: none; empty: a file without certificates
        const char* namedFile; // null: KELVANE_BIDDER_CA unset
        const char* decides; // "settings", "named" or "" (the system store)
        bool tenderTrusted;
        bool otherTrusted;
    } cases[] = {
        { "named file only", nullptr, "tender-ca.pem", "named", true, false },
        { "settings file wins over the named one", "other", "tender-ca.pem", "settings", false, true },
        { "a settings file without certificates trusts nobody", "", "tender-ca.pem", "settings", false,
            false },
        { "named file missing: the system store", nullptr, "missing.pem", "", false, false },
        { "neither: the system store", nullptr, nullptr, "", false, false },
    };
    for (const auto& c : cases) {
        std::filesystem::remove(settings);
        if (c.settingsFile != nullptr)
            temp.WriteFile(
                settings.lexically_relative(temp.Path()), *c.settingsFile != 0 ? other.CertPem() : "");
        const std::string namedPath = c.namedFile != nullptr ? (temp / c.namedFile).string() : std::string();
        const CScopedEnv scoped("KELVANE_BIDDER_CA", c.namedFile != nullptr ? namedPath.c_str() : nullptr);
        std::wstring reason;
        EXPECT_EQ(Trusted(tenderBidder, reason), c.tenderTrusted) << c.situation;
        EXPECT_EQ(Trusted(otherBidder, reason), c.otherTrusted) << c.situation;
        const std::string decides = c.decides;
        EXPECT_EQ(BidderAnchorFile(),
            decides == "settings"    ? settings.string()
                : decides == "named" ? namedPath
                                     : "")
            << c.situation;
    }
}

} // namespace

namespace {

bool Verifies(X509_STORE* store, const std::vector<unsigned char>& der)
{
    const unsigned char* p = der.data();
    const kelvane::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    const kelvane::X509StoreCtxPtr context(X509_STORE_CTX_new());
    return cert && context && X509_STORE_CTX_init(context.get(), store, cert.get(), nullptr) == 1
        && X509_verify_cert(context.get()) == 1;
}

TEST_F(BidderTrust, AnchorFilesOfEveryFormAndTheSystemFileReadOnlyWhenAnIssuerIsMissing)
{
    const std::vector<unsigned char> bidder = tender.Issue(Signer("投标人 甲")).certDer;
    temp.WriteFile("both.pem", tender.CertPem() + other.CertPem());
    const std::vector<unsigned char> der = CertDer(tender.Cert());
    temp.WriteFile("tender-ca.der", std::string(der.begin(), der.end()));
    temp.WriteFile("empty.pem", "");
    ASSERT_EQ(mkfifo((temp / "fifo.pem").c_str(), 0600), 0);
    const struct
    {
        const char* file;
        int added;
    } files[] = { { "both.pem", 2 }, { "tender-ca.der", 1 }, { "empty.pem", 0 }, { "missing.pem", 0 },
        { "fifo.pem", 0 }, { "", 0 } };
    for (const auto& f : files) {
        const kelvane::X509StorePtr store(X509_STORE_new());
        const std::string path = *f.file != 0 ? (temp / f.file).string() : std::string();
        EXPECT_EQ(kelvane::AddCertificateFile(store.get(), path), f.added) << f.file;
        EXPECT_EQ(Verifies(store.get(), bidder), f.added > 0) << f.file;
    }

    // The system file is read when a verification first misses an issuer, not when the store is
    // made: it does not exist yet then.
    const std::filesystem::path systemFile = temp / "system" / "ca-certificates.crt";
    std::filesystem::create_directories(temp / "system" / "certs");
    const CScopedEnv file(X509_get_default_cert_file_env(), systemFile.c_str());
    const CScopedEnv folder(X509_get_default_cert_dir_env(), (temp / "system" / "certs").c_str());
    const kelvane::X509StorePtr system(X509_STORE_new());
    ASSERT_TRUE(kelvane::AddSystemCertificates(system.get()));
    temp.WriteFile("system/ca-certificates.crt", other.CertPem() + tender.CertPem());
    EXPECT_TRUE(Verifies(system.get(), bidder));
    EXPECT_TRUE(Verifies(system.get(), other.Issue(Signer("投标人 乙")).certDer));
    EXPECT_FALSE(Verifies(system.get(), SelfSigned(tender.Issue(Signer("投标人 丙"))).certDer));
}

} // namespace
