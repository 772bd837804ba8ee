#include "WallClock.h"

#include <ctime>

namespace kelvane {

std::optional<std::int64_t> WallClockSeconds(int year, int month, int day, int hour, int minute, int second)
{
    if (year < 1970 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23
        || minute < 0 || minute > 59 || second < 0 || second > 59)
        return std::nullopt;
    std::tm fields {};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    const std::time_t seconds = timegm(&fields);
    // timegm rolls 30 February over into March; such a day is refused, not moved.
    if (fields.tm_mday != day || fields.tm_mon != month - 1)
        return std::nullopt;
    return static_cast<std::int64_t>(seconds);
}

} // namespace kelvane
