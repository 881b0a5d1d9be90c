// orvcheck: the host's PTP timekeeping health (kernel TAI offset, leap-second
// list, interfaces' hardware timestamping, monitor daemon) for people,
// scripts and monitoring systems. Reads only; exits with the worst state.
#include <daemon_options.hpp>
#include <frame.hpp>
#include <vexa/client.hpp>

#include "checks.hpp"
#include "report.hpp"
#include "textfile.hpp"

#include <boost/program_options.hpp>

#include <charconv>
#include <chrono>
#include <iostream>
#include <string>
#include <vector>

namespace po = boost::program_options;

namespace {

constexpr std::string_view USAGE =
    "Check the host's PTP timekeeping: kernel TAI offset, leap-second list, interfaces, "
    "monitor daemon\n"
    "Exit status: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN";

constexpr std::chrono::milliseconds DEFAULT_TIMEOUT = std::chrono::seconds(3);
constexpr double LONGEST_TIMEOUT_SECONDS = 3600;

// How long to wait for the daemon: a positive number of seconds, decimals
// allowed.
struct Timeout {
  std::chrono::milliseconds value;
};

void validate(boost::any& result, const std::vector<std::string>& values, Timeout*, int) {
  po::validators::check_first_occurrence(result);
  const std::string& text = po::validators::get_single_string(values);
  double seconds = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() || !(seconds > 0) ||
      seconds > LONGEST_TIMEOUT_SECONDS) {
    throw po::invalid_option_value(text);
  }
  result = Timeout{std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000 + 0.5))};
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
       "check NAME's hardware timestamping; repeatable")
      ("monitor", po::value<std::string>()->implicit_value("")->value_name("[=ADDRESS]"),
       "check the monitor daemon; @NAME for abstract (default @orvmon)")
      ("daemon-uid", po::value<tools::UserId>()->value_name("UID"),
       "accept only a daemon run by this user id")
      ("timeout", po::value<Timeout>()->value_name("SECONDS"),
       "wait this long for the daemon's status (default 3)")
      ("leap-seconds-list", po::value<std::string>()->value_name("PATH"),
       "leap-second list (default tzdata's)")
      ("format", po::value<FormatName>()->value_name("FORMAT"),
       "text (default), json or openmetrics")
      ("textfile", po::value<std::string>()->value_name("PATH"),
       "also write openmetrics to PATH atomically");
  // clang-format on
  return options;
}

// The monitor's options mean nothing without it: say so rather than ignore
// them.
bool MonitorOptionsConsistent(const po::variables_map& vm, const po::options_description& options) {
  if (vm.count("monitor") != 0 || (vm.count("daemon-uid") == 0 && vm.count("timeout") == 0)) {
    return true;
  }
  std::cerr << "ERROR: --daemon-uid and --timeout need --monitor\n\n" << options << std::endl;
  return false;
}

std::string LeapSecondsListPath(const po::variables_map& vm) {
  return vm.count("leap-seconds-list") != 0 ? vm["leap-seconds-list"].as<std::string>()
                                            : calendar::LEAP_SECONDS_LIST;
}

orvcheck::MonitorTarget MonitorTarget(const po::variables_map& vm) {
  const auto& typed = vm["monitor"].as<std::string>();
  orvcheck::MonitorTarget target;
  target.address =
      typed.empty() ? std::string(vexa::DEFAULT_SOCKET_PATH) : tools::DaemonAddress(typed);
  if (vm.count("daemon-uid") != 0) {
    target.daemonUid = vm["daemon-uid"].as<tools::UserId>().value;
  }
  target.timeout = vm.count("timeout") != 0 ? vm["timeout"].as<Timeout>().value : DEFAULT_TIMEOUT;
  return target;
}

std::vector<orvcheck::CheckResult> RunChecks(const po::variables_map& vm) {
  const auto now =
      std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
  const std::string listPath = LeapSecondsListPath(vm);
  const auto reading = calendar::ReadLeapSecondList(listPath.c_str());
  std::vector<orvcheck::CheckResult> results;
  results.push_back(orvcheck::CheckTaiOffset(reading.list, now));
  results.push_back(orvcheck::CheckLeapList(listPath, reading, now));
  if (vm.count("interface") != 0) {
    for (const auto& name : vm["interface"].as<std::vector<std::string>>()) {
      results.push_back(orvcheck::CheckInterface(name));
    }
  }
  if (vm.count("monitor") != 0) {
    results.push_back(orvcheck::CheckMonitor(MonitorTarget(vm)));
  }
  return results;
}

// A textfile that cannot be written leaves the monitoring system blind: that
// is an UNKNOWN, whatever the checks found.
orvcheck::State WriteTextfile(const po::variables_map& vm,
                              const std::vector<orvcheck::CheckResult>& results,
                              orvcheck::State overall) {
  if (vm.count("textfile") == 0) {
    return overall;
  }
  const auto& path = vm["textfile"].as<std::string>();
  const auto failure = orvcheck::ReplaceFile(
      path, orvcheck::Render(orvcheck::Format::OPENMETRICS, results, overall));
  if (!failure) {
    return overall;
  }
  std::cerr << "ERROR: " << *failure << std::endl;
  return orvcheck::Worse(overall, orvcheck::State::UNKNOWN);
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
  if (!MonitorOptionsConsistent(vm, options)) {
    return UNKNOWN;
  }
  const auto results = RunChecks(vm);
  const auto overall = WriteTextfile(vm, results, orvcheck::Overall(results));
  std::cout << orvcheck::Render(OutputFormat(vm), results, overall);
  return tools::Finish(static_cast<int>(overall), UNKNOWN);
}
