#include "checks.hpp"

#include <printable.hpp>
#include <ptp_exchange.hpp>

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <variant>

namespace orvcheck {

namespace {

using ptp::PortState;

double Seconds(const ptp::TimeInterval& interval) {
  return interval.Nanoseconds() / 1e9;
}

std::string Decimal(std::chrono::nanoseconds duration) {
  return PlainNumber(std::chrono::duration<double>(duration).count());
}

bool AnyPort(const ptp::Ptp4lReading& reading, PortState state) {
  return std::any_of(reading.ports.begin(), reading.ports.end(),
                     [state](const ptp::Port& port) { return port.state == state; });
}

// The clock is the grandmaster when it follows itself and its ports serve
// (MASTER) or stand by (PASSIVE): a slave that lost its master also follows
// itself, but listens.
bool IsGrandmaster(const ptp::Ptp4lReading& reading) {
  return reading.parent.grandmasterIdentity == reading.defaults.clockIdentity &&
         !reading.ports.empty() &&
         std::all_of(reading.ports.begin(), reading.ports.end(), [](const ptp::Port& port) {
           return port.state == PortState::MASTER || port.state == PortState::PASSIVE;
         });
}

struct Verdict {
  State state;
  std::string words;
};

Verdict Judge(const ptp::Ptp4lReading& reading, const OffsetThresholds& thresholds) {
  const double offset = std::abs(Seconds(reading.current.offsetFromMaster));
  const auto seconds = [](std::chrono::nanoseconds d) { return d.count() / 1e9; };
  if (AnyPort(reading, PortState::FAULTY)) {
    return {State::CRITICAL, "a port is FAULTY"};
  }
  if (IsGrandmaster(reading)) {
    return {State::OK, "this clock is the grandmaster"};
  }
  if (!reading.timeStatus.gmPresent) {
    return {State::CRITICAL, "grandmaster not present"};
  }
  if (AnyPort(reading, PortState::SLAVE)) {
    if (offset > seconds(thresholds.critical)) {
      return {State::CRITICAL, "offset beyond " + Decimal(thresholds.critical) + " s"};
    }
    if (offset > seconds(thresholds.warning)) {
      return {State::WARNING, "offset beyond " + Decimal(thresholds.warning) + " s"};
    }
    return {State::OK, "synchronized within " + Decimal(thresholds.warning) + " s"};
  }
  if (AnyPort(reading, PortState::UNCALIBRATED)) {
    return {State::WARNING, "synchronizing"};
  }
  return {State::CRITICAL, "no master"};
}

// "1 eth0 SLAVE, 2 eth1 PASSIVE"
std::string PortList(const ptp::Ptp4lReading& reading) {
  std::string list;
  for (const auto& port : reading.ports) {
    list += fmt::format("{}{} {} {}", list.empty() ? "" : ", ", port.number,
                        tools::Printable(port.interfaceName), ptp::PortStateName(port.state));
  }
  return list.empty() ? "none" : list;
}

std::string Ptp4lMessage(const ptp::Ptp4lReading& reading, const Verdict& verdict) {
  return fmt::format(
      "{}: ports {}; offset {:+.9f} s, path delay {:.9f} s, {} steps removed; grandmaster {} "
      "class {}",
      verdict.words, PortList(reading), Seconds(reading.current.offsetFromMaster),
      Seconds(reading.current.meanPathDelay), reading.current.stepsRemoved,
      ptp::FormatClockIdentity(reading.parent.grandmasterIdentity),
      reading.parent.grandmasterClockQuality.clockClass);
}

Series Gauge(std::string name, std::string help) {
  return {.name = std::move(name), .help = std::move(help)};
}

void RecordPorts(CheckResult& result, const ptp::Ptp4lReading& reading) {
  for (const auto& port : reading.ports) {
    // Keyed by the port's identity, as pmc writes it, which no JSON reader
    // takes for an array index.
    const std::string key =
        "ports/" + ptp::FormatPortIdentity({reading.defaults.clockIdentity, port.number});
    result.Record({key + "/state", std::string(ptp::PortStateName(port.state)),
                   Series{.name = "ptp_port_state",
                          .help = "Each port's IEEE 1588 portState: 1 INITIALIZING ... 6 MASTER, "
                                  "7 PASSIVE, 8 UNCALIBRATED, 9 SLAVE",
                          .value = static_cast<double>(port.state),
                          .labels = {{"port", std::to_string(port.number)},
                                     {"interface", port.interfaceName}}}});
    result.Record({key + "/interface", port.interfaceName});
  }
}

void RecordClock(CheckResult& result, const ptp::Ptp4lReading& reading,
                 const OffsetThresholds& thresholds) {
  const auto range = [](std::chrono::nanoseconds t) { return Decimal(-t) + ':' + Decimal(t); };
  result.Record({"clock_identity", ptp::FormatClockIdentity(reading.defaults.clockIdentity)});
  result.Record({"offset_from_master_seconds", Seconds(reading.current.offsetFromMaster),
                 Series{.name = "ptp_offset_from_master_seconds",
                        .help = "ptp4l's offsetFromMaster: the clock's offset from its master",
                        .perf = Perf{.warn = range(thresholds.warning),
                                     .crit = range(thresholds.critical)}}});
  result.Record({"mean_path_delay_seconds", Seconds(reading.current.meanPathDelay),
                 Series{.name = "ptp_mean_path_delay_seconds",
                        .help = "ptp4l's meanPathDelay to its master",
                        .perf = Perf{.min = "0"}}});
  result.Record({"steps_removed", std::int64_t{reading.current.stepsRemoved},
                 Gauge("ptp_steps_removed",
                       "Boundary clocks between the grandmaster and this one, "
                       "plus one")});
  result.Record({"offset_warning_seconds",
                 std::chrono::duration<double>(thresholds.warning).count(),
                 Gauge("ptp_offset_warning_seconds",
                       "The offset from master beyond which the ptp4l check warns")});
  result.Record({"offset_critical_seconds",
                 std::chrono::duration<double>(thresholds.critical).count(),
                 Gauge("ptp_offset_critical_seconds",
                       "The offset from master beyond which the ptp4l check is critical")});
}

void RecordGrandmaster(CheckResult& result, const ptp::Ptp4lReading& reading) {
  const auto& parent = reading.parent;
  const auto& time = reading.timeProperties;
  result.Record({"grandmaster/present", reading.timeStatus.gmPresent,
                 Gauge("ptp_grandmaster_present",
                       "1 when ptp4l follows a grandmaster other "
                       "than its own clock")});
  result.Record({"grandmaster/identity", ptp::FormatClockIdentity(parent.grandmasterIdentity),
                 Series{.name = "ptp_grandmaster_info",
                        .help = "The grandmaster that ptp4l follows, as labels",
                        .infoLabel = "grandmaster_identity"}});
  result.Record({"grandmaster/clock_class", std::int64_t{parent.grandmasterClockQuality.clockClass},
                 Gauge("ptp_grandmaster_clock_class", "The grandmaster's clockClass")});
  result.Record({"grandmaster/clock_accuracy",
                 std::int64_t{parent.grandmasterClockQuality.clockAccuracy},
                 Gauge("ptp_grandmaster_clock_accuracy",
                       "The grandmaster's clockAccuracy (IEEE 1588 code)")});
  result.Record(
      {"utc_offset_seconds", std::int64_t{time.currentUtcOffset},
       Gauge("ptp_utc_offset_seconds", "The grandmaster's currentUtcOffset (TAI - UTC)")});
  result.Record(
      {"utc_offset_valid", time.currentUtcOffsetValid,
       Gauge("ptp_utc_offset_valid", "1 when the grandmaster says its UTC offset is valid")});
  result.Record({"leap",
                 std::int64_t{time.leap61   ? 1
                              : time.leap59 ? -1
                                            : 0},
                 Gauge("ptp_leap",
                       "The leap second the grandmaster announces for the end of this "
                       "UTC day: 1 leap61, -1 leap59, 0 none")});
  result.Record({"ptp_timescale", time.ptpTimescale,
                 Gauge("ptp_timescale", "1 when the grandmaster's timescale is PTP, 0 ARB")});
  result.Record({"time_traceable", time.timeTraceable,
                 Gauge("ptp_time_traceable",
                       "1 when the grandmaster's time is traceable to a "
                       "primary reference")});
  result.Record({"frequency_traceable", time.frequencyTraceable,
                 Gauge("ptp_frequency_traceable",
                       "1 when the grandmaster's frequency is "
                       "traceable to a primary reference")});
}

CheckResult Unanswered(const ptp::Ptp4lFailure& failure) {
  using Kind = ptp::Ptp4lFailure::Kind;
  CheckResult result{.check = std::string(check::PTP4L)};
  // Nothing listening and no answer are faults of the host; the others mean
  // that orvcheck cannot tell.
  result.state = failure.kind == Kind::NOT_RUNNING || failure.kind == Kind::TIMEOUT
                     ? State::CRITICAL
                     : State::UNKNOWN;
  result.message = tools::Printable(failure.reason);
  result.Record({"up", false, Gauge("ptp_up", "1 when ptp4l answered every request")});
  return result;
}

}  // namespace

CheckResult CheckPtp4l(const Ptp4lTarget& target,
                       const std::variant<ptp::Ptp4lReading, ptp::Ptp4lFailure>& read) {
  if (const auto* failure = std::get_if<ptp::Ptp4lFailure>(&read)) {
    return Unanswered(*failure);
  }
  const auto& reading = std::get<ptp::Ptp4lReading>(read);
  const Verdict verdict = Judge(reading, target.thresholds);
  CheckResult result{.check = std::string(check::PTP4L), .state = verdict.state};
  result.message = Ptp4lMessage(reading, verdict);
  result.Record({"up", true, Gauge("ptp_up", "1 when ptp4l answered every request")});
  RecordPorts(result, reading);
  RecordClock(result, reading, target.thresholds);
  RecordGrandmaster(result, reading);
  return result;
}

}  // namespace orvcheck
