// liborv: a host's hardware timestamping configuration and clock, and the
// kernel's TAI offset and leap-second state.
#pragma once

#include <orv/timestamping.hpp>

#include <chrono>
#include <cstdint>
#include <string_view>
#include <system_error>

extern "C" {

// Hardware timestamping request and result. On input -1 in a field means
// "leave unchanged"; on success both fields hold what the driver reports.
struct HwTstampOpts {
  std::int32_t tx_type;    // HWTSTAMP_TX_* value
  std::int32_t rx_filter;  // HWTSTAMP_FILTER_* value
};

// Reads the configuration of `ifname` and, where a field of `*opts` is not -1,
// writes it. A name that is empty or has IFNAMSIZ (16) bytes or more is refused
// before any request. Returns 0 and fills `*opts` on success; -1 on failure,
// after diagnostics on standard error, with `*opts` untouched.
ORV_EXPORT int GetSetHwTstampOpts(const char* ifname, HwTstampOpts* opts);

// The SOL_SOCKET option number of "SO_TIMESTAMP", "SO_TIMESTAMPNS" or
// "SO_TIMESTAMPING" (exact match), else -1.
ORV_EXPORT int GetSocketOptValue(const char* name);

}  // extern "C"

namespace orv {

// The kernel's TAI offset (TAI - UTC); 0 when unset or unreadable.
ORV_EXPORT std::chrono::seconds GetTaiOffset();

// The kernel's TAI offset, telling an unreadable one from an unset one:
// `error` is cleared on success, and on failure holds the errno of adjtimex in
// the generic category (EPERM under a system-call filter that denies it) while
// the result is 0.
ORV_EXPORT std::chrono::seconds GetTaiOffset(std::error_code& error) noexcept;

// Sets the kernel's TAI offset. Returns a cleared code on success, the errno
// of adjtimex in the generic category, or EINVAL in the generic category when
// the kernel kept another offset than `offset` (it ignores values outside
// 0..100000 without an error).
ORV_EXPORT std::error_code SetTaiOffset(std::chrono::seconds offset);

// The kernel's clock state: what adjtimex returns, TIME_OK to TIME_ERROR of
// <sys/timex.h> with the same values.
enum class ClockState : int {
  OK = 0,     // no leap second in progress
  INS = 1,    // a second will be inserted at the end of this UTC day
  DEL = 2,    // a second will be deleted at the end of this UTC day
  OOP = 3,    // the inserted second is running
  WAIT = 4,   // a leap second has passed and STA_INS or STA_DEL is still set
  ERROR = 5,  // the clock is not synchronised (STA_UNSYNC, or a PPS fault)
};

// "TIME_OK" to "TIME_ERROR", as the kernel's headers name the states.
constexpr std::string_view ClockStateName(ClockState state) {
  switch (state) {
    case ClockState::OK:
      return "TIME_OK";
    case ClockState::INS:
      return "TIME_INS";
    case ClockState::DEL:
      return "TIME_DEL";
    case ClockState::OOP:
      return "TIME_OOP";
    case ClockState::WAIT:
      return "TIME_WAIT";
    case ClockState::ERROR:
      return "TIME_ERROR";
  }
  return "unknown";
}

// What one adjtimex read reports about leap seconds.
struct KernelLeapState {
  ClockState clockState = ClockState::OK;
  // The leap second the kernel is armed for at the next UTC midnight: 1 with
  // STA_INS, -1 with STA_DEL alone, else 0 (with both set it inserts).
  int leap = 0;
  bool unsynchronised = false;       // STA_UNSYNC
  std::chrono::seconds taiOffset{};  // TAI - UTC from the same read; 0 when unset
};

// Reads the kernel's leap-second state without changing anything (adjtimex
// with no mode bits). `error` is cleared on success; on failure it holds the
// errno of adjtimex in the generic category and the result is the default.
ORV_EXPORT KernelLeapState GetKernelLeapState(std::error_code& error) noexcept;

}  // namespace orv
