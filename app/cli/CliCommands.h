// kelvane-cli's commands, each the window's command with what its dialog asks given on the
// command line. Each answers an ExitStatus.
#pragma once

#include "app/cli/CliOptions.h"

class CMsgOutput;
class IPrompt;

// Opens the package's bid files (all .bidx files of the folder, or the named ones) and prints
// the list as the window would show it.
int OpenCommand(const COptions& options, IPrompt& prompt, CMsgOutput& output);
// Verifies the files and copies those that pass into the package folder; prints each outcome.
int ImportCommand(const COptions& options, IPrompt& prompt, CMsgOutput& output);
// The verification report of one bid file.
int VerifyCommand(const COptions& options);
// The time-stamp test.
int TimeStampCommand(CMsgOutput& output);
// Whether the workstation is ready for an opening: one report line per check; kAllDone when
// ready, kSomeFailed when a check failed. Asks no PIN and writes nothing.
int CheckCommand(const COptions& options);
// The openers' drill of the project: kAllDone when the opening can proceed, kSomeFailed when it
// cannot, kCouldNotRun when the drill did not come to the openers.
int DrillCommand(const COptions& options, IPrompt& prompt, CMsgOutput& output);
// record verify: checks each named opening record (a DIR: every record in it) and prints each
// check; kAllDone when all hold, kSomeFailed when one fails, kCouldNotRun for usage.
int RecordCommand(const COptions& options);
