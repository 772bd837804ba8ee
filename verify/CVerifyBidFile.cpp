#include "verify/CVerifyBidFile.h"

#include "app/LanguageCatalogue.h"
#include "app/SettingFile.h"
#include "app/Utility.h"
#include "audit/OperationRecord.h"
#include "opening/CBidFileHolder.h"
#include "opening/CResultTexts.h"
#include "opening/CRulesFileClient.h"
#include "verify/FileImport.h"
#include "workspace/PackageFolder.h"

#include <exception>
#include <string>
#include <system_error>
#include <vector>

namespace {

std::wstring Text(const char* key)
{
    return CLanguageCatalogue::Instance().GetText(key);
}

// The text of code in one of the result tables. A code without an entry gets the generic text
// with its number, so that a file never shows the reason of an earlier failure.
std::wstring CodeText(int table, int code)
{
    std::wstring text;
    if (!CResultTexts::GetText(table, code, text))
        text = Text("unknow_error") + L"(" + std::to_wstring(code) + L")";
    return text;
}

// text, and after it what the holder found beyond its code.
std::wstring WithReason(const std::wstring& text, const CBidFileHolder& holder)
{
    return holder.GetFailureReason().empty() ? text : text + L"：" + holder.GetFailureReason();
}

// The message of a file's record: 标书"name" and what happened.
std::wstring FileMessage(const std::wstring& fileName, const std::wstring& what)
{
    return L"标书\"" + fileName + L"\"" + what;
}

} // namespace

CVerifyBidFile::~CVerifyBidFile()
{
    Join();
}

int CVerifyBidFile::Start()
{
    if (files.empty())
        return kVerifyCancelled;
    if (running.exchange(true))
        return -1;
    Join();
    stopRequested.store(false);
    try {
        worker = std::thread([this] {
            RunVerify();
            running.store(false);
        });
    } catch (const std::system_error&) {
        running.store(false);
        return -1;
    }
    return 0;
}

void CVerifyBidFile::Join()
{
    if (worker.joinable() && worker.get_id() != std::this_thread::get_id())
        worker.join();
}

bool CVerifyBidFile::AllImported() const
{
    // An interrupted run leaves files it never reached.
    if (!rulesFetched || results.size() != files.size())
        return false;
    for (const CVerifiedFile& file : results) {
        if (!file.imported)
            return false;
    }
    return true;
}

void CVerifyBidFile::Output(const std::wstring& line) const
{
    if (outputSink != nullptr)
        outputSink->Output(line, 1);
}

int CVerifyBidFile::Ask(const std::wstring& text, const std::wstring& caption, unsigned type) const
{
    return notifyWindow != nullptr ? notifyWindow->Ask(text, caption, type) : IDCANCEL;
}

void CVerifyBidFile::RunVerify()
{
    rulesFetched = false;
    results.clear();
    destination.clear();
    bool posted = false;
    auto post = [&](int wParam, int lParam) {
        posted = true;
        if (notifyWindow != nullptr)
            notifyWindow->PostVerifyFinished(wParam, lParam);
    };
    try {
        CRulesFileClient rules;
        rules.SetTarget(projectNumber);
        // The project id of every record: the project number as the query carries it.
        const std::string projectId = rules.ProjectId();
        const int rulesCode = rules.GetRules();
        if (rulesCode != 0) {
            const std::wstring reason = CodeText(CResultTexts::kRulesTable, rulesCode);
            // The operator reads the server asked and why it failed; the record keeps its text.
            Output(CRulesFileClient::DescribeFailure(rulesCode));
            post(1, rulesCode);
            SubmitOperationRecord(kLogTypeFailure, projectId, "", L"获取规则文件失败:" + reason);
            return;
        }
        rulesFetched = true;
        std::string projectName;
        rules.GetProjectName(projectName);
        auto record = [&](int logType, const std::wstring& message) {
            SubmitOperationRecord(logType, projectId, projectName, message);
        };

        destination = PackageFolder(projectNumber, packageNumber);
        // A folder that cannot be made shows as the failed copies that follow.
        CreateDirectoryTree(destination);
        const std::wstring outputFolder = destination.substr(0, destination.size() - 1);

        bool anyFailed = false;
        int lastCode = 0;
        for (const std::wstring& path : files) {
            if (stopRequested.load()) {
                anyFailed = true;
                const std::wstring stopped
                    = L"导入被中断，" + std::to_wstring(files.size() - results.size()) + L"个文件未导入";
                Output(L"---->" + stopped);
                record(kLogTypeNeutral, stopped);
                break;
            }
            CVerifiedFile& result = results.emplace_back();
            result.path = path;
            CBidFileHolder holder;
            holder.SetPath(path);
            holder.SetOutputFolder(outputFolder);
            Output(Text("verifyfile_ing") + path);

            lastCode = result.code = holder.Open();
            if (result.code != 0) {
                const std::wstring reason = CodeText(CResultTexts::kDecryptorTable, result.code);
                result.checks.Failed("open", reason);
                Output(Text("openfile_fail") + reason);
                holder.Release();
                anyFailed = true;
                record(kLogTypeFailure, FileMessage(holder.GetFileName(), L"打开失败" + reason));
                continue;
            }
            Output(Text("openfile_success"));
            result.checks.Passed("open");
            std::vector<unsigned char> digest;
            lastCode = result.code = holder.VerifyStructure(verifyCodes ? &digest : nullptr);
            result.checks.SetVerifyCode(digest);
            if (result.code != 0) {
                anyFailed = true;
                // The reason follows the colon: the holder's, else the code's text.
                const std::wstring reason = holder.GetFailureReason().empty()
                    ? CodeText(CResultTexts::kDecryptorTable, result.code)
                    : holder.GetFailureReason();
                result.checks.Failed(
                    "structure", WithReason(CodeText(CResultTexts::kDecryptorTable, result.code), holder));
                Output(Text("vefifystructure_fail") + reason);
                Output(Text("verify_fail"));
                record(kLogTypeFailure,
                    FileMessage(holder.GetFileName(),
                        L"验证失败:"
                            + WithReason(CodeText(CResultTexts::kDecryptorTable, result.code), holder)));
                holder.Release();
                continue;
            }
            Output(Text("vefifystructure_success"));
            Output(Text("verify_success"));
            result.checks.Passed("structure");
            // Whatever the comparison setting, the header must be sealed to the openers and the
            // threshold of the rules the file carries.
            lastCode = result.code = holder.CheckAgainstEmbeddedRules();
            if (result.code != 0) {
                anyFailed = true;
                const std::wstring reason
                    = WithReason(CodeText(CResultTexts::kRulesTable, result.code), holder);
                result.checks.Failed("embedded_rules", reason);
                Output(Text("verifyrulefile_fail") + reason);
                record(kLogTypeFailure, FileMessage(holder.GetFileName(), L"验证规则文件失败：" + reason));
                holder.Release();
                continue;
            }
            result.checks.Passed("embedded_rules");
            // Only the exact text "false" switches the comparison off.
            if (CSettingFile::Instance().GetRulesCompare() == L"false") {
                result.checks.NotRun("rules_comparison", Text("rules_compare_off"));
            } else {
                int length = 0;
                const unsigned char* embedded = holder.GetEmbeddedRules(&length);
                lastCode = result.code = rules.CompareFile(embedded, length);
                if (result.code != 0) {
                    anyFailed = true;
                    const std::wstring reason = CodeText(CResultTexts::kRulesTable, result.code);
                    result.checks.Failed("rules_comparison", reason);
                    Output(Text("verifyrulefile_fail") + reason);
                    record(
                        kLogTypeFailure, FileMessage(holder.GetFileName(), L"验证规则文件失败：" + reason));
                    holder.Release();
                    continue;
                }
                Output(Text("verifyrulefile_success"));
                result.checks.Passed("rules_comparison");
            }
            // The decryptor lets go of the file before it is copied.
            holder.Release();
            if (std::wstring reason; CopyIntoFolder(path, destination, notifyWindow, &reason) != kCopied) {
                anyFailed = true;
                const std::wstring because = reason.empty() ? std::wstring() : L"：" + reason;
                result.checks.Failed("copy", reason.empty() ? Text("import_replace_declined") : reason);
                Output(Text("importfile_fail") + because);
                record(kLogTypeFailure, FileMessage(holder.GetFileName(), L"导入失败" + because));
                continue;
            }
            result.imported = true;
            result.checks.Passed("copy");
            Output(Text("importfile_success"));
            record(kLogTypeSuccess, FileMessage(holder.GetFileName(), L"导入成功"));
        }
        // Records the log service has not taken yet are said before the window closes.
        if (const std::wstring notice = PendingRecordsNotice(); !notice.empty())
            Output(notice.substr(1));
        post(0, lastCode);
        if (anyFailed)
            Ask(Text("check_count"), Text("error"), MB_OK | MB_ICONWARNING);
    } catch (const std::exception&) {
        // Out of memory or a thread failure inside a library: the window must still close.
        if (!posted)
            post(0, -1);
    }
}

int CVerifyWaiter::Ask(const std::wstring& text, const std::wstring& caption, unsigned type)
{
    return prompt != nullptr ? prompt->Ask(text, caption, type) : IDCANCEL;
}

void CVerifyWaiter::PostVerifyFinished(int w, int l)
{
    const std::lock_guard lock(mutex);
    ++posts;
    wParam = w;
    lParam = l;
    posted.notify_all();
}

int CVerifyWaiter::WaitForResult()
{
    std::unique_lock lock(mutex);
    posted.wait(lock, [this] { return posts > 0; });
    return wParam == 0 ? kVerifyProcessed : kVerifyCancelled;
}

int CVerifyWaiter::PostCount() const
{
    const std::lock_guard lock(mutex);
    return posts;
}

int CVerifyWaiter::LastWParam() const
{
    const std::lock_guard lock(mutex);
    return wParam;
}

int CVerifyWaiter::LastLParam() const
{
    const std::lock_guard lock(mutex);
    return lParam;
}

int RunVerifyBidFile(CVerifyBidFile& verify, IPrompt* prompt)
{
    CVerifyWaiter window(prompt);
    verify.SetNotifyWindow(&window);
    if (verify.Start() != 0) {
        verify.SetNotifyWindow(nullptr);
        return kVerifyCancelled;
    }
    const int result = window.WaitForResult();
    verify.Join();
    verify.SetNotifyWindow(nullptr);
    return result;
}
