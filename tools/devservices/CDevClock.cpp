#include "CDevClock.h"

#include <charconv>
#include <chrono>
#include <ctime>

void CDevClock::SetOffset(int64_t seconds)
{
    std::lock_guard lock(mutex);
    frozen = false;
    offset = seconds;
}

void CDevClock::Freeze(int64_t epochSeconds)
{
    std::lock_guard lock(mutex);
    frozen = true;
    frozenAt = epochSeconds;
}

void CDevClock::Reset()
{
    std::lock_guard lock(mutex);
    frozen = false;
    offset = 0;
}

int64_t CDevClock::Now() const
{
    std::lock_guard lock(mutex);
    if (frozen)
        return frozenAt;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::seconds>(now).count() + offset;
}

std::string CDevClock::Describe() const
{
    const int64_t now = Now();
    std::lock_guard lock(mutex);
    if (frozen)
        return "frozen at " + FormatUtc(now);
    return std::string("real time ") + (offset >= 0 ? "+" : "") + std::to_string(offset) + " s, now "
        + FormatUtc(now);
}

std::optional<int64_t> CDevClock::ParseSeconds(std::string_view text)
{
    int64_t seconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return seconds;
}

std::optional<int64_t> CDevClock::ParseUtc(std::string_view text)
{
    if (text.empty() || text.size() > 32)
        return std::nullopt;
    const bool allDigits = text.find_first_not_of("0123456789") == std::string_view::npos;
    if (allDigits && text.size() != 14)
        return ParseSeconds(text);
    // Keep only the digits: "2024-05-06T09:30:00Z", "2024-05-06 09:30:00" and "20240506093000Z"
    // all give the same fourteen digits.
    std::string digits;
    for (const char c : text) {
        if (c >= '0' && c <= '9')
            digits += c;
        else if (c != '-' && c != ':' && c != 'T' && c != ' ' && c != 'Z')
            return std::nullopt;
    }
    if (digits.size() != 14)
        return std::nullopt;
    auto field = [&](size_t at, size_t length) { return std::stoi(digits.substr(at, length)); };
    std::tm parts {};
    parts.tm_year = field(0, 4) - 1900;
    parts.tm_mon = field(4, 2) - 1;
    parts.tm_mday = field(6, 2);
    parts.tm_hour = field(8, 2);
    parts.tm_min = field(10, 2);
    parts.tm_sec = field(12, 2);
    if (parts.tm_year < 0 || parts.tm_mon < 0 || parts.tm_mon > 11 || parts.tm_mday < 1 || parts.tm_mday > 31
        || parts.tm_hour > 23 || parts.tm_min > 59 || parts.tm_sec > 59)
        return std::nullopt;
    const std::tm asked = parts;
    const int64_t seconds = timegm(&parts);
    // timegm normalises 31 February into March: refuse dates that moved.
    if (parts.tm_mday != asked.tm_mday || parts.tm_mon != asked.tm_mon)
        return std::nullopt;
    return seconds;
}

std::string CDevClock::FormatUtc(int64_t epochSeconds)
{
    const std::time_t t = static_cast<std::time_t>(epochSeconds);
    std::tm parts {};
    gmtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}
