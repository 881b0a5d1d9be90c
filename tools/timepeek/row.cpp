#include "row.hpp"

#include <cstdint>
#include <ctime>
#include <iomanip>

namespace {

// Seconds zero-filled to at least 8 digits, nanoseconds to exactly 9.
std::ostream& operator<<(std::ostream& out, timespec reading) {
  out << std::setw(8) << std::setfill('0') << reading.tv_sec << '.';
  return out << std::setw(9) << std::setfill('0') << reading.tv_nsec;
}

}  // namespace

namespace timepeek {

std::string FormatDate(const timespec& realtime) {
  const std::time_t seconds = realtime.tv_sec;
  const std::tm* utc = std::gmtime(&seconds);
  if (utc == nullptr) {
    return {};
  }
  char text[64];
  const auto length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", utc);
  return std::string(text, length);
}

void WriteRow(std::ostream& out, const Readings& readings) {
  out << FormatDate(readings.realtime) << "  " << readings.monotonic << "  " << readings.tai << "  "
      << readings.realtime << "  " << readings.taiOffset.count() << std::endl;
}

timespec PauseFor(int intervalMs) {
  // 64 bits: an interval above about 2.1 s overflows 32-bit nanoseconds.
  const std::int64_t nanoseconds = std::int64_t{intervalMs} * 1'000'000;
  timespec pause{};
  pause.tv_sec = nanoseconds / 1'000'000'000;
  pause.tv_nsec = nanoseconds % 1'000'000'000;
  return pause;
}

}  // namespace timepeek
