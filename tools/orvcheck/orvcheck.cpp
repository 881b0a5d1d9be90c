// orvcheck: the host's PTP timekeeping health (kernel TAI offset, leap-second
// list, interfaces' hardware timestamping and PTP hardware clocks, monitor
// daemon) for people, scripts and monitoring systems. Reads only; exits with
// the worst state.
#include <daemon_options.hpp>
#include <frame.hpp>
#include <vexa/client.hpp>

#include "checks.hpp"
#include "report.hpp"
#include "textfile.hpp"

#include <boost/program_options.hpp>

#include <algorithm>
#include <bitset>
#include <charconv>
#include <chrono>
#include <cmath>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace po = boost::program_options;

namespace {

constexpr std::string_view USAGE =
    "Check the host's PTP timekeeping: kernel TAI offset, leap-second list, interfaces, "
    "monitor daemon\n"
    "Exit status: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN";

constexpr std::chrono::milliseconds DEFAULT_TIMEOUT = std::chrono::seconds(3);
// Also the largest PHC threshold.
constexpr double LONGEST_TIMEOUT_SECONDS = 3600;
constexpr orvcheck::PhcThresholds DEFAULT_PHC_THRESHOLDS = {std::chrono::microseconds(1),
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
struct PhcThreshold {
  std::chrono::nanoseconds value;
};

void validate(boost::any& result, const std::vector<std::string>& values, PhcThreshold*, int) {
  result = PhcThreshold{std::chrono::nanoseconds(std::llround(SecondsValue(result, values) * 1e9))};
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

using RequiredTxType = Required<orvcheck::TxTypeValue>;
using RequiredRxFilter = Required<orvcheck::RxFilterValue>;

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

// The daemon's statuses that count as healthy: "0,1".
struct HealthyStatuses {
  std::bitset<orvcheck::STATUS_VALUES> value;
};

void validate(boost::any& result, const std::vector<std::string>& values, HealthyStatuses*, int) {
  po::validators::check_first_occurrence(result);
  const std::string& text = po::validators::get_single_string(values);
  HealthyStatuses healthy;
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string_view item(text.data() + start, comma - start);
    if (item.size() != 1 || item[0] < '0' ||
        static_cast<std::size_t>(item[0] - '0') >= orvcheck::STATUS_VALUES) {
      throw po::invalid_option_value(text);
    }
    healthy.value.set(static_cast<std::size_t>(item[0] - '0'));
    start = comma + 1;
  }
  result = healthy;
}

// A check that runs unless left out.
struct SkippedCheck {
  std::string name;
};

void validate(boost::any& result, const std::vector<std::string>& values, SkippedCheck*, int) {
  const std::string& text = po::validators::get_single_string(values);
  if (text != "tai-offset" && text != "leap-list" && text != "phc") {
    throw po::invalid_option_value(text);
  }
  result = SkippedCheck{text};
}

// One of the output formats, by name.
struct FormatName {
  orvcheck::Format value;
};

void validate(boost::any& result, const std::vector<std::string>& values, FormatName*, int) {
  po::validators::check_first_occurrence(result);
  const std::string& text = po::validators::get_single_string(values);
  if (text == "text") {
    result = FormatName{orvcheck::Format::TEXT};
  } else if (text == "json") {
    result = FormatName{orvcheck::Format::JSON};
  } else if (text == "openmetrics") {
    result = FormatName{orvcheck::Format::OPENMETRICS};
  } else {
    throw po::invalid_option_value(text);
  }
}

po::options_description DescribeOptions() {
  po::options_description options("Options");
  // clang-format off
  options.add_options()
      ("help,h", "Print help messages")
      ("version", "Print version and exit")
      ("interface", po::value<std::vector<std::string>>()->value_name("NAME"),
       "check NAME's hardware timestamping and PTP hardware clock; repeatable")
      ("phc-warning", po::value<PhcThreshold>()->value_name("SECONDS"),
       "a PHC further from CLOCK_TAI is a warning (default 0.000001)")
      ("phc-critical", po::value<PhcThreshold>()->value_name("SECONDS"),
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
      ("timeout", po::value<Timeout>()->value_name("SECONDS"),
       "wait this long for the daemon's status (default 3)")
      ("healthy-status", po::value<HealthyStatuses>()->value_name("LIST"),
       "the daemon's statuses that are healthy, such as 0,1 (default all)")
      ("skip", po::value<std::vector<SkippedCheck>>()->value_name("CHECK"),
       "leave out tai-offset, leap-list or phc; repeatable")
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

// The monitor's options mean nothing without it: say so rather than ignore
// them.
bool MonitorOptionsConsistent(const po::variables_map& vm, const po::options_description& options) {
  if (vm.count("monitor") != 0 || (vm.count("daemon-uid") == 0 && vm.count("timeout") == 0 &&
                                   vm.count("healthy-status") == 0)) {
    return true;
  }
  std::cerr << "ERROR: --daemon-uid, --timeout and --healthy-status need --monitor\n\n"
            << options << std::endl;
  return false;
}

orvcheck::PhcThresholds PhcThresholds(const po::variables_map& vm) {
  orvcheck::PhcThresholds thresholds = DEFAULT_PHC_THRESHOLDS;
  if (vm.count("phc-warning") != 0) {
    thresholds.warning = vm["phc-warning"].as<PhcThreshold>().value;
  }
  if (vm.count("phc-critical") != 0) {
    thresholds.critical = vm["phc-critical"].as<PhcThreshold>().value;
  }
  return thresholds;
}

template <typename Requirement>
const std::vector<Requirement>& Requirements(const po::variables_map& vm, const char* option) {
  static const std::vector<Requirement> none;
  return vm.count(option) != 0 ? vm[option].as<std::vector<Requirement>>() : none;
}

// A requirement naming an interface that is not checked would be ignored:
// the name, else empty.
template <typename Requirement>
std::string UncheckedInterface(const po::variables_map& vm, const char* option) {
  const auto& checked = vm["interface"].as<std::vector<std::string>>();
  for (const auto& requirement : Requirements<Requirement>(vm, option)) {
    if (!requirement.interface.empty() &&
        std::find(checked.begin(), checked.end(), requirement.interface) == checked.end()) {
      return requirement.interface;
    }
  }
  return "";
}

// The PHC thresholds and the requirements concern the interfaces checked:
// say so rather than ignore them, and refuse thresholds in the wrong order.
bool InterfaceOptionsConsistent(const po::variables_map& vm,
                                const po::options_description& options) {
  std::string problem;
  if (vm.count("interface") == 0) {
    if (vm.count("phc-warning") != 0 || vm.count("phc-critical") != 0 ||
        vm.count("require-tx-type") != 0 || vm.count("require-rx-filter") != 0) {
      problem =
          "--phc-warning, --phc-critical, --require-tx-type and --require-rx-filter need "
          "--interface";
    }
  } else if (const auto thresholds = PhcThresholds(vm); thresholds.warning > thresholds.critical) {
    problem = "--phc-warning is above --phc-critical (0.001 unless given)";
  } else if (const auto tx = UncheckedInterface<RequiredTxType>(vm, "require-tx-type");
             !tx.empty()) {
    problem = "--require-tx-type names " + tx + ", which no --interface names";
  } else if (const auto rx = UncheckedInterface<RequiredRxFilter>(vm, "require-rx-filter");
             !rx.empty()) {
    problem = "--require-rx-filter names " + rx + ", which no --interface names";
  }
  if (problem.empty()) {
    return true;
  }
  std::cerr << "ERROR: " << problem << "\n\n" << options << std::endl;
  return false;
}

// What one option requires of `interface`: its own value, else the one for
// every interface; of several, the last counts.
template <typename Requirement>
std::optional<std::int32_t> RequiredOf(const po::variables_map& vm, const char* option,
                                       const std::string& interface) {
  std::optional<std::int32_t> every;
  std::optional<std::int32_t> own;
  for (const auto& requirement : Requirements<Requirement>(vm, option)) {
    if (requirement.interface.empty()) {
      every = requirement.value;
    } else if (requirement.interface == interface) {
      own = requirement.value;
    }
  }
  return own ? own : every;
}

std::string LeapSecondsListPath(const po::variables_map& vm) {
  return vm.count("leap-seconds-list") != 0 ? vm["leap-seconds-list"].as<std::string>()
                                            : calendar::LEAP_SECONDS_LIST;
}

orvcheck::MonitorTarget MonitorTarget(const po::variables_map& vm) {
  const auto& typed = vm["monitor"].as<MonitorAddress>().typed;
  orvcheck::MonitorTarget target;
  target.address =
      typed.empty() ? std::string(vexa::DEFAULT_SOCKET_PATH) : tools::DaemonAddress(typed);
  if (vm.count("daemon-uid") != 0) {
    target.daemonUid = vm["daemon-uid"].as<tools::UserId>().value;
  }
  target.timeout = vm.count("timeout") != 0 ? vm["timeout"].as<Timeout>().value : DEFAULT_TIMEOUT;
  target.healthy = vm.count("healthy-status") != 0
                       ? vm["healthy-status"].as<HealthyStatuses>().value
                       : std::bitset<orvcheck::STATUS_VALUES>().set();
  return target;
}

bool Skipped(const po::variables_map& vm, std::string_view check) {
  if (vm.count("skip") == 0) {
    return false;
  }
  const auto& skipped = vm["skip"].as<std::vector<SkippedCheck>>();
  return std::any_of(skipped.begin(), skipped.end(),
                     [check](const SkippedCheck& s) { return s.name == check; });
}

std::vector<orvcheck::CheckResult> RunChecks(const po::variables_map& vm) {
  const auto now =
      std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
  const std::string listPath = LeapSecondsListPath(vm);
  const auto reading = calendar::ReadLeapSecondList(listPath.c_str());
  // The PHC check explains whole seconds from the same value.
  const auto calendarOffset = calendar::CalendarTaiOffset(reading.list, now);
  std::vector<orvcheck::CheckResult> results;
  if (!Skipped(vm, "tai-offset")) {
    results.push_back(orvcheck::CheckTaiOffset(calendarOffset));
  }
  if (!Skipped(vm, "leap-list")) {
    results.push_back(orvcheck::CheckLeapList(listPath, reading, now));
  }
  if (vm.count("interface") != 0) {
    std::vector<std::string> checked;
    // A repeated name would give the same series twice, which Prometheus
    // refuses.
    for (const auto& name : vm["interface"].as<std::vector<std::string>>()) {
      if (std::find(checked.begin(), checked.end(), name) != checked.end()) {
        continue;
      }
      checked.push_back(name);
      const orvcheck::RequiredConfiguration required = {
          RequiredOf<RequiredTxType>(vm, "require-tx-type", name),
          RequiredOf<RequiredRxFilter>(vm, "require-rx-filter", name)};
      auto interface = orvcheck::CheckInterface(name, required);
      results.push_back(std::move(interface.result));
      if (interface.phcIndex >= 0 && !Skipped(vm, "phc")) {
        results.push_back(
            orvcheck::CheckPhc(name, interface.phcIndex, PhcThresholds(vm), calendarOffset));
      }
    }
  }
  if (vm.count("monitor") != 0) {
    results.push_back(orvcheck::CheckMonitor(MonitorTarget(vm)));
  }
  return results;
}

// A textfile that cannot be written leaves the monitoring system blind, its
// metrics stale: that is an UNKNOWN whatever the checks found, so that a
// service running orvcheck fails.
void WriteTextfile(const po::variables_map& vm, orvcheck::Report& report) {
  if (vm.count("textfile") == 0) {
    return;
  }
  const auto& path = vm["textfile"].as<std::string>();
  const auto failure =
      orvcheck::ReplaceFile(path, orvcheck::Render(orvcheck::Format::OPENMETRICS, report));
  if (!failure) {
    return;
  }
  std::cerr << "ERROR: " << *failure << std::endl;
  report.state = orvcheck::State::UNKNOWN;
  report.failure = "textfile not written: " + *failure;
}

orvcheck::Format OutputFormat(const po::variables_map& vm) {
  return vm.count("format") != 0 ? vm["format"].as<FormatName>().value : orvcheck::Format::TEXT;
}

}  // namespace

int main(int argc, char* argv[]) {
  constexpr int UNKNOWN = static_cast<int>(orvcheck::State::UNKNOWN);
  const auto options = DescribeOptions();
  po::variables_map vm;
  if (const auto status =
          tools::ParseCommandLine(argc, argv, options, USAGE, vm, tools::STRAY_WORDS_REJECTED)) {
    // A rejected command line is an UNKNOWN to a monitoring system.
    return tools::Finish(*status < 0 ? UNKNOWN : *status, UNKNOWN);
  }
  if (!MonitorOptionsConsistent(vm, options) || !InterfaceOptionsConsistent(vm, options)) {
    return UNKNOWN;
  }
  orvcheck::Report report;
  report.results = RunChecks(vm);
  report.state = orvcheck::Overall(report.results);
  WriteTextfile(vm, report);
  std::cout << orvcheck::Render(OutputFormat(vm), report, vm.count("quiet") != 0);
  return tools::Finish(static_cast<int>(report.state), UNKNOWN);
}
