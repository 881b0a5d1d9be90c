// The calendar value of TAI - UTC around the listed leap second dates, and
// the leap-second list reader against the whole time-zone database.
#include <calendar.hpp>

#include "database.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

sys_seconds At(year_month_day date, seconds timeOfDay = 0s) {
  return sys_days{date} + timeOfDay;
}

// The calendar by the installed list, as leapset and orvcheck count it.
seconds CalendarTaiOffset(sys_seconds time) {
  return calendar::CalendarTaiOffset(calendar::ReadLeapSecondList(calendar::LEAP_SECONDS_LIST).list,
                                     time);
}

TEST(CalendarTaiOffset, AroundTheLastLeapSecond) {
  EXPECT_EQ(CalendarTaiOffset(At(2016y / 12 / 31, 23h + 59min + 59s)), 36s);
  // A leap second counts from its listed date onward.
  EXPECT_EQ(CalendarTaiOffset(At(2017y / 1 / 1)), 37s);
  EXPECT_EQ(CalendarTaiOffset(At(2017y / 1 / 1, 1s)), 37s);
  EXPECT_EQ(CalendarTaiOffset(At(2026y / 12 / 8)), 37s);
}

TEST(CalendarTaiOffset, EarlyYears) {
  EXPECT_EQ(CalendarTaiOffset(At(1972y / 6 / 30, 23h + 59min + 59s)), 10s);
  EXPECT_EQ(CalendarTaiOffset(At(1972y / 7 / 1)), 11s);
  EXPECT_EQ(CalendarTaiOffset(At(1970y / 1 / 1)), 10s);
  // Before 1970 no leap second counts either.
  EXPECT_EQ(CalendarTaiOffset(At(1969y / 7 / 20)), 10s);
  EXPECT_EQ(CalendarTaiOffset(At(1900y / 1 / 1)), 10s);
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
  ExpectAgreesWithTheDatabase([](sys_seconds t) { return calendar::BuiltinLeapSeconds(t); });
}

TEST(CalendarTaiOffset, InstalledLeapSecondListAgreesWithTheDatabase) {
  ExpectAgreesWithTheDatabase(
      [list = calendar::ReadLeapSecondList(calendar::LEAP_SECONDS_LIST).list](sys_seconds t) {
        return list ? std::optional{calendar::LeapSecondsAt(*list, t)} : std::nullopt;
      });
}

TEST(CalendarTaiOffset, BuiltinListCountsAllTwentySeven) {
  EXPECT_EQ(calendar::BuiltinLeapSeconds(At(1972y / 6 / 30)), 0s);
  EXPECT_EQ(calendar::BuiltinLeapSeconds(At(1972y / 7 / 1)), 1s);
  EXPECT_EQ(calendar::BuiltinLeapSeconds(At(2016y / 12 / 31, 23h + 59min + 59s)), 26s);
  EXPECT_EQ(calendar::BuiltinLeapSeconds(At(2017y / 1 / 1)), 27s);
}

// NTP time of a moment.
std::string Ntp(sys_seconds time) {
  return std::to_string(time.time_since_epoch().count() + 2'208'988'800);
}

// A list in the shipped list's form, ending with `lastEntries` (from line 32
// on) in place of its 2017-01-01 entry, then the shipped list's "#h" line or,
// with `hashed` false, none.
std::string ListEndingWith(const std::string& lastEntries = "3692217600\t37\t# 1 Jan 2017\n",
                           bool hashed = true) {
  std::string list = "#\tleap seconds\n#$\t3960835200\n#@\t3991593600\n\n2272060800\t10\t# 1972\n";
  const auto& dates = calendar::BuiltinLeapSecondDates();
  for (std::size_t i = 0; i + 1 < dates.size(); ++i) {
    list += Ntp(dates[i]) + "\t" + std::to_string(11 + i) + "\t# a leap second\n";
  }
  return list + lastEntries + (hashed ? "#h\t49db2447 571e5e1b 2f002a53 9c8da8e4 39b8e49e\n" : "");
}

std::string Replaced(const std::string& text, const std::string& from, const std::string& to) {
  return std::regex_replace(text, std::regex(from), to);
}

// The 2017-01-01 entry, then `count` leap seconds one second apart.
std::string OneSecondApart(int count) {
  std::string entries = "3692217600 37\n";
  for (int i = 1; i <= count; ++i) {
    entries += std::to_string(3692217600 + i) + " " + std::to_string(37 + i) + "\n";
  }
  return entries;
}

// The 2017-01-01 entry, then one negative leap second a month down to `lowest`.
std::string SteppingDownTo(int lowest) {
  std::string entries = "3692217600 37\n";
  auto month = 2017y / February / 1;
  for (int value = 36; value >= lowest; --value, month += months{1}) {
    entries += Ntp(sys_days{month}) + " " + std::to_string(value) + "\n";
  }
  return entries;
}

class LeapSecondList : public testing::Test {
 protected:
  ~LeapSecondList() override { std::remove(path.c_str()); }

  std::string Write(const std::string& content) {
    std::remove(path.c_str());
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  calendar::ListReading Read(const std::string& content) {
    return calendar::ReadLeapSecondList(Write(content).c_str());
  }

  // ctest runs each case in a process of its own, at the same time.
  const std::string path = testing::TempDir() + "leap-seconds.list." + std::to_string(::getpid());
};

TEST_F(LeapSecondList, CountsALaterLeapSecondAndKeepsTheAnnotations) {
  const auto reading = Read(ListEndingWith("3692217600\t37\t# 1 Jan 2017\n4007750400 38\n", false));
  ASSERT_TRUE(reading.list) << reading.refusal;
  EXPECT_EQ(reading.refusal, "");
  const auto& list = reading.list;
  // The installed list's test covers the dates up to 2017; a leap second
  // after the built-in list's last one counts as listed, from its date on.
  EXPECT_EQ(calendar::LeapSecondsAt(*list, At(2026y / 12 / 31, 23h + 59min + 59s)), 27s);
  EXPECT_EQ(calendar::LeapSecondsAt(*list, At(2027y / 1 / 1)), 28s);
  EXPECT_EQ(list->updated, sys_seconds{3960835200s - 2'208'988'800s});
  EXPECT_EQ(list->expires, sys_seconds{3991593600s - 2'208'988'800s});
  EXPECT_FALSE(list->hashed);
  // The shipped list's hash matches its data.
  EXPECT_TRUE(Read(ListEndingWith()).list->hashed);
}

// The first entry only sets the 1972 value; a leap second counts as next
// until the instant it takes effect.
TEST_F(LeapSecondList, NextLeapSecondAfterAnInstant) {
  const auto reading = Read(ListEndingWith(
      "3692217600 37\n" + Ntp(At(2027y / 1 / 1)) + " 38\n" + Ntp(At(2027y / 7 / 1)) + " 37\n",
      false));
  ASSERT_TRUE(reading.list) << reading.refusal;
  const std::optional<calendar::LeapSecond> none;
  for (const auto& [time, next] : std::vector<std::pair<sys_seconds, decltype(none)>>{
           {At(1960y / 1 / 1), calendar::LeapSecond{At(1972y / 7 / 1), 1}},
           {At(1972y / 1 / 1), calendar::LeapSecond{At(1972y / 7 / 1), 1}},
           {At(2016y / 12 / 31, 23h + 59min + 59s), calendar::LeapSecond{At(2017y / 1 / 1), 1}},
           {At(2017y / 1 / 1), calendar::LeapSecond{At(2027y / 1 / 1), 1}},
           {At(2026y / 12 / 31, 12h), calendar::LeapSecond{At(2027y / 1 / 1), 1}},
           {At(2027y / 1 / 1), calendar::LeapSecond{At(2027y / 7 / 1), -1}},
           {At(2027y / 7 / 1), none},
       }) {
    EXPECT_EQ(calendar::NextLeapSecond(*reading.list, time), next)
        << time.time_since_epoch().count();
  }
}

TEST_F(LeapSecondList, TakesWhatTheShippedFormAllows) {
  const auto crlf = std::regex_replace(ListEndingWith(), std::regex("\n"), "\r\n");
  for (const auto& content :
       {crlf, ListEndingWith("  3692217600 37#no blank before the comment\n\n \t\n"),
        // A negative leap second lowers the value by one, down to 10 at most.
        ListEndingWith("3692217600 37\n4007750400 36\n", false),
        ListEndingWith(SteppingDownTo(10), false),
        // An expiry long past is the monitoring's business.
        Replaced(ListEndingWith("3692217600 37\n", false), "3991593600", "2000000000"),
        ListEndingWith() + std::string(64 * 1024 - ListEndingWith().size(), '#')}) {
    const auto reading = Read(content);
    EXPECT_TRUE(reading.list) << reading.refusal << " in\n" << content;
  }
  // Without annotations it is still a list, vouched for by nothing.
  const auto bare = Read(Replaced(ListEndingWith(), "#[$@h][^\n]*\n", "")).list;
  ASSERT_TRUE(bare);
  EXPECT_FALSE(bare->updated || bare->expires || bare->hashed);
}

// The calendar then falls back on its built-in list, and the reason says why.
TEST_F(LeapSecondList, RefusedWithTheReasonWhenItCannotBeTrusted) {
  const std::string notRegular = "not a regular file";
  std::remove(path.c_str());
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);  // with no writer
  for (const auto& [file, refusal] : std::vector<std::pair<std::string, std::string>>{
           {path + ".missing", "cannot be opened: " + std::string(std::strerror(ENOENT))},
           {testing::TempDir(), notRegular},
           {"/dev/zero", notRegular},
           {path, notRegular}}) {
    const auto reading = calendar::ReadLeapSecondList(file.c_str());
    EXPECT_FALSE(reading.list) << file;
    EXPECT_EQ(reading.refusal, refusal) << file;
  }
  const std::string malformed = "line 32: not two unsigned decimal fields";
  const std::string step = "line 32: TAI - UTC steps by other than 1 s";
  const std::string notMonthStart =
      "line 33: leap second not at 00:00:00 UTC on the first day of a month";
  const std::string stopsShort =
      "line 31: 26 leap seconds on 2017-01-01 where the built-in list has 27";
  // A 1 January past the calendar's range, whose day count wraps to 2027's.
  const std::string beyondTheCalendar =
      std::to_string(((1LL << 32) + 20819) * 86400 + 2'208'988'800);
  for (const auto& [content, refusal] : std::vector<std::pair<std::string, std::string>>{
           {"", "no entries"},
           {"# only a comment\n\n", "no entries"},
           {ListEndingWith() + std::string(64 * 1024 + 1 - ListEndingWith().size(), '#'),
            "larger than 64 KiB"},
           {ListEndingWith(""), stopsShort},
           {ListEndingWith("3694896000 37\n"), stopsShort},  // a month late
           {ListEndingWith("3692217600 3.7e1\n"), malformed},
           {ListEndingWith("3692217600 37x\n"), malformed},
           {ListEndingWith("3692217600 +37\n"), malformed},
           {ListEndingWith("3692217600 -37\n"), malformed},
           {ListEndingWith("3692217600 37 38\n"), malformed},
           {ListEndingWith("3692217600\n"), malformed},
           {ListEndingWith("leap 37\n"), malformed},
           {ListEndingWith("-9223372036854775808 37\n"), malformed},
           {ListEndingWith("18446744073709551616 37\n"), malformed},  // overflows 64 bits
           {ListEndingWith("9223372036854775808 37\n"), "line 32: date out of range"},
           {ListEndingWith("3692217600 1000000000000\n"), step},
           {ListEndingWith("3692217600 4294967333\n"), step},
           {ListEndingWith("3692217600 38\n"), step},
           {ListEndingWith("3692217600 37\n4007750400 39\n"), "line 33" + step.substr(7)},
           {ListEndingWith("3692217600 37\n4007750400 18446744073709551615\n"),
            "line 33" + step.substr(7)},
           {ListEndingWith("3692217600 37\n3692217600 38\n"),
            "line 33: date not after the previous entry's"},
           {"2272060800 11\n" + ListEndingWith(), "line 1: first entry's TAI - UTC not 10 s"},
           // Only real leap seconds: at the start of a month, never below 10.
           {ListEndingWith(OneSecondApart(3000)), notMonthStart},
           {ListEndingWith("3692217600 37\n" + Ntp(At(2020y / 3 / 17, 3h + 25min + 45s)) + " 38\n"),
            notMonthStart},
           {ListEndingWith("3692217600 37\n" + Ntp(At(2020y / 3 / 17)) + " 38\n"), notMonthStart},
           {ListEndingWith("3692217600 37\n" + Ntp(At(2020y / 3 / 1, 1s)) + " 38\n"),
            notMonthStart},
           {ListEndingWith("3692217600 37\n" + beyondTheCalendar + " 38\n"), notMonthStart},
           {ListEndingWith(SteppingDownTo(9)), "line 60: TAI - UTC below 10 s"},
           // A leap second the hash does not vouch for.
           {ListEndingWith("3692217600 37\n3960316800 38\n"),
            "line 34: hash does not match the list's data"},
           {Replaced(ListEndingWith(), "3991593600", "9223372036854775807"),
            "line 3: expiry date out of range"},
           {"#$ 12x\n" + ListEndingWith(), "line 1: update date not one unsigned decimal number"},
           {ListEndingWith("3692217600 37\n", false) + "#h 1 2 3 4\n",
            "line 33: hash not five hexadecimal words"},
           {ListEndingWith() + "#@ 1\n", "line 34: second expiry date"},
       }) {
    const auto reading = Read(content);
    EXPECT_FALSE(reading.list) << content;
    EXPECT_EQ(reading.refusal, refusal) << content;
  }
}

}  // namespace
