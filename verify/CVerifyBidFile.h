// The import's verification: fetches the tender's rules for the project, then takes the chosen
// bid files one by one: opens each with the sealed-file decryptor, checks its structure, its
// signature and that the tender's trust anchors vouch for its signer, holds its header (threshold
// and openers) to the rules file embedded in it, compares that rules file with the fetched one
// (unless the settings switch the comparison off), and copies every file that passes into the
// package folder. A file
// that fails is reported and left out; the others go on. Only a failed rules fetch ends the run.
// Every step writes a line to the output sink and every outcome is submitted as an operation
// record.
//
// The caller (the progress window, kelvane-cli) fills the work order and calls Start; the run goes
// on the object's worker thread, which talks to the outside only through the window interface
// (its questions and the closing notification) and the output sink.
#pragma once

#include "app/CMsgOutput.h"
#include "app/IPrompt.h"
#include "opening/FileChecks.h"
#include "opening/OpeningInterfaces.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The progress window of an import, as the worker sees it. Ask (from IPrompt) is called on the
// worker and blocks it until answered: the replace question and the closing "check_count".
class IVerifyWindow : public IPrompt
{
public:
    // WM_VERIFY_FINISHED, posted once per run: (0, the code of the last open, verification or
    // comparison step) when the whole list was processed; (1, the rules library's code) when the
    // rules could not be fetched and no file was touched. Must not block the worker.
    virtual void PostVerifyFinished(int wParam, int lParam) = 0;
};

// The progress window's answers: 1 when the list was processed, 2 when the list was empty or the
// rules could not be fetched. The import command refreshes and shows the package only on 1.
inline constexpr int kVerifyProcessed = 1;
inline constexpr int kVerifyCancelled = 2;

// The outcome of one file of the list.
struct CVerifiedFile
{
    std::wstring path;
    // 0 when it passed every check; else the code of the step that failed (for a declined or
    // failed copy the checks' 0).
    int code = 0;
    bool imported = false;
    // open, structure, embedded_rules, rules_comparison and copy, as far as the file came.
    CFileChecks checks;
};

class CVerifyBidFile
{
public:
    CVerifyBidFile() = default;
    // Waits for a run in progress.
    ~CVerifyBidFile();
    CVerifyBidFile(const CVerifyBidFile&) = delete;
    CVerifyBidFile& operator=(const CVerifyBidFile&) = delete;

    void SetProjectNumber(const std::wstring& number) { projectNumber = number; }
    void SetPackageNumber(const std::wstring& number) { packageNumber = number; }
    void AddFile(const std::wstring& fullPath) { files.push_back(fullPath); }
    void SetOutputSink(CMsgOutput* sink) { outputSink = sink; }
    void SetNotifyWindow(IVerifyWindow* window) { notifyWindow = window; }
    // Each file's verification code from the structure check's read, in its checks (one more
    // digest over the file's bytes).
    void SetVerifyCodes(bool wanted) { verifyCodes = wanted; }

    // Starts the run on the worker: 0; kVerifyCancelled at once, with no request, folder or
    // record, when the list is empty; -1 when a run is still going or no thread could be made.
    int Start();
    // An interrupt: the run stops after the file in hand; the files not reached are not imported.
    // Safe from any thread.
    void RequestStop() { stopRequested.store(true); }
    // Waits until the worker has ended (after its closing message). Not from the worker's calls.
    void Join();

    // After Join: each file's outcome in list order (empty when the rules were not fetched), and
    // the destination folder with its trailing "/".
    const std::vector<CVerifiedFile>& Results() const { return results; }
    const std::wstring& GetDestinationFolder() const { return destination; }
    // After Join: true when the rules were fetched and every file was imported.
    bool AllImported() const;

    // The whole run; on the worker thread.
    void RunVerify();

private:
    void Output(const std::wstring& line) const;
    int Ask(const std::wstring& text, const std::wstring& caption, unsigned type) const;

    std::wstring projectNumber;
    std::wstring packageNumber;
    std::vector<std::wstring> files;
    CMsgOutput* outputSink = nullptr;
    IVerifyWindow* notifyWindow = nullptr;
    std::thread worker;
    std::atomic<bool> running { false };
    std::atomic<bool> stopRequested { false };
    bool rulesFetched = false;
    bool verifyCodes = false;
    std::wstring destination;
    std::vector<CVerifiedFile> results;
};

// The headless progress window: forwards questions to a prompt and lets the caller wait for the
// closing notification, as the modal loop of the window does.
class CVerifyWaiter : public IVerifyWindow
{
public:
    explicit CVerifyWaiter(IPrompt* operatorPrompt)
        : prompt(operatorPrompt)
    {
    }

    int Ask(const std::wstring& text, const std::wstring& caption, unsigned type) override;
    void PostVerifyFinished(int wParam, int lParam) override;

    // Blocks until WM_VERIFY_FINISHED; then kVerifyProcessed or kVerifyCancelled.
    int WaitForResult();
    // How many times WM_VERIFY_FINISHED came, and its last parameters.
    int PostCount() const;
    int LastWParam() const;
    int LastLParam() const;

private:
    IPrompt* prompt;
    mutable std::mutex mutex;
    std::condition_variable posted;
    int posts = 0;
    int wParam = 0;
    int lParam = 0;
};

// Runs an import as the import commands do: the list, the sink and the numbers into a
// CVerifyBidFile, started and waited for. Answers kVerifyProcessed or kVerifyCancelled.
int RunVerifyBidFile(CVerifyBidFile& verify, IPrompt* prompt);
