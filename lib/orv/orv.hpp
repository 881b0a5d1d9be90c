// liborv: a host's hardware timestamping configuration and clock, and the
// kernel's TAI offset.
#pragma once

#include <orv/timestamping.hpp>

#include <chrono>
#include <cstdint>
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

}  // namespace orv
