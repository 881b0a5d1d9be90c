// The calendar value of TAI - UTC around the listed leap second dates, and
// the leap-second list reader against the whole time-zone database.
#include <calendar.hpp>

#include "database.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <regex>
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
      [list = leapset::ReadLeapSecondList(leapset::LEAP_SECONDS_LIST)](sys_seconds t) {
        return list ? std::optional{leapset::LeapSecondsAt(*list, t)} : std::nullopt;
      });
}

TEST(CalendarTaiOffset, BuiltinListCountsAllTwentySeven) {
  EXPECT_EQ(leapset::BuiltinLeapSeconds(At(1972y / 6 / 30)), 0s);
  EXPECT_EQ(leapset::BuiltinLeapSeconds(At(1972y / 7 / 1)), 1s);
  EXPECT_EQ(leapset::BuiltinLeapSeconds(At(2016y / 12 / 31, 23h + 59min + 59s)), 26s);
  EXPECT_EQ(leapset::BuiltinLeapSeconds(At(2017y / 1 / 1)), 27s);
}

// NTP time of a date.
std::string Ntp(sys_days date) {
  return std::to_string(sys_seconds{date}.time_since_epoch().count() + 2'208'988'800);
}

// A list in the shipped list's form, ending with `lastEntries` in place of
// its 2017-01-01 entry.
std::string ListEndingWith(const std::string& lastEntries = "3692217600\t37\t# 1 Jan 2017\n") {
  std::string list = "#\tleap seconds\n#$\t3960835200\n#@\t3991593600\n\n2272060800\t10\t# 1972\n";
  const auto& dates = leapset::BuiltinLeapSecondDates();
  for (std::size_t i = 0; i + 1 < dates.size(); ++i) {
    list += Ntp(dates[i]) + "\t" + std::to_string(11 + i) + "\t# a leap second\n";
  }
  return list + lastEntries + "#h\t49db2447 571e5e1b 2f002a53 9c8da8e4 39b8e49e\n";
}

class LeapSecondList : public testing::Test {
 protected:
  ~LeapSecondList() override { std::remove(path.c_str()); }

  std::string Write(const std::string& content) {
    std::remove(path.c_str());
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  std::optional<leapset::LeapSecondList> Read(const std::string& content) {
    return leapset::ReadLeapSecondList(Write(content).c_str());
  }

  // ctest runs each case in a process of its own, at the same time.
  const std::string path = testing::TempDir() + "leap-seconds.list." + std::to_string(::getpid());
};

TEST_F(LeapSecondList, CountsALaterLeapSecondAndKeepsTheHashedLines) {
  const auto list = Read(ListEndingWith("3692217600\t37\t# 1 Jan 2017\n3900000000 38\n"));
  ASSERT_TRUE(list);
  // The installed list's test covers the dates up to 2017; a leap second
  // after the built-in list's last one counts as listed.
  EXPECT_EQ(leapset::LeapSecondsAt(*list, sys_seconds{3900000000s - 2'208'988'800s} - 1s), 27s);
  EXPECT_EQ(leapset::LeapSecondsAt(*list, sys_seconds{3900000000s - 2'208'988'800s}), 28s);
  EXPECT_EQ(list->updated, sys_seconds{3960835200s - 2'208'988'800s});
  EXPECT_EQ(list->expires, sys_seconds{3991593600s - 2'208'988'800s});
  EXPECT_EQ(list->hash, (std::array<std::uint32_t, 5>{0x49db2447, 0x571e5e1b, 0x2f002a53,
                                                      0x9c8da8e4, 0x39b8e49e}));
  EXPECT_TRUE(list->hashedDigits.starts_with("39608352003991593600227206080010228778560011"));
  EXPECT_TRUE(list->hashedDigits.ends_with("369221760037390000000038"));
}

TEST_F(LeapSecondList, TakesWhatTheShippedFormAllows) {
  const auto crlf = std::regex_replace(ListEndingWith(), std::regex("\n"), "\r\n");
  for (const auto& content :
       {crlf, ListEndingWith("  3692217600 37#no blank before the comment\n\n \t\n"),
        // A negative leap second lowers the value by one.
        ListEndingWith("3692217600 37\n3900000000 36\n"),
        // An expiry long past, and malformed or repeated annotations, are only comments.
        "#@\t2000000000\n#$ 12x\n#h 1 2 3 4\n" + ListEndingWith(), ListEndingWith() + "#@ 1\n",
        ListEndingWith() + std::string(64 * 1024 - ListEndingWith().size(), '#')}) {
    EXPECT_TRUE(Read(content)) << content;
  }
  const auto annotated = Read("#$ 12x\n#h 1 2 3 4\n" + ListEndingWith() + "#@ 1\n");
  ASSERT_TRUE(annotated);
  EXPECT_FALSE(annotated->updated || annotated->expires || annotated->hash);
  EXPECT_TRUE(annotated->hashedDigits.starts_with("227206080010"));
}

// The calendar then falls back on its built-in list.
TEST_F(LeapSecondList, GivesNothingWhenItCannotBeTrusted) {
  EXPECT_FALSE(leapset::ReadLeapSecondList((path + ".missing").c_str()));
  EXPECT_FALSE(leapset::ReadLeapSecondList(testing::TempDir().c_str()));
  EXPECT_FALSE(leapset::ReadLeapSecondList("/dev/zero"));
  std::remove(path.c_str());
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  EXPECT_FALSE(leapset::ReadLeapSecondList(path.c_str())) << "a FIFO with no writer";
  for (const auto& content : {
           std::string{},
           std::string{"# only a comment\n\n"},
           ListEndingWith() + std::string(64 * 1024 + 1 - ListEndingWith().size(), '#'),
           ListEndingWith(""),                    // ends at 36 where the built-in list has 37
           ListEndingWith("3692217600 3.7e1\n"),  // not a whole number
           ListEndingWith("3692217600 37x\n"),
           ListEndingWith("3692217600 +37\n"),
           ListEndingWith("3692217600 -37\n"),
           ListEndingWith("3692217600 37 38\n"),
           ListEndingWith("3692217600\n"),
           ListEndingWith("leap 37\n"),
           ListEndingWith("3692217600 1000000000000\n"),
           ListEndingWith("3692217600 4294967333\n"),
           ListEndingWith("-9223372036854775808 37\n"),
           ListEndingWith("18446744073709551616 37\n"),       // overflows 64 bits
           ListEndingWith("9223372036854775808 37\n"),        // overflows a signed time
           ListEndingWith("3692217600 38\n"),                 // disagrees with the built-in list
           ListEndingWith("3692217600 37\n3692217600 38\n"),  // dates must rise
           ListEndingWith("3692217600 37\n3900000000 39\n"),  // steps of one only
           ListEndingWith("3692217600 37\n3900000000 18446744073709551615\n"),
           "2272060800 11\n" + ListEndingWith(),  // must start at 10
       }) {
    EXPECT_FALSE(Read(content)) << content;
  }
}

}  // namespace
