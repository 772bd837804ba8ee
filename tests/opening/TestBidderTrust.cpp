// The bidder's certificate against the tender's trust anchors: which signers pass, and which file
// of anchors decides.
#include "app/TextConversion.h"
#include "opening/CBidderTrust.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCa.h"

#include <gtest/gtest.h>

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
