// leapset: shows the kernel's TAI offset, sets it, or initialises it from the
// calendar when the kernel has none.
#include <calendar.hpp>
#include <frame.hpp>
#include <orv/orv.hpp>

#include <boost/program_options.hpp>

#include <chrono>
#include <iostream>
#include <optional>
#include <string>

namespace po = boost::program_options;

namespace {

constexpr std::string_view USAGE = "Get/set kernel TAI offset (no option = get)";

// The calendar value now, and why the built-in list gave it when the
// installed list was refused (empty when that list was used).
struct CalendarValue {
  std::chrono::seconds offset;
  std::string builtinBecause;
};

CalendarValue CalendarValueNow() {
  const auto now =
      std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
  const auto reading = calendar::ReadLeapSecondList(calendar::LEAP_SECONDS_LIST);
  return {calendar::CalendarTaiOffset(reading.list, now), reading.refusal};
}

po::options_description DescribeOptions() {
  po::options_description options("Options");
  // clang-format off
  options.add_options()
      ("help,h", "Print help messages")
      ("version", "Print version and exit")
      ("verbose", po::bool_switch(), "Print debug information")
      ("set", po::value<int>(), "Set kernel TAI offset in seconds")
      ("init", po::bool_switch(), "Set kernel TAI offset to calendar value if unset");
  // clang-format on
  return options;
}

// The kernel's offset, or nullopt after the error line: an offset that cannot
// be read must not pass for an unset one.
std::optional<std::chrono::seconds> ReadOffset() {
  std::error_code error;
  const auto offset = orv::GetTaiOffset(error);
  if (error) {
    std::cerr << "ERROR reading TAI offset (error code: " << error.value()
              << "): " << error.message() << std::endl;
    return std::nullopt;
  }
  return offset;
}

int ShowOffset() {
  const auto offset = ReadOffset();
  if (!offset) {
    return 1;
  }
  std::cout << offset->count() << std::endl;
  return 0;
}

// Nothing is changed without the old offset: --init needs it, and a kernel
// that refuses the read refuses the change as well.
int ChangeOffset(std::chrono::seconds requested, bool init, bool verbose) {
  const auto old = ReadOffset();
  if (!old) {
    return 1;
  }
  if (verbose) {
    std::cout << "Old offset: " << old->count() << std::endl;
  }
  if (init && *old != std::chrono::seconds::zero()) {
    if (verbose) {
      std::cout << "Offset not changed" << std::endl;
    }
    return 0;
  }
  if (const auto error = orv::SetTaiOffset(requested)) {
    std::cerr << "ERROR setting TAI offset (error code: " << error.value()
              << "): " << error.message() << std::endl;
    return 1;
  }
  if (verbose) {
    const auto now = ReadOffset();
    if (!now) {
      return 1;
    }
    std::cout << "New offset: " << now->count() << std::endl;
  }
  return 0;
}

int Run(const po::variables_map& vm, const CalendarValue& calendarValue) {
  const bool verbose = vm["verbose"].as<bool>();
  const bool init = vm["init"].as<bool>();
  const bool set = vm.count("set") != 0;
  if (!set && !init) {
    return ShowOffset();
  }
  if (!set && verbose && !calendarValue.builtinBecause.empty()) {
    std::cerr << "Built-in leap-second list used: " << calendar::LEAP_SECONDS_LIST << ": "
              << calendarValue.builtinBecause << std::endl;
  }
  const auto requested = set ? std::chrono::seconds{vm["set"].as<int>()} : calendarValue.offset;
  return ChangeOffset(requested, init, verbose);
}

}  // namespace

int main(int argc, char* argv[]) {
  const auto calendarValue = CalendarValueNow();
  const auto options = DescribeOptions();
  po::variables_map vm;
  if (const auto status = tools::ParseCommandLine(argc, argv, options, USAGE, vm)) {
    return tools::Finish(*status);
  }
  return tools::Finish(Run(vm, calendarValue));
}
