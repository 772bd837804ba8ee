// kelvane-cli's command line: the options, the usage text and the exit statuses.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

enum ExitStatus : int
{
    kAllDone = 0,
    kSomeFailed = 1,
    kCouldNotRun = 2
};

struct COptions
{
    bool yes = false;
    // One JSON document on standard output instead of the lists (verify, import, open).
    bool json = false;
    // record verify: also every decrypted file's size and SHA-256.
    bool verifyFiles = false;
    // record verify: the anchors of the operator's certificate and of the time-stamp authorities
    // (PEM files) instead of the workstation's.
    std::string operatorCa;
    std::string tsaCa;
    std::string command;
    std::string project;
    std::string package;
    std::vector<std::string> files;
};

void PrintUsage(std::FILE* out);

// The options of argv. --help and --version answer and end the program with kAllDone, a command
// line that cannot be read ends it with kCouldNotRun after its reason on standard error.
COptions ParseOptions(int argc, char** argv);
