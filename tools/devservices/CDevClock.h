#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

// The time-stamp authority's clock: the machine's time plus an offset, or frozen at one instant.
// Tests move it so that the opening time lies exactly where they need it.
class CDevClock
{
public:
    void SetOffset(int64_t seconds);
    void Freeze(int64_t epochSeconds);
    void Reset();
    int64_t Now() const;
    std::string Describe() const;

    // Reads "2024-05-06T09:30:00Z", "2024-05-06 09:30:00" (both UTC), "20240506093000Z" or a
    // plain count of seconds since 1970. Out-of-range fields are refused.
    static std::optional<int64_t> ParseUtc(std::string_view text);
    // A signed whole number of seconds, nothing else.
    static std::optional<int64_t> ParseSeconds(std::string_view text);
    static std::string FormatUtc(int64_t epochSeconds);

private:
    mutable std::mutex mutex;
    bool frozen = false;
    int64_t frozenAt = 0;
    int64_t offset = 0;
};
