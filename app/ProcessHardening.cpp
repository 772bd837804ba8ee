#include "app/ProcessHardening.h"

#include <sys/prctl.h>
#include <sys/resource.h>

bool DisableCoreDumps()
{
    const bool notDumpable = ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
    const struct rlimit none
    {
        0, 0
    };
    const bool noCoreLimit = ::setrlimit(RLIMIT_CORE, &none) == 0;
    return notDumpable && noCoreLimit;
}
