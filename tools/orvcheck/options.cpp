#include "options.hpp"

#include <daemon_options.hpp>
#include <ptp_exchange.hpp>
#include <vexa/client.hpp>

#include <algorithm>
#include <bitset>
#include <charconv>
#include <chrono>
#include <cmath>

namespace po = boost::program_options;

namespace orvcheck {

namespace {

constexpr std::chrono::milliseconds DEFAULT_TIMEOUT = std::chrono::seconds(3);
// Also the largest PHC threshold.
constexpr double LONGEST_TIMEOUT_SECONDS = 3600;
constexpr OffsetThresholds DEFAULT_OFFSET_THRESHOLDS = {std::chrono::microseconds(1),
                                                        std::chrono::milliseconds(1)};

// The option's one value: a number of seconds, 0 or more, decimals allowed,
// up to LONGEST_TIMEOUT_SECONDS.
double SecondsValue(const boost::any& result, const std::vector<std::string>& values) {
  po::validators::check_first_occurrence(result);
  const std::string& text = po::validators::get_single_string(values);
  double seconds = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() || !(seconds >= 0) ||
      seconds > LONGEST_TIMEOUT_SECONDS) {
    throw po::invalid_option_value(text);
  }
  return seconds;
}

// How long to wait for the daemon: a positive number of seconds.
struct Timeout {
  std::chrono::milliseconds value;
};

void validate(boost::any& result, const std::vector<std::string>& values, Timeout*, int) {
  const double seconds = SecondsValue(result, values);
  // What rounds to no wait at all would check nothing.
  const std::chrono::milliseconds timeout(static_cast<std::int64_t>(seconds * 1000 + 0.5));
  if (timeout.count() == 0) {
    throw po::invalid_option_value(po::validators::get_single_string(values));
  }
  result = Timeout{timeout};
}

// How far a PHC may be from CLOCK_TAI: seconds, to the nanosecond.
struct OffsetThreshold {
  std::chrono::nanoseconds value;
};

void validate(boost::any& result, const std::vector<std::string>& values, OffsetThreshold*, int) {
  result =
      OffsetThreshold{std::chrono::nanoseconds(std::llround(SecondsValue(result, values) * 1e9))};
}

// A TX type or RX filter that must be in force, by name or number, on every
// interface, or, written NAME:VALUE, on NAME (interface names cannot hold a
// colon, nor can the values' names).
template <std::optional<std::int32_t> (*ValueOf)(std::string_view)>
struct Required {
  std::string interface;  // empty: every one
  std::int32_t value;
};

template <std::optional<std::int32_t> (*ValueOf)(std::string_view)>
void validate(boost::any& result, const std::vector<std::string>& values, Required<ValueOf>*, int) {
  const std::string& text = po::validators::get_single_string(values);
  const auto colon = text.find(':');
  const std::string interface = colon == std::string::npos ? "" : text.substr(0, colon);
  const auto value =
      ValueOf(colon == std::string::npos ? text : std::string_view(text).substr(colon + 1));
  if (!value || (colon != std::string::npos && interface.empty())) {
    throw po::invalid_option_value(text);
  }
  result = Required<ValueOf>{interface, *value};
}

using RequiredTxType = Required<TxTypeValue>;
using RequiredRxFilter = Required<RxFilterValue>;

// The address given to --monitor, empty for the default. "--monitor =@x"
// passes "=@x": refuse what can only be that slip rather than wait for a
// daemon that is not there.
struct MonitorAddress {
  std::string typed;
};

void validate(boost::any& result, const std::vector<std::string>& values, MonitorAddress*, int) {
  po::validators::check_first_occurrence(result);
  const std::string& text = po::validators::get_single_string(values);
  if (text.starts_with('=')) {
    throw po::error("the address '" + text + "' of --monitor begins with '=': write --monitor" +
                    text + ", without a blank");
  }
  // "@" names no socket at all.
  if (text == "@") {
    throw po::invalid_option_value(text);
  }
  result = MonitorAddress{text};
}

// The option library writes a value's name after a blank, which reads as a
// separate word: the help names the optional address in the description.
class MonitorValue : public po::typed_value<MonitorAddress> {
 public:
  MonitorValue() : po::typed_value<MonitorAddress>(nullptr) {}
  std::string name() const override { return ""; }
};

// A ptp4l socket given to --ptp4l, empty for the default.
struct Ptp4lSocket {
  std::string path;
};

void validate(boost::any& result, const std::vector<std::string>& values, Ptp4lSocket*, int) {
  const std::string& text = po::validators::get_single_string(values);
  if (text.starts_with('=')) {
    throw po::error("the path '" + text + "' of --ptp4l begins with '=': write --ptp4l" + text +
                    ", without a blank");
  }
  result = Ptp4lSocket{text};
}

// Like --monitor's, the optional path is named in the description.
class Ptp4lValue : public po::typed_value<std::vector<Ptp4lSocket>> {
 public:
  Ptp4lValue() : po::typed_value<std::vector<Ptp4lSocket>>(nullptr) {}
  std::string name() const override { return ""; }
};

// The daemon's statuses that count as healthy: "0,1".
struct HealthyStatuses {
  std::bitset<STATUS_VALUES> value;
};

void validate(boost::any& result, const std::vector<std::string>& values, HealthyStatuses*, int) {
  po::validators::check_first_occurrence(result);
  const std::string& text = po::validators::get_single_string(values);
  HealthyStatuses healthy;
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string_view item(text.data() + start, comma - start);
    if (item.size() != 1 || item[0] < '0' ||
        static_cast<std::size_t>(item[0] - '0') >= STATUS_VALUES) {
      throw po::invalid_option_value(text);
    }
    healthy.value.set(static_cast<std::size_t>(item[0] - '0'));
    start = comma + 1;
  }
  result = healthy;
}

// A check that runs unless left out.
struct SkippedCheck {
  std::string_view name;
};

void validate(boost::any& result, const std::vector<std::string>& values, SkippedCheck*, int) {
  const std::string& text = po::validators::get_single_string(values);
  const auto known = std::find(SKIPPABLE_CHECKS.begin(), SKIPPABLE_CHECKS.end(), text);
  if (known == SKIPPABLE_CHECKS.end()) {
    throw po::invalid_option_value(text);
  }
  result = SkippedCheck{*known};
}

// One of the output formats, by name.
struct FormatName {
  Format value;
};

void validate(boost::any& result, const std::vector<std::string>& values, FormatName*, int) {
  po::validators::check_first_occurrence(result);
  const std::string& text = po::validators::get_single_string(values);
  if (text == "text") {
    result = FormatName{Format::TEXT};
  } else if (text == "json") {
    result = FormatName{Format::JSON};
  } else if (text == "openmetrics") {
    result = FormatName{Format::OPENMETRICS};
  } else {
    throw po::invalid_option_value(text);
  }
}

}  // namespace

po::options_description DescribeOptions() {
  po::options_description options("Options");
  // clang-format off
  options.add_options()
      ("help,h", "Print help messages")
      ("version", "Print version and exit")
      ("interface", po::value<std::vector<std::string>>()->value_name("NAME"),
       "check NAME's hardware timestamping and PTP hardware clock; repeatable")
      ("phc-warning", po::value<OffsetThreshold>()->value_name("SECONDS"),
       "a PHC further from CLOCK_TAI is a warning (default 0.000001)")
      ("phc-critical", po::value<OffsetThreshold>()->value_name("SECONDS"),
       "a PHC further from CLOCK_TAI is critical (default 0.001)")
      ("require-tx-type", po::value<std::vector<RequiredTxType>>()->value_name("TYPE"),
       "TX type, such as on, every interface must have in force, or NAME:TYPE for one; "
       "repeatable")
      ("require-rx-filter", po::value<std::vector<RequiredRxFilter>>()->value_name("FILTER"),
       "RX filter, such as ptpv2-event, likewise")
      ("monitor", (new MonitorValue)->implicit_value(MonitorAddress{}, ""),
       "check the monitor daemon at @orvmon, or the one at --monitor=ADDRESS (@NAME for "
       "abstract)")
      ("daemon-uid", po::value<tools::UserId>()->value_name("USER"),
       "accept only a daemon run by this user (name or id)")
      ("ptp4l", (new Ptp4lValue)->implicit_value({Ptp4lSocket{}}, "")->composing(),
       "check linuxptp's ptp4l at /var/run/ptp4l, or the one at --ptp4l=PATH; repeatable")
      ("ptp-offset-warning", po::value<OffsetThreshold>()->value_name("SECONDS"),
       "a ptp4l offset from master beyond this is a warning (default 0.000001)")
      ("ptp-offset-critical", po::value<OffsetThreshold>()->value_name("SECONDS"),
       "a ptp4l offset from master beyond this is critical (default 0.001)")
      ("timeout", po::value<Timeout>()->value_name("SECONDS"),
       "wait this long for each daemon's answer (default 3)")
      ("healthy-status", po::value<HealthyStatuses>()->value_name("LIST"),
       "the daemon's statuses that are healthy, such as 0,1 (default all)")
      ("skip", po::value<std::vector<SkippedCheck>>()->value_name("CHECK"),
       "leave out tai-offset, leap-list, phc or timescale; repeatable")
      ("leap-seconds-list", po::value<std::string>()->value_name("PATH"),
       "leap-second list (default tzdata's)")
      ("format", po::value<FormatName>()->value_name("FORMAT"),
       "text (default), json or openmetrics")
      ("textfile", po::value<std::string>()->value_name("PATH"),
       "also write openmetrics to PATH atomically")
      ("quiet", "print only the checks that are not OK");
  // clang-format on
  return options;
}

namespace {

template <typename T>
std::optional<T> Get(const po::variables_map& vm, const char* option) {
  return vm.count(option) != 0 ? std::optional<T>(vm[option].as<T>()) : std::nullopt;
}

// A repeatable option's values, none when not given.
template <typename T>
std::vector<T> Repeated(const po::variables_map& vm, const char* option) {
  return Get<std::vector<T>>(vm, option).value_or(std::vector<T>{});
}

// What one option requires of `interface`: its own value, else the one for
// every interface; of several, the last counts.
template <typename Requirement>
std::optional<std::int32_t> RequiredOf(const std::vector<Requirement>& requirements,
                                       const std::string& interface) {
  std::optional<std::int32_t> every;
  std::optional<std::int32_t> own;
  for (const auto& requirement : requirements) {
    if (requirement.interface.empty()) {
      every = requirement.value;
    } else if (requirement.interface == interface) {
      own = requirement.value;
    }
  }
  return own ? own : every;
}

// A requirement naming an interface that is not checked would be ignored:
// the name, else empty.
template <typename Requirement>
std::string UncheckedInterface(const std::vector<Requirement>& requirements,
                               const std::vector<InterfaceTarget>& checked) {
  for (const auto& requirement : requirements) {
    if (!requirement.interface.empty() &&
        std::none_of(checked.begin(), checked.end(), [&requirement](const InterfaceTarget& t) {
          return t.name == requirement.interface;
        })) {
      return requirement.interface;
    }
  }
  return "";
}

std::vector<InterfaceTarget> InterfaceTargets(const po::variables_map& vm) {
  const auto tx = Repeated<RequiredTxType>(vm, "require-tx-type");
  const auto rx = Repeated<RequiredRxFilter>(vm, "require-rx-filter");
  std::vector<InterfaceTarget> targets;
  // A repeated name would give the same series twice, which Prometheus
  // refuses.
  for (const auto& name : Repeated<std::string>(vm, "interface")) {
    if (std::none_of(targets.begin(), targets.end(),
                     [&name](const InterfaceTarget& t) { return t.name == name; })) {
      targets.push_back({name, {RequiredOf(tx, name), RequiredOf(rx, name)}});
    }
  }
  return targets;
}

OffsetThresholds Thresholds(const po::variables_map& vm, const char* warningOption,
                            const char* criticalOption) {
  OffsetThresholds thresholds = DEFAULT_OFFSET_THRESHOLDS;
  if (const auto warning = Get<OffsetThreshold>(vm, warningOption)) {
    thresholds.warning = warning->value;
  }
  if (const auto critical = Get<OffsetThreshold>(vm, criticalOption)) {
    thresholds.critical = critical->value;
  }
  return thresholds;
}

// Each socket once, as for the interfaces.
std::vector<Ptp4lTarget> Ptp4lTargets(const po::variables_map& vm) {
  std::vector<Ptp4lTarget> targets;
  for (const auto& given : Repeated<Ptp4lSocket>(vm, "ptp4l")) {
    const std::string socket = given.path.empty() ? ptp::DEFAULT_PTP4L_SOCKET : given.path;
    if (std::none_of(targets.begin(), targets.end(),
                     [&socket](const Ptp4lTarget& t) { return t.socket == socket; })) {
      targets.push_back({socket,
                         Get<Timeout>(vm, "timeout").value_or(Timeout{DEFAULT_TIMEOUT}).value,
                         Thresholds(vm, "ptp-offset-warning", "ptp-offset-critical")});
    }
  }
  return targets;
}

std::optional<MonitorTarget> ReadMonitorTarget(const po::variables_map& vm) {
  const auto typed = Get<MonitorAddress>(vm, "monitor");
  if (!typed) {
    return std::nullopt;
  }
  MonitorTarget target;
  target.daemon.address = typed->typed.empty() ? std::string(vexa::DEFAULT_SOCKET_PATH)
                                               : tools::DaemonAddress(typed->typed);
  if (const auto uid = Get<tools::UserId>(vm, "daemon-uid")) {
    target.daemon.daemonUid = uid->value;
  }
  target.timeout = Get<Timeout>(vm, "timeout").value_or(Timeout{DEFAULT_TIMEOUT}).value;
  target.healthy = Get<HealthyStatuses>(vm, "healthy-status")
                       .value_or(HealthyStatuses{std::bitset<STATUS_VALUES>().set()})
                       .value;
  return target;
}

// Options that mean nothing without another, or contradict each other: why,
// else empty.
std::string Inconsistency(const po::variables_map& vm, const Configuration& configuration) {
  const auto given = [&vm](const char* option) { return vm.count(option) != 0; };
  if (!configuration.monitor && (given("daemon-uid") || given("healthy-status"))) {
    return "--daemon-uid and --healthy-status need --monitor";
  }
  if (!configuration.monitor && configuration.ptp4l.empty() && given("timeout")) {
    return "--timeout needs --monitor or --ptp4l";
  }
  if (configuration.ptp4l.empty() &&
      (given("ptp-offset-warning") || given("ptp-offset-critical"))) {
    return "--ptp-offset-warning and --ptp-offset-critical need --ptp4l";
  }
  if (!configuration.ptp4l.empty() && configuration.ptp4l.front().thresholds.warning >
                                          configuration.ptp4l.front().thresholds.critical) {
    return "--ptp-offset-warning is above --ptp-offset-critical (0.001 unless given)";
  }
  if (configuration.interfaces.empty()) {
    if (given("phc-warning") || given("phc-critical") || given("require-tx-type") ||
        given("require-rx-filter")) {
      return "--phc-warning, --phc-critical, --require-tx-type and --require-rx-filter need "
             "--interface";
    }
    return "";
  }
  if (configuration.phcThresholds.warning > configuration.phcThresholds.critical) {
    return "--phc-warning is above --phc-critical (0.001 unless given)";
  }
  const auto& checked = configuration.interfaces;
  if (const auto tx = UncheckedInterface(Repeated<RequiredTxType>(vm, "require-tx-type"), checked);
      !tx.empty()) {
    return "--require-tx-type names " + tx + ", which no --interface names";
  }
  if (const auto rx =
          UncheckedInterface(Repeated<RequiredRxFilter>(vm, "require-rx-filter"), checked);
      !rx.empty()) {
    return "--require-rx-filter names " + rx + ", which no --interface names";
  }
  return "";
}

}  // namespace

bool Configuration::Runs(std::string_view check) const {
  return std::find(skipped.begin(), skipped.end(), check) == skipped.end();
}

std::variant<Configuration, std::string> ReadConfiguration(const po::variables_map& vm) {
  Configuration configuration;
  configuration.format = Get<FormatName>(vm, "format").value_or(FormatName{Format::TEXT}).value;
  configuration.textfile = Get<std::string>(vm, "textfile");
  configuration.quiet = vm.count("quiet") != 0;
  configuration.leapSecondsList =
      Get<std::string>(vm, "leap-seconds-list").value_or(std::string(calendar::LEAP_SECONDS_LIST));
  for (const auto& skipped : Repeated<SkippedCheck>(vm, "skip")) {
    configuration.skipped.push_back(skipped.name);
  }
  configuration.interfaces = InterfaceTargets(vm);
  configuration.phcThresholds = Thresholds(vm, "phc-warning", "phc-critical");
  configuration.monitor = ReadMonitorTarget(vm);
  configuration.ptp4l = Ptp4lTargets(vm);
  if (auto problem = Inconsistency(vm, configuration); !problem.empty()) {
    return problem;
  }
  return configuration;
}

}  // namespace orvcheck
