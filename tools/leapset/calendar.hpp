// TAI - UTC as the calendar gives it: 10 s, the offset when leap seconds
// began in 1972, plus every leap second inserted since.
#pragma once

#include <chrono>
#include <optional>

namespace leapset {

// The leap-second list that the time-zone database ships (package tzdata).
inline constexpr const char* LEAP_SECONDS_LIST = "/usr/share/zoneinfo/leap-seconds.list";

// The calendar value at `time`, counting leap seconds from the time-zone
// database's leap-second list, or from the built-in list when it gives none.
std::chrono::seconds CalendarTaiOffset(std::chrono::sys_seconds time);

// Leap seconds up to and including `time` by the leap-second list at `path`
// (lines of NTP time and TAI - UTC from then on, '#' comments); nullopt when
// it cannot be read, holds a line it does not understand, or lists nothing.
std::optional<std::chrono::seconds> ListedLeapSeconds(const char* path,
                                                      std::chrono::sys_seconds time);

// Leap seconds up to and including `time` by the built-in list (1972-07-01 to
// 2017-01-01).
std::chrono::seconds BuiltinLeapSeconds(std::chrono::sys_seconds time);

}  // namespace leapset
