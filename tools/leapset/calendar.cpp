#include "calendar.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

namespace leapset {

namespace {

using std::chrono::sys_days;
using std::chrono::year;

constexpr std::chrono::seconds TAI_UTC_IN_1972{10};

// NTP counts from 1900-01-01, the system clock from 1970-01-01.
constexpr std::int64_t NTP_TO_UNIX = 2'208'988'800;

// Dates on which a positive leap second took effect, as IERS announced them.
constexpr std::array<sys_days, 27> LEAP_SECOND_DATES{
    year{1972} / 7 / 1, year{1973} / 1 / 1, year{1974} / 1 / 1, year{1975} / 1 / 1,
    year{1976} / 1 / 1, year{1977} / 1 / 1, year{1978} / 1 / 1, year{1979} / 1 / 1,
    year{1980} / 1 / 1, year{1981} / 7 / 1, year{1982} / 7 / 1, year{1983} / 7 / 1,
    year{1985} / 7 / 1, year{1988} / 1 / 1, year{1990} / 1 / 1, year{1991} / 1 / 1,
    year{1992} / 7 / 1, year{1993} / 7 / 1, year{1994} / 7 / 1, year{1996} / 1 / 1,
    year{1997} / 7 / 1, year{1999} / 1 / 1, year{2006} / 1 / 1, year{2009} / 1 / 1,
    year{2012} / 7 / 1, year{2015} / 7 / 1, year{2017} / 1 / 1,
};

struct ListEntry {
  std::chrono::sys_seconds from;
  std::chrono::seconds taiUtc;
};

// The whole list, a few kilobytes; nullopt when it cannot be read.
std::optional<std::string> ReadList(const char* path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return std::nullopt;
  }
  std::string text;
  char chunk[8192];
  while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
    text.append(chunk, static_cast<std::size_t>(file.gcount()));
  }
  if (file.bad()) {
    return std::nullopt;
  }
  return text;
}

bool IsComment(std::string_view line) {
  const auto first = line.find_first_not_of(" \t\r");
  return first == std::string_view::npos || line[first] == '#';
}

// Skips blanks, then reads a decimal number; nullptr when there is none.
const char* ReadNumber(const char* next, const char* end, std::int64_t& number) {
  while (next != end && (*next == ' ' || *next == '\t')) {
    ++next;
  }
  const auto [after, error] = std::from_chars(next, end, number);
  return error == std::errc{} ? after : nullptr;
}

// An entry: the NTP time from which TAI - UTC holds, and that value.
std::optional<ListEntry> ParseEntry(std::string_view line) {
  const char* const end = line.data() + line.size();
  std::int64_t ntp = 0;
  std::int64_t taiUtc = 0;
  const char* next = ReadNumber(line.data(), end, ntp);
  if (next == nullptr || ReadNumber(next, end, taiUtc) == nullptr) {
    return std::nullopt;
  }
  return ListEntry{std::chrono::sys_seconds{std::chrono::seconds{ntp - NTP_TO_UNIX}},
                   std::chrono::seconds{taiUtc}};
}

}  // namespace

std::optional<std::chrono::seconds> ListedLeapSeconds(const char* path,
                                                      std::chrono::sys_seconds time) {
  const auto text = ReadList(path);
  if (!text) {
    return std::nullopt;
  }
  bool listsAny = false;
  // Before the first entry no leap second counts.
  std::optional<ListEntry> latest;
  std::string_view rest = *text;
  while (!rest.empty()) {
    const auto lineEnd = std::min(rest.find('\n'), rest.size());
    const auto line = rest.substr(0, lineEnd);
    rest.remove_prefix(std::min(lineEnd + 1, rest.size()));
    if (IsComment(line)) {
      continue;
    }
    const auto entry = ParseEntry(line);
    if (!entry) {
      return std::nullopt;
    }
    listsAny = true;
    // An entry holds from its date onward, so a time equal to it counts it.
    if (entry->from <= time && (!latest || entry->from >= latest->from)) {
      latest = entry;
    }
  }
  if (!listsAny) {
    return std::nullopt;
  }
  return latest ? latest->taiUtc - TAI_UTC_IN_1972 : std::chrono::seconds::zero();
}

std::chrono::seconds BuiltinLeapSeconds(std::chrono::sys_seconds time) {
  const auto inserted = std::upper_bound(LEAP_SECOND_DATES.begin(), LEAP_SECOND_DATES.end(), time);
  return std::chrono::seconds{inserted - LEAP_SECOND_DATES.begin()};
}

std::chrono::seconds CalendarTaiOffset(std::chrono::sys_seconds time) {
  return TAI_UTC_IN_1972 +
         ListedLeapSeconds(LEAP_SECONDS_LIST, time).value_or(BuiltinLeapSeconds(time));
}

}  // namespace leapset
