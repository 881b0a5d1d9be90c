// The reference for leapset's calendar: leap seconds as the standard
// library's UTC clock counts them from the whole time-zone database.
#pragma once

#include <orvkit/compat.hpp>

#include <chrono>
#include <exception>
#include <optional>

namespace leapsettest {

// Leap seconds up to and including `time`; nullopt when the database cannot
// be loaded or lists no leap seconds.
inline std::optional<std::chrono::seconds> DatabaseLeapSeconds(std::chrono::sys_seconds time) {
  try {
    if (compat::get_tzdb().leap_seconds.empty()) {
      return std::nullopt;
    }
    const auto utc = compat::utc_clock::from_sys(time);
    return std::chrono::duration_cast<std::chrono::seconds>(utc.time_since_epoch() -
                                                            time.time_since_epoch());
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace leapsettest
