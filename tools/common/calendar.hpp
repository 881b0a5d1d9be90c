// TAI - UTC as the calendar gives it: 10 s, the offset when leap seconds
// began in 1972, plus every leap second inserted since. Shared by leapset,
// which writes it into the kernel, and orvcheck, which checks the kernel's
// offset and the list against it.
#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace calendar {

// The leap-second list that the time-zone database ships (package tzdata).
inline constexpr const char* LEAP_SECONDS_LIST = "/usr/share/zoneinfo/leap-seconds.list";

// TAI - UTC before the first leap second; no list may go below it.
inline constexpr std::chrono::seconds INITIAL_TAI_OFFSET{10};

// From `from` on, TAI - UTC is `taiUtc`.
struct LeapSecondEntry {
  std::chrono::sys_seconds from;
  std::chrono::seconds taiUtc;
};

// A leap-second list that passed every rule.
struct LeapSecondList {
  std::vector<LeapSecondEntry> entries;             // at least one; the first has taiUtc 10 s
  std::optional<std::chrono::sys_seconds> updated;  // its "#$" line, when present and well formed
  std::optional<std::chrono::sys_seconds> expires;  // its "#@" line, likewise
  // Its "#h" line matched its data; false when it has none (a list whose hash
  // does not match is refused).
  bool hashed = false;
};

// What reading a list gave: the list, or why it was refused.
struct ListReading {
  std::optional<LeapSecondList> list;
  // Empty when `list` holds a value; else one line such as "line 31: leap
  // second not at 00:00:00 UTC on the first day of a month".
  std::string refusal;
};

// The list at `path` when it is a regular file of at most 64 KiB whose every
// line that is not a comment holds two unsigned decimal fields; whose dates
// strictly rise, each at 00:00:00 UTC on the first day of a month; whose
// values start at 10, step by exactly 1 and never go below 10; which agrees
// with the built-in list on every date that list covers; whose "#$", "#@" and
// "#h" lines, each at most once, are well formed, with dates the calendar can
// hold; and whose "#h" line, when present, is the SHA-1 of its data.
// Otherwise no list and the reason (the caller then uses the built-in list).
// Opening and reading never block.
ListReading ReadLeapSecondList(const char* path);

// Leap seconds up to and including `time` by `list` (taiUtc of the latest
// entry not after `time`, minus 10 s; 0 before the first entry).
std::chrono::seconds LeapSecondsAt(const LeapSecondList& list, std::chrono::sys_seconds time);

// A leap second as a list announces it: from `takesEffect` (00:00:00 UTC on
// the first day of a month) on, TAI - UTC is one second more (`leap` 1, a
// 23:59:60 inserted before it) or one less (`leap` -1, a 23:59:59 deleted).
struct LeapSecond {
  std::chrono::sys_seconds takesEffect;
  int leap;

  bool operator==(const LeapSecond&) const = default;
};

// The first leap second of `list` that takes effect after `time`; nullopt
// when the list has none after it.
std::optional<LeapSecond> NextLeapSecond(const LeapSecondList& list, std::chrono::sys_seconds time);

// The built-in list's dates (27, 1972-07-01 to 2017-01-01).
const std::array<std::chrono::sys_days, 27>& BuiltinLeapSecondDates();

// Leap seconds up to and including `time` by the built-in list.
std::chrono::seconds BuiltinLeapSeconds(std::chrono::sys_seconds time);

// The calendar value at `time`: 10 s plus the leap seconds up to `time` by
// `list`, or by the built-in list when there is none.
std::chrono::seconds CalendarTaiOffset(const std::optional<LeapSecondList>& list,
                                       std::chrono::sys_seconds time);

}  // namespace calendar
