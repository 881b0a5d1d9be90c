#include "checks.hpp"

#include <orv/orv.hpp>

#include <fmt/format.h>

#include <optional>

#include <cstdlib>
#include <system_error>

namespace orvcheck {

namespace {

using namespace std::chrono_literals;

// A difference this close to whole seconds is a clock on another timescale,
// or an offset applied wrongly, not a clock that drifted.
constexpr std::chrono::nanoseconds WHOLE_SECONDS_MARGIN = 1ms;

double Seconds(std::chrono::nanoseconds duration) {
  return std::chrono::duration<double>(duration).count();
}

// Seconds as messages and performance data show them: "0.000001".
std::string Decimal(std::chrono::nanoseconds duration) {
  return PlainNumber(Seconds(duration));
}

// The plugins' range for an offset of either sign: "-0.000001:0.000001".
std::string Range(std::chrono::nanoseconds threshold) {
  return Decimal(-threshold) + ':' + Decimal(threshold);
}

// Why PHC - CLOCK_TAI is a whole number of seconds; empty when it is not one.
std::string WholeSecondsDiagnosis(std::chrono::nanoseconds tai, std::chrono::seconds kernel,
                                  std::chrono::seconds calendar) {
  const auto whole = std::chrono::round<std::chrono::seconds>(tai);
  if (whole == 0s || std::chrono::abs(tai - whole) > WHOLE_SECONDS_MARGIN) {
    return "";
  }
  const std::string difference = fmt::format("PHC is {} s {} CLOCK_TAI", std::llabs(whole.count()),
                                             whole > 0s ? "ahead of" : "behind");
  if (kernel == 0s && whole == calendar) {
    return difference + ": the kernel's TAI offset is unset; ";
  }
  // PHC - CLOCK_REALTIME is then 0.
  if (kernel != 0s && whole == -kernel) {
    return difference + ": the PHC runs UTC; ";
  }
  return difference + fmt::format(" (the kernel's TAI offset is {} s, the calendar's {} s); ",
                                  kernel.count(), calendar.count());
}

// The PHC was read somewhere within the read delay, so the offset is known
// only to half of it either way: OK only when even its largest value is
// within the warning threshold, CRITICAL only when even its smallest value is
// beyond the critical one.
State Judge(std::chrono::nanoseconds tai, std::chrono::nanoseconds window,
            const OffsetThresholds& thresholds, std::string& verdict) {
  const auto largest = std::chrono::abs(tai) + window / 2;
  const auto smallest = std::chrono::abs(tai) - window / 2;
  if (largest <= thresholds.warning) {
    verdict = "within " + Decimal(thresholds.warning);
    return State::OK;
  }
  if (smallest > thresholds.critical) {
    verdict = "beyond " + Decimal(thresholds.critical);
    return State::CRITICAL;
  }
  verdict = (smallest > thresholds.warning ? "beyond " : "not provably within ") +
            Decimal(thresholds.warning);
  return State::WARNING;
}

// The message of a PHC that was read: its offset from CLOCK_TAI and the
// verdict, or, when the kernel's TAI offset is unknown, from CLOCK_REALTIME.
std::string PhcMessage(const std::string& device, const orv::PhcOffset& offset,
                       const std::optional<std::chrono::nanoseconds>& tai,
                       const std::string& diagnosis, const std::string& verdict) {
  const std::string samples =
      offset.samples > 1 ? fmt::format(", narrowest of {} samples", offset.samples) : "";
  const std::string how =
      fmt::format("(method {}{}, read delay {:.9f} s)", orv::PhcMethodName(offset.method), samples,
                  Seconds(offset.window));
  if (!tai) {
    return fmt::format(
        "kernel offset unreadable (error code: {}): {}, so PHC - CLOCK_TAI is unknown; {} - "
        "CLOCK_REALTIME = {:+.9f} s {}",
        offset.taiOffsetError.value(), offset.taiOffsetError.message(), device,
        Seconds(offset.realtime), how);
  }
  const std::string uncertainty =
      offset.window > 0ns ? fmt::format(" +/- {:.9f} s", Seconds(offset.window / 2)) : "";
  return fmt::format("{}{} - CLOCK_TAI = {:+.9f} s{}: {} s {}", diagnosis, device, Seconds(*tai),
                     uncertainty, verdict, how);
}

std::string UnreadableMessage(const std::string& device, const std::error_code& error) {
  // The nodes are root's unless a udev rule or an ACL grants more.
  const std::string hint =
      error == std::errc::permission_denied
          ? fmt::format(": an unprivileged user lacks access to {} (see orvcheck(1))", device)
          : "";
  return fmt::format("cannot read {}: {}{}", device, error.message(), hint);
}

}  // namespace

CheckResult CheckPhc(const std::string& interface, int phcIndex, const OffsetThresholds& thresholds,
                     std::chrono::seconds calendarOffset) {
  CheckResult result{.check = std::string(check::PHC), .interface = interface};
  // The thresholds in force, so that alerts and dashboards show what the
  // state was judged against rather than assume the defaults.
  result.Record({"warning_seconds", Seconds(thresholds.warning),
                 Series{.name = "phc_offset_warning_seconds",
                        .help = "The PHC's offset from CLOCK_TAI beyond which the check warns"}});
  result.Record({"critical_seconds", Seconds(thresholds.critical),
                 Series{.name = "phc_offset_critical_seconds",
                        .help = "The PHC's offset from CLOCK_TAI beyond which the check is "
                                "critical"}});
  const std::string device = fmt::format("/dev/ptp{}", phcIndex);
  std::error_code error;
  const auto offset = orv::GetPhcOffset(phcIndex, error);
  result.Record({"phc", device});
  if (error) {
    result.message = UnreadableMessage(device, error);
    return result;
  }
  const std::vector<std::pair<std::string, std::string>> labels = {{"phc", device}};
  const auto tai = offset.Tai();
  std::string verdict;
  std::string diagnosis;
  if (tai) {
    result.state = Judge(*tai, offset.window, thresholds, verdict);
    diagnosis = WholeSecondsDiagnosis(*tai, *offset.taiOffset, calendarOffset);
  }
  result.message = PhcMessage(device, offset, tai, diagnosis, verdict);
  result.Record({"offset_seconds", tai ? Value(Seconds(*tai)) : Value(),
                 Series{.name = "phc_offset_seconds",
                        .help = "The PHC's offset from CLOCK_TAI (PHC - CLOCK_TAI)",
                        .labels = labels,
                        .perf = Perf{.warn = Range(thresholds.warning),
                                     .crit = Range(thresholds.critical)}}});
  result.Record({"realtime_offset_seconds", Seconds(offset.realtime)});
  result.Record({"method", std::string(orv::PhcMethodName(offset.method)),
                 Series{.name = "phc_info",
                        .help = "The interface's PTP hardware clock and how it was read, as labels",
                        .infoLabel = "method",
                        .labels = labels}});
  result.Record({"samples", std::int64_t{offset.samples}});
  result.Record({"read_delay_seconds", Seconds(offset.window),
                 Series{.name = "phc_read_delay_seconds",
                        .help = "The read delay of the PHC sample kept: the window in which the "
                                "PHC was read",
                        .labels = labels,
                        .perf = Perf{.min = "0"}}});
  return result;
}

}  // namespace orvcheck
