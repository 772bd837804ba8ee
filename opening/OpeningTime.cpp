#include "opening/OpeningTime.h"

#include "app/TextConversion.h"

#include <cstdio>
#include <ctime>

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

std::optional<std::int64_t> ParseOpeningTime(std::string_view text)
{
    const std::string terminated(text);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char separator[5] = {};
    if (std::sscanf(terminated.c_str(), "%d%c%d%c%d%c%d%c%d%c%d", &year, &separator[0], &month, &separator[1],
            &day, &separator[2], &hour, &separator[3], &minute, &separator[4], &second)
        != 11)
        return std::nullopt;
    return WallClockSeconds(year, month, day, hour, minute, second);
}

std::optional<std::int64_t> ParseTimeStampTime(std::string_view text)
{
    const std::string terminated(text);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char zone = 0;
    if (std::sscanf(
            terminated.c_str(), "%4d%2d%2d%2d%2d%2d%c", &year, &month, &day, &hour, &minute, &second, &zone)
        != 7)
        return std::nullopt;
    const auto utc = WallClockSeconds(year, month, day, hour, minute, second);
    if (!utc)
        return std::nullopt;
    return *utc + kBeijingOffsetSeconds;
}

std::wstring FormatWallClock(std::int64_t seconds, const char* format)
{
    const std::time_t value = static_cast<std::time_t>(seconds);
    std::tm fields {};
    if (gmtime_r(&value, &fields) == nullptr)
        return {};
    char text[64] = {};
    const size_t length = std::strftime(text, sizeof text, format, &fields);
    return AnsiToWide(std::string(text, length));
}
