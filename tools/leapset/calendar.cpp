#include "calendar.hpp"

#include <orvkit/compat.hpp>

#include <algorithm>
#include <array>
#include <exception>

namespace leapset {

namespace {

using std::chrono::sys_days;
using std::chrono::year;

constexpr std::chrono::seconds TAI_UTC_IN_1972{10};

// Dates on which a positive leap second took effect, as IERS announced them.
constexpr std::array<sys_days, 27> LEAP_SECOND_DATES{
    year{1972} / 7 / 1, year{1973} / 1 / 1, year{1974} / 1 / 1, year{1975} / 1 / 1,
    year{1976} / 1 / 1, year{1977} / 1 / 1, year{1978} / 1 / 1, year{1979} / 1 / 1,
    year{1980} / 1 / 1, year{1981} / 7 / 1, year{1982} / 7 / 1, year{1983} / 7 / 1,
    year{1985} / 7 / 1, year{1988} / 1 / 1, year{1990} / 1 / 1, year{1991} / 1 / 1,
    year{1992} / 7 / 1, year{1993} / 7 / 1, year{1994} / 7 / 1, year{1996} / 1 / 1,
    year{1997} / 7 / 1, year{1999} / 1 / 1, year{2006} / 1 / 1, year{2009} / 1 / 1,
    year{2012} / 7 / 1, year{2015} / 7 / 1, year{2017} / 1 / 1,
};

}  // namespace

std::optional<std::chrono::seconds> DatabaseLeapSeconds(std::chrono::sys_seconds time) {
  try {
    // A missing database may load as one without leap seconds rather than
    // fail; both mean the database cannot be trusted here.
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

std::chrono::seconds BuiltinLeapSeconds(std::chrono::sys_seconds time) {
  const auto inserted = std::upper_bound(LEAP_SECOND_DATES.begin(), LEAP_SECOND_DATES.end(), time);
  return std::chrono::seconds{inserted - LEAP_SECOND_DATES.begin()};
}

std::chrono::seconds CalendarTaiOffset(std::chrono::sys_seconds time) {
  return TAI_UTC_IN_1972 + DatabaseLeapSeconds(time).value_or(BuiltinLeapSeconds(time));
}

}  // namespace leapset
