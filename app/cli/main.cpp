// kelvane-cli: the workstation's commands without a window, for scripts and headless machines.
// It reads the same settings and runs the same steps as the window's commands: the operator's
// certificate check, the operation records, the opening session.
//
//   kelvane-cli [--yes] open --project P --package L [FILE...]
//   kelvane-cli [--yes] import --project P --package L FILE...
//   kelvane-cli verify FILE
//   kelvane-cli [--yes] timestamp
//   kelvane-cli check
//   kelvane-cli [--yes] [--json] drill --project P
//   kelvane-cli record verify [--files] [--ca PEM] [--tsa-ca PEM] DIR-or-JSON
//
// Exit status: 0 when everything asked was done, 1 when the session ran to its end but some files
// failed or were cancelled, or operation records wait for the log service, 2 when it could not
// run (rules, time, certificates, usage). check: 0 ready for an opening, 1 not ready, 2 usage.
#include "app/LanguageCatalogue.h"
#include "app/LocalLog.h"
#include "app/PkiSettings.h"
#include "app/ProcessHardening.h"
#include "app/SettingFile.h"
#include "app/cli/CConsoleOutput.h"
#include "app/cli/CConsolePrompt.h"
#include "app/cli/CliCommands.h"
#include "app/cli/CliJson.h"
#include "app/cli/InterruptWatch.h"
#include "app/cli/PkiPrompts.h"
#include "audit/OperationRecord.h"
#include "audit/OperatorSignature.h"
#include "opening/CQuelvarLibrary.h"
#include "opening/RecordPdf.h"
#include "workspace/CrashLeftovers.h"
#include "workspace/PackageFolder.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <optional>

int main(int argc, char** argv)
{
    // Before any PIN can be typed: no core dump may hold one.
    DisableCoreDumps();
    WatchInterrupts();
    const COptions options = ParseOptions(argc, argv);
    if (options.command.empty()) {
        PrintUsage(stderr);
        return kCouldNotRun;
    }
    if (options.json && options.command != "open" && options.command != "import"
        && options.command != "verify" && options.command != "drill") {
        std::fputs("kelvane-cli: --json is for open, import, verify and drill\n", stderr);
        return kCouldNotRun;
    }
    // The window's start: texts, then the local log as the settings say.
    CLanguageCatalogue::Instance().Load();
    // The check only reads and asks: no local log, no leftovers removed, no records sent.
    if (options.command == "check")
        return CheckCommand(options);
    // A record is verified with the record and the anchors alone: no token, no service.
    if (options.command == "record")
        return RecordCommand(options);
    InitLocalLog(CSettingFile::Instance().GetWriteLocalLog());
    kelvane::SupplyPkiSettings();
    kelvane::InstallTerminalPkiPrompts();
    // What a killed import or opening left behind is partial and under no bid's name.
    RemoveCrashLeftovers(WorkingFolder());
    ResendPendingRecords();

    // With --json standard output holds the document alone: the progress lines go beside the questions.
    CConsoleOutput output(options.json ? stderr : stdout);
    // Questions go to standard error, beside the errors: standard output holds only results.
    CConsolePrompt console(std::cin, stderr);
    CUnattendedPrompt unattended(CLanguageCatalogue::Instance(), stderr);
    IPrompt& prompt = options.yes ? static_cast<IPrompt&>(unattended) : console;
    SetAuditPrompt(&prompt);

    int status = kCouldNotRun;
    if (options.command == "open" || options.command == "import" || options.command == "drill") {
        if (CQuelvarLibrary::Instance().Load() != 0) {
            std::fprintf(stderr, "kelvane-cli: %s\n", CQuelvarLibrary::Instance().Error().c_str());
            if (options.json)
                PrintJsonReport(options.command, kCouldNotRun, 0);
            return kCouldNotRun;
        }
        // The opening record's PDF is laid out with Qt's fonts, offscreen: no display is needed.
        std::optional<CPrintingGui> printing;
        if (options.command == "open") {
            printing.emplace();
            SetRecordPrinter(&PrintOpeningRecord);
        }
        if (options.command == "drill")
            status = DrillCommand(options, prompt, output);
        else
            status = options.command == "open" ? OpenCommand(options, prompt, output)
                                               : ImportCommand(options, prompt, output);
        SetRecordPrinter(nullptr);
    } else if (options.command == "verify") {
        status = VerifyCommand(options);
    } else if (options.command == "timestamp") {
        status = TimeStampCommand(output);
    } else {
        std::fprintf(stderr, "kelvane-cli: unknown command %s\n", options.command.c_str());
        PrintUsage(stderr);
    }
    SetAuditPrompt(nullptr);
    // A record the log service has not accepted is not done yet: it waits in the outbox. One more
    // try first: a record that waits to be signed can be signed once the operator's certificate
    // is held.
    const int waiting = ResendPendingRecords();
    if (waiting > 0) {
        std::fprintf(
            stderr, "kelvane-cli: %d operation records are waiting to be sent to the log service\n", waiting);
        status = std::max(status, static_cast<int>(kSomeFailed));
    }
    if (options.json)
        PrintJsonReport(options.command, status, std::max(waiting, 0));
    return status;
}
