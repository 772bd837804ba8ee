// The command-line reader of the programs without a window: the conventions an operator's scripts
// rely on (--opt=value, options after operands, "--"), and what ends the program.
#include "app/cli/CommandLine.h"

#include <gtest/gtest.h>

namespace {

struct CommandLineCase
{
    const char* name;
    std::vector<std::string> arguments; // after the program's name
    std::optional<int> exitStatus;
    std::string project;
    bool yes;
    std::vector<std::string> operands;
};

class CommandLineReads : public testing::TestWithParam<CommandLineCase>
{
};

TEST_P(CommandLineReads, TheOptionsAndOperandsOfAScript)
{
    const CommandLineCase& expected = GetParam();
    std::vector<std::string> storage { "kelvane-test" };
    storage.insert(storage.end(), expected.arguments.begin(), expected.arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    std::string project;
    bool yes = false;
    const CCommandLine line = ReadCommandLine("kelvane-test", "usage: kelvane-test\n",
        {
            { "project", true,
                [&project](const std::string& value) {
                    project = value;
                    return value != "refused";
                } },
            { "yes", false,
                [&yes](const std::string&) {
                    yes = true;
                    return true;
                } },
        },
        static_cast<int>(storage.size()), argv.data());
    EXPECT_EQ(line.exitStatus, expected.exitStatus);
    if (!expected.exitStatus) {
        EXPECT_EQ(project, expected.project);
        EXPECT_EQ(yes, expected.yes);
        EXPECT_EQ(line.operands, expected.operands);
    }
}

INSTANTIATE_TEST_SUITE_P(Conventions, CommandLineReads,
    testing::Values(
        CommandLineCase { "SpacedValue", { "--project", "P", "open" }, {}, "P", false, { "open" } },
        CommandLineCase {
            "EqualsValue", { "--project=P", "open", "a b.bidx" }, {}, "P", false, { "open", "a b.bidx" } },
        CommandLineCase { "OptionsAfterOperands", { "open", "x.bidx", "--yes", "--project", "P" }, {}, "P",
            true, { "open", "x.bidx" } },
        CommandLineCase { "DoubleDashEndsOptions", { "verify", "--", "--yes", "-x.bidx" }, {}, "", false,
            { "verify", "--yes", "-x.bidx" } },
        CommandLineCase { "Help", { "open", "--help" }, 0, "", false, {} },
        CommandLineCase { "ShortHelp", { "-h" }, 0, "", false, {} },
        CommandLineCase { "Version", { "--version", "--bogus" }, 0, "", false, {} },
        CommandLineCase { "UnknownOption", { "--bogus", "open" }, 2, "", false, {} },
        CommandLineCase { "MissingValue", { "open", "--project" }, 2, "", false, {} },
        CommandLineCase { "ValueRefused", { "--project=refused" }, 2, "", false, {} }),
    [](const testing::TestParamInfo<CommandLineCase>& testCase) { return std::string(testCase.param.name); });

} // namespace
