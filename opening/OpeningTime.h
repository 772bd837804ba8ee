// The times of an opening. The opening time in the rules is Beijing time (UTC+8) and the
// time-stamp authority answers in UTC, which becomes Beijing time by adding 8 hours. Both are
// kept as wall-clock seconds: the date and time digits counted as if they were UTC (timegm), and
// shown again with gmtime. The workstation's own time zone never enters, so the comparison
// decides alike in every zone and across daylight-saving changes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Year, month, day, hour, minute and second, each pair separated by any one character
// ("2024-05-06 09:30:00", "2024/05/06/09/30/00"). Nothing when fewer than six numbers are read
// or they are no valid date and time.
std::optional<std::int64_t> ParseOpeningTime(std::string_view text);

// A time-stamp authority's time "YYYYMMDDhhmmss" and one more character (the "Z"), as Beijing
// wall-clock seconds. Nothing when the text does not read so or is no valid date and time.
std::optional<std::int64_t> ParseTimeStampTime(std::string_view text);

// Wall-clock seconds built from the six numbers, or nothing when they are not a date and time
// (month 13, 30 February, hour 24 ...). Years 1970 to 9999.
std::optional<std::int64_t> WallClockSeconds(int year, int month, int day, int hour, int minute, int second);

// Formats wall-clock seconds with strftime's format ("%Y-%m-%d %H:%M:%S").
std::wstring FormatWallClock(std::int64_t seconds, const char* format = "%Y-%m-%d %H:%M:%S");

inline constexpr std::int64_t kBeijingOffsetSeconds = 8 * 3600;
