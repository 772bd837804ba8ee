#include "BidSealer.h"
#include "app/TextConversion.h"
#include "opening/CBidFileHolder.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCa.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace kelvane::test;

namespace {

CTestCertRequest Request(const std::string& commonName, const std::string& organization, CertUsage usage)
{
    CTestCertRequest request;
    request.commonName = commonName;
    request.organization = organization;
    request.usage = usage;
    return request;
}

class BidFileHolder : public ::testing::Test
{
protected:
    void SetUp() override
    {
        folder = fs::temp_directory_path() / ("kelvane-holder-" + std::to_string(::getpid()));
        fs::create_directories(folder / "Open");
        std::ofstream(folder / "content.txt") << "the bid";
        // The bidders of this CA are the tender's; no settings folder of the user's decides.
        std::ofstream(folder / "ca.pem") << ca.CertPem();
        anchors.emplace("KELVANE_BIDDER_CA", (folder / "ca.pem").c_str());
        config.emplace("XDG_CONFIG_HOME", (folder / "config").c_str());
    }
    void TearDown() override { fs::remove_all(folder); }

    // Seals content.txt, signed by a bidder with the given names, carrying customData; returns
    // the file's path. Without openers, for one opener with threshold 1.
    std::wstring Seal(const std::string& name, const std::vector<unsigned char>& customData,
        const std::string& bidderName = "投标人 甲", const std::string& bidderOrg = "甲公司",
        int threshold = 1, const std::vector<CTestIssued>& openers = {})
    {
        const CTestIssued bidder = ca.Issue(Request(bidderName, bidderOrg, CertUsage::Signature));
        kelvane::bidx::CSoftwareSealSigner signer(
            kelvane::bidx::DecodeCertificate(bidder.certDer.data(), bidder.certDer.size()),
            kelvane::bidx::DecodePrivateKey(bidder.keyDer.data(), bidder.keyDer.size()));
        kelvane::bidx::CSealRequest request;
        request.signerCert = bidder.certDer;
        request.signer = &signer;
        request.customData = customData;
        request.threshold = threshold;
        for (const CTestIssued& opener : openers)
            request.openerCerts.push_back(opener.certDer);
        if (openers.empty())
            request.openerCerts = { ca.Issue(Request("开标人", "", CertUsage::Encryption)).certDer };
        request.files = { { (folder / "content.txt").string(), "content.txt" } };
        request.computeVerificationCode = false;
        const fs::path path = folder / name;
        kelvane::bidx::CSealResult result;
        EXPECT_EQ(kelvane::bidx::SealBidFile(request, path.string(), &result), 0);
        return Utf8ToWide(path.string());
    }

    CBidFileHolder& Holder(const std::wstring& path)
    {
        holder.SetPath(path);
        holder.SetOutputFolder(Utf8ToWide((folder / "Open").string()));
        return holder;
    }

    static std::vector<unsigned char> Bytes(const std::string& text) { return { text.begin(), text.end() }; }

    CTestCa ca { "Holder CA" };
    fs::path folder;
    std::optional<CScopedEnv> anchors;
    std::optional<CScopedEnv> config;
    CBidFileHolder holder;
};

// The custom data of a rules document for m openers, n of them needed, opening at openTime.
std::vector<unsigned char> RulesData(int m, int n, const std::vector<CTestIssued>& openers,
    const std::string& openTime = "2026-03-01 09:30:00")
{
    std::string list;
    for (const CTestIssued& opener : openers) {
        list += "<opener><cert>" + CertBase64(opener.certDer)
            + "</cert><participate>YES</participate></opener>";
    }
    const std::string rules = "<bidenv><source><projectname>P</projectname><opentime>" + openTime
        + "</opentime><organization>O</organization><encalog>SM4</encalog><hashalog>SM3</"
          "hashalog><rules><rule><m>"
        + std::to_string(m) + "</m><n>" + std::to_string(n) + "</n><openers>" + list
        + "</openers></rule></rules></source></bidenv>";
    return kelvane::bidx::MakeRulesCustomData({ rules.begin(), rules.end() });
}

TEST_F(BidFileHolder, FileNameIsThePartAfterTheLastSlash)
{
    holder.SetPath(L"/work/P1/L1/甲_P1_L1.bidx");
    EXPECT_EQ(holder.GetFileName(), L"甲_P1_L1.bidx");
    EXPECT_EQ(holder.GetFullPath(), L"/work/P1/L1/甲_P1_L1.bidx");
    holder.SetPath(L"plain.bidx");
    EXPECT_EQ(holder.GetFileName(), L"plain.bidx");
    EXPECT_EQ(holder.GetRow(), -1);
}

TEST_F(BidFileHolder, WithoutHandleEveryOperationSaysSo)
{
    EXPECT_EQ(holder.Release(), 0);
    EXPECT_EQ(holder.Release(), 0);
    EXPECT_EQ(holder.VerifyStructure(), -1);
    EXPECT_EQ(holder.GetDecryptorStatus(), -1);
    EXPECT_EQ(holder.Try(), -1);
    EXPECT_EQ(holder.Decrypt(), -1) << "nothing was decrypted, so it must not count as opened";
    EXPECT_EQ(holder.GetMinNum(), 0);
    holder.LoadOpenerCerts();
    EXPECT_EQ(holder.GetOpenersText(L","), L"(0)");
    EXPECT_EQ(holder.Open(), -1) << "no path and no output folder";
}

TEST_F(BidFileHolder, OpenReportsTheDecryptorsCode)
{
    EXPECT_EQ(Holder(Utf8ToWide((folder / "missing.bidx").string())).Open(), 28);
    std::ofstream(folder / "garbage.bidx") << std::string(4096, 'x');
    EXPECT_NE(Holder(Utf8ToWide((folder / "garbage.bidx").string())).Open(), 0);
    EXPECT_FALSE(holder.HasHandle());
}

TEST_F(BidFileHolder, ReadsTheEmbeddedRulesFile)
{
    const std::string rules = "<bidenv>rules</bidenv>";
    const std::string header
        = std::string("RULF") + std::string("\0\0\0", 3) + static_cast<char>(rules.size());
    const struct
    {
        const char* name;
        std::vector<unsigned char> customData;
        int result;
        int length; // -1: no embedded rules file
    } cases[] = {
        { "exact", Bytes(header + rules + "trailing"), 0, static_cast<int>(rules.size()) },
        { "empty", Bytes(std::string("RULF\0\0\0\0", 8)), 0, 0 },
        { "too long", Bytes(header + rules.substr(0, 5)), -1, -1 },
        { "no mark", Bytes("LURF" + std::string(12, '\0')), 0, -1 },
        { "seven bytes", Bytes("RULF\0\0\0"), 0, -1 },
    };
    for (const auto& entry : cases) {
        CBidFileHolder& opened = Holder(Seal(std::string(entry.name) + ".bidx", entry.customData));
        ASSERT_EQ(opened.Open(), 0) << entry.name;
        EXPECT_EQ(opened.VerifyStructure(), entry.result) << entry.name;
        int length = -2;
        const unsigned char* embedded = opened.GetEmbeddedRules(&length);
        if (entry.length < 0) {
            EXPECT_EQ(embedded, nullptr) << entry.name;
            EXPECT_EQ(length, 0) << entry.name;
        } else {
            ASSERT_NE(embedded, nullptr) << entry.name;
            ASSERT_EQ(length, entry.length) << entry.name;
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(embedded), static_cast<size_t>(length)),
                rules.substr(0, static_cast<size_t>(length)))
                << entry.name;
        }
    }
}

TEST_F(BidFileHolder, SignerNamesComeFromTheCertificate)
{
    const auto custom = Bytes(std::string("RULF\0\0\0\0", 8));
    CBidFileHolder& named = Holder(Seal("named.bidx", custom, "投标人 甲", "甲公司"));
    ASSERT_EQ(named.Open(), 0);
    ASSERT_EQ(named.VerifyStructure(), 0);
    EXPECT_EQ(named.GetSignerName(), L"投标人 甲");
    EXPECT_EQ(named.GetSignerOrg(), L"甲公司");

    CBidFileHolder& nameless = Holder(Seal("nameless.bidx", custom, "", "乙公司"));
    ASSERT_EQ(nameless.Open(), 0);
    ASSERT_EQ(nameless.VerifyStructure(), 0);
    EXPECT_EQ(nameless.GetSignerName(), L"乙公司") << "the organisation stands in for a missing name";
}

TEST_F(BidFileHolder, ThresholdIsNotMetWithoutOpeners)
{
    CBidFileHolder& opened = Holder(Seal("one.bidx", Bytes(std::string("RULF\0\0\0\0", 8))));
    ASSERT_EQ(opened.Open(), 0);
    EXPECT_EQ(opened.GetMinNum(), 1);
    EXPECT_NE(opened.GetDecryptorStatus(), 0);
    EXPECT_EQ(opened.Decrypt(), 35);
    opened.LoadOpenerCerts();
    EXPECT_EQ(opened.GetOpenerCount(), 0);
    EXPECT_EQ(opened.GetOpenerName(0), L"");
    EXPECT_EQ(opened.Release(), 0);
    EXPECT_FALSE(opened.HasHandle());
}

// ---- A header sealed to other keys than the rules it carries ----------------------------------------

TEST_F(BidFileHolder, HeaderMustHoldTheThresholdAndOpenersOfItsEmbeddedRules)
{
    const std::vector<CTestIssued> openers = { ca.Issue(Request("开标人 A", "", CertUsage::Encryption)),
        ca.Issue(Request("开标人 B", "", CertUsage::Encryption)),
        ca.Issue(Request("开标人 C", "", CertUsage::Encryption)) };
    const CTestIssued stranger = ca.Issue(Request("开标人 D", "", CertUsage::Encryption));
    const auto abc = RulesData(3, 2, openers);
    const struct
    {
        const char* threat;
        std::vector<unsigned char> customData;
        int threshold;
        std::vector<CTestIssued> sealedTo;
        int code;
        const wchar_t* reason;
    } cases[] = {
        { "as its rules", abc, 2, openers, 0, L"" },
        { "rules name the openers in another order", RulesData(3, 2, { openers[2], openers[0], openers[1] }),
            2, openers, 0, L"" },
        { "lower threshold", abc, 1, openers, 17, L"文件头的门限n=1与标书内嵌规则的n=2不一致" },
        { "higher threshold", abc, 3, openers, 17, L"文件头的门限n=3与标书内嵌规则的n=2不一致" },
        { "fewer openers", abc, 2, { openers[0], openers[1] }, 17,
            L"文件头的开标人数m=2与标书内嵌规则的m=3不一致" },
        { "one opener swapped for another", abc, 2, { openers[0], openers[1], stranger }, 17,
            L"文件头的开标人证书与标书内嵌规则中的开标人不一致" },
        { "no embedded rules", Bytes("none of the rules"), 2, openers, 24, L"标书没有内嵌规则文件" },
        { "rules that do not read", kelvane::bidx::MakeRulesCustomData(Bytes("<bidenv/>")), 2, openers, 4,
            L"标书内嵌的规则文件无法解析" },
    };
    int fileNumber = 0;
    for (const auto& c : cases) {
        CBidFileHolder checked;
        checked.SetPath(Seal("rules" + std::to_string(++fileNumber) + ".bidx", c.customData, "投标人 甲",
            "甲公司", c.threshold, c.sealedTo));
        checked.SetOutputFolder(Utf8ToWide((folder / "Open").string()));
        ASSERT_EQ(checked.Open(), 0) << c.threat;
        ASSERT_EQ(checked.VerifyStructure(), 0) << c.threat;
        EXPECT_EQ(checked.CheckAgainstEmbeddedRules(), c.code) << c.threat;
        EXPECT_EQ(checked.GetFailureReason(), c.reason) << c.threat;
        EXPECT_EQ(checked.GetEmbeddedOpenTime().has_value(), c.code == 0) << c.threat;
    }
}

TEST_F(BidFileHolder, UntrustedSignerFailsTheSignatureAndShowsNoName)
{
    CTestCa forger { "Holder CA" };
    std::ofstream(folder / "ca.pem", std::ios::trunc) << forger.CertPem();
    CBidFileHolder& opened = Holder(Seal("forged.bidx", Bytes(std::string("RULF\0\0\0\0", 8)), "投标人 甲"));
    ASSERT_EQ(opened.Open(), 0);
    EXPECT_EQ(opened.VerifyStructure(), 23);
    EXPECT_TRUE(opened.IsSignerRefused());
    EXPECT_EQ(opened.GetFailureReason().rfind(L"签名证书不受信任：", 0), 0u);
    EXPECT_EQ(opened.GetSignerName(), L"");
    EXPECT_EQ(opened.GetSignCert(), nullptr);
}

} // namespace
