// kelvane-cli drill: the openers' drill of a project.
#include "app/TextConversion.h"
#include "app/cli/CliCommands.h"
#include "app/cli/CliJson.h"
#include "opening/OpenersDrill.h"

#include <cstdio>

int DrillCommand(const COptions& options, IPrompt& prompt, CMsgOutput& output)
{
    if (options.project.empty() || !options.files.empty()) {
        std::fputs("kelvane-cli: drill needs --project P and nothing else\n", stderr);
        return kCouldNotRun;
    }
    COpenersDrill drill(prompt, &output);
    const CDrillReport& report = drill.Run(Utf8ToWide(options.project));
    if (options.json)
        AddDrillReport(report);
    if (report.end != CDrillEnd::Completed)
        return kCouldNotRun;
    return report.canProceed ? kAllDone : kSomeFailed;
}
