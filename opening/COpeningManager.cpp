#include "opening/COpeningManager.h"

#include "app/LanguageCatalogue.h"
#include "app/LocalLog.h"
#include "app/SettingFile.h"
#include "app/TextConversion.h"
#include "app/Utility.h"
#include "audit/OperationRecord.h"
#include "audit/OperatorSignature.h"
#include "opening/CResultTexts.h"
#include "opening/CRulesFileClient.h"
#include "opening/CTimeStampClient.h"
#include "opening/OpeningRecord.h"
#include "opening/OpeningTime.h"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <system_error>

namespace {

std::wstring Text(const char* key)
{
    return CLanguageCatalogue::Instance().GetText(key);
}

// Replaces the first "%d" of a catalogue text with number. A language file is outside input: its
// text is never used as a format.
std::wstring FillNumber(std::wstring text, int number)
{
    if (const size_t at = text.find(L"%d"); at != std::wstring::npos)
        text.replace(at, 2, std::to_wstring(number));
    return text;
}

// "标书", the file name in quotation marks, then what happened.
std::wstring FileRecord(const CBidFileHolder& holder, const wchar_t* what)
{
    return L"标书\"" + holder.GetFileName() + L"\"" + what;
}

// The decryptor's codes that say the workstation failed (memory, a write), never the bid.
constexpr int kDecryptorOutOfMemory = 1;
constexpr int kDecryptorWriteFailed = 18;

bool IsLocalFailure(int code)
{
    return code == kDecryptorWriteFailed || code == kDecryptorOutOfMemory;
}

// What the closing operation record adds to its message: the opening record's SHA-256, or nothing.
std::wstring RecordHashText(const CRecordFiles& written)
{
    return written.json.empty() ? std::wstring()
                                : L"（开标记录 SHA-256：" + Utf8ToWide(written.sha256) + L"）";
}

} // namespace

// One run of the opening: the working state that lives from the start of RunOpening to its end.
class COpeningRun
{
public:
    explicit COpeningRun(COpeningManager& owner)
        : manager(owner)
    {
    }

    void Run();
    // After an exception ended the run: the record of what it did so far, unless the run had
    // already written it (or was writing it when it failed). Never throws.
    void WriteRecordAfterFailure();

private:
    struct COpenerRecord
    {
        std::wstring name;
        unsigned char flag = 1;
        size_t fileIndex = 0;
    };

    void Output(const char* key) { manager.OutputLine(Text(key)); }
    void Output(const char* key, const std::wstring& tail) { manager.OutputLine(Text(key) + tail); }
    // The run's records are posted by the sender thread while the run goes on; RunOpening waits
    // for the last of them before the worker ends.
    void Log(int logType, const std::wstring& message)
    {
        SubmitOperationRecordInBackground(logType, projectId, projectName, message);
    }
    // Writes the opening record, posts WM_OPENING_FINISHED and writes the closing operation
    // record with the opening record's SHA-256: every end of a run but one goes through here.
    void End(int wParam, int logType, const std::wstring& message, COpeningEnd how);
    // The decryptor text of code. A code without an entry gets the generic text with its number,
    // so that a file never shows the reason of an earlier file's failure.
    const std::wstring& FailureText(int code);
    // The rules library's text of code, or the generic text with its number.
    static std::wstring RulesText(int code);
    // text, and after it what the holder found beyond its code.
    static std::wstring WithReason(const std::wstring& text, const CBidFileHolder& holder)
    {
        return holder.GetFailureReason().empty() ? text : text + L"：" + holder.GetFailureReason();
    }
    void MoveToBad(CBidFileHolder& holder);
    // A file that failed its check: the check's outcome, the output line and the record with the
    // reason, the status "damaged", and the move to Bad/.
    void RefuseFile(CBidFileHolder& holder, const char* check, const char* outputKey, const wchar_t* what,
        const std::wstring& reason);
    // What keeps this workstation from writing the bid out before it is tried (too little free
    // space for it), empty when nothing does.
    std::wstring LocalObstacle(const CBidFileHolder& holder) const;
    // A failure of the workstation, not of the bid: the bid keeps its place and is not damaged.
    void FailLocally(CBidFileHolder& holder, const std::wstring& reason);

    bool FetchRulesAndTime();
    bool StopRequested() const { return manager.stopRequested.load(); }
    // The end of a run that was interrupted: the files not reached keep their state.
    void StopOnRequest();
    void VerifyFiles();
    bool CollectOpenerKeys();
    void DecryptReady();
    // Writes the record of the run into the package folder and says where, or why not. Returns
    // what the closing operation record adds to its message: the record's SHA-256, or nothing.
    std::wstring WriteRecord(COpeningEnd how);
    // The folder the decryptor will write holder's files to: "<bid>" or the first free "<bid> (k)".
    static std::wstring NextOpenFolder(const CBidFileHolder& holder);

    COpeningManager& manager;
    COpeningRecord openingRecord;
    CTimeStampClient timeStamps;
    std::map<const CBidFileHolder*, std::wstring> openFolders;
    CRulesFileClient rules;
    std::string projectId;
    std::string projectName;
    std::int64_t timeStampTime = 0;
    std::int64_t openTime = 0;
    std::wstring openTimeText;
    std::wstring openOrg;
    std::wstring badFolder;
    std::vector<CBidFileHolder*> ready;
    std::vector<COpenerRecord> openers;
    std::wstring failureText;
    int decryptedCount = 0;
    int localFailures = 0;
    bool waitCursor = false;
    bool recordStarted = false;
};

void COpeningRun::End(int wParam, int logType, const std::wstring& message, COpeningEnd how)
{
    const std::wstring recordHash = WriteRecord(how);
    if (waitCursor)
        manager.SetWaitCursor(false);
    waitCursor = false;
    manager.lastEnd.store(how);
    manager.PostFinished(wParam);
    Log(logType, message + recordHash);
}

std::wstring COpeningRun::WriteRecord(COpeningEnd how)
{
    if (manager.files.empty() || recordStarted)
        return {};
    recordStarted = true;
    const std::wstring& path = manager.files.front()->GetFullPath();
    openingRecord.SetPackageFolder(path.substr(0, path.find_last_of(L'/') + 1));
    if (const kelvane::pki::CertPtr cert(CopyOperatorCert()); cert != nullptr)
        openingRecord.SetOperator(cert.get());
    for (const auto& holder : manager.files) {
        const auto folder = openFolders.find(holder.get());
        openingRecord.AddBid(*holder, folder != openFolders.end() ? folder->second : std::wstring());
    }
    openingRecord.SetEnd(how);
    const CRecordFiles written = WriteOpeningRecord(openingRecord);
    manager.lastRecord = written;
    if (!written.json.empty())
        Output("record_written", written.json + L" (SHA-256 " + Utf8ToWide(written.sha256) + L")");
    for (const std::wstring* file : { &written.signature, &written.pdf }) {
        if (!file->empty())
            Output("record_written", *file);
    }
    if (!written.problem.empty())
        Output("record_problem", written.problem);
    return RecordHashText(written);
}

void COpeningRun::WriteRecordAfterFailure()
{
    try {
        WriteRecord(COpeningEnd::Aborted);
    } catch (...) {
        // The run's own failure is what the operator is told.
    }
}

std::wstring COpeningRun::NextOpenFolder(const CBidFileHolder& holder)
{
    const std::wstring& name = holder.GetFileName();
    const size_t dot = name.rfind(L'.');
    const std::wstring bid = dot == std::wstring::npos ? name : name.substr(0, dot);
    for (int number = 1;; ++number) {
        const std::wstring folder
            = holder.GetOutputFolder() + bid + (number == 1 ? L"" : L" (" + std::to_wstring(number) + L")");
        std::error_code error;
        if (!std::filesystem::exists(std::filesystem::symlink_status(WideToUtf8(folder), error)))
            return folder;
    }
}

const std::wstring& COpeningRun::FailureText(int code)
{
    if (!CResultTexts::GetText(CResultTexts::kDecryptorTable, code, failureText))
        failureText = Text("unknow_error") + L"(" + std::to_wstring(code) + L")";
    return failureText;
}

std::wstring COpeningRun::RulesText(int code)
{
    std::wstring text;
    if (!CResultTexts::GetText(CResultTexts::kRulesTable, code, text))
        text = Text("unknow_error") + L"(" + std::to_wstring(code) + L")";
    return text;
}

void COpeningRun::MoveToBad(CBidFileHolder& holder)
{
    holder.Release();
    const std::string from = WideToUtf8(holder.GetFullPath());
    const std::string to = WideToUtf8(badFolder + holder.GetFileName());
    // Never over a file of the same name: a bid already in Bad/ is evidence too.
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        Output("movefile_success", badFolder);
    else
        Output("movefile_fail");
}

void COpeningRun::RefuseFile(CBidFileHolder& holder, const char* check, const char* outputKey,
    const wchar_t* what, const std::wstring& reason)
{
    holder.Checks().Failed(check, reason);
    Output(outputKey, reason);
    Log(kLogTypeFailure, FileRecord(holder, what) + reason);
    holder.SetBidStatus(BidStatus::Destroyed);
    manager.ShowStatus(holder);
    MoveToBad(holder);
}

std::wstring COpeningRun::LocalObstacle(const CBidFileHolder& holder) const
{
    // The output is the payload, a little less than the sealed file.
    std::error_code error;
    const auto size = std::filesystem::file_size(WideToUtf8(holder.GetFullPath()), error);
    if (error || HasEnoughFreeSpace(holder.GetOutputFolder(), size) != 0)
        return {};
    return L"磁盘空间不足：" + holder.GetOutputFolder() + L" 需要 " + std::to_wstring(size) + L" 字节";
}

void COpeningRun::FailLocally(CBidFileHolder& holder, const std::wstring& reason)
{
    ++localFailures;
    holder.Checks().Failed("decryption", reason);
    Output("decrypt_fail_local", reason);
    holder.SetBidStatus(BidStatus::DecryptFailed);
    manager.ShowStatus(holder);
    Log(kLogTypeFailure, FileRecord(holder, L"开标失败（本机故障，标书未移动）：") + reason);
}

void COpeningRun::StopOnRequest()
{
    Output("cancel_open_bidfile");
    Output("end_open_bidfile");
    End(0, kLogTypeNeutral, L"开标被中断，开标结束", COpeningEnd::Cancelled);
}

void COpeningRun::Run()
{
    Output("begin_open_bidfile");
    if (!FetchRulesAndTime())
        return;
    VerifyFiles();
    if (StopRequested()) {
        StopOnRequest();
        return;
    }
    if (ready.empty()) {
        End(0, kLogTypeNeutral, L"开标结束：没有可解密的文件", COpeningEnd::NoFileVerified);
        return;
    }
    if (!CollectOpenerKeys())
        return;
    if (manager.Ask(Text("bidder_confirm"), Text("tips"), MB_OKCANCEL | MB_ICONINFORMATION) != IDOK) {
        Output("end_open_bidfile");
        End(0, kLogTypeNeutral, L"用户取消开标，开标结束", COpeningEnd::Cancelled);
        return;
    }
    DecryptReady();
}

bool COpeningRun::FetchRulesAndTime()
{
    rules.SetTarget(manager.projectNumber);
    // The records carry the project number alone.
    projectId = rules.ProjectId();
    Output("get_rulefile_ing");
    if (const int code = rules.GetRules(); code != 0) {
        Output("get_rulefile_fail_status");
        const std::wstring reason = CRulesFileClient::DescribeFailure(code);
        manager.OutputLine(reason);
        WriteLocalLog(1, "rules not fetched: %s\n", WideToUtf8(reason).c_str());
        Output("end_open_bidfile");
        manager.rulesFailure = reason;
        manager.openingError.store(1);
        End(1, kLogTypeFailure, L"获取规则文件失败", COpeningEnd::RulesNotFetched);
        return false;
    }
    rules.GetProjectName(projectName);
    openingRecord.SetProject(projectId, projectName);

    manager.SetWaitCursor(true);
    waitCursor = true;
    if (timeStamps.GetTimeStamp(&timeStampTime) != 1) {
        Output("get_timestamp_fail");
        End(0, kLogTypeFailure, L"获取时间戳失败", COpeningEnd::NoTimeStamp);
        return false;
    }
    Output("get_timestamp_success", FormatWallClock(timeStampTime));
    openingRecord.SetTimeStamp(timeStamps.LastToken(), timeStampTime);

    if (rules.GetOpenTime(openTime) != 0) {
        Output("get_opentime_fail");
        Output("end_open_bidfile");
        End(0, kLogTypeFailure, L"获取开标时间失败", COpeningEnd::NoOpeningTime);
        return false;
    }
    openTimeText = FormatWallClock(openTime);
    openingRecord.SetServedOpeningTime(openTime);
    Output("get_opentime_success", openTimeText);
    if (timeStampTime - openTime < 0) {
        Output("notto_opentime");
        End(0, kLogTypeNeutral, L"未到开标时间", COpeningEnd::OpeningTimeNotYet);
        return false;
    }

    openOrg = rules.GetOpenOrg();
    openingRecord.SetOpeningOrganisation(openOrg);
    Output("get_rulefile_success_status");
    if (rules.GetOpenerCerts() != 0) {
        Output("get_opener_cert_fail");
        Output("end_open_bidfile");
        End(0, kLogTypeFailure, L"获取开标人的证书失败", COpeningEnd::NoOpenerCerts);
        return false;
    }
    for (int i = 0; i < rules.GetOpenerCertCount(); ++i)
        openingRecord.AddRulesOpener(rules.GetOpenerCert(i));
    return true;
}

void COpeningRun::VerifyFiles()
{
    auto& files = manager.files;
    for (size_t i = 0; i < files.size() && !StopRequested(); ++i) {
        CBidFileHolder& holder = *files[i];
        holder.Checks() = {};
        holder.SetOpenTime(openTimeText);
        if (i == 0) {
            const std::wstring& path = holder.GetFullPath();
            const size_t slash = path.find_last_of(L'/');
            badFolder = (slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1)) + L"Bad/";
            CreateDirectoryTree(badFolder);
        }
        Output("verify_ing", holder.GetFullPath());

        if (const int code = holder.Open(); code != 0) {
            RefuseFile(holder, "open", "openfile_fail", L"打开失败", FailureText(code));
            continue;
        }
        holder.Checks().Passed("open");
        Output("openfile_success");
        Output("verify_structure_ing");

        std::vector<unsigned char> digest;
        const int verified = holder.VerifyStructure(manager.verifyCodes ? &digest : nullptr);
        holder.Checks().SetVerifyCode(digest);
        if (verified != 0) {
            RefuseFile(holder, "structure", "vefifystructure_fail", L"验证文件结构失败:",
                WithReason(FailureText(verified), holder));
            continue;
        }
        holder.Checks().Passed("structure");
        Output("vefifystructure_success");

        // Whatever the comparison setting: a header sealed to other openers or a lower threshold
        // than the rules it carries would open with other keys than those rules name.
        if (const int code = holder.CheckAgainstEmbeddedRules(); code != 0) {
            RefuseFile(holder, "embedded_rules", "verifyrulefile_fail", L"验证规则文件失败：",
                WithReason(RulesText(code), holder));
            continue;
        }
        holder.Checks().Passed("embedded_rules");

        // Only the exact text "false" switches the comparison off: a switch that fails safe.
        if (CSettingFile::Instance().GetRulesCompare() == L"false") {
            holder.Checks().NotRun("rules_comparison", Text("rules_compare_off"));
        } else {
            Output("verify_rulefile_ing");
            int length = 0;
            const unsigned char* embedded = holder.GetEmbeddedRules(&length);
            if (const int code = rules.CompareFile(embedded, length); code != 0) {
                holder.Checks().Failed("rules_comparison", RulesText(code));
                holder.Release();
                Output("verifyrulefile_fail");
                holder.SetBidStatus(BidStatus::Destroyed);
                manager.ShowStatus(holder);
                Log(kLogTypeFailure, FileRecord(holder, L"验证规则文件失败"));
                MoveToBad(holder);
                continue;
            }
            Output("verifyrulefile_success");
            holder.Checks().Passed("rules_comparison");
        }

        // The served opening time has come (FetchRulesAndTime), but without the comparison the
        // served rules need not be the bid's: the bid's own opening time must have come too, on
        // the same verified time-stamp.
        const std::optional<std::int64_t>& bidOpenTime = holder.GetEmbeddedOpenTime();
        if (!bidOpenTime) {
            const std::wstring reason
                = RulesText(QUELVAR_NO_OPENTIME_ELEMENT) + L"：标书内嵌规则的开标时间无法识别";
            holder.Checks().Failed("opening_time", reason);
            Output("verifyrulefile_fail", reason);
            Log(kLogTypeFailure, FileRecord(holder, L"验证规则文件失败：") + reason);
            holder.SetBidStatus(BidStatus::Destroyed);
            manager.ShowStatus(holder);
            MoveToBad(holder);
            continue;
        }
        if (timeStampTime - *bidOpenTime < 0) {
            // The bid is sound and opens at its own time: it stays where it is.
            const std::wstring reason = L"：标书的开标时间是" + FormatWallClock(*bidOpenTime);
            // The reason without the colon that joins it to the output line.
            holder.Checks().Failed("opening_time", reason.substr(1));
            holder.Release();
            Output("notto_opentime", reason);
            Log(kLogTypeFailure, FileRecord(holder, L"未到开标时间") + reason);
            holder.SetBidStatus(BidStatus::DecryptCancelled);
            manager.ShowStatus(holder);
            continue;
        }

        holder.Checks().Passed("opening_time");
        ready.push_back(&holder);
        holder.SetOpenOrg(openOrg);
        holder.SetBidStatus(BidStatus::Ready);
        manager.ShowDetails(holder);
        manager.ShowStatus(holder);
    }
}

bool COpeningRun::CollectOpenerKeys()
{
    const COpeningTimings& timings = manager.timings;
    for (;;) {
        if (StopRequested()) {
            StopOnRequest();
            return false;
        }
        if (manager.Ask(Text("insert_bidder_key"), Text("tips"), MB_YESNO | MB_ICONINFORMATION) != IDYES) {
            Output("cancel_open_bidfile");
            Output("end_open_bidfile");
            if (waitCursor)
                manager.SetWaitCursor(false);
            waitCursor = false;
            const std::wstring recordHash = WriteRecord(COpeningEnd::Cancelled);
            manager.lastEnd.store(COpeningEnd::Cancelled);
            manager.PostFinished(0);
            // The record is signed with the operator's certificate, so it is written only when
            // that certificate is at hand.
            if (CheckOperatorCert(timings.operatorCertWait) == 1)
                Log(kLogTypeNeutral, L"用户取消解标，开标结束" + recordHash);
            return false;
        }
        std::this_thread::sleep_for(timings.afterKeyInserted);
        if (CheckOperatorCert(timings.operatorCertWait) != 1)
            continue;
        if (!rules.IsAnyOpenerKeyPresent()) {
            manager.Ask(Text("found_no_key"), Text("warnning"), MB_OK | MB_ICONWARNING);
            Log(kLogTypeNeutral, L"没有找到可解密的key");
            continue;
        }

        for (size_t j = 0; j < ready.size(); ++j) {
            CBidFileHolder& holder = *ready[j];
            if (holder.GetDecryptorStatus() == 0)
                continue;
            std::this_thread::sleep_for(timings.beforeTry);
            holder.Try();
            holder.LoadOpenerCerts();
            manager.ShowDetails(holder);
            for (int k = holder.GetOpenerCount() - 1; k >= 0; --k) {
                const std::wstring name = holder.GetOpenerName(k);
                bool known = false;
                for (const COpenerRecord& record : openers)
                    known = known || (record.name == name && record.flag == 1 && record.fileIndex == j);
                if (known)
                    continue;
                Log(kLogTypeSuccess, name + L"解密标书\"" + holder.GetFileName() + L"\"");
                openers.push_back({ name, 1, j });
            }
        }

        int notReady = 0;
        for (CBidFileHolder* holder : ready)
            notReady += holder->GetDecryptorStatus() != 0 ? 1 : 0;
        if (notReady == 0)
            return true;
        const int answer = manager.Ask(
            FillNumber(Text("try_goon"), notReady), Text("tips"), MB_YESNOCANCEL | MB_ICONINFORMATION);
        if (answer == IDYES)
            continue;
        if (answer == IDCANCEL)
            return true;
        Output("cancel_open_bidfile");
        Output("end_open_bidfile");
        End(0, kLogTypeNeutral, L"用户取消解标，开标结束", COpeningEnd::Cancelled);
        return false;
    }
}

void COpeningRun::DecryptReady()
{
    Output("prepair_decryptfile");
    for (CBidFileHolder* holder : ready) {
        // The file in hand finishes; the ones after it stay as they are for another opening.
        if (StopRequested()) {
            StopOnRequest();
            return;
        }
        if (holder->GetDecryptorStatus() != 0) {
            holder->Checks().NotRun("decryption", Text("status_decrypt_cancel"));
            holder->SetBidStatus(BidStatus::DecryptCancelled);
            manager.ShowStatus(*holder);
            continue;
        }
        holder->SetBidStatus(BidStatus::Decrypting);
        manager.ShowStatus(*holder);
        Output("decryptfile_ing", holder->GetFullPath());
        if (const std::wstring reason = LocalObstacle(*holder); !reason.empty()) {
            FailLocally(*holder, reason);
            continue;
        }
        const std::wstring openFolder = NextOpenFolder(*holder);
        if (const int code = holder->Decrypt(); code == 0) {
            openFolders[holder] = openFolder;
            ++decryptedCount;
            holder->Checks().Passed("decryption");
            Output("decrypt_success");
            holder->SetBidStatus(BidStatus::Decrypted);
            manager.ShowStatus(*holder);
            Log(kLogTypeSuccess, FileRecord(*holder, L"开标完成"));
        } else if (IsLocalFailure(code)) {
            FailLocally(*holder, FailureText(code));
        } else {
            Output("decrypt_fail", FailureText(code));
            holder->Checks().Failed("decryption", failureText);
            holder->SetBidStatus(BidStatus::Destroyed);
            manager.ShowStatus(*holder);
            Log(kLogTypeFailure, FileRecord(*holder, L"开标失败") + failureText);
            MoveToBad(*holder);
        }
    }

    const int succeeded = decryptedCount;
    const int failed = static_cast<int>(ready.size()) - succeeded;
    std::wstring summary = L"本次开标已完成，其中解密成功" + std::to_wstring(succeeded) + L"份标书，解密失败"
        + std::to_wstring(failed) + L"份标书";
    if (failed != 0)
        summary += L",请予以检查。";
    if (localFailures != 0)
        summary += L"其中" + std::to_wstring(localFailures)
            + L"份标书因本机故障（如磁盘空间不足、目录不可写）未能解密，仍在原处，排除故障后可重新开标。";
    // The record keeps the summary as it is; the operator also learns what still waits to be sent.
    manager.Ask(summary + PendingRecordsNotice(), L"提示", MB_OK | MB_ICONINFORMATION);
    Output("end_open_bidfile");
    End(0, failed == 0 ? kLogTypeSuccess : kLogTypeNeutral, summary, COpeningEnd::Completed);
}

void COpeningManager::CStartEvent::Set()
{
    {
        const std::lock_guard lock(mutex);
        set = true;
    }
    signalled.notify_one();
}

void COpeningManager::CStartEvent::Wait()
{
    std::unique_lock lock(mutex);
    signalled.wait(lock, [this] { return set; });
    set = false;
}

COpeningManager::COpeningManager(COpeningTimings runTimings)
    : timings(runTimings)
{
}

COpeningManager::~COpeningManager()
{
    Detach();
    Join();
}

void COpeningManager::AddFile(int row, const std::wstring& fullPath, const std::wstring& outputFolder)
{
    auto holder = std::make_unique<CBidFileHolder>();
    holder->SetPath(fullPath);
    holder->SetOutputFolder(outputFolder);
    holder->SetRow(row);
    files.push_back(std::move(holder));
}

int COpeningManager::Start()
{
    // Past its notification the worker touches nothing of the manager's but its own flags.
    if (running.load() && !finishPosted.load())
        return -1;
    if (worker.joinable())
        worker.join();
    CLanguageCatalogue::Instance().Load();
    openingError.store(0);
    rulesFailure.clear();
    stopRequested.store(false);
    lastEnd.store(COpeningEnd::NotRun);
    lastRecord = {};
    workerExitCode.store(0);
    finishPosted.store(false);
    running.store(true);
    try {
        worker = std::thread(&COpeningManager::WorkerMain, this);
    } catch (const std::system_error&) {
        running.store(false);
        return -1;
    }
    startEvent.Set();
    return 0;
}

void COpeningManager::WorkerMain()
{
    startEvent.Wait();
    try {
        RunOpening();
        workerExitCode.store(0);
    } catch (...) {
        workerExitCode.store(-2);
        EndAfterFailure();
    }
    running.store(false);
}

void COpeningManager::EndAfterFailure()
{
    // The window stays busy until it is told the run has ended, and the record says why.
    lastEnd.store(COpeningEnd::Aborted);
    try {
        SetWaitCursor(false);
        if (!finishPosted.load())
            PostFinished(1);
        SubmitOperationRecord(kLogTypeFailure, WideToUtf8(projectNumber), "",
            L"开标因程序故障中止" + RecordHashText(lastRecord));
    } catch (...) {
        // Nothing more can be said: the run has ended either way.
    }
}

void COpeningManager::RunOpening()
{
    COpeningRun run(*this);
    try {
        run.Run();
    } catch (...) {
        // What the run did until it failed is recorded before the window learns it has ended.
        run.WriteRecordAfterFailure();
        throw;
    }
    WaitForOperationRecords();
}

void COpeningManager::Detach()
{
    notifyWindow.store(nullptr);
    listControl.store(nullptr);
    outputSink.store(nullptr);
}

void COpeningManager::Join()
{
    if (worker.joinable() && worker.get_id() != std::this_thread::get_id())
        worker.join();
}

int COpeningManager::ShowSignCertForRow(int row) const
{
    for (const auto& holder : files) {
        if (holder->GetRow() == row) {
            holder->ShowSignCert(nullptr);
            return 0;
        }
    }
    return -1;
}

void COpeningManager::OutputLine(const std::wstring& text)
{
    if (CMsgOutput* sink = outputSink.load())
        sink->Output(text, 1);
}

void COpeningManager::ShowStatus(const CBidFileHolder& holder)
{
    if (IBidFileList* list = listControl.load())
        list->SetItemText(holder.GetRow(), kColumnStatus, Text(BidStatusKey(holder.GetBidStatus())));
}

void COpeningManager::ShowDetails(const CBidFileHolder& holder)
{
    IBidFileList* list = listControl.load();
    if (list == nullptr)
        return;
    const int row = holder.GetRow();
    list->SetItemText(row, kColumnBidder, holder.GetSignerName());
    list->SetItemText(row, kColumnBidCompany, holder.GetSignerOrg());
    list->SetItemText(row, kColumnOpenCompany, holder.GetOpenOrg());
    list->SetItemText(row, kColumnOpenerPresence, holder.GetOpenersText(L","));
    list->SetItemText(row, kColumnOpenTime, holder.GetOpenTime());
}

int COpeningManager::Ask(const std::wstring& text, const std::wstring& caption, unsigned type)
{
    // A message box that cannot be shown answers 0, which every question of the run takes as
    // "stop": a detached window ends the run at its next question.
    IOpeningWindow* window = notifyWindow.load();
    return window != nullptr ? window->Ask(text, caption, type) : 0;
}

void COpeningManager::PostFinished(int wParam)
{
    finishPosted.store(true);
    if (IOpeningWindow* window = notifyWindow.load())
        window->PostOpeningFinished(wParam);
}

void COpeningManager::SetWaitCursor(bool on)
{
    if (IOpeningWindow* window = notifyWindow.load())
        window->SetWaitCursor(on);
}
