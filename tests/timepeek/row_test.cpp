// timepeek's row formatting with fixed readings.
#include "row.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <sstream>
#include <string>

using namespace std::chrono_literals;

namespace {

// The worked example: REALTIME 1700000000.500000350, TAI 37 s ahead.
timepeek::Readings Example() {
  timepeek::Readings readings{};
  readings.tai = {1700000037, 500000100};
  readings.realtime = {1700000000, 500000350};
  readings.monotonic = {12345, 1000};
  readings.taiOffset = 37s;
  return readings;
}

std::string Row(const timepeek::Readings& readings) {
  std::ostringstream out;
  timepeek::WriteRow(out, readings);
  return out.str();
}

TEST(TimepeekRow, WorkedExample) {
  EXPECT_EQ(Row(Example()),
            "2023-11-14T22:13:20  00012345.000001000  1700000037.500000100  "
            "1700000000.500000350  37\n");
}

TEST(TimepeekRow, ValuesStartUnderTheirTitles) {
  const std::string header(timepeek::HEADER);
  const std::string row = Row(Example());
  for (const char* title : {"CLOCK_MONOTONIC", "CLOCK_TAI", "CLOCK_REALTIME", "TAI_OFFSET"}) {
    const auto column = header.find(title);
    ASSERT_NE(column, std::string::npos) << title;
    EXPECT_EQ(row.substr(column - 2, 2), "  ") << title;
    EXPECT_NE(row[column], ' ') << title;
  }
}

TEST(TimepeekRow, ReadingsAreZeroFilled) {
  auto readings = Example();
  readings.monotonic = {7, 5};
  readings.tai = {0, 0};
  EXPECT_EQ(Row(readings),
            "2023-11-14T22:13:20  00000007.000000005  00000000.000000000  "
            "1700000000.500000350  37\n");
  // More than 8 digits of seconds widen the field; nothing is cut.
  readings.monotonic = {123456789, 999999999};
  EXPECT_EQ(Row(readings).substr(21, 19), "123456789.999999999");
}

TEST(TimepeekRow, OffsetHasSignAndNoFill) {
  auto readings = Example();
  readings.taiOffset = -5s;
  EXPECT_EQ(Row(readings).substr(85), "-5\n");
  readings.taiOffset = 0s;
  EXPECT_EQ(Row(readings).substr(85), "0\n");
  readings.taiOffset = std::chrono::seconds{1LL << 40};
  EXPECT_EQ(Row(readings).substr(85), "1099511627776\n");
}

TEST(TimepeekDate, WholeSecondsOfRealtimeInUtc) {
  EXPECT_EQ(timepeek::FormatDate({0, 0}), "1970-01-01T00:00:00");
  // The fraction is dropped, not rounded.
  EXPECT_EQ(timepeek::FormatDate({1700000000, 999999999}), "2023-11-14T22:13:20");
  EXPECT_EQ(timepeek::FormatDate({951782400, 0}), "2000-02-29T00:00:00");
  EXPECT_EQ(timepeek::FormatDate({4102444799, 0}), "2099-12-31T23:59:59");
}

TEST(TimepeekDate, YearBeyondTheCalendarIsEmpty) {
  EXPECT_EQ(timepeek::FormatDate({LLONG_MAX, 0}), "");
}

TEST(TimepeekPause, SplitIntoSecondsAndNanoseconds) {
  const auto check = [](int intervalMs, time_t seconds, long nanoseconds) {
    const timespec pause = timepeek::PauseFor(intervalMs);
    EXPECT_EQ(pause.tv_sec, seconds) << intervalMs;
    EXPECT_EQ(pause.tv_nsec, nanoseconds) << intervalMs;
  };
  check(1500, 1, 500000000);
  check(250, 0, 250000000);
  check(1000, 1, 0);
  check(1, 0, 1000000);
  // Overflows 32-bit nanoseconds many times over.
  check(INT_MAX, 2147483, 647000000);
}

}  // namespace
