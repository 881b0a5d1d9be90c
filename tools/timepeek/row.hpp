// One line of timepeek's output: the clock readings, formatted so that they
// line up under a fixed header.
#pragma once

#include <time.h>

#include <chrono>
#include <ostream>
#include <string>
#include <string_view>

namespace timepeek {

// The titles start at columns 0, 21, 41, 63 and 85, where the values of a row
// start while the uptime is below 10^8 s and the epoch seconds have 10 digits.
inline constexpr std::string_view HEADER =
    "DATE UTC             CLOCK_MONOTONIC     CLOCK_TAI             CLOCK_REALTIME        "
    "TAI_OFFSET";

// One row's readings; the clocks are read in this order, the offset after them.
struct Readings {
  timespec tai;
  timespec realtime;
  timespec monotonic;
  std::chrono::seconds taiOffset;
};

// The UTC date and time of the whole seconds of `realtime`, as
// YYYY-MM-DDTHH:MM:SS; empty for a year that `gmtime` cannot represent.
std::string FormatDate(const timespec& realtime);

// Writes the date, the MONOTONIC, TAI and REALTIME readings and the offset,
// joined by two spaces, then a newline, and flushes.
void WriteRow(std::ostream& out, const Readings& readings);

// The pause between rows for an interval of `intervalMs` milliseconds.
timespec PauseFor(int intervalMs);

}  // namespace timepeek
