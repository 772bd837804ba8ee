// The opening end to end: real tokens, a real rules server, time-stamp authorities and log service
// on loopback, and real sealed bids, grouped by the phase of the run they exercise.
#include "OpeningBench.h"
#include "app/LanguageCatalogue.h"
#include "app/TextConversion.h"
#include "audit/OperationRecord.h"
#include "audit/OperatorSignature.h"
#include "opening/CResultTexts.h"
#include "opening/CRulesFileClient.h"
#include "opening/CTimeStampClient.h"
#include "opening/OpeningRecord.h"
#include "opening/OpeningTime.h"
#include "opening/RecordPdf.h"
#include "opening/TimeStampTest.h"
#include "tests/support/ScriptedPrompt.h"
#include "tests/support/TempDir.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <optional>
#include <regex>
#include <set>
#include <stdexcept>
#include <sys/mount.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace kelvane::test;

namespace {

std::wstring Text(const char* key)
{
    return CLanguageCatalogue::Instance().GetText(key);
}

// The records' PDFs need Qt's fonts, as in kelvane-cli: for the whole program.
class CPrintingEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        gui = std::make_unique<CPrintingGui>();
        SetRecordPrinter(&PrintOpeningRecord);
    }
    void TearDown() override
    {
        SetRecordPrinter(nullptr);
        gui.reset();
    }

private:
    std::unique_ptr<CPrintingGui> gui;
};
[[maybe_unused]] const auto* const kPrinting = ::testing::AddGlobalTestEnvironment(new CPrintingEnvironment);

std::wstring Wide(const fs::path& path)
{
    return Utf8ToWide(path.string());
}

std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// What a poppler tool prints about a PDF; empty when it fails or takes over half a minute.
std::string PdfTool(const std::string& tool, const fs::path& pdf, const std::string& output = " -")
{
    const std::string command = "timeout 30 " + tool + " '" + pdf.string() + "'" + output + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    std::string text;
    char buffer[4096];
    for (size_t got = 0; pipe != nullptr && (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        text.append(buffer, got);
    if (pipe != nullptr && pclose(pipe) != 0)
        text.clear();
    return text;
}

// The PDF's text in drawing order without blanks: a table cell breaks a long name or code where
// it must.
std::string PdfText(const fs::path& pdf)
{
    std::string text = PdfTool("pdftotext -raw", pdf);
    std::erase_if(text, [](char c) { return c == ' ' || c == '\n' || c == '\f'; });
    return text;
}

class OpeningSession : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { COpeningBench::Get(); }

    void SetUp() override
    {
        bench.FreezeAt(0);
        root = bench.folder / ("run-" + std::to_string(++runNumber));
        package = root / "work" / kProject / "L1";
        fs::create_directories(package);
        setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
        Settings();
        rules = bench.WriteRules(3, 2, { kOpenerA, kOpenerB, kOpenerC });
        SetAuditPrompt(&auditPrompt);
        ASSERT_EQ(CheckOperatorCert(std::chrono::milliseconds(0)), 1)
            << "the operator's token signs every record";
        firstRecord = bench.Records().size();
    }

    void TearDown() override
    {
        SetAuditPrompt(nullptr);
        for (const char* label : { kOpenerA, kOpenerB, kOpenerC, kOperator })
            bench.tokens.PutBack(label);
        EXPECT_TRUE(auditPrompt.Questions().empty()) << "signing and submission never complained";
    }

    void Settings(const std::string& timeStampUrl = {}, const std::string& compare = "true",
        const std::string& rulesUrl = {})
    {
        const fs::path file = root / "config" / "QUARN" / "rmw" / "Setting.ini";
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::trunc)
            << "[BidRuleFileURL]\nurl=" << (rulesUrl.empty() ? bench.services.Url("/rules") : rulesUrl)
            << "\n"
            << "[TimeStampURL]\nurl=" << (timeStampUrl.empty() ? bench.services.Url("/tsa") : timeStampUrl)
            << "\n"
            << "[LogService]\nIsSumbitLog=true\n[LogSubmitURL]\nurl=" << bench.services.Url("/log") << "\n"
            << "[LocalLog]\nIsWriteLocalLog=true\n[RulesCompare]\nIsCompare=" << compare << "\n";
    }

    fs::path Bid(const std::string& name, size_t size = 4096)
    {
        const fs::path path = package / name;
        SealBid(path, rules, 2, { kOpenerA, kOpenerB, kOpenerC }, size);
        return path;
    }

    fs::path Garbage(const std::string& name)
    {
        const fs::path path = package / name;
        std::ofstream(path, std::ios::binary) << std::string(2048, 'g');
        return path;
    }

    // Runs an opening over the files, in this order, on the manager's worker.
    void Run(CTestWindow& window, const std::vector<fs::path>& files, const std::string& project = kProject,
        bool detachedDuringRun = false)
    {
        manager.ClearFiles();
        manager.SetProjectNumber(Utf8ToWide(project));
        for (size_t i = 0; i < files.size(); ++i)
            manager.AddFile(static_cast<int>(i), Wide(files[i]), Wide(package / "Open") + L"/");
        manager.SetNotifyWindow(&window);
        manager.SetListControl(&window);
        manager.SetOutputSink(&window);
        ASSERT_EQ(manager.Start(), 0);
        manager.Join();
        EXPECT_EQ(manager.GetWorkerExitCode(), 0);
        if (!detachedDuringRun) {
            EXPECT_FALSE(window.waitCursor) << "the wait cursor ends with the run";
        }
    }

    // The records the log service accepted during this test.
    std::vector<CStoredLogRecord> Records() const { return bench.RecordsSince(firstRecord); }
    // The closing record's message ends with the opening record's SHA-256; the tests of what the
    // run did read it without.
    static std::string WithoutRecordHash(const std::string& message)
    {
        static const std::regex kHash("（开标记录 SHA-256：[0-9a-f]{64}）$");
        return std::regex_replace(message, kHash, "");
    }
    int CountRecords(int logType, const std::string& message) const
    {
        int count = 0;
        for (const auto& record : Records())
            count += record.logType == logType && WithoutRecordHash(record.message) == message ? 1 : 0;
        return count;
    }

    // The run's last lines: its end, then where its record's files went, the JSON first.
    static void ExpectEndThenRecord(const CTestWindow& window)
    {
        ASSERT_GE(window.lines.size(), 4u);
        const size_t end = window.lines.size() - 4;
        EXPECT_EQ(window.lines[end], Text("end_open_bidfile"));
        const wchar_t* const tails[] = { L")", L".p7s", L".pdf" };
        for (size_t i = 0; i < 3; ++i) {
            const std::wstring& line = window.lines[end + 1 + i];
            const wchar_t* const tail = tails[i];
            EXPECT_EQ(line.rfind(Text("record_written"), 0), 0u) << WideToUtf8(line);
            EXPECT_TRUE(line.ends_with(tail)) << WideToUtf8(line);
        }
    }

    // The opening records of the package, by name.
    std::vector<fs::path> RecordFiles() const
    {
        std::vector<fs::path> records;
        for (const auto& entry : fs::directory_iterator(package))
            if (entry.path().extension() == ".json"
                && entry.path().filename().string().starts_with("开标记录-"))
                records.push_back(entry.path());
        std::sort(records.begin(), records.end());
        return records;
    }

    static std::string FileRecord(const std::string& name, const std::string& what)
    {
        return "标书\"" + name + "\"" + what;
    }

    static inline int runNumber = 0;
    COpeningBench& bench = COpeningBench::Get();
    fs::path root;
    fs::path package;
    std::string rules;
    size_t firstRecord = 0;
    CScriptedPrompt auditPrompt { {}, IDOK };
    COpeningManager manager { COpeningTimings {
        std::chrono::milliseconds(0), std::chrono::milliseconds(0), std::chrono::milliseconds(0) } };
};

// ---- Time ----------------------------------------------------------------------------------------

TEST_F(OpeningSession, TimeEqualToTheOpeningTimeProceedsEarlierIsRefusedInEveryZone)
{
    const fs::path bid = Bid("a.bidx");
    for (const char* zone : { "UTC", "Asia/Shanghai", "Asia/Tokyo" }) {
        const CScopedZone scoped(zone);
        for (const std::int64_t offset : { 0, -1, -600 }) {
            bench.FreezeAt(offset);
            CTestWindow window({ IDNO });
            Run(window, { bid });
            const bool proceeds = offset == 0;
            EXPECT_TRUE(
                window.HasLine(Text("get_timestamp_success") + Utf8ToWide(OpenTimeText())) || !proceeds)
                << zone;
            EXPECT_TRUE(window.HasLine(Text("get_opentime_success") + Utf8ToWide(OpenTimeText()))) << zone;
            EXPECT_EQ(window.HasLine(Text("notto_opentime")), !proceeds) << zone << " " << offset;
            EXPECT_EQ(window.HasLine(Text("get_rulefile_success_status")), proceeds) << zone << " " << offset;
            EXPECT_EQ(window.posts, std::vector<int> { 0 });
            EXPECT_EQ(
                manager.GetLastEnd(), proceeds ? COpeningEnd::Cancelled : COpeningEnd::OpeningTimeNotYet);
        }
    }
    EXPECT_EQ(CountRecords(kLogTypeNeutral, "未到开标时间"), 6);
    EXPECT_EQ(CountRecords(kLogTypeNeutral, "用户取消解标，开标结束"), 3);
}

TEST_F(OpeningSession, AuthoritiesAreAskedInOrderUntilOneAnswers)
{
    const std::string good = bench.services.Url("/tsa");
    const std::string second = bench.second.Url("/tsa");
    const std::string foreign = bench.foreign.Url("/tsa");
    const struct
    {
        std::string list;
        int result;
        int secondRequests;
        int foreignRequests;
    } cases[] = {
        { good + ";" + second, 1, 0, 0 },
        { foreign + ";" + second, 1, 1, 1 },
        { ";" + second, 1, 1, 0 },
        { second + ";", 1, 1, 0 },
        { foreign, 0, 0, 1 },
        { foreign + ";;" + foreign, 0, 0, 2 },
    };
    for (const auto& entry : cases) {
        Settings(entry.list);
        bench.second.requests = 0;
        bench.foreign.requests = 0;
        std::int64_t time = 0;
        EXPECT_EQ(CTimeStampClient().GetTimeStamp(&time), entry.result) << entry.list;
        EXPECT_EQ(bench.second.requests.load(), entry.secondRequests) << entry.list;
        EXPECT_EQ(bench.foreign.requests.load(), entry.foreignRequests) << entry.list;
        if (entry.result == 1) {
            EXPECT_EQ(FormatWallClock(time), Utf8ToWide(OpenTimeText())) << entry.list;
        }
    }
}

TEST_F(OpeningSession, TimeStampFromAnUntrustedAuthorityIsRefused)
{
    Settings(bench.foreign.Url("/tsa"));
    CTestWindow window({});
    Run(window, { Bid("a.bidx") });
    EXPECT_TRUE(window.HasLine(Text("get_timestamp_fail")));
    EXPECT_FALSE(window.HasLineStartingWith(Text("get_opentime_success")));
    EXPECT_TRUE(window.questions.empty());
    EXPECT_EQ(window.posts, std::vector<int> { 0 });
    EXPECT_EQ(CountRecords(kLogTypeFailure, "获取时间戳失败"), 1);
    EXPECT_EQ(manager.GetLastEnd(), COpeningEnd::NoTimeStamp);
}

// The window's and kelvane-cli's time-stamp test: the authority's time, or on a refused answer the
// failure line and a failure record; the wait cursor only while the authorities are asked.
TEST_F(OpeningSession, TimeStampTestSaysTheTimeOrRecordsAFailure)
{
    CTestWindow window({});
    std::vector<bool> cursor;
    EXPECT_TRUE(RunTimeStampTest(window, [&cursor](bool on) { cursor.push_back(on); }));
    std::string shown = OpenTimeText();
    shown.insert(10, " "); // the test shows two blanks between date and time
    EXPECT_TRUE(window.HasLine(Text("currenttime") + Utf8ToWide(shown)));
    EXPECT_EQ(cursor, (std::vector<bool> { true, false }));
    Settings(bench.foreign.Url("/tsa"));
    EXPECT_FALSE(RunTimeStampTest(window));
    // The authority and why it gave no time-stamp.
    EXPECT_TRUE(window.HasLineStartingWith(
        Text("get_timestmap_fail") + L": " + Utf8ToWide(bench.foreign.Url("/tsa"))));
    EXPECT_EQ(CountRecords(kLogTypeFailure, "获取时间戳失败"), 1);
}

// ---- Verification and Bad/ ---------------------------------------------------------------------------

TEST_F(OpeningSession, FailedFilesMoveToBadAndTheSummaryCountsTheRest)
{
    const fs::path unopenable = Garbage("a.bidx");
    const fs::path broken = Bid("b.bidx", 65536);
    Tamper(broken);
    const fs::path good = Bid("c.bidx");
    CTestWindow window({ IDYES, IDOK, IDOK });
    Run(window, { unopenable, broken, good });

    EXPECT_TRUE(fs::exists(package / "Bad" / "a.bidx"));
    EXPECT_TRUE(fs::exists(package / "Bad" / "b.bidx"));
    EXPECT_FALSE(fs::exists(unopenable));
    EXPECT_FALSE(fs::exists(broken));
    EXPECT_TRUE(fs::exists(good)) << "a decrypted file stays in the package folder";
    EXPECT_TRUE(fs::exists(package / "Open" / "c" / "content.bin"));
    EXPECT_TRUE(window.HasLine(Text("movefile_success") + Wide(package) + L"/Bad/"));

    EXPECT_EQ(window.Cell(0, 5), Text("status_destroy"));
    EXPECT_EQ(window.Cell(1, 5), Text("status_destroy"));
    EXPECT_EQ(window.Cell(2, 5), Text("status_derypted"));
    EXPECT_EQ(window.Cell(2, 2), L"投标人 c");
    EXPECT_EQ(window.Cell(2, 3), L"投标公司");
    EXPECT_EQ(window.Cell(2, 4), L"市开标中心");
    EXPECT_EQ(window.Cell(2, 7), Utf8ToWide(OpenTimeText()));
    EXPECT_EQ(window.Cell(0, 2), L"") << "a file that failed shows no details";

    ASSERT_EQ(window.questions.size(), 3u);
    EXPECT_EQ(window.questions[0].text, Text("insert_bidder_key"));
    EXPECT_EQ(window.questions[0].type, MB_YESNO | MB_ICONINFORMATION);
    EXPECT_EQ(window.questions[1].text, Text("bidder_confirm"));
    EXPECT_EQ(window.questions[1].type, MB_OKCANCEL | MB_ICONINFORMATION);
    const std::string summary = "本次开标已完成，其中解密成功1份标书，解密失败0份标书";
    EXPECT_EQ(window.questions[2].text, Utf8ToWide(summary));
    EXPECT_EQ(window.questions[2].caption, L"提示");
    ExpectEndThenRecord(window);
    EXPECT_EQ(window.posts, std::vector<int> { 0 });
    EXPECT_EQ(manager.GetLastEnd(), COpeningEnd::Completed);

    std::wstring openFailure;
    for (const auto& record : Records()) {
        EXPECT_EQ(record.projectId, kProject);
        EXPECT_EQ(record.projectName, kProjectName);
        EXPECT_EQ(record.signer, "操作员 甲");
    }
    const auto records = Records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.front().logType, kLogTypeFailure);
    EXPECT_EQ(records.front().message.rfind(FileRecord("a.bidx", "打开失败"), 0), 0u)
        << records.front().message;
    EXPECT_GT(records.front().message.size(), FileRecord("a.bidx", "打开失败").size())
        << "the reason follows";
    EXPECT_EQ(records[1].message.rfind(FileRecord("b.bidx", "验证文件结构失败:"), 0), 0u)
        << records[1].message;
    EXPECT_EQ(CountRecords(kLogTypeSuccess, FileRecord("c.bidx", "开标完成")), 1);
    EXPECT_EQ(records.back().logType, kLogTypeSuccess);
    EXPECT_EQ(WithoutRecordHash(records.back().message), summary);
}

// A workstation that cannot write the bid out (here Open/ is a file, so no folder can be made
// there) is not the bid's fault: the bid keeps its place, and a rerun opens it once that is fixed.
TEST_F(OpeningSession, LocalWriteFailureLeavesTheBidInItsPackageForARerun)
{
    const fs::path good = Bid("a.bidx");
    std::ofstream(package / "Open") << "in the way";
    CTestWindow window({ IDYES, IDOK, IDOK });
    Run(window, { good });

    EXPECT_TRUE(fs::exists(good));
    EXPECT_FALSE(fs::exists(package / "Bad" / "a.bidx"));
    EXPECT_EQ(window.Cell(0, 5), Text("status_decrypt_fail"));
    EXPECT_TRUE(window.HasLineStartingWith(Text("decrypt_fail_local")));
    ASSERT_EQ(window.questions.size(), 3u);
    EXPECT_NE(window.questions[2].text.find(L"1份标书因本机故障"), std::wstring::npos)
        << WideToUtf8(window.questions[2].text);
    bool recorded = false;
    for (const auto& record : Records())
        recorded = recorded
            || record.message.rfind(FileRecord("a.bidx", "开标失败（本机故障，标书未移动）："), 0) == 0;
    EXPECT_TRUE(recorded);

    fs::remove(package / "Open");
    CTestWindow rerun({ IDYES, IDOK, IDOK });
    Run(rerun, { good });
    EXPECT_EQ(rerun.Cell(0, 5), Text("status_derypted"));
    EXPECT_TRUE(fs::exists(package / "Open" / "a" / "content.bin"));
}

// A disk too small for the bid: found before anything is written, and not the bid's fault.
TEST_F(OpeningSession, NoSpaceForTheBidLeavesItInItsPackage)
{
    const fs::path good = Bid("a.bidx", 1 << 20);
    const fs::path open = package / "Open";
    fs::create_directories(open);
    if (mount("tmpfs", open.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "a small tmpfs needs root";
    struct CUnmount
    {
        const fs::path& at;
        ~CUnmount() { umount(at.c_str()); }
    } unmount { open };
    CTestWindow window({ IDYES, IDOK, IDOK });
    Run(window, { good });
    EXPECT_TRUE(fs::exists(good));
    EXPECT_FALSE(fs::exists(package / "Bad" / "a.bidx"));
    EXPECT_EQ(window.Cell(0, 5), Text("status_decrypt_fail"));
    EXPECT_TRUE(window.HasLineStartingWith(Text("decrypt_fail_local") + L"磁盘空间不足"));
    EXPECT_TRUE(fs::is_empty(open)) << "nothing was written";
}

TEST_F(OpeningSession, FailureWithoutTextNamesItsCodeNotAnEarlierReason)
{
    const fs::path unopenable = Garbage("a.bidx");
    // The rules header announces more bytes than the custom data holds: the holder's own code -1,
    // which has no text of the decryptor's.
    const std::string truncated = std::string("RULF\0\0\x10\0", 8) + "short";
    const std::vector<unsigned char> customData(truncated.begin(), truncated.end());
    const fs::path bad = package / "b.bidx";
    SealBid(bad, rules, 2, { kOpenerA, kOpenerB, kOpenerC }, 4096, &customData);
    CTestWindow window({});
    Run(window, { unopenable, bad });
    const std::wstring expected = Text("vefifystructure_fail") + Text("unknow_error") + L"(-1)";
    EXPECT_TRUE(window.HasLine(expected));
    EXPECT_EQ(CountRecords(kLogTypeFailure,
                  FileRecord("b.bidx", "验证文件结构失败:") + WideToUtf8(Text("unknow_error")) + "(-1)"),
        1);
    EXPECT_TRUE(fs::exists(package / "Bad" / "b.bidx"));
}

TEST_F(OpeningSession, NoFilePassingEndsWithoutSummary)
{
    CTestWindow window({});
    Run(window, { Garbage("a.bidx"), Garbage("b.bidx") });
    EXPECT_TRUE(window.questions.empty());
    EXPECT_FALSE(window.HasLine(Text("end_open_bidfile")));
    EXPECT_EQ(window.posts, std::vector<int> { 0 });
    const auto records = Records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().logType, kLogTypeNeutral);
    EXPECT_EQ(WithoutRecordHash(records.back().message), "开标结束：没有可解密的文件");
    EXPECT_EQ(manager.GetLastEnd(), COpeningEnd::NoFileVerified);
}

TEST_F(OpeningSession, NameTakenInBadLeavesTheFileWhereItWas)
{
    const fs::path bid = Garbage("a.bidx");
    fs::create_directories(package / "Bad");
    std::ofstream(package / "Bad" / "a.bidx") << "earlier";
    CTestWindow window({});
    Run(window, { bid });
    EXPECT_TRUE(window.HasLine(Text("movefile_fail")));
    EXPECT_TRUE(fs::exists(bid));
    std::ifstream earlier(package / "Bad" / "a.bidx");
    std::string content;
    std::getline(earlier, content);
    EXPECT_EQ(content, "earlier") << "the file in Bad/ is never overwritten";
    EXPECT_EQ(window.Cell(0, 5), Text("status_destroy"));
}

TEST_F(OpeningSession, OnlyTheExactTextFalseSkipsTheRulesComparison)
{
    const std::string otherRules
        = bench.WriteRules(3, 2, { kOpenerA, kOpenerB, kOpenerC }, "2000-01-01 00:00:00");
    rules = bench.WriteRules(3, 2, { kOpenerA, kOpenerB, kOpenerC });
    int fileNumber = 0;
    for (const char* value : { "false", "FALSE", "no", "0", "true" }) {
        Settings({}, value);
        const fs::path bid = package / ("other" + std::to_string(++fileNumber) + ".bidx");
        SealBid(bid, otherRules, 2, { kOpenerA, kOpenerB, kOpenerC });
        CTestWindow window({ IDNO });
        Run(window, { bid });
        const bool skipped = std::string(value) == "false";
        EXPECT_EQ(window.HasLine(Text("verify_rulefile_ing")), !skipped) << value;
        EXPECT_EQ(window.HasLine(Text("verifyrulefile_fail")), !skipped) << value;
        EXPECT_EQ(fs::exists(bid), skipped) << value;
        EXPECT_EQ(CountRecords(kLogTypeFailure, FileRecord(bid.filename().string(), "验证规则文件失败")),
            skipped ? 0 : 1)
            << value;
    }
}

// ---- Bids not the tender's: forged signers, headers sealed to other keys, early bids --------------------

TEST_F(OpeningSession, SignersTheTenderDoesNotTrustAreMovedToBadWithTheirReason)
{
    std::vector<fs::path> bids;
    const std::vector<CForgedSigner> forged = ForgedSigners();
    for (const CForgedSigner& signer : forged) {
        bids.push_back(package / (signer.threat + ".bidx"));
        SealBid(bids.back(), rules, 2, { kOpenerA, kOpenerB, kOpenerC }, 4096, nullptr, &signer.issued);
    }
    CTestWindow window({ IDYES, IDOK, IDOK });
    Run(window, bids);

    std::wstring wrongSignature;
    ASSERT_TRUE(CResultTexts::GetText(CResultTexts::kDecryptorTable, 23, wrongSignature));
    for (size_t i = 0; i < forged.size(); ++i) {
        const std::string name = bids[i].filename().string();
        const std::wstring reason = wrongSignature + L"：" + forged[i].reason;
        EXPECT_TRUE(fs::exists(package / "Bad" / name)) << name;
        EXPECT_TRUE(window.HasLineStartingWith(Text("vefifystructure_fail") + reason)) << name;
        int records = 0;
        for (const auto& record : Records())
            records
                += record.message.rfind(FileRecord(name, "验证文件结构失败:") + WideToUtf8(reason), 0) == 0
                ? 1
                : 0;
        EXPECT_EQ(records, 1) << name;
        EXPECT_EQ(window.Cell(static_cast<int>(i), 5), Text("status_destroy")) << name;
        EXPECT_EQ(window.Cell(static_cast<int>(i), 2), L"") << "the forger's name is not shown as the bidder";
    }
    EXPECT_FALSE(fs::exists(package / "Open"));
    EXPECT_TRUE(window.questions.empty());
    EXPECT_EQ(manager.GetLastEnd(), COpeningEnd::NoFileVerified);
}

TEST_F(OpeningSession, HeaderNotSealedAsItsRulesIsMovedToBadWhateverTheComparisonSays)
{
    const std::string twoOpeners = bench.WriteRules(2, 2, { kOpenerA, kOpenerB });
    rules = bench.WriteRules(3, 2, { kOpenerA, kOpenerB, kOpenerC });
    std::wstring differs;
    ASSERT_TRUE(CResultTexts::GetText(CResultTexts::kRulesTable, 17, differs));
    const struct
    {
        const char* threat;
        const std::string& embedded;
        int n;
        std::vector<std::string> sealedTo;
        std::wstring reason;
    } cases[] = {
        { "one-opener", rules, 1, { kOpenerA, kOpenerB, kOpenerC },
            L"文件头的门限n=1与标书内嵌规则的n=2不一致" },
        { "fewer-openers", rules, 2, { kOpenerA, kOpenerB },
            L"文件头的开标人数m=2与标书内嵌规则的m=3不一致" },
        { "other-openers", twoOpeners, 2, { kOpenerA, kOpenerC },
            L"文件头的开标人证书与标书内嵌规则中的开标人不一致" },
    };
    for (const char* compare : { "true", "false" }) {
        Settings({}, compare);
        std::vector<fs::path> bids;
        for (const auto& c : cases) {
            bids.push_back(package / (std::string(c.threat) + "-" + compare + ".bidx"));
            SealBid(bids.back(), c.embedded, c.n, c.sealedTo);
        }
        CTestWindow window({ IDYES, IDOK, IDOK });
        Run(window, bids);
        for (size_t i = 0; i < bids.size(); ++i) {
            const std::string name = bids[i].filename().string();
            const std::wstring reason = differs + L"：" + cases[i].reason;
            EXPECT_TRUE(fs::exists(package / "Bad" / name)) << name;
            EXPECT_TRUE(window.HasLine(Text("verifyrulefile_fail") + reason)) << name;
            EXPECT_EQ(
                CountRecords(kLogTypeFailure, FileRecord(name, "验证规则文件失败：") + WideToUtf8(reason)), 1)
                << name;
        }
        EXPECT_FALSE(fs::exists(package / "Open")) << compare;
        EXPECT_EQ(manager.GetLastEnd(), COpeningEnd::NoFileVerified) << compare;
    }
}

TEST_F(OpeningSession, NoBidOpensBeforeItsOwnOpeningTimeWhateverTheServedRulesSay)
{
    // The served rules move the opening an hour earlier; the bids carry the tender's own time.
    const std::string ownTime = OpenTimeText();
    const std::string earlier = WideToUtf8(FormatWallClock(*ParseOpeningTime(ownTime) - 3600));
    const struct
    {
        const char* compare;
        std::int64_t clock; // seconds from the bid's own opening time
        const char* outcome; // "bad": refused by the comparison; "early": left where it is; "opened"
    } cases[] = {
        { "true", -1800, "bad" },
        { "false", -1800, "early" },
        { "false", -1, "early" },
        { "false", 0, "opened" },
    };
    int fileNumber = 0;
    for (const auto& c : cases) {
        Settings({}, c.compare);
        const fs::path bid = Bid("early" + std::to_string(++fileNumber) + ".bidx");
        bench.WriteRules(3, 2, { kOpenerA, kOpenerB, kOpenerC }, earlier);
        bench.FreezeAt(c.clock);
        CTestWindow window({ IDYES, IDOK, IDOK });
        Run(window, { bid });
        const std::string name = bid.filename().string();
        const std::string outcome = c.outcome;
        EXPECT_EQ(fs::exists(package / "Bad" / name), outcome == "bad") << name;
        EXPECT_EQ(fs::exists(bid), outcome != "bad") << name;
        EXPECT_EQ(fs::exists(package / "Open" / bid.stem()), outcome == "opened") << name;
        const std::wstring early = L"：标书的开标时间是" + Utf8ToWide(ownTime);
        EXPECT_EQ(window.HasLine(Text("notto_opentime") + early), outcome == "early") << name;
        EXPECT_EQ(CountRecords(kLogTypeFailure, FileRecord(name, "未到开标时间") + WideToUtf8(early)),
            outcome == "early" ? 1 : 0)
            << name;
        if (outcome == "early") {
            EXPECT_EQ(window.Cell(0, 5), Text("status_decrypt_cancel")) << name;
        }
        EXPECT_EQ(
            manager.GetLastEnd(), outcome == "opened" ? COpeningEnd::Completed : COpeningEnd::NoFileVerified)
            << name;
    }
}

// ---- Threshold and prompts ---------------------------------------------------------------------------

TEST_F(OpeningSession, CancelToTryGoonOpensWhatIsReadyAndReportsTheRest)
{
    bench.tokens.Pull(kOpenerB);
    bench.tokens.Pull(kOpenerC);
    const fs::path bid = Bid("a.bidx");
    CTestWindow window({ IDYES, IDCANCEL, IDOK, IDOK });
    Run(window, { bid });

    ASSERT_EQ(window.questions.size(), 4u);
    EXPECT_EQ(window.questions[1].text.find(L"还有1个标书未达到开标条件"), 0u);
    EXPECT_EQ(window.questions[1].type, MB_YESNOCANCEL | MB_ICONINFORMATION);
    EXPECT_EQ(window.Cell(0, 5), Text("status_decrypt_cancel"));
    EXPECT_EQ(window.Cell(0, 6), L"(1)开标人 A");
    EXPECT_TRUE(fs::exists(bid)) << "a cancelled file is not moved";
    const std::string summary = "本次开标已完成，其中解密成功0份标书，解密失败1份标书,请予以检查。";
    EXPECT_EQ(window.questions[3].text, Utf8ToWide(summary));
    EXPECT_EQ(CountRecords(kLogTypeNeutral, summary), 1);
    EXPECT_EQ(CountRecords(kLogTypeSuccess, "开标人 A解密标书\"a.bidx\""), 1);
    EXPECT_FALSE(window.HasLine(Text("decryptfile_ing") + Wide(bid)));
}

TEST_F(OpeningSession, NoOpenerKeyIsReportedUntilTheOperatorGivesUp)
{
    for (const char* label : { kOpenerA, kOpenerB, kOpenerC })
        bench.tokens.Pull(label);
    CTestWindow window({ IDYES, IDOK, IDYES, IDOK, IDNO });
    Run(window, { Bid("a.bidx") });

    ASSERT_EQ(window.questions.size(), 5u);
    for (const size_t i : { 1u, 3u }) {
        EXPECT_EQ(window.questions[i].text, Text("found_no_key"));
        EXPECT_EQ(window.questions[i].caption, Text("warnning"));
        EXPECT_EQ(window.questions[i].type, MB_OK | MB_ICONWARNING);
    }
    EXPECT_EQ(CountRecords(kLogTypeNeutral, "没有找到可解密的key"), 2);
    EXPECT_EQ(CountRecords(kLogTypeNeutral, "用户取消解标，开标结束"), 1);
    EXPECT_TRUE(window.HasLine(Text("cancel_open_bidfile")));
    ExpectEndThenRecord(window);
    EXPECT_EQ(window.posts, std::vector<int> { 0 });
    EXPECT_EQ(window.Cell(0, 6), L"(0)") << "no opener has contributed";
}

TEST_F(OpeningSession, EachOpenersContributionIsLoggedOncePerFile)
{
    rules = bench.WriteRules(3, 3, { kOpenerA, kOpenerB, kOpenerC });
    const fs::path first = package / "a.bidx";
    const fs::path second = package / "b.bidx";
    SealBid(first, rules, 3, { kOpenerA, kOpenerB, kOpenerC });
    SealBid(second, rules, 3, { kOpenerA, kOpenerB, kOpenerC });
    bench.tokens.Pull(kOpenerC);
    CTestWindow window({ IDYES, IDYES, IDYES, IDOK, IDOK });
    // The third opener arrives while the operator is asked whether to go on.
    window.onAsk = [&](const std::wstring& text) {
        if (text.find(L"还有") == 0)
            bench.tokens.PutBack(kOpenerC);
    };
    Run(window, { first, second });

    ASSERT_EQ(window.questions.size(), 5u);
    EXPECT_EQ(window.questions[1].text.find(L"还有2个标书"), 0u);
    for (const char* name : { "开标人 A", "开标人 B", "开标人 C" }) {
        for (const char* file : { "a.bidx", "b.bidx" })
            EXPECT_EQ(CountRecords(kLogTypeSuccess, std::string(name) + "解密标书\"" + file + "\""), 1)
                << name << file;
    }
    EXPECT_EQ(window.Cell(0, 5), Text("status_derypted"));
    EXPECT_EQ(window.Cell(1, 5), Text("status_derypted"));
    EXPECT_EQ(CountRecords(kLogTypeSuccess, "本次开标已完成，其中解密成功2份标书，解密失败0份标书"), 1);
}

// ---- Rules failure -------------------------------------------------------------------------------------

TEST_F(OpeningSession, RulesFailureIsReportedAndClearedByTheNextRun)
{
    const fs::path bid = Bid("a.bidx");
    CTestWindow failing({});
    Run(failing, { bid }, "P-UNKNOWN");
    EXPECT_EQ(failing.posts, std::vector<int> { 1 });
    EXPECT_EQ(manager.GetOpeningError(), 1);
    EXPECT_TRUE(failing.HasLine(Text("get_rulefile_fail_status")));
    // The reason follows: the result's text, its code and the server asked.
    EXPECT_TRUE(failing.HasLine(CRulesFileClient::DescribeFailure(QUELVAR_EMPTY_BODY)));
    EXPECT_NE(
        CRulesFileClient::DescribeFailure(QUELVAR_EMPTY_BODY).find(Utf8ToWide(bench.services.Url("/rules"))),
        std::wstring::npos);
    ExpectEndThenRecord(failing);
    const auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(WithoutRecordHash(records[0].message), "获取规则文件失败");
    EXPECT_EQ(records[0].projectId, "P-UNKNOWN");
    EXPECT_EQ(records[0].projectName, "");

    CTestWindow succeeding({ IDNO });
    Run(succeeding, { bid });
    EXPECT_EQ(succeeding.posts, std::vector<int> { 0 });
    EXPECT_EQ(manager.GetOpeningError(), 0);
}

TEST_F(OpeningSession, NewOpeningRightAfterTheNotificationIsNotRefused)
{
    const fs::path bid = Bid("a.bidx");
    manager.SetProjectNumber(L"P-UNKNOWN");
    manager.AddFile(0, Wide(bid), Wide(package / "Open") + L"/");
    CTestWindow window({});
    manager.SetNotifyWindow(&window);
    ASSERT_EQ(manager.Start(), 0);
    while (window.PostCount() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // The worker may still be submitting its closing record: the list view starts the next
    // opening as soon as it is told, and that must not be refused.
    EXPECT_EQ(manager.Start(), 0);
    manager.Join();
    EXPECT_EQ(window.PostCount(), 2u);
    EXPECT_EQ(CountRecords(kLogTypeFailure, "获取规则文件失败"), 2);
}

// ---- Closing the window --------------------------------------------------------------------------------

TEST_F(OpeningSession, DetachedWindowIsNotTouchedAgainAndTheRunEnds)
{
    CTestWindow window({ IDYES });
    size_t linesAtDetach = 0;
    window.onAsk = [&](const std::wstring& text) {
        if (text == Text("insert_bidder_key")) {
            manager.Detach();
            linesAtDetach = window.lines.size();
        }
    };
    Run(window, { Bid("a.bidx") }, kProject, true);
    EXPECT_EQ(window.questions.size(), 1u);
    EXPECT_EQ(window.lines.size(), linesAtDetach);
    EXPECT_TRUE(window.posts.empty());
    EXPECT_EQ(manager.GetLastEnd(), COpeningEnd::Cancelled);
}

// ---- A failure inside the run ---------------------------------------------------------------------------

// A list whose first row update throws, as a window out of memory would.
class CThrowingWindow : public CTestWindow
{
public:
    using CTestWindow::CTestWindow;
    void SetItemText(int, int, const std::wstring&) override { throw std::runtime_error("list gone"); }
};

TEST_F(OpeningSession, FailureInsideTheRunEndsItWithTheMessageAndARecord)
{
    CThrowingWindow window({ IDYES, IDOK });
    manager.ClearFiles();
    manager.SetProjectNumber(Utf8ToWide(kProject));
    manager.AddFile(0, Wide(Bid("a.bidx")), Wide(package / "Open") + L"/");
    manager.SetNotifyWindow(&window);
    manager.SetListControl(&window);
    manager.SetOutputSink(&window);
    ASSERT_EQ(manager.Start(), 0);
    manager.Join();
    EXPECT_EQ(manager.GetWorkerExitCode(), -2);
    EXPECT_EQ(manager.GetLastEnd(), COpeningEnd::Aborted);
    EXPECT_EQ(window.posts, std::vector<int> { 1 }) << "the window is told once and is usable again";
    EXPECT_FALSE(window.waitCursor);
    EXPECT_EQ(CountRecords(kLogTypeFailure, "开标因程序故障中止"), 1);
    const auto records = RecordFiles();
    ASSERT_EQ(records.size(), 1u) << "what the run did until it failed is recorded";
    EXPECT_NE(Records().back().message.find(manager.GetLastRecord().sha256), std::string::npos);
    EXPECT_EQ(nlohmann::json::parse(ReadAll(records[0])).value("outcome", ""), "aborted");
    EXPECT_EQ(manager.Start(), 0) << "a new run may start";
    manager.Join();
}

} // namespace

// ---- The opening record ------------------------------------------------------------------------

namespace {

void WriteAll(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A fresh detached signature of the operator over data, as DER.
std::vector<unsigned char> OperatorSignature(const std::string& data)
{
    const kelvane::pki::CertPtr cert(CopyOperatorCert());
    std::string base64;
    if (SignOperatorData(false, data, cert.get(), base64) != 1)
        return {};
    std::vector<unsigned char> der(base64.size());
    const int length = EVP_DecodeBlock(
        der.data(), reinterpret_cast<const unsigned char*>(base64.data()), static_cast<int>(base64.size()));
    const size_t padding = static_cast<size_t>(std::count(base64.end() - 2, base64.end(), '='));
    der.resize(length > 0 ? static_cast<size_t>(length) - padding : 0);
    return der;
}

std::vector<unsigned char> Sha256(const void* data, size_t size)
{
    std::vector<unsigned char> digest(32);
    EVP_Digest(data, size, digest.data(), nullptr, EVP_sha256(), nullptr);
    return digest;
}

// The operator's signature over data with a time-stamp token over its signature value, or over
// stampedData instead when given; as the bytes of a .p7s.
std::string StampedSignature(const std::string& data, const std::optional<std::string>& stampedData)
{
    std::vector<unsigned char> signature = OperatorSignature(data);
    const std::vector<unsigned char> value = SignatureValue(signature);
    std::vector<unsigned char> token;
    const bool stamped
        = CTimeStampClient().GetTimeStampToken(stampedData ? Sha256(stampedData->data(), stampedData->size())
                                                           : Sha256(value.data(), value.size()),
              token)
            == 1
        && AttachTimeStampToken(signature, token);
    EXPECT_TRUE(stamped);
    return std::string(signature.begin(), signature.end());
}

} // namespace

TEST_F(OpeningSession, TheRecordOfAnOpeningVerifiesAndEveryAlterationIsCaught)
{
    const fs::path broken = Garbage("a.bidx");
    const fs::path good = Bid("c.bidx");
    CTestWindow window({ IDYES, IDOK, IDOK });
    Run(window, { broken, good });

    const auto records = RecordFiles();
    ASSERT_EQ(records.size(), 1u);
    const fs::path signature = fs::path(records[0]).replace_extension(".p7s");
    ASSERT_TRUE(fs::exists(signature));
    EXPECT_TRUE(window.HasLineStartingWith(Text("record_written") + Wide(records[0])));
    const std::string json = ReadAll(records[0]);
    EXPECT_EQ(Records().back().message,
        "本次开标已完成，其中解密成功1份标书，解密失败0份标书（开标记录 SHA-256："
            + Sha256Hex(json.data(), json.size()) + "）")
        << "the closing operation record names the record by its SHA-256";
    const nlohmann::json document = nlohmann::json::parse(json);
    EXPECT_EQ(document.dump(), json) << "sorted keys, no spaces";
    EXPECT_EQ(document["project"]["number"], kProject);
    EXPECT_EQ(document["project"]["name"], kProjectName);
    EXPECT_EQ(document["package"], "L1");
    EXPECT_EQ(document["outcome"], "completed");
    EXPECT_EQ(
        document["operator"]["subject"].get<std::string>().find("操作员 甲") != std::string::npos, true);
    for (const char* key : { "time", "serial", "authority" })
        EXPECT_FALSE(document["time_stamp"].value(key, "").empty()) << key;
    ASSERT_EQ(document["bids"].size(), 2u);
    const nlohmann::json& refused = document["bids"][0];
    EXPECT_EQ(refused["status"], "damaged");
    EXPECT_FALSE(refused.value("reason", "").empty());
    const nlohmann::json& opened = document["bids"][1];
    EXPECT_EQ(opened["file"], "c.bidx");
    EXPECT_EQ(opened["status"], "decrypted");
    EXPECT_EQ(opened["signer"], "投标人 c");
    EXPECT_EQ(opened.value("verification_code", "").size(), 64u);
    EXPECT_EQ(opened["openers"].size(), 3u) << "every present opener's token was tried";
    EXPECT_EQ(document["openers_present"].size(), 3u);
    EXPECT_EQ(opened["decrypted_files"][0]["path"], "c/content.bin");
    EXPECT_EQ(document["counts"]["bids"], 2);
    EXPECT_EQ(document["counts"]["decrypted"], 1);

    const auto failed = [](const std::vector<CRecordCheck>& checks) {
        std::string names;
        for (const CRecordCheck& check : checks)
            names += check.passed ? "" : check.name + " (" + check.detail + ") ";
        return names;
    };
    const auto checks = VerifyOpeningRecord(records[0].string(), true);
    EXPECT_EQ(failed(checks), "");
    ASSERT_EQ(checks.size(), 5u) << "record, signature, time-stamp, operator chain, one decrypted file";

    const std::string p7s = ReadAll(signature);
    const fs::path content = package / "Open" / "c" / "content.bin";
    const std::string plain = ReadAll(content);
    struct Threat
    {
        const char* what;
        std::function<void()> alter;
        std::string failingCheck; // the only check that fails, and the start of its reason
        std::string reason;
    };
    const std::vector<Threat> threats {
        { "a changed byte in the JSON",
            [&] {
                std::string changed = json;
                changed[changed.find("c.bidx")] = 'd';
                WriteAll(records[0], changed);
            },
            "signature", "the signature does not verify over the record" },
        { "a signature over other data, time-stamped",
            [&] { WriteAll(signature, StampedSignature(json + " ", std::nullopt)); }, "signature",
            "the signature does not verify over the record" },
        { "a time-stamp over other data", [&] { WriteAll(signature, StampedSignature(json, "other data")); },
            "time-stamp", "the time-stamp token does not verify over the signature" },
        { "a decrypted file changed after the opening",
            [&] {
                std::string changed = plain;
                changed[0] = static_cast<char>(changed[0] ^ 1);
                WriteAll(content, changed);
            },
            "file Open/c/content.bin", "SHA-256 differs" },
    };
    for (const Threat& threat : threats) {
        threat.alter();
        const auto altered = VerifyOpeningRecord(records[0].string(), true);
        EXPECT_EQ(failed(altered).rfind(threat.failingCheck + " (" + threat.reason, 0), 0u)
            << threat.what << ": " << failed(altered);
        EXPECT_EQ(
            std::count_if(altered.begin(), altered.end(), [](const CRecordCheck& c) { return !c.passed; }), 1)
            << threat.what << ": " << failed(altered);
        WriteAll(records[0], json);
        WriteAll(signature, p7s);
        WriteAll(content, plain);
    }
    EXPECT_EQ(failed(VerifyOpeningRecord(records[0].string(), true)), "") << "restored";
}

TEST_F(OpeningSession, EveryOpeningOfAPackageLeavesARecordOfItsOwn)
{
    const fs::path bid = Bid("a.bidx");
    CTestWindow cancelled({ IDNO });
    Run(cancelled, { bid });
    CTestWindow completed({ IDYES, IDOK, IDOK });
    Run(completed, { bid });

    const auto records = RecordFiles();
    ASSERT_EQ(records.size(), 2u) << "the second opening never replaces the first one's record";
    std::set<std::string> outcomes;
    for (const fs::path& record : records) {
        outcomes.insert(nlohmann::json::parse(ReadAll(record)).value("outcome", ""));
        for (const CRecordCheck& check : VerifyOpeningRecord(record.string(), true))
            EXPECT_TRUE(check.passed) << record << ": " << check.name << ": " << check.detail;
    }
    EXPECT_EQ(outcomes, (std::set<std::string> { "cancelled", "completed" }));
}

TEST_F(OpeningSession, AFailedAndACancelledFileAreInTheRecordAndItsPrint)
{
    // Opener A alone: the sealed bid waits for a second opener and is cancelled.
    bench.tokens.Pull(kOpenerB);
    bench.tokens.Pull(kOpenerC);
    const fs::path broken = Bid("a.bidx", 65536);
    Tamper(broken);
    CTestWindow window({ IDYES, IDCANCEL, IDOK, IDOK });
    Run(window, { broken, Bid("b.bidx") });
    ExpectEndThenRecord(window);

    const auto records = RecordFiles();
    ASSERT_EQ(records.size(), 1u);
    const std::string json = ReadAll(records[0]);
    const nlohmann::json document = nlohmann::json::parse(json);
    ASSERT_EQ(document["bids"].size(), 2u);
    EXPECT_EQ(document["bids"][0]["status"], "damaged");
    EXPECT_EQ(document["bids"][1]["status"], "conditions_not_met");
    std::vector<std::string> contributed;
    for (const auto& opener : document["openers"])
        if (opener.value("contributed", false))
            contributed.push_back(opener.value("name", ""));
    EXPECT_EQ(document["openers"].size(), 3u) << "every opener the rules name";
    EXPECT_EQ(contributed, std::vector<std::string> { "开标人 A" });

    const std::string text = PdfText(fs::path(records[0]).replace_extension(".pdf"));
    ASSERT_FALSE(text.empty()) << "pdftotext reads the record's PDF";
    for (const auto& bid : document["bids"]) {
        std::string reason = bid.value("reason", "");
        std::erase(reason, ' ');
        EXPECT_EQ(bid.value("verification_code", "").size(), 64u);
        for (const std::string& expected :
            { bid.value("file", ""), bid.value("verification_code", ""), reason })
            EXPECT_NE(text.find(expected), std::string::npos) << expected;
    }
    for (const char* expected : { "已损坏", "未达到开标条件", "道路工程", "开标人A（参与解密）" })
        EXPECT_NE(text.find(expected), std::string::npos) << expected;
    EXPECT_NE(text.find(Sha256Hex(json.data(), json.size())), std::string::npos) << "the verification line";
}

TEST_F(OpeningSession, APrintThatFailsIsSaidAndTheSignedRecordStands)
{
    SetRecordPrinter([](const CRecordPrint&, std::wstring& problem) {
        problem = L"no font";
        return std::string();
    });
    CTestWindow window({ IDYES, IDOK, IDOK });
    Run(window, { Bid("a.bidx") });
    SetRecordPrinter(&PrintOpeningRecord);

    EXPECT_EQ(manager.GetLastEnd(), COpeningEnd::Completed);
    EXPECT_TRUE(fs::exists(package / "Open" / "a" / "content.bin"));
    const CRecordFiles& record = manager.GetLastRecord();
    EXPECT_TRUE(fs::exists(WideToUtf8(record.signature)));
    EXPECT_TRUE(record.pdf.empty());
    EXPECT_EQ(window.lines.back(), Text("record_problem") + L"开标记录的 PDF 未能写入：no font");
}

// Long names and reasons wrap inside their cells, and a long list of bids runs onto more pages,
// each with the table's header.
TEST(OpeningRecordPrint, LongCellsWrapAndManyBidsRepeatTheHeaderOnEveryPage)
{
    const std::string name = std::string(90, 'n') + "_很长的投标文件名称_" + std::string(40, 'x') + ".bidx";
    nlohmann::json bids = nlohmann::json::array();
    for (int i = 0; i < 60; ++i)
        bids.push_back({ { "file", std::to_string(i) + name }, { "status", "damaged" },
            { "reason", "验证文件结构失败:" + std::string(120, 'r') },
            { "verification_code", std::string(64, 'A') } });
    const std::string json = nlohmann::json { { "bids", bids }, { "counts", { { "bids", 60 } } } }.dump();
    std::wstring problem;
    const std::string pdf = PrintOpeningRecord({ json, std::string(64, 'f'), "" }, problem);
    ASSERT_FALSE(pdf.empty()) << WideToUtf8(problem);
    const CTempDir folder;
    const fs::path file = folder.WriteFile("record.pdf", pdf);

    const std::string info = PdfTool("pdfinfo", file, "");
    std::smatch pages;
    ASSERT_TRUE(std::regex_search(info, pages, std::regex("Pages: +([0-9]+)"))) << info;
    EXPECT_GE(std::stoi(pages[1]), 3);
    const std::string text = PdfText(file);
    size_t headers = 0;
    for (size_t at = text.find("校验码（SM3）"); at != std::string::npos;
         at = text.find("校验码（SM3）", at + 1))
        ++headers;
    EXPECT_EQ(headers, static_cast<size_t>(std::stoi(pages[1])));
    EXPECT_NE(text.find("59" + name), std::string::npos) << "the last bid, whole";
    // Every word lies inside the page: a cell that did not wrap would push the table past it.
    const std::string boxes = PdfTool("pdftotext -bbox", file);
    const std::regex right("xMax=\"([0-9.]+)\"");
    double widest = 0;
    for (auto it = std::sregex_iterator(boxes.begin(), boxes.end(), right); it != std::sregex_iterator();
         ++it)
        widest = std::max(widest, std::stod((*it)[1]));
    EXPECT_GT(widest, 0.0);
    EXPECT_LT(widest, 595.0) << "A4 is 595 points wide";
}
