// kelvane-cli open: the window's decrypt command over the files of one package folder.
#include "app/LanguageCatalogue.h"
#include "app/TextConversion.h"
#include "app/Utility.h"
#include "app/cli/CliCommands.h"
#include "app/cli/CliJson.h"
#include "app/cli/InterruptWatch.h"
#include "audit/OperatorSignature.h"
#include "opening/BidStatus.h"
#include "opening/COpeningManager.h"
#include "workspace/PackageFolder.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The window's part for an opening run: questions go to the prompt, the end is a latch that
// the command waits on.
class CConsoleOpeningWindow : public IOpeningWindow
{
public:
    explicit CConsoleOpeningWindow(IPrompt& operatorPrompt)
        : prompt(operatorPrompt)
    {
    }

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
    void SetWaitCursor(bool) override { }

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

// The bid files to open: the named ones (a bare name or a path inside the package folder), else
// every .bidx file of the folder by name. Empty with a message when a named file is not there.
std::optional<std::vector<std::wstring>> SelectFiles(
    const fs::path& package, const std::vector<std::string>& named)
{
    std::vector<std::wstring> names;
    if (named.empty()) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(package, error)) {
            if (entry.is_regular_file() && entry.path().extension() == ".bidx")
                names.push_back(Utf8ToWide(entry.path().filename().string()));
        }
        if (error) {
            std::fprintf(
                stderr, "kelvane-cli: cannot list %s: %s\n", package.c_str(), error.message().c_str());
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

// The columns a character takes on a terminal: 2 for the wide East Asian ones (CJK, Hangul,
// full-width forms), 0 for combining marks, 1 for the rest.
int DisplayWidth(wchar_t c)
{
    const auto in = [c](unsigned first, unsigned last) {
        return static_cast<unsigned>(c) >= first && static_cast<unsigned>(c) <= last;
    };
    if (in(0x0300, 0x036F) || in(0x200B, 0x200F) || in(0xFE00, 0xFE0F))
        return 0;
    if (in(0x1100, 0x115F) || in(0x2E80, 0x303E) || in(0x3041, 0x33FF) || in(0x3400, 0x4DBF)
        || in(0x4E00, 0x9FFF) || in(0xA000, 0xA4CF) || in(0xAC00, 0xD7A3) || in(0xF900, 0xFAFF)
        || in(0xFE30, 0xFE4F) || in(0xFF00, 0xFF60) || in(0xFFE0, 0xFFE6) || in(0x20000, 0x3FFFD))
        return 2;
    return 1;
}

// The file-name column of the list.
constexpr int kNameColumns = 40;

// text in UTF-8, followed by blanks up to columns terminal columns (a Chinese name takes two
// columns a character, so padding by bytes or characters would misalign the list).
std::string PaddedToWidth(const std::wstring& text, int columns)
{
    int width = 0;
    for (const wchar_t c : text)
        width += DisplayWidth(c);
    return WideToUtf8(text) + std::string(static_cast<size_t>(std::max(columns - width, 0)), ' ');
}

} // namespace

int OpenCommand(const COptions& options, IPrompt& prompt, CMsgOutput& output)
{
    if (options.project.empty() || options.package.empty()) {
        std::fputs("kelvane-cli: open needs --project and --package\n", stderr);
        return kCouldNotRun;
    }
    for (const auto& [number, key] : { std::pair { &options.project, "prognum_invalid" },
             std::pair { &options.package, "package_invalid" } }) {
        if (!IsSafeFolderName(Utf8ToWide(*number))) {
            std::fprintf(
                stderr, "kelvane-cli: %s\n", WideToUtf8(CLanguageCatalogue::Instance().GetText(key)).c_str());
            return kCouldNotRun;
        }
    }
    const std::wstring folder = PackageFolder(Utf8ToWide(options.project), Utf8ToWide(options.package));
    if (!fs::is_directory(WideToUtf8(folder))) {
        std::fprintf(
            stderr, "kelvane-cli: the package folder %s does not exist\n", WideToUtf8(folder).c_str());
        return kCouldNotRun;
    }
    const auto names = SelectFiles(WideToUtf8(folder), options.files);
    if (!names)
        return kCouldNotRun;
    if (names->empty()) {
        std::fprintf(stderr, "kelvane-cli: %s\n",
            WideToUtf8(CLanguageCatalogue::Instance().GetText("select_decryptfile")).c_str());
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
        std::fprintf(stderr, "kelvane-cli: %s: %s\n",
            WideToUtf8(CLanguageCatalogue::Instance().GetText("fail_to_get_rule")).c_str(),
            WideToUtf8(manager.GetRulesFailure()).c_str());
    }

    // The list as the window would show it, or the document.
    bool allDecrypted = true;
    if (options.json)
        AddOpenedFiles(manager);
    for (const auto& holder : manager.Files()) {
        const int row = holder->GetRow();
        allDecrypted = allDecrypted && holder->GetBidStatus() == BidStatus::Decrypted;
        if (options.json)
            continue;
        std::printf("  %s  %s  %s  %s\n", PaddedToWidth(holder->GetFileName(), kNameColumns).c_str(),
            WideToUtf8(list.Cell(row, kColumnStatus)).c_str(),
            WideToUtf8(list.Cell(row, kColumnBidder)).c_str(),
            WideToUtf8(list.Cell(row, kColumnOpenerPresence)).c_str());
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
