// orvcheck's checks: each reads the host, changes nothing, and reports.
#pragma once

#include "report.hpp"

#include <calendar.hpp>

#include <sys/types.h>

#include <bitset>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace orvcheck {

// The kernel's TAI offset against the calendar value at `now` by `list`, or
// by the built-in list when there is none.
CheckResult CheckTaiOffset(const std::optional<calendar::LeapSecondList>& list,
                           std::chrono::sys_seconds now);
// The leap-second list read from `path`, or why it was refused.
CheckResult CheckLeapList(const std::string& path, const calendar::ListReading& reading,
                          std::chrono::sys_seconds now);

// The hardware timestamping capabilities and configuration of `name`.
CheckResult CheckInterface(const std::string& name);

// The daemon's status values: 0 to 3.
inline constexpr std::size_t STATUS_VALUES = 4;

struct MonitorTarget {
  std::string address;  // a leading NUL names an abstract socket
  std::optional<uid_t> daemonUid;
  std::chrono::milliseconds timeout;
  std::bitset<STATUS_VALUES> healthy;  // the statuses counted healthy
};

// Waits for the monitor daemon's first status, through every error the
// client recovers from, until `timeout` has passed or the client has stopped
// for good.
CheckResult CheckMonitor(const MonitorTarget& target);

}  // namespace orvcheck
