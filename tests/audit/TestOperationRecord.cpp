#include "AuditTestEnvironment.h"
#include "CLogService.h"
#include "QuarnPKI.h"
#include "app/LocalLog.h"
#include "app/TextConversion.h"
#include "audit/CRecordOutbox.h"
#include "audit/OperationRecord.h"
#include "audit/OperatorSignature.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/ScriptedPrompt.h"
#include "tests/support/TempDir.h"

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <poll.h>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

using namespace kelvane::test;

namespace {

// A log service broken below HTTP on a loopback port: nobody listening, a listener that takes the
// request and never answers, or one that answers bytes that are not HTTP.
class CBrokenService
{
public:
    enum class Kind
    {
        Down,
        Stalling,
        Garbage
    };

    explicit CBrokenService(Kind kind)
    {
        if (kind == Kind::Down) {
            port = FreePort();
            return;
        }
        server.emplace([this, kind](const int fd) {
            if (kind == Kind::Stalling) {
                while (!stop)
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                return;
            }
            char buffer[4096];
            pollfd request { fd, POLLIN, 0 };
            if (poll(&request, 1, 500) == 1) [[maybe_unused]]
                const auto got = read(fd, buffer, sizeof buffer);
            constexpr char kGarbage[] = "\x17\x03\x03 no HTTP here\r\n\r\n";
            [[maybe_unused]] const auto sent = write(fd, kGarbage, sizeof kGarbage - 1);
        });
        port = server->Port();
    }
    ~CBrokenService()
    {
        stop = true;
        server.reset();
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port) + "/log"; }

private:
    int port = 0;
    std::atomic<bool> stop { false };
    std::optional<CRawServer> server;
};

// The HTTP client's time-outs, short for the life of the object.
class CShortTimeouts
{
public:
    explicit CShortTimeouts(int totalMs) { QuarnPKICryptoSetHttpTimeouts(totalMs, totalMs); }
    ~CShortTimeouts() { QuarnPKICryptoSetHttpTimeouts(10000, 30000); }
};

class OperationRecord : public ::testing::Test
{
protected:
    void SetUp() override
    {
        AuditTokens();
        // Every test starts with an empty outbox and no pause left by the one before.
        fs::remove_all(CRecordOutbox::DefaultFolder());
        SetLogServicePause(std::chrono::seconds(60));
        SetAuditPrompt(&prompt);
        std::string error;
        logs = CLogService::Open(AuditTokens().Folder() + "/"
                + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".sqlite",
            AuditTokens().Ca().CertPem().empty() ? "" : CaFile(), error);
        ASSERT_NE(logs, nullptr) << error;
        logs->Mount(service.server);
        // Behind these the real service stores the record, but its answer is lost or refused.
        service.server.Post("/answer-lost",
            [this](
                const httplib::Request&, httplib::Response& response, const httplib::ContentReader& reader) {
                std::string body;
                reader([&](const char* data, size_t length) {
                    body.append(data, length);
                    return true;
                });
                logs->Submit(body);
                response.status = 502;
            });
        service.server.Post("/unavailable",
            [](const httplib::Request&, httplib::Response& response) { response.status = 503; });
        service.Start();
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
        const std::string log = ReadFileBytes(GetLocalLogPath());
        EXPECT_NE(log.find("INFO     本地记录 " + std::string(value) + " \n  "), std::string::npos) << value;
    }
    EXPECT_TRUE(logs->Records().empty());
}

TEST_F(OperationRecord, LocalCopyStaysWhenTheSubmissionFails)
{
    Settings("true", "");
    EXPECT_EQ(SubmitOperationRecord(kLogTypeFailure, "P1", "", L"无地址"), 0);
    EXPECT_NE(ReadFileBytes(GetLocalLogPath()).find(" 无地址 \n"), std::string::npos);
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

TEST_F(OperationRecord, SigningFailureIsReportedOnceAndTheRecordsWaitToBeSigned)
{
    Settings("true", service.Url("/log"));
    AuditTokens().Pull(kOperatorP256);
    EXPECT_EQ(SubmitOperationRecord(kLogTypeSuccess, "P1", "", L"未签名 1"), 0);
    EXPECT_EQ(SubmitOperationRecord(kLogTypeSuccess, "P1", "", L"未签名 2"), 0);
    AuditTokens().PutBack(kOperatorP256);
    const auto questions = prompt.Questions();
    ASSERT_EQ(questions.size(), 2u) << "one message for a run of failures, not one per record";
    EXPECT_EQ(questions[0].text, kOperatorNoPrivateKeyText);
    EXPECT_EQ(questions[1].text, kRecordSignFailedText);
    EXPECT_EQ(questions[1].caption, L"提示");
    EXPECT_TRUE(logs->Records().empty());
    EXPECT_EQ(PendingRecordCount(), 2);

    // With the token back, the waiting records are signed and go first.
    EXPECT_EQ(SubmitOperationRecord(kLogTypeSuccess, "P1", "", L"已签名"), 1);
    const auto records = logs->Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].message, "未签名 1");
    EXPECT_EQ(records[1].message, "未签名 2");
    EXPECT_EQ(records[2].message, "已签名");
    EXPECT_EQ(records[0].signer, "操作员 甲");
    EXPECT_EQ(PendingRecordCount(), 0);
}

// A service that does not accept the records: each waits in the outbox, in order, and arrives once
// when the service is back, also the one the service had stored while its answer was lost. A dead
// service costs one time-out, not one per record.
TEST_F(OperationRecord, RecordsTheServiceDoesNotAcceptWaitAndArriveOnceInOrder)
{
    constexpr int kTimeoutMs = 1000;
    const CShortTimeouts timeouts(kTimeoutMs);
    const struct
    {
        const char* fault;
        std::optional<CBrokenService::Kind> broken;
        std::string path;
    } faults[] = {
        { "service down", CBrokenService::Kind::Down, {} },
        { "service stalling", CBrokenService::Kind::Stalling, {} },
        { "garbage answer", CBrokenService::Kind::Garbage, {} },
        { "status 503", std::nullopt, "/unavailable" },
        { "answer lost after storing", std::nullopt, "/answer-lost" },
    };
    constexpr int kRecords = 4;
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.fault);
        fs::remove_all(CRecordOutbox::DefaultFolder());
        SetLogServicePause(std::chrono::seconds(60));
        const size_t first = logs->Records().size();
        std::optional<CBrokenService> broken;
        if (fault.broken)
            broken.emplace(*fault.broken);
        Settings("true", broken ? broken->Url() : service.Url(fault.path));

        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kRecords; ++i) {
            const std::wstring message = Utf8ToWide(std::string(fault.fault)) + L" " + std::to_wstring(i);
            // An opening's records go in the background, between plain ones: the order holds.
            if (i % 2 == 1)
                SubmitOperationRecordInBackground(kLogTypeSuccess, "P1", "", message);
            else
                EXPECT_EQ(SubmitOperationRecord(kLogTypeSuccess, "P1", "", message), 0);
        }
        const auto elapsed = std::chrono::steady_clock::now() - start;
        // Without the pause the stalling service alone would take kRecords time-outs.
        EXPECT_LT(elapsed, std::chrono::milliseconds(kTimeoutMs * 5 / 2))
            << "one time-out at most, not one per record";
        EXPECT_EQ(PendingRecordCount(), kRecords);
        broken.reset();

        // The service is back: the next record sends the waiting ones first.
        Settings("true", service.Url("/log"));
        SetLogServicePause(std::chrono::seconds(60));
        EXPECT_EQ(SubmitOperationRecord(kLogTypeSuccess, "P1", "", L"恢复"), 1);
        SubmitOperationRecordInBackground(kLogTypeSuccess, "P1", "", L"之后");
        EXPECT_EQ(PendingRecordCount(), 0);
        const auto all = logs->Records();
        std::vector<std::string> messages;
        std::set<std::string> ids;
        for (size_t i = first; i < all.size(); ++i) {
            messages.push_back(all[i].message);
            ids.insert(all[i].recordId);
            EXPECT_EQ(all[i].recordId.size(), 32u);
            // A record stored at its first arrival is not marked; every later one arrived resent.
            const bool firstArrival = i + 2 >= all.size() || (fault.path == "/answer-lost" && i == first);
            EXPECT_EQ(all[i].resent, !firstArrival) << all[i].message;
        }
        std::vector<std::string> expected;
        for (int i = 0; i < kRecords; ++i)
            expected.push_back(std::string(fault.fault) + " " + std::to_string(i));
        expected.push_back("恢复");
        expected.push_back("之后");
        EXPECT_EQ(messages, expected);
        EXPECT_EQ(ids.size(), expected.size());
    }
}

// A crash while a record was written, or a disk that lost a record's tail, leaves a file that does
// not read back whole: it is set aside and the records before and after it still go, in order.
TEST_F(OperationRecord, DamagedOutboxFileDoesNotBlockTheOthers)
{
    const struct
    {
        const char* damage;
        int victim;
        bool truncate;
        bool asTemporary;
        bool survives;
    } cases[] = {
        { "last record cut off mid-write", 2, true, true, false },
        { "last record written, rename cut off", 2, false, true, true },
        { "middle record lost its tail", 1, true, false, false },
    };
    for (const auto& damage : cases) {
        SCOPED_TRACE(damage.damage);
        fs::remove_all(CRecordOutbox::DefaultFolder());
        SetLogServicePause(std::chrono::seconds(60));
        const size_t first = logs->Records().size();
        Settings("true", service.Url("/unavailable"));
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(SubmitOperationRecord(kLogTypeSuccess, "P1", "", L"记录 " + std::to_wstring(i)), 0);

        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(CRecordOutbox::DefaultFolder()))
            if (entry.path().extension() == ".rec")
                files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        ASSERT_EQ(files.size(), 3u);
        const fs::path victim = files[static_cast<size_t>(damage.victim)];
        if (damage.truncate)
            fs::resize_file(victim, fs::file_size(victim) / 2);
        if (damage.asTemporary)
            fs::rename(victim, fs::path(victim).replace_extension(".tmp"));

        Settings("true", service.Url("/log"));
        EXPECT_EQ(ResendPendingRecords(), 0);
        const auto all = logs->Records();
        std::vector<std::string> messages;
        for (size_t i = first; i < all.size(); ++i)
            messages.push_back(all[i].message);
        std::vector<std::string> expected;
        for (int i = 0; i < 3; ++i)
            if (i != damage.victim || damage.survives)
                expected.push_back("记录 " + std::to_string(i));
        EXPECT_EQ(messages, expected);
        bool setAside = false;
        for (const auto& entry : fs::directory_iterator(CRecordOutbox::DefaultFolder()))
            setAside = setAside || entry.path().extension() == ".damaged";
        EXPECT_EQ(setAside, !damage.survives) << "a damaged file is kept for inspection";
    }
}

// The outbox is on disk: another process (kelvane-cli, started afresh) finds the records, sends
// them at its start, and reports those still waiting in its exit status.
TEST_F(OperationRecord, AnotherProcessSendsTheWaitingRecordsAtItsStart)
{
    const size_t first = logs->Records().size();
    Settings("true", service.Url("/unavailable"));
    EXPECT_EQ(SubmitOperationRecord(kLogTypeSuccess, "P1", "", L"进程 1"), 0);
    EXPECT_EQ(SubmitOperationRecord(kLogTypeSuccess, "P1", "", L"进程 2"), 0);

    auto runCli = [](std::string& output) {
        // "verify" without a file: the program starts and ends without touching a token.
        FILE* pipe = popen((std::string(KELVANE_CLI_PATH) + " verify 2>&1").c_str(), "r");
        char buffer[512];
        while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr)
            output += buffer;
        const int status = pipe != nullptr ? pclose(pipe) : -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    std::string output;
    EXPECT_EQ(runCli(output), 2);
    EXPECT_NE(output.find("kelvane-cli: 2 operation records are waiting to be sent to the log service\n"),
        std::string::npos)
        << output;

    Settings("true", service.Url("/log"));
    output.clear();
    EXPECT_EQ(runCli(output), 2);
    EXPECT_EQ(output.find("waiting"), std::string::npos) << output;
    const auto all = logs->Records();
    ASSERT_EQ(all.size(), first + 2);
    EXPECT_EQ(all[first].message, "进程 1");
    EXPECT_EQ(all[first + 1].message, "进程 2");
    EXPECT_EQ(PendingRecordCount(), 0);
}

TEST(LogRecord, HasTheFourMembersInOrderThenTheRecordId)
{
    std::string json;
    ASSERT_EQ(BuildLogRecord("192.168.1.7", "x", "y", 1, json, "00112233445566778899aabbccddeeff"), 1);
    EXPECT_EQ(json,
        R"({"logtype":1,"projectid":"192.168.1.7","projectname":"x","logmsg":"y","recordid":"00112233445566778899aabbccddeeff"})");
    const std::string id = NewRecordId();
    EXPECT_EQ(id.size(), 32u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(id, NewRecordId());

    ASSERT_EQ(BuildLogRecord("192.168.1.7", "项目\"甲\"", "line\nbreak", 2, json), 1);
    EXPECT_EQ(json,
        "{\"logtype\":2,\"projectid\":\"192.168.1.7\",\"projectname\":\"项目\\\"甲\\\"\",\"logmsg\":"
        "\"line\\nbreak\"}");
    const auto parsed = nlohmann::ordered_json::parse(json);
    std::vector<std::string> keys;
    for (const auto& item : parsed.items())
        keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string> { "logtype", "projectid", "projectname", "logmsg" }));
}

TEST(UrlEncode, KeepsUnreservedBytesOnly)
{
    const struct
    {
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
