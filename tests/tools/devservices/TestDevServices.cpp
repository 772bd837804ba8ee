#include "CDevClock.h"
#include "CLogService.h"
#include "CTimeStampAuthority.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCa.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <httplib.h>
#include <memory>
#include <nlohmann/json.hpp>

namespace fs = std::filesystem;

namespace {

int Shell(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str());
}

std::string FormEncode(std::string_view text)
{
    static const char* hex = "0123456789ABCDEF";
    std::string encoded;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~')
            encoded += static_cast<char>(c);
        else if (c == ' ')
            encoded += '+';
        else
            encoded += { '%', hex[c >> 4], hex[c & 15] };
    }
    return encoded;
}

// A throwaway PKI: a CA, an authority certificate with the critical timeStamping usage, an
// operator certificate, and an operator certificate from a foreign CA. The openssl command checks
// what the services answer.
class DevServices : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        using namespace kelvane::test;
        folder = std::make_unique<CTempDir>();
        dir = folder->Path();
        CTestCa ca("ca CA");
        CTestCa foreign("foreign CA");
        const auto write = [](const std::string& name, const CTestIssued& issued) {
            WriteFileBytes(dir / (name + ".pem"), issued.certPem);
            WriteFileBytes(dir / (name + ".key"), issued.keyPem);
        };
        const CTestIssued tsa = ca.Issue(Request("Dev TSA", KeyKind::P256, CertUsage::TimeStamping));
        write("tsa", tsa);
        write("operator", ca.Issue(Request("操作员 Zhang")));
        write("stranger", foreign.Issue(Request("Stranger")));
        WriteFileBytes(dir / "ca.pem", ca.CertPem());
        WriteFileBytes(dir / "foreign.pem", foreign.CertPem());
        WriteFileBytes(dir / "tsa-chain.pem", tsa.certPem + ca.CertPem());
    }

    static void TearDownTestSuite() { folder.reset(); }

    void SetUp() override
    {
        std::string error;
        authority = CTimeStampAuthority::Load(dir / "tsa-chain.pem", dir / "tsa.key", error);
        ASSERT_TRUE(authority) << error;
        logs = CLogService::Open(
            dir / (std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".sqlite"),
            dir / "ca.pem", error);
        ASSERT_TRUE(logs) << error;
        authority->Mount(service.server);
        logs->Mount(service.server);
        service.Start();
    }

    // Asks the authority through HTTP with a request made by the openssl command; returns the
    // path of the response, or an empty path.
    fs::path AskTimeStamp(const std::string& name)
    {
        const fs::path data = dir / (name + ".data"), query = dir / (name + ".tsq"),
                       reply = dir / (name + ".tsr");
        WriteFileBytes(data, std::string(80, '\x01'));
        EXPECT_EQ(
            Shell("openssl ts -query -data " + data.string() + " -sha256 -cert -out " + query.string()), 0);
        httplib::Client client("127.0.0.1", service.Port());
        auto result = client.Post("/tsa", ReadFileBytes(query), "application/timestamp-query");
        if (!result || result->status != 200)
            return {};
        WriteFileBytes(reply, result->body);
        return reply;
    }

    std::string SignedRecord(const std::string& json, const std::string& signer, bool detached = false)
    {
        WriteFileBytes(dir / "record.json", json);
        const std::string d = dir.string();
        EXPECT_EQ(Shell("openssl cms -sign -binary " + std::string(detached ? "" : "-nodetach ") + "-in " + d
                      + "/record.json -signer " + d + "/" + signer + ".pem -inkey " + d + "/" + signer
                      + ".key -outform DER -out " + d + "/record.p7 && openssl base64 -A -in " + d
                      + "/record.p7 -out " + d + "/record.b64"),
            0);
        return "plainText=" + FormEncode(json)
            + "&signedData=" + FormEncode(ReadFileBytes(dir / "record.b64"));
    }

    int PostLog(const std::string& body)
    {
        httplib::Client client("127.0.0.1", service.Port());
        auto result = client.Post("/log", body, "application/x-www-form-urlencoded");
        return result ? result->status : -1;
    }

    static inline std::unique_ptr<CTempDir> folder;
    static inline fs::path dir;
    std::unique_ptr<CTimeStampAuthority> authority;
    std::unique_ptr<CLogService> logs;
    kelvane::test::CLoopbackServer service;
};

const std::string kRecord
    = R"({"logtype":1,"projectid":"P001","projectname":"道路工程","logmsg":"开始解标..."})";

} // namespace

TEST(DevClock, ParsesUtcForms)
{
    EXPECT_EQ(CDevClock::ParseUtc("2024-01-01T00:00:00Z"), 1704067200);
    EXPECT_EQ(CDevClock::ParseUtc("2024-01-01 00:00:00"), 1704067200);
    EXPECT_EQ(CDevClock::ParseUtc("20240101000000Z"), 1704067200);
    EXPECT_EQ(CDevClock::ParseUtc("1704067200"), 1704067200);
    EXPECT_EQ(CDevClock::ParseUtc("2024-02-30 00:00:00"), std::nullopt);
    EXPECT_EQ(CDevClock::ParseUtc("2024-13-01 00:00:00"), std::nullopt);
    EXPECT_EQ(CDevClock::ParseUtc("yesterday"), std::nullopt);
    EXPECT_EQ(CDevClock::ParseSeconds("-3600"), -3600);
    EXPECT_EQ(CDevClock::ParseSeconds("12x"), std::nullopt);
    EXPECT_EQ(CDevClock::ParseSeconds(""), std::nullopt);
}

TEST(DevClock, OffsetAndFreeze)
{
    CDevClock clock;
    const int64_t before = clock.Now();
    clock.SetOffset(-8 * 3600);
    EXPECT_NEAR(static_cast<double>(clock.Now()), static_cast<double>(before - 8 * 3600), 2.0);
    clock.Freeze(1704067200);
    EXPECT_EQ(clock.Now(), 1704067200);
    clock.Reset();
    EXPECT_NEAR(static_cast<double>(clock.Now()), static_cast<double>(before), 2.0);
}

TEST(FormBody, DecodesAndRefusesAmbiguity)
{
    const auto fields = ParseFormBody("plainText=a+b%2Bc%7E&signedData=");
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->at("plainText"), "a b+c~");
    EXPECT_EQ(fields->at("signedData"), "");
    EXPECT_TRUE(ParseFormBody("")->empty());
    for (const char* bad : { "a=1&a=2", "novalue", "=x", "a=%4", "a=%zz", "a=%", "a=1&&b=2" })
        EXPECT_EQ(ParseFormBody(bad), std::nullopt) << bad;
}

TEST_F(DevServices, AuthorityAnswersAtItsFrozenTimeAndVerifies)
{
    ASSERT_EQ(Shell("curl -s -X POST --data time=2024-01-01T00:00:00Z http://127.0.0.1:"
                  + std::to_string(service.Port()) + "/control/tsa-clock"),
        0);
    const fs::path reply = AskTimeStamp("frozen");
    ASSERT_FALSE(reply.empty());
    const std::string d = dir.string();
    EXPECT_EQ(Shell("openssl ts -verify -in " + reply.string() + " -data " + d + "/frozen.data -CAfile " + d
                  + "/ca.pem"),
        0);
    EXPECT_NE(Shell("openssl ts -verify -in " + reply.string() + " -data " + d + "/frozen.data -CAfile " + d
                  + "/foreign.pem"),
        0);
    EXPECT_EQ(Shell("openssl ts -reply -in " + reply.string()
                  + " -text | grep -q 'Time stamp: Jan  1 00:00:00 2024 GMT'"),
        0);
}

TEST_F(DevServices, AuthorityClockControlRefusesNonsense)
{
    httplib::Client client("127.0.0.1", service.Port());
    EXPECT_EQ(client.Post("/control/tsa-clock", "offset=-28800", "text/plain")->status, 200);
    EXPECT_EQ(client.Post("/control/tsa-clock", "offset=soon", "text/plain")->status, 400);
    EXPECT_EQ(client.Post("/control/tsa-clock", "time=2024-02-30T00:00:00Z", "text/plain")->status, 400);
    EXPECT_EQ(client.Post("/tsa", "not a request", "text/plain")->status, 415);
    // A request that does not parse is answered with a rejection, as the protocol asks.
    auto rejected = client.Post("/tsa", "garbage", "application/timestamp-query");
    ASSERT_TRUE(rejected);
    EXPECT_EQ(rejected->status, 200);
    WriteFileBytes(dir / "rejected.tsr", rejected->body);
    EXPECT_EQ(Shell("openssl ts -reply -in " + (dir / "rejected.tsr").string()
                  + " -text | grep -q 'Status: Rejected'"),
        0);
}

TEST_F(DevServices, LogAcceptsOnlyValidSignedRecords)
{
    EXPECT_EQ(PostLog(SignedRecord(kRecord, "operator")), 200);
    EXPECT_EQ(PostLog(SignedRecord(kRecord, "operator", true)), 200);
    // Signed by a certificate from another CA.
    EXPECT_EQ(PostLog(SignedRecord(kRecord, "stranger")), 400);
    // The plain text differs from what was signed.
    std::string body = SignedRecord(kRecord, "operator");
    const auto at = body.find("P001");
    body.replace(at, 4, "P002");
    EXPECT_EQ(PostLog(body), 400);
    // Members out of order, or missing.
    EXPECT_EQ(
        PostLog(SignedRecord(R"({"projectid":"P001","logtype":1,"projectname":"","logmsg":""})", "operator")),
        400);
    EXPECT_EQ(PostLog(SignedRecord(R"({"logtype":1,"projectid":"P001","projectname":""})", "operator")), 400);
    EXPECT_EQ(PostLog("plainText=x&signedData=%%%"), 400);
    EXPECT_EQ(PostLog(std::string(CLogService::kMaxBody + 1, 'a')), 413);

    const auto records = logs->Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].logType, 1);
    EXPECT_EQ(records[0].projectId, "P001");
    EXPECT_EQ(records[0].projectName, "道路工程");
    EXPECT_EQ(records[0].message, "开始解标...");
    EXPECT_EQ(records[0].signer, "操作员 Zhang");

    httplib::Client client("127.0.0.1", service.Port());
    const auto listed = nlohmann::json::parse(client.Get("/log/records")->body);
    EXPECT_EQ(listed.size(), 2u);
}

// A workstation sends a record again when it missed the answer: the record is stored once, its
// id cannot be taken by another record, and only a well-formed id and resent mark pass.
TEST_F(DevServices, LogStoresARecordOnceWhateverTimesItArrives)
{
    const std::string id = "00112233445566778899aabbccddeeff";
    const std::string record
        = R"({"logtype":1,"projectid":"P001","projectname":"","logmsg":"开标","recordid":")" + id + "\"}";
    const std::string body = SignedRecord(record, "operator");
    EXPECT_EQ(PostLog(body), 200);
    EXPECT_EQ(PostLog(body + "&resent=1"), 200) << "the same record again is answered as stored";
    EXPECT_EQ(PostLog(SignedRecord(record, "operator", true) + "&resent=1"), 200)
        << "also with a new signature";
    const std::string other
        = R"({"logtype":1,"projectid":"P001","projectname":"","logmsg":"另一条","recordid":")" + id + "\"}";
    EXPECT_EQ(PostLog(SignedRecord(other, "operator") + "&resent=1"), 400)
        << "another record under a stored id";

    const std::string fresh
        = R"({"logtype":2,"projectid":"P001","projectname":"","logmsg":"重发","recordid":"ffeeddccbbaa99887766554433221100"})";
    EXPECT_EQ(PostLog(SignedRecord(fresh, "operator") + "&resent=1"), 200);
    for (const char* bad :
        {
            R"({"logtype":1,"projectid":"P","projectname":"","logmsg":"","recordid":"00112233445566778899AABBCCDDEEFF"})",
            R"({"logtype":1,"projectid":"P","projectname":"","logmsg":"","recordid":"0011"})",
            R"({"logtype":1,"projectid":"P","projectname":"","recordid":"ffeeddccbbaa99887766554433221101","logmsg":""})",
            R"({"logtype":1,"projectid":"P","projectname":"","logmsg":"","recordid":1})",
        })
        EXPECT_EQ(PostLog(SignedRecord(bad, "operator")), 400) << bad;
    EXPECT_EQ(PostLog(SignedRecord(kRecord, "operator") + "&resent=yes"), 400);
    EXPECT_EQ(PostLog(SignedRecord(kRecord, "operator") + "&extra=1"), 400);

    const auto records = logs->Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].recordId, id);
    EXPECT_FALSE(records[0].resent);
    EXPECT_EQ(records[1].message, "重发");
    EXPECT_TRUE(records[1].resent);
}
