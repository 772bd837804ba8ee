// The verification report: the code against OpenSSL's own SM3, the two results and the signer.
#include "OpeningBench.h"

#include "app/TextConversion.h"
#include "tests/support/TempDir.h"
#include "verify/CBidFileReport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

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

class BidFileReport : public ::testing::Test {
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
    std::string rules = COpeningBench::Get().WriteRules(3, 2, { kOpenerA, kOpenerB, kOpenerC });
};

} // namespace

TEST_F(BidFileReport, CodeIsOpensslSm3OfTheWholeFileAcrossBlockBoundaries)
{
    for (const size_t size : { size_t { 0 }, size_t { 8191 }, size_t { 8192 }, size_t { 8193 }, size_t { 100000 } }) {
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

    const struct {
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
