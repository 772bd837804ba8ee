// The progress bar of a long sealing on standard error when that is a terminal (a log file or a
// pipe gets no carriage returns), and the way an interruption reaches the sealer: the bar's answer
// stops it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <signal.h>
#include <unistd.h>

namespace kelvane::seal {

class CProgress
{
public:
    CProgress(bool quiet, const volatile sig_atomic_t& interruptFlag)
        : show(!quiet && isatty(STDERR_FILENO) == 1)
        , interrupted(interruptFlag)
    {
    }
    bool Update(uint64_t done, uint64_t total)
    {
        // Small bids seal in a blink; the bar is for inputs that take a while.
        if (show && total >= (64u << 20)) {
            const int percent = static_cast<int>(done * 100 / total);
            if (percent != lastPercent) {
                lastPercent = percent;
                std::fprintf(stderr, "\rsealing: %3d%% of %llu MiB", percent,
                    static_cast<unsigned long long>(total >> 20));
                std::fflush(stderr);
                ended = false;
            }
        }
        return interrupted == 0;
    }
    void End()
    {
        if (lastPercent >= 0 && !ended) {
            std::fputc('\n', stderr);
            ended = true;
        }
    }

private:
    bool show;
    int lastPercent = -1;
    bool ended = true;
    const volatile sig_atomic_t& interrupted;
};

} // namespace kelvane::seal
