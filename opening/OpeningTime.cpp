#include "opening/OpeningTime.h"

#include "app/TextConversion.h"

#include <cstdio>
#include <ctime>

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
