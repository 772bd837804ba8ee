#include "BidSealer.h"
#include "TestCa.h"
#include "app/TextConversion.h"
#include "opening/CBidFileHolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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

class BidFileHolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = fs::temp_directory_path() / ("kelvane-holder-" + std::to_string(::getpid()));
        fs::create_directories(folder / "Open");
        std::ofstream(folder / "content.txt") << "the bid";
    }
    void TearDown() override { fs::remove_all(folder); }

    // Seals content.txt for one opener, signed by a bidder with the given names, carrying
    // customData; returns the file's path.
    std::wstring Seal(const std::string& name, const std::vector<unsigned char>& customData,
        const std::string& bidderName = "投标人 甲", const std::string& bidderOrg = "甲公司")
    {
        const CTestIssued bidder = ca.Issue(Request(bidderName, bidderOrg, CertUsage::Signature));
        const CTestIssued opener = ca.Issue(Request("开标人", "", CertUsage::Encryption));
        kelvane::bidx::CSoftwareSealSigner signer(
            kelvane::bidx::DecodeCertificate(bidder.certDer.data(), bidder.certDer.size()),
            kelvane::bidx::DecodePrivateKey(bidder.keyDer.data(), bidder.keyDer.size()));
        kelvane::bidx::CSealRequest request;
        request.signerCert = bidder.certDer;
        request.signer = &signer;
        request.customData = customData;
        request.threshold = 1;
        request.openerCerts = { opener.certDer };
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
    CBidFileHolder holder;
};

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
    const std::string header = std::string("RULF") + std::string("\0\0\0", 3) + static_cast<char>(rules.size());
    const struct {
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

} // namespace
