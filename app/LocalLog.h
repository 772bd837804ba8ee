// The local log: a daily text file <config>/QUARN/logs/rmw/YYYY-MM-DD.log that keeps a copy of
// every operation record. Lines are "YYYY-MM-DD hh:mm:ss.mmm LEVEL   message"; a line ends only
// where the caller's message puts "\n". Safe to use from any thread; writes never interleave.
#pragma once

#include <string>

// Level 1 "ERROR   ", 2 "WARNING ", 3 "INFO    ", 4 "DEBUG   ". Other numbers are never written.

// Switches the log on (every level) when setting is exactly "true", else off. The first call
// that switches it on fixes the file of the day; later calls only change the level. Returns
// false, changing nothing, when the log folder cannot be prepared.
bool InitLocalLog(const std::wstring& setting);

// Appends one line (at most 8191 bytes; a longer one is cut at a character boundary).
// Returns 1 when the line was written or its level is switched off, 0 when nothing was written
// (not initialised, unknown level, file not opened, write error).
int WriteLocalLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The file that lines go to, empty until logging was first switched on.
std::string GetLocalLogPath();
