// timepeek: prints the UTC date, the clocks MONOTONIC, TAI and REALTIME and
// the kernel's TAI offset, once or at an interval until SIGINT.
#include <frame.hpp>
#include <orv/orv.hpp>

#include "row.hpp"

#include <boost/program_options.hpp>

#include <poll.h>
#include <signal.h>
#include <time.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <system_error>

namespace po = boost::program_options;

namespace {

constexpr std::string_view USAGE =
    "Print UTC, clocks MONOTONIC, TAI & REALTIME and kernel TAI offset";

volatile std::sig_atomic_t running = 1;

// Only clears the flag: a row being written is completed, and the pause after
// it is not taken.
void StopLoop(int /*signal*/) {
  running = 0;
}

po::options_description DescribeOptions() {
  po::options_description options("Options");
  // clang-format off
  options.add_options()
      ("help,h", "Print help messages")
      ("version", "Print version and exit")
      ("interval", po::value<int>(), "print interval in ms, omit to print once");
  // clang-format on
  return options;
}

int IntervalMs(const po::variables_map& vm) {
  return vm.count("interval") != 0 ? vm["interval"].as<int>() : 0;
}

bool ReadClock(clockid_t clock, const char* what, timespec& reading) {
  if (clock_gettime(clock, &reading) == 0) {
    return true;
  }
  std::perror(what);
  return false;
}

// The kernel's TAI offset, shown as 0 when it cannot be read, as the row has
// always shown it; that it could not be read is said once on standard error,
// so that the 0 does not pass for an unset offset.
std::chrono::seconds ReadTaiOffset() {
  static bool reported = false;
  std::error_code error;
  const auto offset = orv::GetTaiOffset(error);
  if (error && !reported) {
    reported = true;
    std::cerr << "TAI offset unreadable (error code: " << error.value() << "): " << error.message()
              << "; TAI_OFFSET shows 0" << std::endl;
  }
  return offset;
}

std::optional<timepeek::Readings> ReadClocks() {
  timepeek::Readings readings{};
  if (!ReadClock(CLOCK_TAI, "clock_gettime(CLOCK_TAI)", readings.tai) ||
      !ReadClock(CLOCK_REALTIME, "clock_gettime(CLOCK_REALTIME)", readings.realtime) ||
      !ReadClock(CLOCK_MONOTONIC, "clock_gettime(CLOCK_MONOTONIC)", readings.monotonic)) {
    return std::nullopt;
  }
  readings.taiOffset = ReadTaiOffset();
  return readings;
}

// Pauses unless SIGINT has come. SIGINT is blocked from the test of the flag
// until ppoll lets it in atomically, so that one arriving in between still
// ends the pause at once.
void Pause(const timespec& pause) {
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  sigset_t duringPause;
  sigprocmask(SIG_BLOCK, &interrupt, &duringPause);
  if (running != 0) {
    ppoll(nullptr, 0, &pause, &duringPause);
  }
  sigprocmask(SIG_SETMASK, &duringPause, nullptr);
}

// One row, or with a positive interval rows until SIGINT.
int PrintRows(int intervalMs, const timespec& pause) {
  while (true) {
    const auto readings = ReadClocks();
    if (!readings) {
      return -1;
    }
    timepeek::WriteRow(std::cout, *readings);
    // A failed write ends the loop at once; tools::Finish reports it.
    if (intervalMs <= 0 || !tools::StdoutIntact()) {
      return 0;
    }
    Pause(pause);
    if (running == 0) {
      return 0;
    }
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  const auto options = DescribeOptions();
  po::variables_map vm;
  if (const auto status = tools::ParseCommandLine(argc, argv, options, USAGE, vm)) {
    return tools::Finish(*status);
  }
  const int intervalMs = IntervalMs(vm);
  // SIGINT also ends a run whose rows nobody reads.
  std::optional<tools::StopSignals> stopSignals;
  try {
    stopSignals.emplace({SIGINT}, StopLoop);
  } catch (const std::system_error& e) {
    std::cerr << "ERROR: " << e.what() << std::endl;
    return 1;
  }
  std::cout << timepeek::HEADER << std::endl;
  const timespec pause = timepeek::PauseFor(intervalMs);
  return tools::Finish(PrintRows(intervalMs, pause));
}
