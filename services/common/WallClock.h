// Date and time fields as seconds counted as if they were UTC (timegm), refusing what is no real
// date and time instead of letting timegm move it.
#pragma once

#include <cstdint>
#include <optional>

namespace kelvane {

// Nothing when the six numbers are not a date and time (month 13, 30 February, hour 24 ...).
// Years 1970 to 9999.
std::optional<std::int64_t> WallClockSeconds(int year, int month, int day, int hour, int minute, int second);

} // namespace kelvane
