// orvcheck: the host's PTP timekeeping health (kernel TAI offset, leap-second
// list, interfaces' hardware timestamping and PTP hardware clocks, monitor
// daemon) for people, scripts and monitoring systems. Reads only; exits with
// the worst state.
#include <frame.hpp>

#include "checks.hpp"
#include "options.hpp"
#include "report.hpp"
#include "textfile.hpp"

#include <exception>
#include <functional>
#include <iostream>
#include <string>
#include <variant>
#include <vector>

namespace po = boost::program_options;

namespace {

constexpr std::string_view USAGE =
    "Check the host's PTP timekeeping: kernel TAI offset, leap-second list, interfaces, "
    "monitor daemon, ptp4l\n"
    "Exit status: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN";

constexpr int UNKNOWN = static_cast<int>(orvcheck::State::UNKNOWN);

// A check that fails in an unforeseen way (memory exhausted, say) is UNKNOWN
// with the reason, and the others still report.
orvcheck::CheckResult Guarded(std::string_view check, const std::string& interface,
                              const std::function<orvcheck::CheckResult()>& run) {
  try {
    return run();
  } catch (const std::exception& e) {
    return {.check = std::string(check),
            .interface = interface,
            .state = orvcheck::State::UNKNOWN,
            .message = "check failed: " + std::string(e.what())};
  }
}

void RunInterfaceChecks(const orvcheck::Configuration& configuration,
                        std::chrono::seconds calendarOffset,
                        std::vector<orvcheck::CheckResult>& results) {
  for (const auto& target : configuration.interfaces) {
    int phcIndex = -1;
    results.push_back(Guarded(orvcheck::check::INTERFACE, target.name, [&] {
      auto checked = orvcheck::CheckInterface(target.name, target.required);
      phcIndex = checked.phcIndex;
      return std::move(checked.result);
    }));
    if (phcIndex >= 0 && configuration.Runs(orvcheck::check::PHC)) {
      results.push_back(Guarded(orvcheck::check::PHC, target.name, [&] {
        return orvcheck::CheckPhc(target.name, phcIndex, configuration.phcThresholds,
                                  calendarOffset);
      }));
    }
  }
}

std::vector<orvcheck::CheckResult> RunChecks(const orvcheck::Configuration& configuration) {
  namespace check = orvcheck::check;
  const auto now =
      std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
  const auto reading = calendar::ReadLeapSecondList(configuration.leapSecondsList.c_str());
  // Every check that compares with the calendar takes this one value.
  const auto calendarOffset = calendar::CalendarTaiOffset(reading.list, now);
  // Each ptp4l is read once, for its own check and for the timescale's.
  std::vector<std::variant<ptp::Ptp4lReading, ptp::Ptp4lFailure>> reads;
  std::vector<orvcheck::GrandmasterTime> grandmasters;
  for (const auto& target : configuration.ptp4l) {
    reads.push_back(ptp::ReadPtp4l(target.socket, target.timeout));
    if (const auto* read = std::get_if<ptp::Ptp4lReading>(&reads.back())) {
      grandmasters.push_back({target.socket, read->timeProperties});
    }
  }
  std::vector<orvcheck::CheckResult> results;
  if (configuration.Runs(check::TAI_OFFSET)) {
    results.push_back(
        Guarded(check::TAI_OFFSET, "", [&] { return orvcheck::CheckTaiOffset(calendarOffset); }));
  }
  if (configuration.Runs(check::LEAP_LIST)) {
    results.push_back(Guarded(check::LEAP_LIST, "", [&] {
      return orvcheck::CheckLeapList(configuration.leapSecondsList, reading, now);
    }));
  }
  if (configuration.Runs(check::TIMESCALE)) {
    results.push_back(Guarded(check::TIMESCALE, "", [&] {
      return orvcheck::CheckTimescale(reading, now, std::move(grandmasters));
    }));
  }
  RunInterfaceChecks(configuration, calendarOffset, results);
  if (configuration.monitor) {
    results.push_back(Guarded(check::MONITOR, "",
                              [&] { return orvcheck::CheckMonitor(*configuration.monitor); }));
  }
  for (std::size_t i = 0; i < configuration.ptp4l.size(); ++i) {
    auto result = Guarded(check::PTP4L, "",
                          [&] { return orvcheck::CheckPtp4l(configuration.ptp4l[i], reads[i]); });
    result.socket = configuration.ptp4l[i].socket;
    results.push_back(std::move(result));
  }
  return results;
}

// A textfile that cannot be written leaves the monitoring system blind, its
// metrics stale: that is an UNKNOWN whatever the checks found, so that a
// service running orvcheck fails.
void WriteTextfile(const orvcheck::Configuration& configuration, orvcheck::Report& report) {
  if (!configuration.textfile) {
    return;
  }
  const auto failure = orvcheck::ReplaceFile(
      *configuration.textfile, orvcheck::Render(orvcheck::Format::OPENMETRICS, report));
  if (!failure) {
    return;
  }
  std::cerr << "ERROR: " << *failure << std::endl;
  report.state = orvcheck::State::UNKNOWN;
  report.failure = "textfile not written: " + *failure;
}

// A monitoring system shows the first line of standard output: a refused
// command line must not leave it empty.
int Refuse(const std::string& reason, const po::options_description& options) {
  std::cerr << "ERROR: " << reason << "\n\n" << options << std::endl;
  std::cout << "UNKNOWN - " << reason << std::endl;
  return tools::Finish(UNKNOWN, UNKNOWN);
}

int Run(int argc, char* argv[]) {
  const auto options = orvcheck::DescribeOptions();
  po::variables_map vm;
  std::string rejection;
  if (const auto status = tools::ParseCommandLine(argc, argv, options, USAGE, vm,
                                                  tools::STRAY_WORDS_REJECTED, &rejection)) {
    if (*status < 0) {
      std::cout << "UNKNOWN - " << rejection << std::endl;
      return tools::Finish(UNKNOWN, UNKNOWN);
    }
    return tools::Finish(*status, UNKNOWN);
  }
  const auto read = orvcheck::ReadConfiguration(vm);
  if (const auto* reason = std::get_if<std::string>(&read)) {
    return Refuse(*reason, options);
  }
  const auto& configuration = std::get<orvcheck::Configuration>(read);
  orvcheck::Report report;
  report.results = RunChecks(configuration);
  report.state = orvcheck::Overall(report.results);
  WriteTextfile(configuration, report);
  std::cout << orvcheck::Render(configuration.format, report, configuration.quiet);
  return tools::Finish(static_cast<int>(report.state), UNKNOWN);
}

}  // namespace

int main(int argc, char* argv[]) {
  // The last resort: whatever went wrong, a monitoring system gets an UNKNOWN
  // with the reason rather than a crash.
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::cout << "UNKNOWN - orvcheck failed: " << e.what() << std::endl;
    std::cerr << "ERROR: " << e.what() << std::endl;
  } catch (...) {
    std::cout << "UNKNOWN - orvcheck failed" << std::endl;
  }
  return tools::Finish(UNKNOWN, UNKNOWN);
}
