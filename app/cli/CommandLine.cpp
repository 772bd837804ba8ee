#include "CommandLine.h"

#include "app/Version.h"

#include <cstdio>
#include <getopt.h>

namespace {

// getopt_long's values: 1 is an operand, an option's index counts from kFirstOption, --help and
// --version come apart.
constexpr int kOperand = 1;
constexpr int kHelp = 900;
constexpr int kVersion = 901;
constexpr int kFirstOption = 1000;

CCommandLine UsageError(const char* program, const std::string& reason)
{
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program, reason.c_str(), program);
    return { 2, {} };
}

} // namespace

CCommandLine ReadCommandLine(const char* program, const char* usage,
    const std::vector<CCommandLineOption>& options, int argc, char** argv)
{
    std::vector<option> table;
    for (size_t i = 0; i < options.size(); ++i)
        table.push_back({ options[i].name, options[i].takesValue ? required_argument : no_argument, nullptr,
            kFirstOption + static_cast<int>(i) });
    table.push_back({ "help", no_argument, nullptr, kHelp });
    table.push_back({ "version", no_argument, nullptr, kVersion });
    table.push_back({ nullptr, 0, nullptr, 0 });

    CCommandLine result;
    opterr = 0; // our own messages
    optind = 0; // a fresh scan, also when called again
    // "-": operands come back in place and in order (as 1); ":": a missing value is told apart.
    for (;;) {
        const int found = getopt_long(argc, argv, "-:h", table.data(), nullptr);
        if (found == -1)
            break;
        if (found == 'h' || found == kHelp) {
            std::fputs(usage, stdout);
            return { 0, {} };
        }
        if (found == kVersion) {
            std::printf("%s %s\n", program, kKelvaneVersion);
            return { 0, {} };
        }
        if (found == ':')
            return UsageError(program, std::string(argv[optind - 1]) + " needs a value");
        if (found == '?')
            return UsageError(program, "unknown option " + std::string(argv[optind - 1]));
        if (found == kOperand) {
            result.operands.emplace_back(optarg);
            continue;
        }
        if (!options[static_cast<size_t>(found - kFirstOption)].take(optarg != nullptr ? optarg : ""))
            return { 2, {} };
    }
    // What follows "--".
    for (int i = optind; i < argc; ++i)
        result.operands.emplace_back(argv[i]);
    return result;
}
