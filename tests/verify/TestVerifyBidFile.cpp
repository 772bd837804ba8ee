// The import's verification end to end: the loopback rules server and log service, the operator's
// token signing every record, and real sealed bids copied into a real workspace.
#include "OpeningBench.h"
#include "app/LanguageCatalogue.h"
#include "app/TextConversion.h"
#include "audit/OperationRecord.h"
#include "audit/OperatorSignature.h"
#include "opening/CResultTexts.h"
#include "opening/CRulesFileClient.h"
#include "tests/support/ScriptedPrompt.h"
#include "tests/support/TempDir.h"
#include "verify/CVerifyBidFile.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace kelvane::test;

namespace {

std::wstring Text(const char* key)
{
    return CLanguageCatalogue::Instance().GetText(key);
}

// The output lines of a run.
class CLines : public CMsgOutput
{
public:
    void Output(const std::wstring& text, int kind) override
    {
        const std::lock_guard lock(mutex);
        if (kind == 1)
            lines.push_back(text);
    }
    size_t Count(const std::wstring& line) const
    {
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }

    std::mutex mutex;
    std::vector<std::wstring> lines;
};

class VerifyImport : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { COpeningBench::Get(); }

    void SetUp() override
    {
        root = bench.folder / ("verify-" + std::to_string(++runNumber));
        incoming = root / "incoming";
        package = root / "work" / kProject / "L1";
        fs::create_directories(incoming);
        setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
        Settings("true");
        rules = bench.WriteRules(3, 2, { kOpenerA, kOpenerB, kOpenerC });
        SetAuditPrompt(&auditPrompt);
        ASSERT_EQ(CheckOperatorCert(std::chrono::milliseconds(0)), 1);
        firstRecord = bench.Records().size();
    }

    void TearDown() override
    {
        SetAuditPrompt(nullptr);
        EXPECT_TRUE(auditPrompt.Questions().empty()) << "signing and submission never complained";
    }

    void Settings(const std::string& compare)
    {
        const fs::path file = root / "config" / "QUARN" / "rmw" / "Setting.ini";
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::trunc)
            << "[WorkingDir]\npath=" << (root / "work").string() << "\n"
            << "[BidRuleFileURL]\nurl=" << bench.services.Url("/rules") << "\n"
            << "[LogService]\nIsSumbitLog=true\n[LogSubmitURL]\nurl=" << bench.services.Url("/log") << "\n"
            << "[LocalLog]\nIsWriteLocalLog=false\n[RulesCompare]\nIsCompare=" << compare << "\n";
    }

    fs::path Bid(const std::string& name, const std::string& embeddedRules)
    {
        const fs::path path = incoming / name;
        SealBid(path, embeddedRules, 2, { kOpenerA, kOpenerB, kOpenerC });
        return path;
    }
    fs::path Bid(const std::string& name) { return Bid(name, rules); }

    // Runs an import of files into the test's package on its worker, answering from answers.
    int Import(const std::vector<fs::path>& files, std::deque<int> answers = {},
        const std::wstring& project = Utf8ToWide(kProject))
    {
        prompt = std::make_unique<CScriptedPrompt>(std::move(answers), IDCANCEL);
        CVerifyBidFile verify;
        verify.SetProjectNumber(project);
        verify.SetPackageNumber(L"L1");
        for (const fs::path& file : files)
            verify.AddFile(Utf8ToWide(file.string()));
        verify.SetOutputSink(&output);
        waiter = std::make_unique<CVerifyWaiter>(prompt.get());
        verify.SetNotifyWindow(waiter.get());
        const int started = verify.Start();
        if (started != 0)
            return started;
        const int result = waiter->WaitForResult();
        verify.Join();
        results = verify.Results();
        return result;
    }

    // The output lines about one file: from its "verifyfile_ing" line to the next file's.
    std::vector<std::wstring> LinesOf(const fs::path& file) const
    {
        const std::wstring start = Text("verifyfile_ing") + Utf8ToWide(file.string());
        auto first = std::find(output.lines.begin(), output.lines.end(), start);
        auto last = first == output.lines.end()
            ? first
            : std::find_if(first + 1, output.lines.end(),
                [](const std::wstring& line) { return line.rfind(Text("verifyfile_ing"), 0) == 0; });
        return { first, last };
    }

    std::vector<CStoredLogRecord> Records() const { return bench.RecordsSince(firstRecord); }
    int CountRecords(int logType, const std::string& message) const
    {
        return bench.CountRecordsSince(firstRecord, logType, message);
    }
    bool Asked(const char* key) const
    {
        for (const auto& question : prompt->Questions()) {
            if (question.text == Text(key))
                return true;
        }
        return false;
    }

    static inline int runNumber = 0;
    COpeningBench& bench = COpeningBench::Get();
    fs::path root;
    fs::path incoming;
    fs::path package;
    std::string rules;
    size_t firstRecord = 0;
    CScriptedPrompt auditPrompt { {}, IDOK };
    std::unique_ptr<CScriptedPrompt> prompt;
    std::unique_ptr<CVerifyWaiter> waiter;
    CLines output;
    std::vector<CVerifiedFile> results;
};

} // namespace

// ---- Runs that end before any file -------------------------------------------------------------

TEST_F(VerifyImport, EmptyListClosesAtOnceWithoutRequestFolderOrRecord)
{
    const int requests = bench.services.requests.load();
    EXPECT_EQ(Import({}), kVerifyCancelled);
    EXPECT_EQ(waiter->PostCount(), 0);
    EXPECT_EQ(bench.services.requests.load(), requests);
    EXPECT_FALSE(fs::exists(root / "work"));
    EXPECT_TRUE(output.lines.empty());
}

TEST_F(VerifyImport, FailedRulesFetchTouchesNoFileAndCreatesNoFolder)
{
    const fs::path bid = Bid("a_P-UNKNOWN_L1.bidx");
    const std::string before = ReadFileBytes(bid);
    EXPECT_EQ(Import({ bid }, {}, L"P-UNKNOWN"), kVerifyCancelled);
    EXPECT_EQ(waiter->PostCount(), 1);
    EXPECT_EQ(waiter->LastWParam(), 1);
    EXPECT_NE(waiter->LastLParam(), 0);
    EXPECT_FALSE(fs::exists(root / "work"));
    EXPECT_EQ(ReadFileBytes(bid), before);
    ASSERT_EQ(output.lines.size(), 1u) << "only the rules library's text";
    EXPECT_TRUE(prompt->Questions().empty());
    const auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].logType, kLogTypeFailure);
    EXPECT_EQ(records[0].projectId, "P-UNKNOWN");
    EXPECT_EQ(records[0].projectName, "");
    // The line names the server asked; the record keeps the result's text alone.
    EXPECT_EQ(output.lines[0], CRulesFileClient::DescribeFailure(waiter->LastLParam()));
    std::wstring text;
    ASSERT_TRUE(CResultTexts::GetText(CResultTexts::kRulesTable, waiter->LastLParam(), text));
    EXPECT_EQ(records[0].message, "获取规则文件失败:" + WideToUtf8(text));
}

// ---- Files -------------------------------------------------------------------------------------

TEST_F(VerifyImport, SecondFileFailingIsLeftOutAndCheckCountIsShown)
{
    const fs::path first = Bid("first.bidx");
    const fs::path second = Bid("second.bidx");
    const fs::path third = Bid("third.bidx");
    Tamper(second);
    EXPECT_EQ(Import({ first, second, third }), kVerifyProcessed);
    EXPECT_EQ(waiter->LastWParam(), 0);
    EXPECT_EQ(waiter->LastLParam(), 0) << "the last file passed";

    EXPECT_EQ(ReadFileBytes(package / "first.bidx"), ReadFileBytes(first));
    EXPECT_FALSE(fs::exists(package / "second.bidx"));
    EXPECT_EQ(ReadFileBytes(package / "third.bidx"), ReadFileBytes(third));
    ASSERT_EQ(results.size(), 3u);
    EXPECT_TRUE(results[0].imported);
    EXPECT_FALSE(results[1].imported);
    EXPECT_NE(results[1].code, 0);
    EXPECT_TRUE(results[2].imported);

    ASSERT_EQ(prompt->Questions().size(), 1u);
    EXPECT_EQ(prompt->Questions()[0].text, Text("check_count"));
    EXPECT_EQ(prompt->Questions()[0].caption, Text("error"));
    EXPECT_EQ(prompt->Questions()[0].type, MB_OK | MB_ICONWARNING);

    // Never a bare "failed:": the reason follows.
    std::wstring tampered;
    ASSERT_TRUE(CResultTexts::GetText(CResultTexts::kDecryptorTable, results[1].code, tampered));
    EXPECT_EQ(output.Count(Text("vefifystructure_fail") + tampered), 1u);
    EXPECT_EQ(output.Count(Text("verify_fail")), 1u);
    EXPECT_EQ(output.Count(Text("verifyrulefile_success")), 2u);
    EXPECT_EQ(output.Count(Text("importfile_success")), 2u);
    EXPECT_EQ(output.Count(Text("verifyfile_ing") + Utf8ToWide(second.string())), 1u);

    EXPECT_EQ(CountRecords(kLogTypeSuccess, "标书\"first.bidx\"导入成功"), 1);
    EXPECT_EQ(CountRecords(kLogTypeSuccess, "标书\"third.bidx\"导入成功"), 1);
    int failed = 0;
    for (const auto& record : Records()) {
        EXPECT_EQ(record.projectId, kProject);
        EXPECT_EQ(record.projectName, kProjectName);
        failed += record.message.rfind("标书\"second.bidx\"验证失败:", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(failed, 1);
}

TEST_F(VerifyImport, FileThatCannotBeOpenedIsNeverVerified)
{
    const fs::path garbage = incoming / "garbage.bidx";
    std::ofstream(garbage, std::ios::binary) << std::string(2048, 'g');
    EXPECT_EQ(Import({ garbage }), kVerifyProcessed);
    EXPECT_NE(waiter->LastLParam(), 0);
    EXPECT_EQ(output.Count(Text("openfile_success")), 0u);
    EXPECT_EQ(output.Count(Text("vefifystructure_fail")), 0u);
    ASSERT_GE(output.lines.size(), 2u);
    EXPECT_EQ(output.lines[1].rfind(Text("openfile_fail"), 0), 0u);
    EXPECT_FALSE(fs::exists(package / "garbage.bidx"));
    EXPECT_TRUE(Asked("check_count"));
    ASSERT_EQ(Records().size(), 1u);
    EXPECT_EQ(Records()[0].message.rfind("标书\"garbage.bidx\"打开失败", 0), 0u);
}

TEST_F(VerifyImport, DeclinedReplacementKeepsTheOldFileByteForByte)
{
    const fs::path bid = Bid("a.bidx");
    fs::create_directories(package);
    const std::string old = "the bid imported before, byte for byte";
    std::ofstream(package / "a.bidx", std::ios::binary) << old;

    EXPECT_EQ(Import({ bid }, { IDNO }), kVerifyProcessed);
    EXPECT_EQ(ReadFileBytes(package / "a.bidx"), old);
    ASSERT_EQ(prompt->Questions().size(), 2u);
    EXPECT_NE(prompt->Questions()[0].text.find(L"a.bidx"), std::wstring::npos);
    EXPECT_EQ(prompt->Questions()[0].type, MB_YESNO | MB_ICONQUESTION);
    EXPECT_EQ(prompt->Questions()[1].text, Text("check_count"));
    EXPECT_EQ(output.Count(Text("importfile_fail")), 1u);
    EXPECT_EQ(CountRecords(kLogTypeFailure, "标书\"a.bidx\"导入失败"), 1);
    EXPECT_EQ(fs::directory_iterator(package)->path().filename(), "a.bidx");

    EXPECT_EQ(Import({ bid }, { IDYES }), kVerifyProcessed);
    EXPECT_EQ(ReadFileBytes(package / "a.bidx"), ReadFileBytes(bid));
    EXPECT_FALSE(Asked("check_count"));
    EXPECT_EQ(CountRecords(kLogTypeSuccess, "标书\"a.bidx\"导入成功"), 1);
}

TEST_F(VerifyImport, OnlyTheExactTextFalseSwitchesTheRulesComparisonOff)
{
    const std::string otherRules = rules + "<!-- another tender -->";
    const fs::path bid = Bid("other.bidx", otherRules);
    const struct
    {
        const char* compare;
        bool imported;
    } cases[] = { { "False", false }, { "true", false }, { "FALSE", false }, { "false", true } };
    for (const auto& c : cases) {
        Settings(c.compare);
        output.lines.clear();
        fs::remove_all(package);
        EXPECT_EQ(Import({ bid }), kVerifyProcessed) << c.compare;
        EXPECT_EQ(fs::exists(package / "other.bidx"), c.imported) << c.compare;
        EXPECT_EQ(output.Count(Text("verifyrulefile_success")), 0u) << c.compare;
        const bool compared = !c.imported;
        EXPECT_EQ(Asked("check_count"), compared) << c.compare;
        bool failLine = false;
        for (const std::wstring& line : output.lines)
            failLine = failLine || line.rfind(Text("verifyrulefile_fail"), 0) == 0;
        EXPECT_EQ(failLine, compared) << c.compare;
    }
    int differing = 0;
    for (const auto& record : Records())
        differing += record.message.rfind("标书\"other.bidx\"验证规则文件失败：", 0) == 0 ? 1 : 0;
    EXPECT_EQ(differing, 3);
}

// ---- Bids not the tender's ---------------------------------------------------------------------

TEST_F(VerifyImport, SignersTheTenderDoesNotTrustAreNotImported)
{
    std::vector<fs::path> bids;
    const std::vector<CForgedSigner> forged = ForgedSigners();
    for (const CForgedSigner& signer : forged) {
        bids.push_back(incoming / (signer.threat + ".bidx"));
        SealBid(bids.back(), rules, 2, { kOpenerA, kOpenerB, kOpenerC }, 4096, nullptr, &signer.issued);
    }
    EXPECT_EQ(Import(bids), kVerifyProcessed);
    std::wstring wrongSignature;
    ASSERT_TRUE(CResultTexts::GetText(CResultTexts::kDecryptorTable, 23, wrongSignature));
    ASSERT_EQ(results.size(), forged.size());
    for (size_t i = 0; i < forged.size(); ++i) {
        const std::string name = bids[i].filename().string();
        EXPECT_FALSE(results[i].imported) << name;
        EXPECT_EQ(results[i].code, 23) << name;
        EXPECT_FALSE(fs::exists(package / name)) << name;
        const std::vector<std::wstring> lines = LinesOf(bids[i]);
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                      [&](const std::wstring& line) {
                          return line.rfind(Text("vefifystructure_fail") + forged[i].reason, 0) == 0;
                      }),
            1)
            << name;
        int records = 0;
        for (const auto& record : Records()) {
            const std::string start
                = "标书\"" + name + "\"验证失败:" + WideToUtf8(wrongSignature + L"：" + forged[i].reason);
            records += record.message.rfind(start, 0) == 0 ? 1 : 0;
        }
        EXPECT_EQ(records, 1) << name;
    }
    EXPECT_TRUE(Asked("check_count"));
}

TEST_F(VerifyImport, HeaderNotSealedAsItsRulesIsNotImportedWhateverTheComparisonSays)
{
    std::wstring differs;
    ASSERT_TRUE(CResultTexts::GetText(CResultTexts::kRulesTable, 17, differs));
    const struct
    {
        const char* threat;
        int n;
        std::vector<std::string> sealedTo;
        std::wstring reason;
    } cases[] = {
        { "one-opener", 1, { kOpenerA, kOpenerB, kOpenerC }, L"文件头的门限n=1与标书内嵌规则的n=2不一致" },
        { "fewer-openers", 2, { kOpenerA, kOpenerC }, L"文件头的开标人数m=2与标书内嵌规则的m=3不一致" },
    };
    for (const char* compare : { "true", "false" }) {
        Settings(compare);
        std::vector<fs::path> bids;
        for (const auto& c : cases) {
            bids.push_back(incoming / (std::string(c.threat) + "-" + compare + ".bidx"));
            SealBid(bids.back(), rules, c.n, c.sealedTo);
        }
        EXPECT_EQ(Import(bids), kVerifyProcessed);
        ASSERT_EQ(results.size(), bids.size());
        for (size_t i = 0; i < bids.size(); ++i) {
            const std::string name = bids[i].filename().string();
            const std::wstring reason = differs + L"：" + cases[i].reason;
            EXPECT_FALSE(results[i].imported) << name;
            EXPECT_EQ(results[i].code, 17) << name;
            EXPECT_FALSE(fs::exists(package / name)) << name;
            const std::vector<std::wstring> lines = LinesOf(bids[i]);
            EXPECT_EQ(std::count(lines.begin(), lines.end(), Text("verifyrulefile_fail") + reason), 1)
                << name;
            EXPECT_EQ(
                CountRecords(kLogTypeFailure, "标书\"" + name + "\"验证规则文件失败：" + WideToUtf8(reason)),
                1)
                << name;
        }
    }
}
