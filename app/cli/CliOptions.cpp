#include "app/cli/CliOptions.h"

#include <cstdlib>

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
               "exit status: 0 all done, 1 some files failed or were cancelled or records wait for the log "
               "service, 2 could not run\n",
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
