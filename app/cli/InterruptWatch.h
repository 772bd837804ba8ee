// SIGINT and SIGTERM for kelvane-cli. Both are blocked in every thread and taken by a thread of
// their own, so that an opening or an import stops after the file in hand (its output complete,
// its record written) instead of dying halfway through a file. A second signal ends the program
// at once, as the operator then expects.
#pragma once

#include <functional>

// Blocks the two signals for the calling thread and every thread it starts later, and starts the
// watching thread. Call first in main, before any other thread exists.
void WatchInterrupts();

// What the first signal does, run on the watching thread; empty for nothing. Once this returns,
// an earlier action is no longer running and will not run again.
void SetInterruptAction(std::function<void()> action);
