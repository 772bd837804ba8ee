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
    std::string command;
    std::string project;
    std::string package;
    std::vector<std::string> files;
};

void PrintUsage(std::FILE* out);

// The options of argv; empty after a message on standard error when they cannot be read. -h and
// --help print the usage and end the program with kAllDone.
std::optional<COptions> ParseOptions(int argc, char** argv);
