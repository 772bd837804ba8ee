// The verification report: the code against OpenSSL's own SM3, the two results and the signer.
#include "OpeningBench.h"
#include "app/TextConversion.h"
#include "opening/CResultTexts.h"
#include "tests/support/TempDir.h"
#include "verify/CBidFileReport.h"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>

namespace fs = std::filesystem;
using namespace kelvane::test;

namespace {

// What `openssl dgst -sm3` says of the file, in upper case.
std::wstring OpensslSm3(const fs::path& file)
{
    const std::string command = "openssl dgst -sm3 -r '" + file.string() + "'";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return {};
    char line[256] = {};
    const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    pclose(pipe);
    std::string hex = read ? std::string(line).substr(0, std::string(line).find(' ')) : std::string();
    for (char& c : hex)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return Utf8ToWide(hex);
}

class BidFileReport : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { COpeningBench::Get(); }

    fs::path Bid(const std::string& name, size_t size = 4096)
    {
        const fs::path path = temp / name;
        SealBid(path, rules, 2, { kOpenerA, kOpenerB, kOpenerC }, size);
        return path;
    }

    std::wstring Wide(const fs::path& path) { return Utf8ToWide(path.string()); }

    CTempDir temp;
    // No settings folder of the user's: the bench's KELVANE_BIDDER_CA names the anchors.
    CScopedEnv config { "XDG_CONFIG_HOME", (temp / "config").c_str() };
    std::string rules = COpeningBench::Get().WriteRules(3, 2, { kOpenerA, kOpenerB, kOpenerC });
};

} // namespace

TEST_F(BidFileReport, CodeIsOpensslSm3OfTheWholeFileAcrossBlockBoundaries)
{
    for (const size_t size :
        { size_t { 0 }, size_t { 8191 }, size_t { 8192 }, size_t { 8193 }, size_t { 100000 } }) {
        const fs::path file = temp.WriteFile("plain-" + std::to_string(size), std::string(size, 'k'));
        std::wstring code = L"unchanged";
        ASSERT_EQ(ComputeVerifyCode(Wide(file), code), 0) << size;
        EXPECT_EQ(code.size(), 64u);
        EXPECT_EQ(code, OpensslSm3(file)) << size;
    }
    std::wstring code = L"unchanged";
    EXPECT_EQ(ComputeVerifyCode(Wide(temp / "missing"), code), -1);
    EXPECT_EQ(code, L"unchanged");
}

TEST_F(BidFileReport, SuccessfulVerificationShowsSignerAndKeepsTheCode)
{
    const fs::path bid = Bid("甲公司.bidx", 50000);
    CBidFileReport report;
    EXPECT_EQ(report.GetSignCert(), nullptr);
    EXPECT_STREQ(CBidFileReport::ResultMark(report.GetFormatResult()), L"");
    report.SetPath(Wide(bid));
    ASSERT_EQ(report.Verify(), 0);
    EXPECT_EQ(report.GetVerifyCode(), OpensslSm3(bid));
    EXPECT_EQ(report.GetFormatResult(), CBidFileReport::Check::Passed);
    EXPECT_EQ(report.GetSignResult(), CBidFileReport::Check::Passed);
    EXPECT_STREQ(CBidFileReport::ResultMark(report.GetSignResult()), L"√");
    EXPECT_EQ(report.GetBidder(), L"投标人 甲公司");
    EXPECT_NE(report.GetSignCert(), nullptr);
    EXPECT_TRUE(fs::is_regular_file(bid)) << "the report neither moves nor decrypts";
    EXPECT_EQ(std::distance(fs::directory_iterator(temp.Path()), fs::directory_iterator()), 1);
}

TEST_F(BidFileReport, FailureMarksBothAndKeepsTheEarlierSignerButNotItsCode)
{
    const fs::path good = Bid("good.bidx");
    const fs::path tampered = Bid("tampered.bidx");
    Tamper(tampered);
    CBidFileReport report;
    report.SetPath(Wide(good));
    ASSERT_EQ(report.Verify(), 0);
    void* const goodCert = report.GetSignCert();

    const struct
    {
        fs::path path;
        bool hasCode;
    } failing[] = { { tampered, true }, { fs::path(), false }, { temp / "missing.bidx", false } };
    for (const auto& c : failing) {
        report.SetPath(Wide(c.path));
        EXPECT_NE(report.Verify(), 0) << c.path;
        EXPECT_STREQ(CBidFileReport::ResultMark(report.GetFormatResult()), L"×") << c.path;
        EXPECT_STREQ(CBidFileReport::ResultMark(report.GetSignResult()), L"×") << c.path;
        EXPECT_EQ(report.GetVerifyCode(), c.hasCode ? OpensslSm3(c.path) : L"") << c.path;
        EXPECT_EQ(report.GetBidder(), L"投标人 good") << c.path;
        EXPECT_EQ(report.GetSignCert(), goodCert) << c.path;
    }
}

TEST_F(BidFileReport, SignerTheTenderDoesNotTrustFailsTheSignatureNotTheFormat)
{
    std::wstring wrongSignature;
    ASSERT_TRUE(CResultTexts::GetText(CResultTexts::kDecryptorTable, 23, wrongSignature));
    for (const CForgedSigner& signer : ForgedSigners()) {
        const fs::path bid = temp / (signer.threat + ".bidx");
        SealBid(bid, rules, 2, { kOpenerA, kOpenerB, kOpenerC }, 4096, nullptr, &signer.issued);
        CBidFileReport report;
        report.SetPath(Wide(bid));
        EXPECT_EQ(report.Verify(), 23) << signer.threat;
        EXPECT_STREQ(CBidFileReport::ResultMark(report.GetFormatResult()), L"√") << signer.threat;
        EXPECT_STREQ(CBidFileReport::ResultMark(report.GetSignResult()), L"×") << signer.threat;
        EXPECT_EQ(report.GetFailureReason().rfind(wrongSignature + L"：" + signer.reason, 0), 0u)
            << signer.threat << ": " << WideToUtf8(report.GetFailureReason());
        EXPECT_EQ(report.GetBidder(), L"") << "the forger's name is never shown as the bidder";
        EXPECT_EQ(report.GetSignCert(), nullptr) << signer.threat;
        EXPECT_EQ(report.GetVerifyCode(), OpensslSm3(bid)) << "the code is the file's all the same";
    }
}

TEST_F(BidFileReport, CliVerifyPrintsTheReasonAfterTheSignaturesMark)
{
    const CForgedSigner signer = ForgedSigners().front();
    const fs::path bid = temp / "forged.bidx";
    SealBid(bid, rules, 2, { kOpenerA, kOpenerB, kOpenerC }, 4096, nullptr, &signer.issued);
    // The built-in texts: no language folder beside the program's copy under test.
    const std::string command
        = std::string("LANG=zh_CN.UTF-8 '") + KELVANE_CLI_PATH + "' verify '" + bid.string() + "'";
    std::FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char block[512];
    while (const size_t got = std::fread(block, 1, sizeof block, pipe))
        output.append(block, got);
    EXPECT_EQ(WEXITSTATUS(pclose(pipe)), 1) << "a failed verification";
    const size_t mark = output.find("签名数据: × ");
    ASSERT_NE(mark, std::string::npos) << output;
    const std::string line = output.substr(mark, output.find('\n', mark) - mark);
    EXPECT_NE(line.find(WideToUtf8(signer.reason)), std::string::npos) << line;
    EXPECT_NE(output.find("标书格式: √"), std::string::npos) << output;
}
