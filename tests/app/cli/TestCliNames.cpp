// kelvane-cli as a scripter runs it: project and package numbers from the command line that could
// name a folder outside the working directory are refused before anything is written.
#include "tests/support/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace {

struct CNamesCase
{
    const char* command;
    const char* project;
    const char* package;
    const char* refusal; // the start of the message, in the English session
};

class CliNames : public testing::TestWithParam<CNamesCase>
{
};

TEST_P(CliNames, AreRefusedBeforeAnythingIsWritten)
{
    CTempDir root;
    const fs::path work = root / "deep" / "work";
    const fs::path bid = root.WriteFile("in/X_P1_L1.bidx", "not a bid");
    root.WriteFile("config/QUARN/rmw/Setting.ini", "[WorkingDir]\npath=" + work.string() + "\n");
    const CNamesCase& c = GetParam();
    const std::string command = "LANG=en_US.UTF-8 XDG_CONFIG_HOME='" + (root / "config").string()
        + "' KELVANE_PKCS11_MODULE=/nonexistent " + KELVANE_BINARY_DIR "/bin/kelvane-cli --yes " + c.command
        + " --project '" + c.project + "' --package '" + c.package + "' '" + bid.string() + "' >/dev/null 2>'"
        + (root / "stderr").string() + "'";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_EQ(ReadFileBytes(root / "stderr").rfind(std::string("kelvane-cli: ") + c.refusal, 0), 0u)
        << ReadFileBytes(root / "stderr");
    EXPECT_FALSE(fs::exists(work)) << "nothing is made below the working directory";
    EXPECT_FALSE(fs::exists(root / "deep" / "escape")) << "nor beside it";
}

INSTANTIATE_TEST_SUITE_P(Hostile, CliNames,
    testing::Values(CNamesCase { "import", "../escape", "L1", "The project number" },
        CNamesCase { "import", "P1", "..", "The package number" },
        CNamesCase { "import", "P1", "L1\x1b[2J", "The package number" },
        CNamesCase { "open", "..", "escape", "The project number" },
        CNamesCase { "open", "P1", "a/b", "The package number" }));

} // namespace
