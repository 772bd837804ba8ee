// kelvane-cli: the workstation's commands without a window, for scripts and headless machines.
// It reads the same settings and runs the same steps as the window's commands: the operator's
// certificate check, the operation records, the opening session.
//
//   kelvane-cli [--yes] open --project P --package L [FILE...]
//   kelvane-cli [--yes] import --project P --package L FILE...
//   kelvane-cli verify FILE
//   kelvane-cli [--yes] timestamp
//
// Exit status: 0 when everything asked was done, 1 when the session ran to its end but some files
// failed or were cancelled, or operation records wait for the log service, 2 when it could not
// run (rules, time, certificates, usage).
#include "app/LanguageCatalogue.h"
#include "app/LocalLog.h"
#include "app/ProcessHardening.h"
#include "app/SettingFile.h"
#include "app/TextConversion.h"
#include "app/Utility.h"
#include "app/cli/CConsoleOutput.h"
#include "app/cli/CConsolePrompt.h"
#include "app/cli/InterruptWatch.h"
#include "audit/OperationRecord.h"
#include "audit/OperatorSignature.h"
#include "opening/BidStatus.h"
#include "opening/COpeningManager.h"
#include "opening/CQuelvarLibrary.h"
#include "opening/CTimeStampClient.h"
#include "opening/OpeningTime.h"
#include "verify/CBidFileReport.h"
#include "verify/CVerifyBidFile.h"
#include "workspace/CFolderFileCache.h"
#include "workspace/CrashLeftovers.h"
#include "workspace/ImportInput.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

enum ExitStatus : int { kAllDone = 0, kSomeFailed = 1, kCouldNotRun = 2 };

struct COptions
{
    bool yes = false;
    std::string command;
    std::string project;
    std::string package;
    std::vector<std::string> files;
};

void PrintUsage(std::FILE* out)
{
    std::fputs("usage: kelvane-cli [--yes] open --project P --package L [FILE...]\n"
               "       kelvane-cli [--yes] import --project P --package L FILE...\n"
               "       kelvane-cli verify FILE\n"
               "       kelvane-cli [--yes] timestamp\n"
               "  open       opens the package's bid files (all .bidx files, or the FILEs named)\n"
               "  import     verifies the FILEs and copies those that pass into the package folder\n"
               "  verify     prints a bid file's verification code, format and signature results (a failure\n"
               "             with its reason) and signer\n"
               "  timestamp  asks the time-stamp authorities for the present time\n"
               "  --yes      answer every question without asking (see README.md)\n"
               "exit status: 0 all done, 1 some files failed or were cancelled or records wait for the log service, 2 could not run\n",
        out);
}

std::optional<COptions> ParseOptions(int argc, char** argv)
{
    COptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kelvane-cli: %s needs a value\n", argument.c_str());
                return std::nullopt;
            }
            return std::string(argv[++i]);
        };
        if (argument == "--yes") {
            options.yes = true;
        } else if (argument == "-h" || argument == "--help") {
            PrintUsage(stdout);
            std::exit(kAllDone);
        } else if (argument == "--project" || argument == "--package") {
            const auto text = value();
            if (!text)
                return std::nullopt;
            (argument == "--project" ? options.project : options.package) = *text;
        } else if (argument.rfind("--", 0) == 0) {
            std::fprintf(stderr, "kelvane-cli: unknown option %s\n", argument.c_str());
            return std::nullopt;
        } else if (options.command.empty()) {
            options.command = argument;
        } else {
            options.files.push_back(argument);
        }
    }
    return options;
}

std::wstring Trim(const std::wstring& text)
{
    const auto first = text.find_first_not_of(L" \t\r\n");
    if (first == std::wstring::npos)
        return {};
    return text.substr(first, text.find_last_not_of(L" \t\r\n") - first + 1);
}

// The working directory from the settings, trimmed, with one trailing separator.
std::wstring WorkingDir()
{
    std::wstring dir = Trim(CSettingFile::Instance().GetWorkingDir());
    if (!dir.empty() && dir.back() != L'/')
        dir += L'/';
    return dir;
}

// The window's part for an opening run: questions go to the prompt, the end is a latch that
// main waits on.
class CConsoleOpeningWindow : public IOpeningWindow
{
public:
    explicit CConsoleOpeningWindow(IPrompt& prompt) : prompt(prompt) {}

    int Ask(const std::wstring& text, const std::wstring& caption, unsigned type) override
    {
        return prompt.Ask(text, caption, type);
    }
    void PostOpeningFinished(int wParam) override
    {
        std::lock_guard lock(mutex);
        finished = true;
        finishedWith = wParam;
        changed.notify_all();
    }
    void SetWaitCursor(bool) override {}

    int WaitUntilFinished()
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return finished; });
        return finishedWith;
    }

private:
    IPrompt& prompt;
    std::mutex mutex;
    std::condition_variable changed;
    bool finished = false;
    int finishedWith = 0;
};

// The list's columns as the opening fills them, printed as a table when the run has ended.
class CConsoleBidList : public IBidFileList
{
public:
    void SetItemText(int row, int column, const std::wstring& text) override
    {
        std::lock_guard lock(mutex);
        cells[{ row, column }] = text;
    }
    std::wstring Cell(int row, int column) const
    {
        std::lock_guard lock(mutex);
        const auto cell = cells.find({ row, column });
        return cell == cells.end() ? std::wstring() : cell->second;
    }

private:
    mutable std::mutex mutex;
    std::map<std::pair<int, int>, std::wstring> cells;
};

std::string Narrow(const std::wstring& text)
{
    return WideToUtf8(text);
}

// The bid files to open: the named ones (a bare name or a path inside the package folder), else
// every .bidx file of the folder by name. Empty with a message when a named file is not there.
std::optional<std::vector<std::wstring>> SelectFiles(const fs::path& package, const std::vector<std::string>& named)
{
    std::vector<std::wstring> names;
    if (named.empty()) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(package, error)) {
            if (entry.is_regular_file() && entry.path().extension() == ".bidx")
                names.push_back(Utf8ToWide(entry.path().filename().string()));
        }
        if (error) {
            std::fprintf(stderr, "kelvane-cli: cannot list %s: %s\n", package.c_str(), error.message().c_str());
            return std::nullopt;
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    for (const std::string& file : named) {
        const fs::path path(file);
        const bool inPackage = !path.has_parent_path()
            || fs::weakly_canonical(path.parent_path()) == fs::weakly_canonical(package);
        if (!inPackage || !fs::is_regular_file(package / path.filename())) {
            std::fprintf(stderr, "kelvane-cli: %s is not a file of the package folder %s\n", file.c_str(),
                package.c_str());
            return std::nullopt;
        }
        names.push_back(Utf8ToWide(path.filename().string()));
    }
    return names;
}

int Open(const COptions& options, IPrompt& prompt, CMsgOutput& output)
{
    if (options.project.empty() || options.package.empty()) {
        std::fputs("kelvane-cli: open needs --project and --package\n", stderr);
        return kCouldNotRun;
    }
    for (const auto& [number, key] : { std::pair { &options.project, "prognum_invalid" }, std::pair { &options.package, "package_invalid" } }) {
        if (!IsSafeFolderName(Utf8ToWide(*number))) {
            std::fprintf(stderr, "kelvane-cli: %s\n", Narrow(CLanguageCatalogue::Instance().GetText(key)).c_str());
            return kCouldNotRun;
        }
    }
    const std::wstring folder = WorkingDir() + Utf8ToWide(options.project) + L"/" + Utf8ToWide(options.package) + L"/";
    if (!fs::is_directory(WideToUtf8(folder))) {
        std::fprintf(stderr, "kelvane-cli: the package folder %s does not exist\n", WideToUtf8(folder).c_str());
        return kCouldNotRun;
    }
    const auto names = SelectFiles(WideToUtf8(folder), options.files);
    if (!names)
        return kCouldNotRun;
    if (names->empty()) {
        std::fprintf(stderr, "kelvane-cli: %s\n", Narrow(CLanguageCatalogue::Instance().GetText("select_decryptfile")).c_str());
        return kCouldNotRun;
    }
    // The window's decrypt command: the operator's certificate first.
    if (CheckOperatorCert() != 1)
        return kCouldNotRun;

    CConsoleOpeningWindow window(prompt);
    CConsoleBidList list;
    COpeningManager manager;
    manager.ClearFiles();
    manager.SetProjectNumber(Utf8ToWide(options.project));
    for (size_t row = 0; row < names->size(); ++row)
        manager.AddFile(static_cast<int>(row), folder + (*names)[row], folder + L"Open/");
    manager.SetNotifyWindow(&window);
    manager.SetListControl(&list);
    manager.SetOutputSink(&output);
    SetInterruptAction([&manager] { manager.RequestStop(); });
    if (manager.Start() != 0) {
        SetInterruptAction(nullptr);
        std::fputs("kelvane-cli: the opening could not be started\n", stderr);
        return kCouldNotRun;
    }
    window.WaitUntilFinished();
    manager.Join();
    SetInterruptAction(nullptr);
    if (manager.GetOpeningError() != 0) {
        std::fprintf(stderr, "kelvane-cli: %s\n", Narrow(CLanguageCatalogue::Instance().GetText("fail_to_get_rule")).c_str());
    }

    // The list as the window would show it.
    bool allDecrypted = true;
    for (const auto& holder : manager.Files()) {
        const int row = holder->GetRow();
        allDecrypted = allDecrypted && holder->GetBidStatus() == BidStatus::Decrypted;
        std::printf("  %-40s  %s  %s  %s\n", Narrow(holder->GetFileName()).c_str(),
            Narrow(list.Cell(row, kColumnStatus)).c_str(), Narrow(list.Cell(row, kColumnBidder)).c_str(),
            Narrow(list.Cell(row, kColumnOpenerPresence)).c_str());
    }
    switch (manager.GetLastEnd()) {
    case COpeningEnd::Completed:
        return allDecrypted ? kAllDone : kSomeFailed;
    case COpeningEnd::Cancelled:
    case COpeningEnd::NoFileVerified:
        return kSomeFailed;
    default:
        return kCouldNotRun;
    }
}

// The window's import command, with the files, project and package of its dialog given on the
// command line.
int Import(const COptions& options, IPrompt& prompt, CMsgOutput& output)
{
    const CLanguageCatalogue& texts = CLanguageCatalogue::Instance();
    std::wstring project = Utf8ToWide(options.project);
    std::wstring package = Utf8ToWide(options.package);
    if (const char* key = CheckImportInput(project, package, options.files.size())) {
        std::fprintf(stderr, "kelvane-cli: %s\n", Narrow(texts.GetText(key)).c_str());
        return kCouldNotRun;
    }
    if (CheckOperatorCert() != 1)
        return kCouldNotRun;
    if (SubmitOperationRecord(kLogTypeSuccess, GetLocalIpAddress(), "", L"导入标书操作开始") != 1) {
        std::fputs("kelvane-cli: the start of the import was not accepted by the log service\n", stderr);
        return kCouldNotRun;
    }

    CVerifyBidFile verify;
    for (const std::string& file : options.files) {
        std::error_code error;
        const fs::path path = fs::absolute(file, error);
        verify.AddFile(Utf8ToWide((error ? fs::path(file) : path).string()));
    }
    verify.SetOutputSink(&output);
    verify.SetProjectNumber(project);
    verify.SetPackageNumber(package);
    SetInterruptAction([&verify] { verify.RequestStop(); });
    const int run = RunVerifyBidFile(verify, &prompt);
    SetInterruptAction(nullptr);
    if (run != kVerifyProcessed)
        return kCouldNotRun;

    // The window now shows the package with its new files.
    const std::wstring folder = WorkingDir() + project + L"/" + package + L"/";
    CFolderFileCache::Instance().Rescan(folder);
    std::printf("%s\n", Narrow(folder).c_str());
    for (const CVerifiedFile& file : verify.Results()) {
        std::printf("  %-8s  %s\n", file.imported ? "imported" : "refused", Narrow(file.path).c_str());
    }
    return verify.AllImported() ? kAllDone : kSomeFailed;
}

// The verification report of one bid file.
int Verify(const COptions& options)
{
    if (options.files.size() != 1) {
        std::fputs("kelvane-cli: verify needs exactly one FILE\n", stderr);
        return kCouldNotRun;
    }
    // The decryptor is given the file's folder, so a bare name becomes a path.
    std::error_code error;
    const fs::path path = fs::absolute(options.files.front(), error);
    CBidFileReport report;
    report.SetPath(Utf8ToWide((error ? fs::path(options.files.front()) : path).string()));
    report.Verify();
    const CLanguageCatalogue& texts = CLanguageCatalogue::Instance();
    auto line = [&](const char* key, const std::wstring& value) {
        std::printf("%s: %s\n", Narrow(texts.GetText(key)).c_str(), Narrow(value).c_str());
    };
    line("bidder_file", report.GetPath());
    line("verify_verifycode", report.GetVerifyCode());
    line("bidder_format", CBidFileReport::ResultMark(report.GetFormatResult()));
    // The reason follows the mark it explains, on the same line.
    const std::wstring& reason = report.GetFailureReason();
    line("bidder_signdata",
        std::wstring(CBidFileReport::ResultMark(report.GetSignResult())) + (reason.empty() ? L"" : L" " + reason));
    line("bidder", report.GetBidder());
    const bool passed = report.GetFormatResult() == CBidFileReport::Check::Passed
        && report.GetSignResult() == CBidFileReport::Check::Passed;
    return passed ? kAllDone : kSomeFailed;
}

// The window's time-stamp test.
int TimeStamp(CMsgOutput& output)
{
    if (CheckOperatorCert() != 1)
        return kCouldNotRun;
    const CLanguageCatalogue& texts = CLanguageCatalogue::Instance();
    output.Output(texts.GetText("get_timestamping"), 1);
    const std::string address = GetLocalIpAddress();
    std::int64_t now = 0;
    if (CTimeStampClient().GetTimeStamp(&now) == 1) {
        output.Output(texts.GetText("get_timestmap_success"), 1);
        output.Output(texts.GetText("currenttime") + FormatWallClock(now, "%Y-%m-%d  %H:%M:%S"), 1);
        return kAllDone;
    }
    output.Output(texts.GetText("get_timestmap_fail"), 1);
    SubmitOperationRecord(0, address, "", L"获取时间戳失败");
    return kCouldNotRun;
}

} // namespace

int main(int argc, char** argv)
{
    // Before any PIN can be typed: no core dump may hold one.
    DisableCoreDumps();
    WatchInterrupts();
    const auto options = ParseOptions(argc, argv);
    if (!options || options->command.empty()) {
        PrintUsage(stderr);
        return kCouldNotRun;
    }
    // The window's start: texts, then the local log as the settings say.
    CLanguageCatalogue::Instance().Load();
    InitLocalLog(CSettingFile::Instance().GetWriteLocalLog());
    // What a killed import or opening left behind is partial and under no bid's name.
    RemoveCrashLeftovers(WorkingDir());
    ResendPendingRecords();

    CConsoleOutput output;
    CConsolePrompt console(std::cin, stdout);
    CUnattendedPrompt unattended(CLanguageCatalogue::Instance(), stdout);
    IPrompt& prompt = options->yes ? static_cast<IPrompt&>(unattended) : console;
    SetAuditPrompt(&prompt);

    int status = kCouldNotRun;
    if (options->command == "open" || options->command == "import") {
        if (CQuelvarLibrary::Instance().Load() != 0) {
            std::fprintf(stderr, "kelvane-cli: %s\n", CQuelvarLibrary::Instance().Error().c_str());
            return kCouldNotRun;
        }
        status = options->command == "open" ? Open(*options, prompt, output) : Import(*options, prompt, output);
    } else if (options->command == "verify") {
        status = Verify(*options);
    } else if (options->command == "timestamp") {
        status = TimeStamp(output);
    } else {
        std::fprintf(stderr, "kelvane-cli: unknown command %s\n", options->command.c_str());
        PrintUsage(stderr);
    }
    SetAuditPrompt(nullptr);
    // A record the log service has not accepted is not done yet: it waits in the outbox. One more
    // try first: a record that waits to be signed can be signed once the operator's certificate
    // is held.
    if (const int waiting = ResendPendingRecords(); waiting > 0) {
        std::fprintf(
            stderr, "kelvane-cli: %d operation records are waiting to be sent to the log service\n", waiting);
        status = std::max(status, static_cast<int>(kSomeFailed));
    }
    return status;
}
