// kelvane-cli import, verify and timestamp.
#include "app/cli/CliCommands.h"

#include "app/LanguageCatalogue.h"
#include "app/TextConversion.h"
#include "app/cli/CliJson.h"
#include "app/cli/InterruptWatch.h"
#include "audit/OperationRecord.h"
#include "audit/OperatorSignature.h"
#include "opening/TimeStampTest.h"
#include "verify/CBidFileReport.h"
#include "verify/ImportCommand.h"
#include "workspace/ImportInput.h"
#include "workspace/PackageFolder.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The decryptor is given the file's folder, so a bare name becomes a path.
std::wstring AbsolutePath(const std::string& file)
{
    std::error_code error;
    const fs::path path = fs::absolute(file, error);
    return Utf8ToWide((error ? fs::path(file) : path).string());
}

} // namespace

// The window's import command, with the files, project and package of its dialog given on the
// command line.
int ImportCommand(const COptions& options, IPrompt& prompt, CMsgOutput& output)
{
    const CLanguageCatalogue& texts = CLanguageCatalogue::Instance();
    CImportOrder order { Utf8ToWide(options.project), Utf8ToWide(options.package), {}, L"导入标书操作开始" };
    if (const char* key = CheckImportInput(order.project, order.package, options.files.size())) {
        std::fprintf(stderr, "kelvane-cli: %s\n", WideToUtf8(texts.GetText(key)).c_str());
        return kCouldNotRun;
    }
    if (CheckOperatorCert() != 1)
        return kCouldNotRun;
    for (const std::string& file : options.files)
        order.files.push_back(AbsolutePath(file));

    CVerifyBidFile verify;
    verify.SetVerifyCodes(options.json);
    const int run = RunImport(verify, order, &output, [&prompt](CVerifyBidFile& started) {
        SetInterruptAction([&started] { started.RequestStop(); });
        const int result = RunVerifyBidFile(started, &prompt);
        SetInterruptAction(nullptr);
        return result;
    });
    if (run == kImportNotStarted) {
        std::fprintf(stderr, "kelvane-cli: the start of the import was not accepted by the log service: %s\n",
            EscapeControlCharacters(std::string_view(LastSubmissionFailure())).c_str());
        return kCouldNotRun;
    }
    if (run != kVerifyProcessed)
        return kCouldNotRun;
    if (options.json) {
        AddImportedFiles(order.files, verify);
        return verify.AllImported() ? kAllDone : kSomeFailed;
    }

    // The window now shows the package with its new files.
    std::printf("%s\n", WideToUtf8(PackageFolder(order.project, order.package)).c_str());
    for (const CVerifiedFile& file : verify.Results()) {
        std::printf("  %-8s  %s\n", file.imported ? "imported" : "refused", WideToUtf8(file.path).c_str());
    }
    return verify.AllImported() ? kAllDone : kSomeFailed;
}

int VerifyCommand(const COptions& options)
{
    if (options.files.size() != 1) {
        std::fputs("kelvane-cli: verify needs exactly one FILE\n", stderr);
        return kCouldNotRun;
    }
    CBidFileReport report;
    report.SetPath(AbsolutePath(options.files.front()));
    report.Verify();
    const bool passed = report.GetFormatResult() == CBidFileReport::Check::Passed
        && report.GetSignResult() == CBidFileReport::Check::Passed;
    // A script that keeps only standard error still learns why.
    if (!passed)
        std::fprintf(stderr, "kelvane-cli: %s: %s\n", options.files.front().c_str(),
            WideToUtf8(report.GetFailureReason()).c_str());
    if (options.json) {
        AddVerifiedFile(report);
        return passed ? kAllDone : kSomeFailed;
    }
    const CLanguageCatalogue& texts = CLanguageCatalogue::Instance();
    auto line = [&](const char* key, const std::wstring& value) {
        std::printf("%s: %s\n", WideToUtf8(texts.GetText(key)).c_str(), WideToUtf8(value).c_str());
    };
    line("bidder_file", report.GetPath());
    line("verify_verifycode", report.GetVerifyCode());
    line("bidder_format", CBidFileReport::ResultMark(report.GetFormatResult()));
    // The reason follows the mark it explains, on the same line.
    const std::wstring& reason = report.GetFailureReason();
    line("bidder_signdata",
        std::wstring(CBidFileReport::ResultMark(report.GetSignResult()))
            + (reason.empty() ? L"" : L" " + reason));
    line("bidder", report.GetBidder());
    return passed ? kAllDone : kSomeFailed;
}

int TimeStampCommand(CMsgOutput& output)
{
    return RunTimeStampTest(output) ? kAllDone : kCouldNotRun;
}
