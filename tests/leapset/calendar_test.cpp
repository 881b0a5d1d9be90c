// The calendar value of TAI - UTC around the listed leap second dates, and
// the leap-second list reader against the whole time-zone database.
#include <calendar.hpp>

#include "database.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

sys_seconds At(year_month_day date, seconds timeOfDay = 0s) {
  return sys_days{date} + timeOfDay;
}

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
// and the first second of each such day compares two lists whole.
template <typename Count>
void ExpectAgreesWithTheDatabase(Count count) {
  ASSERT_TRUE(leapsettest::DatabaseLeapSeconds(At(2020y / 1 / 1)).has_value())
      << "the time-zone database should list leap seconds on this machine";
  for (auto y = 1970y; y <= 2030y; ++y) {
    for (const auto month : {January, July}) {
      const auto start = At(y / month / 1);
      for (const auto t : {start - 1s, start}) {
        EXPECT_EQ(count(t), leapsettest::DatabaseLeapSeconds(t))
            << "at " << t.time_since_epoch().count();
      }
    }
  }
}

TEST(CalendarTaiOffset, BuiltinListAgreesWithTheDatabase) {
  ExpectAgreesWithTheDatabase([](sys_seconds t) { return leapset::BuiltinLeapSeconds(t); });
}

TEST(CalendarTaiOffset, InstalledLeapSecondListAgreesWithTheDatabase) {
  ExpectAgreesWithTheDatabase(
      [](sys_seconds t) { return leapset::ListedLeapSeconds(leapset::LEAP_SECONDS_LIST, t); });
}

TEST(CalendarTaiOffset, BuiltinListCountsAllTwentySeven) {
  EXPECT_EQ(leapset::BuiltinLeapSeconds(At(1972y / 6 / 30)), 0s);
  EXPECT_EQ(leapset::BuiltinLeapSeconds(At(1972y / 7 / 1)), 1s);
  EXPECT_EQ(leapset::BuiltinLeapSeconds(At(2016y / 12 / 31, 23h + 59min + 59s)), 26s);
  EXPECT_EQ(leapset::BuiltinLeapSeconds(At(2017y / 1 / 1)), 27s);
}

class LeapSecondList : public testing::Test {
 protected:
  ~LeapSecondList() override { std::remove(path.c_str()); }

  std::string Write(const std::string& content) {
    std::ofstream(path) << content;
    return path;
  }

  // ctest runs each case in a process of its own, at the same time.
  const std::string path = testing::TempDir() + "leap-seconds.list." + std::to_string(::getpid());
};

// NTP times: 1972-01-01, 1972-07-01 and 2017-01-01, with a comment, a blank
// line and trailing comments as the shipped list has them.
const std::string SHORT_LIST =
    "#\tleap seconds\n"
    "#@\t3960057600\n"
    "2272060800\t10\t# 1 Jan 1972\n"
    "\n"
    "2287785600\t11\t# 1 Jul 1972\n"
    "3692217600\t37\t# 1 Jan 2017\n"
    "#h\tffffffff 00000000\n";

TEST_F(LeapSecondList, CountsFromEachDateOnward) {
  const auto list = Write(SHORT_LIST);
  EXPECT_EQ(leapset::ListedLeapSeconds(list.c_str(), At(1969y / 12 / 31)), 0s);
  EXPECT_EQ(leapset::ListedLeapSeconds(list.c_str(), At(1972y / 1 / 1)), 0s);
  EXPECT_EQ(leapset::ListedLeapSeconds(list.c_str(), At(1972y / 7 / 1) - 1s), 0s);
  EXPECT_EQ(leapset::ListedLeapSeconds(list.c_str(), At(1972y / 7 / 1)), 1s);
  EXPECT_EQ(leapset::ListedLeapSeconds(list.c_str(), At(2016y / 12 / 31, 23h + 59min + 59s)), 1s);
  EXPECT_EQ(leapset::ListedLeapSeconds(list.c_str(), At(2017y / 1 / 1)), 27s);
}

// The calendar then falls back on its built-in list.
TEST_F(LeapSecondList, GivesNothingWhenItCannotBeTrusted) {
  const auto t = At(2020y / 1 / 1);
  EXPECT_EQ(leapset::ListedLeapSeconds((path + ".missing").c_str(), t), std::nullopt);
  EXPECT_EQ(leapset::ListedLeapSeconds(testing::TempDir().c_str(), t), std::nullopt);
  for (const auto& content : {std::string{}, std::string{"# only a comment\n\n"},
                              SHORT_LIST + "3692217600\n", SHORT_LIST + "leap 37\n"}) {
    EXPECT_EQ(leapset::ListedLeapSeconds(Write(content).c_str(), t), std::nullopt) << content;
  }
}

}  // namespace
