// Core dumps off: a dump of kelvane or kelvane-cli would hold the PINs typed into it. Checked in a
// child, so that the test program itself stays dumpable.
#include "app/ProcessHardening.h"
#include "tests/support/ChildProcess.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>

TEST(ProcessHardening, NoCoreDumpAndTheProgramStillFindsItself)
{
    const auto outcome = RunInChild([] {
        const bool set = DisableCoreDumps();
        struct rlimit core
        {
        };
        ::getrlimit(RLIMIT_CORE, &core);
        // The language files and the rules library are found beside /proc/self/exe.
        std::error_code error;
        const bool self = !std::filesystem::read_symlink("/proc/self/exe", error).empty() && !error;
        return std::to_string(set) + " dumpable=" + std::to_string(::prctl(PR_GET_DUMPABLE))
            + " core=" + std::to_string(core.rlim_cur) + "/" + std::to_string(core.rlim_max)
            + " self=" + std::to_string(self);
    });
    ASSERT_TRUE(outcome);
    EXPECT_EQ(*outcome, "1 dumpable=0 core=0/0 self=1");
}
