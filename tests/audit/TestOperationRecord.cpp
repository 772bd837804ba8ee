#include "AuditTestEnvironment.h"
#include "CLogService.h"
#include "app/LocalLog.h"
#include "audit/OperationRecord.h"
#include "audit/OperatorSignature.h"
#include "tests/support/ScriptedPrompt.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

using namespace kelvane::test;

namespace {

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// An HTTP server on a free loopback port, serving until destroyed.
class CLoopbackServer {
public:
    CLoopbackServer()
    {
        port = server.bind_to_any_port("127.0.0.1");
        worker = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ~CLoopbackServer()
    {
        server.stop();
        worker.join();
    }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }

    httplib::Server server;
    int port = 0;

private:
    std::thread worker;
};

class OperationRecord : public ::testing::Test {
protected:
    void SetUp() override
    {
        AuditTokens();
        SetAuditPrompt(&prompt);
        std::string error;
        logs = CLogService::Open(AuditTokens().Folder() + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name()
                + ".sqlite",
            AuditTokens().Ca().CertPem().empty() ? "" : CaFile(), error);
        ASSERT_NE(logs, nullptr) << error;
        logs->Mount(service.server);
        // The operator is chosen by label, as kelvane-cli does it.
        setenv("KELVANE_OPERATOR_CERT", kOperatorP256, 1);
        ASSERT_EQ(CheckOperatorCert(std::chrono::milliseconds(0)), 1);
    }
    void TearDown() override
    {
        unsetenv("KELVANE_OPERATOR_CERT");
        SetOperatorCert(nullptr);
        SetAuditPrompt(nullptr);
    }

    static std::string CaFile()
    {
        const std::string path = AuditTokens().Folder() + "/ca.pem";
        std::ofstream(path, std::ios::binary | std::ios::trunc) << AuditTokens().Ca().CertPem();
        return path;
    }

    void Settings(const std::string& submit, const std::string& url, const std::string& writeLocal = "true")
    {
        WriteSettings("[LocalLog]\nIsWriteLocalLog=" + writeLocal + "\n[LogService]\nIsSumbitLog=" + submit
            + "\n[LogSubmitURL]\nurl=" + url + "\n");
    }

    CScriptedPrompt prompt { {}, IDOK };
    CLoopbackServer service;
    std::unique_ptr<CLogService> logs;
};

TEST_F(OperationRecord, ReachesTheLogServiceSignedByTheOperator)
{
    Settings("true", service.Url("/log"));
    ASSERT_EQ(SubmitOperationRecord(kLogTypeSuccess, "P-2026-01", "道路工程", L"标书\"甲.bidx\"开标完成"), 1);
    ASSERT_EQ(SubmitOperationRecord(kLogTypeNeutral, "P-2026-01", "", L"a&b=c+d %"), 1);

    const auto records = logs->Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].logType, kLogTypeSuccess);
    EXPECT_EQ(records[0].projectId, "P-2026-01");
    EXPECT_EQ(records[0].projectName, "道路工程");
    EXPECT_EQ(records[0].message, "标书\"甲.bidx\"开标完成");
    EXPECT_EQ(records[0].signer, "操作员 甲");
    EXPECT_EQ(records[1].logType, kLogTypeNeutral);
    EXPECT_EQ(records[1].message, "a&b=c+d %") << "form characters of the message survive the encoding";
    EXPECT_TRUE(prompt.Questions().empty());
}

TEST_F(OperationRecord, SubmissionOffWritesOnlyTheLocalLog)
{
    for (const char* value : { "false", "True", "" }) {
        Settings(value, service.Url("/log"));
        const std::wstring message = L"本地记录 " + std::wstring(value, value + std::strlen(value));
        EXPECT_EQ(SubmitOperationRecord(kLogTypeFailure, "P1", "", message), 1) << value;
        const std::string log = ReadAll(GetLocalLogPath());
        EXPECT_NE(log.find("INFO     本地记录 " + std::string(value) + " \n  "), std::string::npos) << value;
    }
    EXPECT_TRUE(logs->Records().empty());
}

TEST_F(OperationRecord, LocalCopyStaysWhenTheSubmissionFails)
{
    Settings("true", "");
    EXPECT_EQ(SubmitOperationRecord(kLogTypeFailure, "P1", "", L"无地址"), 0);
    EXPECT_NE(ReadAll(GetLocalLogPath()).find(" 无地址 \n"), std::string::npos);
}

TEST_F(OperationRecord, OnlyStatus200CountsAsAccepted)
{
    std::atomic<int> requests { 0 };
    std::string lastBody;
    service.server.Post("/created", [&](const httplib::Request& request, httplib::Response& response) {
        ++requests;
        lastBody = request.body;
        response.status = 201;
        response.set_content("stored", "text/plain");
    });
    Settings("true", service.Url("/created"));
    EXPECT_EQ(SubmitOperationRecord(kLogTypeSuccess, "P1", "", L"x"), 0);
    EXPECT_EQ(requests.load(), 1);
    EXPECT_EQ(lastBody.rfind("plainText=%7B%22logtype%22%3A1%2C", 0), 0u) << lastBody;
    EXPECT_NE(lastBody.find("&signedData="), std::string::npos);

    std::string response;
    int status = 0;
    EXPECT_EQ(PostLogRecord(service.Url("/created"), "{}", "sig", response, &status), 0);
    EXPECT_EQ(status, 201);
    EXPECT_EQ(PostLogRecord(service.Url("/log"), "{}", "sig", response, &status), 0);
    EXPECT_EQ(status, 400) << "the log service refuses an unsigned record";
}

TEST_F(OperationRecord, SigningFailureIsReportedAndNothingIsSent)
{
    Settings("true", service.Url("/log"));
    AuditTokens().Pull(kOperatorP256);
    EXPECT_EQ(SubmitOperationRecord(kLogTypeSuccess, "P1", "", L"x"), 0);
    AuditTokens().PutBack(kOperatorP256);
    const auto questions = prompt.Questions();
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[0].text, kOperatorNoPrivateKeyText);
    EXPECT_EQ(questions[1].text, kRecordSignFailedText);
    EXPECT_EQ(questions[1].caption, L"提示");
    EXPECT_TRUE(logs->Records().empty());
}

TEST(LogRecord, HasTheFourMembersInOrder)
{
    std::string json;
    ASSERT_EQ(BuildLogRecord("192.168.1.7", "项目\"甲\"", "line\nbreak", 2, json), 1);
    EXPECT_EQ(json, "{\"logtype\":2,\"projectid\":\"192.168.1.7\",\"projectname\":\"项目\\\"甲\\\"\",\"logmsg\":\"line\\nbreak\"}");
    const auto parsed = nlohmann::ordered_json::parse(json);
    std::vector<std::string> keys;
    for (const auto& item : parsed.items())
        keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string> { "logtype", "projectid", "projectname", "logmsg" }));
}

TEST(UrlEncode, KeepsUnreservedBytesOnly)
{
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        { "a b+c~", "a+b%2Bc~" },
        { "AZaz09-_.~", "AZaz09-_.~" },
        { "&=%/", "%26%3D%25%2F" },
        { "中", "%E4%B8%AD" },
        { std::string("\0\n", 2), "%00%0A" },
        { "", "" },
    };
    for (const auto& entry : cases)
        EXPECT_EQ(UrlEncode(entry.in), entry.out) << entry.in;
}

} // namespace
