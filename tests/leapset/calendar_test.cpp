// The calendar value of TAI - UTC around the listed leap second dates.
#include <calendar.hpp>

#include <gtest/gtest.h>

#include <chrono>

using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

sys_seconds At(year_month_day date, seconds timeOfDay = 0s) { return sys_days{date} + timeOfDay; }

TEST(CalendarTaiOffset, AroundTheLastLeapSecond) {
  EXPECT_EQ(leapset::CalendarTaiOffset(At(2016y / 12 / 31, 23h + 59min + 59s)), 36s);
  // A leap second counts from its listed date onward.
  EXPECT_EQ(leapset::CalendarTaiOffset(At(2017y / 1 / 1)), 37s);
  EXPECT_EQ(leapset::CalendarTaiOffset(At(2017y / 1 / 1, 1s)), 37s);
  EXPECT_EQ(leapset::CalendarTaiOffset(At(2026y / 12 / 8)), 37s);
}

TEST(CalendarTaiOffset, EarlyYears) {
  EXPECT_EQ(leapset::CalendarTaiOffset(At(1972y / 6 / 30, 23h + 59min + 59s)), 10s);
  EXPECT_EQ(leapset::CalendarTaiOffset(At(1972y / 7 / 1)), 11s);
  EXPECT_EQ(leapset::CalendarTaiOffset(At(1970y / 1 / 1)), 10s);
  // Before 1970 no leap second counts either.
  EXPECT_EQ(leapset::CalendarTaiOffset(At(1969y / 7 / 20)), 10s);
  EXPECT_EQ(leapset::CalendarTaiOffset(At(1900y / 1 / 1)), 10s);
}

// Leap seconds take effect on 1 January or 1 July; checking the second before
// and the first second of each such day compares the two lists whole.
TEST(CalendarTaiOffset, BuiltinListAgreesWithTheDatabase) {
  ASSERT_TRUE(leapset::DatabaseLeapSeconds(At(2020y / 1 / 1)).has_value())
      << "the time-zone database should list leap seconds on this machine";
  for (auto y = 1970y; y <= 2030y; ++y) {
    for (const auto month : {January, July}) {
      const auto start = At(y / month / 1);
      for (const auto t : {start - 1s, start}) {
        EXPECT_EQ(leapset::DatabaseLeapSeconds(t), leapset::BuiltinLeapSeconds(t))
            << "at " << t.time_since_epoch().count();
      }
    }
  }
}

TEST(CalendarTaiOffset, BuiltinListCountsAllTwentySeven) {
  EXPECT_EQ(leapset::BuiltinLeapSeconds(At(1972y / 6 / 30)), 0s);
  EXPECT_EQ(leapset::BuiltinLeapSeconds(At(1972y / 7 / 1)), 1s);
  EXPECT_EQ(leapset::BuiltinLeapSeconds(At(2016y / 12 / 31, 23h + 59min + 59s)), 26s);
  EXPECT_EQ(leapset::BuiltinLeapSeconds(At(2017y / 1 / 1)), 27s);
}

}  // namespace
