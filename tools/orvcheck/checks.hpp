// orvcheck's checks: each reads the host, changes nothing, and reports.
#pragma once

#include "report.hpp"

#include <calendar.hpp>
#include <daemon_client.hpp>
#include <ptp_exchange.hpp>

#include <sys/types.h>

#include <array>
#include <bitset>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace orvcheck {

// The checks' names, as the output and --skip write them.
namespace check {
inline constexpr std::string_view TAI_OFFSET = "tai-offset";
inline constexpr std::string_view LEAP_LIST = "leap-list";
inline constexpr std::string_view INTERFACE = "interface";
inline constexpr std::string_view PHC = "phc";
inline constexpr std::string_view MONITOR = "monitor";
inline constexpr std::string_view PTP4L = "ptp4l";
inline constexpr std::string_view TIMESCALE = "timescale";
}  // namespace check

// The checks that run unless --skip leaves them out; the others run when
// asked for.
inline constexpr std::array<std::string_view, 4> SKIPPABLE_CHECKS = {
    check::TAI_OFFSET, check::LEAP_LIST, check::PHC, check::TIMESCALE};

// The kernel's TAI offset against `calendarOffset`, TAI - UTC by the
// leap-second list in use.
CheckResult CheckTaiOffset(std::chrono::seconds calendarOffset);
// The leap-second list read from `path`, or why it was refused.
CheckResult CheckLeapList(const std::string& path, const calendar::ListReading& reading,
                          std::chrono::sys_seconds now);

// A TX type or RX filter by its name as ethtool prints it ("on",
// "ptpv2-event") or its number; nullopt when it is neither.
std::optional<std::int32_t> TxTypeValue(std::string_view text);
std::optional<std::int32_t> RxFilterValue(std::string_view text);

// What the operator requires in force on an interface; nullopt: anything.
struct RequiredConfiguration {
  std::optional<std::int32_t> txType;
  std::optional<std::int32_t> rxFilter;
};

struct InterfaceCheck {
  CheckResult result;
  int phcIndex = -1;  // N of the interface's /dev/ptpN; -1 when none or unknown
};

// The hardware timestamping capabilities and configuration of `name`,
// against what is required of it.
InterfaceCheck CheckInterface(const std::string& name, const RequiredConfiguration& required);

// A clock's offset within `warning` is OK, beyond `critical` CRITICAL.
struct OffsetThresholds {
  std::chrono::nanoseconds warning;
  std::chrono::nanoseconds critical;
};

// /dev/ptp<phcIndex>, the PHC of `interface`, against CLOCK_TAI; a difference
// of whole seconds is explained from the kernel's TAI offset and
// `calendarOffset`, as the tai-offset check has it.
CheckResult CheckPhc(const std::string& interface, int phcIndex, const OffsetThresholds& thresholds,
                     std::chrono::seconds calendarOffset);

// The daemon's status values: 0 to 3.
inline constexpr std::size_t STATUS_VALUES = 4;

struct MonitorTarget {
  tools::DaemonTarget daemon;
  std::chrono::milliseconds timeout;
  std::bitset<STATUS_VALUES> healthy;  // the statuses counted healthy
};

// Waits for the monitor daemon's first status, through every error the
// client recovers from, until `timeout` has passed or the client has stopped
// for good.
CheckResult CheckMonitor(const MonitorTarget& target);

struct Ptp4lTarget {
  std::string socket;  // ptp4l's uds_address
  std::chrono::milliseconds timeout;
  OffsetThresholds thresholds;  // for offsetFromMaster
};

// linuxptp's ptp4l as `read` over its management socket: its ports' states,
// its offset from the master, and the grandmaster it follows.
CheckResult CheckPtp4l(const Ptp4lTarget& target,
                       const std::variant<ptp::Ptp4lReading, ptp::Ptp4lFailure>& read);

// What a grandmaster announces about time, as one ptp4l socket told it.
struct GrandmasterTime {
  std::string socket;
  ptp::TimePropertiesDataSet properties;
};

// TAI - UTC and the next leap second as the leap-second list (`reading`), the
// kernel and each grandmaster have them: they must agree.
CheckResult CheckTimescale(const calendar::ListReading& reading, std::chrono::sys_seconds now,
                           std::vector<GrandmasterTime> grandmasters);

}  // namespace orvcheck
