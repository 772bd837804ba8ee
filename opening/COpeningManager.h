// The bid opening: fetches the tender's rules, checks with a time-stamp authority that the opening
// time has come, verifies every selected bid file (structure, signature, a signer the tender
// trusts, a header sealed as its embedded rules say, those rules the served ones unless the
// settings switch the comparison off; failures move to Bad/ beside them), leaves a bid whose own
// opening time has not come where it is, waits until enough openers' tokens have contributed,
// asks for a final confirmation and decrypts into Open/. Every step writes a line to the output sink, updates
// the file's row in the list, and submits an operation record.
//
// One manager belongs to the bid-file list. The UI thread fills it (ClearFiles, SetProjectNumber,
// AddFile, the three references) and calls Start; RunOpening then runs on the manager's worker
// thread, which talks to the outside only through the interfaces it was given. While a run goes
// on the UI thread must not change the files or call Start again.
#pragma once

#include "app/CMsgOutput.h"
#include "opening/CBidFileHolder.h"
#include "opening/OpeningInterfaces.h"
#include "opening/OpeningRecord.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The waits of a run. The defaults are those of the workstation; tests shorten them.
struct COpeningTimings
{
    // After the operator says the openers' tokens are inserted: lets the tokens settle.
    std::chrono::milliseconds afterKeyInserted { 2000 };
    // Before each file's decryptor tries the present tokens.
    std::chrono::milliseconds beforeTry { 50 };
    // The wait of CheckOperatorCert.
    std::chrono::milliseconds operatorCertWait { 500 };
};

// How the last run ended, for front ends that report it (kelvane-cli's exit status).
enum class COpeningEnd : int
{
    NotRun,
    RulesNotFetched,
    NoTimeStamp,
    NoOpeningTime,
    OpeningTimeNotYet,
    NoOpenerCerts,
    NoFileVerified,
    Cancelled,
    Completed,
    // The run stopped on an unexpected failure (out of memory, a failing window call).
    Aborted,
};

class COpeningManager
{
public:
    explicit COpeningManager(COpeningTimings timings = {});
    // Detaches, waits for a run in progress and deletes the holders.
    ~COpeningManager();
    COpeningManager(const COpeningManager&) = delete;
    COpeningManager& operator=(const COpeningManager&) = delete;

    void SetProjectNumber(const std::wstring& number) { projectNumber = number; }
    void ClearFiles() { files.clear(); }
    // A holder for fullPath with row and output folder (the package folder's Open/).
    void AddFile(int row, const std::wstring& fullPath, const std::wstring& outputFolder);
    void SetNotifyWindow(IOpeningWindow* window) { notifyWindow.store(window); }
    void SetListControl(IBidFileList* list) { listControl.store(list); }
    void SetOutputSink(CMsgOutput* sink) { outputSink.store(sink); }
    // Each file's verification code from the structure check's read, in its checks and the
    // opening record (one more digest over the file's bytes); on unless switched off. Between
    // runs only.
    void SetVerifyCodes(bool wanted) { verifyCodes = wanted; }

    // Starts a run on the worker thread: 0, or -1 when the thread was not created or a run is
    // still going (nothing is posted then). A run that has posted WM_OPENING_FINISHED may still be
    // writing its closing record; Start then waits for it instead of refusing the new opening.
    int Start();
    // 0, or 1 when the last run did not fetch the rules.
    int GetOpeningError() const { return openingError.load(); }
    // Why the rules were not fetched (result, code, server and the transport's reason); read it
    // after the run was joined.
    const std::wstring& GetRulesFailure() const { return rulesFailure; }

    // For a window that closes during a run: from its return on the worker starts no new call
    // into the window, the list or the output sink (a call already in progress finishes; the
    // window's implementations answer it), and every later message box counts as not shown, so
    // the run ends at its next question. Does not block.
    void Detach();
    // An interrupt (SIGINT, SIGTERM): the run stops after the file in hand, says so and writes
    // the cancellation's record. Safe from any thread; does not block.
    void RequestStop() { stopRequested.store(true); }
    // Waits until the worker has ended. Not from inside the worker's own calls.
    void Join();
    bool IsRunning() const { return running.load(); }

    // After a run (Join first): how it ended, the worker's exit code (0, or -2 when an exception
    // ended it) and the holders with their statuses.
    COpeningEnd GetLastEnd() const { return lastEnd.load(); }
    int GetWorkerExitCode() const { return workerExitCode.load(); }
    const std::vector<std::unique_ptr<CBidFileHolder>>& Files() const { return files; }
    // The files of the last run's opening record; empty paths when it wrote none.
    const CRecordFiles& GetLastRecord() const { return lastRecord; }

    // The first holder on row shows its signer's certificate: 0, or -1 when no holder has the row.
    int ShowSignCertForRow(int row) const;

    void OutputLine(const std::wstring& text);
    void ShowStatus(const CBidFileHolder& holder);
    void ShowDetails(const CBidFileHolder& holder);

    // The whole opening; runs on the worker thread.
    void RunOpening();

private:
    // An auto-reset event: Wait returns once per Set.
    class CStartEvent
    {
    public:
        void Set();
        void Wait();

    private:
        std::mutex mutex;
        std::condition_variable signalled;
        bool set = false;
    };

    void WorkerMain();
    // What a run that threw still owes: the finished message, the wait cursor and a record.
    void EndAfterFailure();
    int Ask(const std::wstring& text, const std::wstring& caption, unsigned type);
    void PostFinished(int wParam);
    void SetWaitCursor(bool on);

    const COpeningTimings timings;
    std::vector<std::unique_ptr<CBidFileHolder>> files;
    std::atomic<IBidFileList*> listControl { nullptr };
    std::wstring projectNumber;
    bool verifyCodes = true;
    std::thread worker;
    CStartEvent startEvent;
    std::atomic<IOpeningWindow*> notifyWindow { nullptr };
    std::atomic<int> openingError { 0 };
    std::wstring rulesFailure; // written by the worker only, read after Join
    CRecordFiles lastRecord; // likewise
    std::atomic<CMsgOutput*> outputSink { nullptr };
    std::atomic<bool> running { false };
    std::atomic<bool> finishPosted { false };
    std::atomic<COpeningEnd> lastEnd { COpeningEnd::NotRun };
    std::atomic<int> workerExitCode { 0 };
    std::atomic<bool> stopRequested { false };

    friend class COpeningRun;
};
