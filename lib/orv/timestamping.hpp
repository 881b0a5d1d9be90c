// liborv: what an interface can timestamp, how it is set, and how far its PTP
// hardware clock is from the system clocks. Every call reports failure only
// through its std::error_code (an errno value in the generic category) and
// writes nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>
#include <system_error>

#define ORV_EXPORT __attribute__((visibility("default")))

namespace orv {

// What ETHTOOL_GET_TS_INFO reports for an interface.
struct TimestampingCapabilities {
  std::uint32_t soTimestamping = 0;  // SOF_TIMESTAMPING_* flags
  std::int32_t phcIndex = -1;        // N of /dev/ptpN; -1 when it has none
  std::uint32_t txTypes = 0;         // bit n set: HWTSTAMP_TX_* value n is offered
  std::uint32_t rxFilters = 0;       // bit n set: HWTSTAMP_FILTER_* value n is offered
};

// The configuration in force, as SIOCGHWTSTAMP reports it.
struct TimestampingConfig {
  std::int32_t flags = 0;     // HWTSTAMP_FLAG_* bits
  std::int32_t txType = 0;    // HWTSTAMP_TX_* value
  std::int32_t rxFilter = 0;  // HWTSTAMP_FILTER_* value
};

// Both read `ifname`, which must have 1 to 15 bytes and no NUL: a longer name
// fails with ENAMETOOLONG and an empty one, or one with a NUL, with EINVAL,
// before any request. On failure they return the default value.
ORV_EXPORT TimestampingCapabilities GetTimestampingCapabilities(std::string_view ifname,
                                                                std::error_code& error) noexcept;
ORV_EXPORT TimestampingConfig GetTimestampingConfig(std::string_view ifname,
                                                    std::error_code& error) noexcept;

// How the PHC was read against CLOCK_REALTIME, best first.
enum class PhcMethod : std::uint8_t {
  PRECISE,   // PTP_SYS_OFFSET_PRECISE: a hardware cross-timestamp
  EXTENDED,  // PTP_SYS_OFFSET_EXTENDED: system clock read just around the PHC
  BASIC,     // PTP_SYS_OFFSET: system clock read between PHC reads
};

constexpr std::string_view PhcMethodName(PhcMethod method) {
  switch (method) {
    case PhcMethod::PRECISE:
      return "precise";
    case PhcMethod::EXTENDED:
      return "extended";
    case PhcMethod::BASIC:
      return "basic";
  }
  return "unknown";
}

constexpr int DEFAULT_PHC_SAMPLES = 9;
constexpr int MAX_PHC_SAMPLES = 25;  // PTP_MAX_SAMPLES

struct PhcOffset {
  std::chrono::nanoseconds realtime{};  // PHC - CLOCK_REALTIME
  std::chrono::nanoseconds window{};    // read delay of the sample kept; 0 for PRECISE
  PhcMethod method = PhcMethod::BASIC;
  int samples = 0;  // samples the one kept was chosen from
  // The kernel's TAI offset (TAI - UTC), read in the same call; nullopt with
  // the errno of adjtimex in taiOffsetError when it could not be read.
  std::optional<std::chrono::seconds> taiOffset;
  std::error_code taiOffsetError;

  // PHC - CLOCK_TAI; nullopt when the kernel's TAI offset is unknown or the
  // difference does not fit in 64 bits of nanoseconds (GetPhcOffset then
  // fails with EOVERFLOW), never a value wrapped to the other sign.
  std::optional<std::chrono::nanoseconds> Tai() const {
    std::chrono::nanoseconds::rep offset = 0;
    std::chrono::nanoseconds::rep tai = 0;
    if (!taiOffset || __builtin_mul_overflow(taiOffset->count(), 1'000'000'000, &offset) ||
        __builtin_sub_overflow(realtime.count(), offset, &tai)) {
      return std::nullopt;
    }
    return std::chrono::nanoseconds{tai};
  }
};

// Reads /dev/ptp<phcIndex> against CLOCK_REALTIME with the best method it
// offers (see PhcMethod), `samples` times (1 to MAX_PHC_SAMPLES, else
// EINVAL), and keeps the sample with the narrowest window. A busy device is
// asked again a few times.
ORV_EXPORT PhcOffset GetPhcOffset(int phcIndex, std::error_code& error,
                                  int samples = DEFAULT_PHC_SAMPLES) noexcept;

}  // namespace orv
