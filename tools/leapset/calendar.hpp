// TAI - UTC as the calendar gives it: 10 s, the offset when leap seconds
// began in 1972, plus every leap second inserted since.
#pragma once

#include <chrono>
#include <optional>

namespace leapset {

// The calendar value at `time`, counting leap seconds from the time-zone
// database, or from the built-in list when the database gives none.
std::chrono::seconds CalendarTaiOffset(std::chrono::sys_seconds time);

// Leap seconds up to and including `time` by the time-zone database; nullopt
// when the database cannot be loaded or lists no leap seconds.
std::optional<std::chrono::seconds> DatabaseLeapSeconds(std::chrono::sys_seconds time);

// Leap seconds up to and including `time` by the built-in list (1972-07-01 to
// 2017-01-01).
std::chrono::seconds BuiltinLeapSeconds(std::chrono::sys_seconds time);

}  // namespace leapset
