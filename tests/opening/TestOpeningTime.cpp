#include "opening/OpeningTime.h"
#include "tests/support/TempDir.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <string>

namespace {

constexpr std::int64_t k20240506093000 = 1714987800; // 2024-05-06 09:30:00 counted as UTC

TEST(OpeningTime, ReadsSixNumbersWithAnySeparators)
{
    const struct
    {
        const char* text;
        std::optional<std::int64_t> seconds;
    } cases[] = {
        { "2024-05-06 09:30:00", k20240506093000 },
        { "2024/05/06/09/30/00", k20240506093000 },
        { "2024-05-06T09:30:00Z", k20240506093000 },
        { "2024-05-06", std::nullopt },
        { "2024-05-06 09:30", std::nullopt },
        { "", std::nullopt },
        { "2024-13-06 09:30:00", std::nullopt },
        { "2023-02-29 09:30:00", std::nullopt },
        { "2024-02-29 09:30:00", 1709199000 },
        { "2024-05-06 24:00:00", std::nullopt },
        { "2024-05-06 09:60:00", std::nullopt },
        { "1969-12-31 23:59:59", std::nullopt },
    };
    for (const auto& entry : cases)
        EXPECT_EQ(ParseOpeningTime(entry.text), entry.seconds) << entry.text;
}

TEST(OpeningTime, AuthorityTimeBecomesBeijingTime)
{
    const struct
    {
        const char* text;
        std::optional<std::int64_t> seconds;
    } cases[] = {
        { "20240101000000Z", 1704067200 + 8 * 3600 },
        { "20240506013000Z", k20240506093000 },
        { "20240506013000", std::nullopt },
        { "20241301000000Z", std::nullopt },
    };
    for (const auto& entry : cases)
        EXPECT_EQ(ParseTimeStampTime(entry.text), entry.seconds) << entry.text;
}

TEST(OpeningTime, DecidesAlikeInEveryZone)
{
    for (const char* zone : { "UTC", "Asia/Shanghai", "Asia/Tokyo", "America/New_York" }) {
        const CScopedZone scoped(zone);
        const auto open = ParseOpeningTime("2024-05-06 09:30:00");
        const auto equal = ParseTimeStampTime("20240506013000Z");
        const auto before = ParseTimeStampTime("20240506012959Z");
        ASSERT_TRUE(open && equal && before) << zone;
        EXPECT_EQ(*equal - *open, 0) << zone;
        EXPECT_EQ(*before - *open, -1) << zone;
        EXPECT_EQ(FormatWallClock(*open), L"2024-05-06 09:30:00") << zone;
        EXPECT_EQ(FormatWallClock(*equal, "%Y-%m-%d  %H:%M:%S"), L"2024-05-06  09:30:00") << zone;
    }
}

} // namespace
