#include "calendar.hpp"

#include <fcntl.h>
#include <nettle/sha1.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <limits>
#include <string_view>
#include <system_error>

namespace calendar {

namespace {

using std::chrono::sys_days;
using std::chrono::sys_seconds;
using std::chrono::year;

// NTP counts from 1900-01-01, the system clock from 1970-01-01.
constexpr std::int64_t NTP_TO_UNIX = 2'208'988'800;

// The shipped list is about 5 KiB; anything far larger is not a leap-second list.
constexpr std::size_t MAX_LIST_SIZE = 64 * 1024;

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

// A file's whole text, or why it cannot be a leap-second list.
struct FileText {
  std::string text;
  std::string refusal;  // empty when `text` is the whole file
};

// With the system's text for errno, taken before anything can change it.
FileText Failed(std::string_view what) {
  const auto reason = std::generic_category().message(errno);
  return {{}, std::string(what) + ": " + reason};
}

// The descriptor is checked, not the path, so nothing swapped in between can
// make the read block or grow without bound.
FileText ReadOpenFile(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    return Failed("cannot be examined");
  }
  if (!S_ISREG(status.st_mode)) {
    return {{}, "not a regular file"};
  }
  constexpr std::string_view TOO_LARGE = "larger than 64 KiB";
  if (static_cast<std::uintmax_t>(status.st_size) > MAX_LIST_SIZE) {
    return {{}, std::string(TOO_LARGE)};
  }
  // One byte more than allowed tells a file that grew since fstat.
  std::string text(MAX_LIST_SIZE + 1, '\0');
  std::size_t length = 0;
  while (length < text.size()) {
    const auto got = ::read(fd, text.data() + length, text.size() - length);
    if (got == 0) {
      break;
    }
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return Failed("cannot be read");
    }
    length += static_cast<std::size_t>(got);
  }
  if (length > MAX_LIST_SIZE) {
    return {{}, std::string(TOO_LARGE)};
  }
  text.resize(length);
  return {std::move(text), {}};
}

// Opening with O_NONBLOCK returns at once even for a FIFO without a writer.
FileText ReadSmallRegularFile(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return Failed("cannot be opened");
  }
  auto text = ReadOpenFile(fd);
  ::close(fd);
  return text;
}

std::string_view SkipBlanks(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  return text.substr(std::min(first, text.size()));
}

// An unsigned number after optional blanks, as written and as read.
template <typename Unsigned>
struct Field {
  std::string_view digits;
  Unsigned value;
};

// Takes the number from the front of `rest`; nullopt when there is none or it
// does not fit.
template <typename Unsigned>
std::optional<Field<Unsigned>> TakeNumber(std::string_view& rest, int base) {
  rest = SkipBlanks(rest);
  Unsigned value = 0;
  const auto [after, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value, base);
  if (error != std::errc{}) {
    return std::nullopt;
  }
  const Field<Unsigned> field{rest.substr(0, static_cast<std::size_t>(after - rest.data())), value};
  rest.remove_prefix(field.digits.size());
  return field;
}

// The system time of an NTP time, when it fits.
std::optional<sys_seconds> FromNtp(std::uint64_t ntp) {
  if (ntp > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return std::nullopt;
  }
  return sys_seconds{std::chrono::seconds{static_cast<std::int64_t>(ntp) - NTP_TO_UNIX}};
}

bool IsComment(std::string_view line) {
  const auto rest = SkipBlanks(line);
  return rest.empty() || rest.front() == '#';
}

// After the fields only blanks, optionally followed by a comment, may come.
bool EndsCleanly(std::string_view rest, bool commentAllowed) {
  rest = SkipBlanks(rest);
  return rest.empty() || (commentAllowed && rest.front() == '#');
}

// A date inside the calendar's range: past it, the conversion to a date
// wraps and the round trip fails.
bool InCalendar(sys_seconds time) {
  const auto day = std::chrono::floor<std::chrono::days>(time);
  return sys_days{std::chrono::year_month_day{day}} == day;
}

// A "#$" or "#@" value as written: one NTP time, its digits hashed.
struct Stamp {
  std::string_view digits;
  sys_seconds time;
};

// The SHA-1 of the list's data: five 32-bit words, written in hexadecimal.
using Digest = std::array<std::uint32_t, SHA1_DIGEST_SIZE / 4>;

// The "#$", "#@" and "#h" lines: comments for counting, yet what the hash
// vouches for and how.
struct Annotations {
  std::optional<Stamp> updated;
  std::optional<Stamp> expires;
  std::optional<Digest> hash;
  int hashLine = 0;
};

// Why a "#$" or "#@" value cannot be taken, or empty when it is now in `stamp`.
std::string TakeStamp(std::string_view value, const std::string& kind,
                      std::optional<Stamp>& stamp) {
  const auto ntp = TakeNumber<std::uint64_t>(value, 10);
  if (!ntp || !EndsCleanly(value, false)) {
    return kind + " not one unsigned decimal number";
  }
  const auto time = FromNtp(ntp->value);
  if (!time || !InCalendar(*time)) {
    return kind + " out of range";
  }
  if (stamp) {
    return "second " + kind;
  }
  stamp = Stamp{ntp->digits, *time};
  return "";
}

std::optional<Digest> ParseHash(std::string_view value) {
  Digest words{};
  for (auto& word : words) {
    const auto hex = TakeNumber<std::uint32_t>(value, 16);
    if (!hex) {
      return std::nullopt;
    }
    word = hex->value;
  }
  if (!EndsCleanly(value, false)) {
    return std::nullopt;
  }
  return words;
}

// Why an annotation cannot be taken, or empty when it can (or the line is
// another comment). A second one of a kind would leave open what the hash
// covers.
std::string NoteAnnotation(std::string_view line, int lineNumber, Annotations& notes) {
  const auto value = line.substr(std::min<std::size_t>(2, line.size()));
  if (line.starts_with("#$")) {
    return TakeStamp(value, "update date", notes.updated);
  }
  if (line.starts_with("#@")) {
    return TakeStamp(value, "expiry date", notes.expires);
  }
  if (!line.starts_with("#h")) {
    return "";
  }
  if (notes.hash) {
    return "second hash";
  }
  notes.hash = ParseHash(value);
  notes.hashLine = lineNumber;
  return notes.hash ? "" : "hash not five hexadecimal words";
}

// The "#h" line is the SHA-1 of the digits of the "#$" value, of the "#@"
// value, then of each entry's two fields, in file order, with nothing between
// them; nettle's SHA-1 rather than one of our own.
Digest HashOf(const Annotations& notes, std::string_view entryDigits) {
  sha1_ctx context;
  sha1_init(&context);
  const auto add = [&context](std::string_view digits) {
    sha1_update(&context, digits.size(), reinterpret_cast<const std::uint8_t*>(digits.data()));
  };
  if (notes.updated) {
    add(notes.updated->digits);
  }
  if (notes.expires) {
    add(notes.expires->digits);
  }
  add(entryDigits);
  std::array<std::uint8_t, SHA1_DIGEST_SIZE> bytes{};
  sha1_digest(&context, bytes.size(), bytes.data());
  Digest words{};
  for (std::size_t byte = 0; byte < bytes.size(); ++byte) {
    words[byte / 4] = (words[byte / 4] << 8) | bytes[byte];
  }
  return words;
}

// An entry as written: the two fields' digits and their values.
struct RawEntry {
  Field<std::uint64_t> ntp;
  Field<std::uint64_t> taiUtc;
};

std::optional<RawEntry> ParseEntry(std::string_view line) {
  auto rest = line;
  const auto ntp = TakeNumber<std::uint64_t>(rest, 10);
  // The blank between the fields is required: from_chars took every digit.
  const auto taiUtc = ntp ? TakeNumber<std::uint64_t>(rest, 10) : std::nullopt;
  if (!taiUtc || !EndsCleanly(rest, true)) {
    return std::nullopt;
  }
  return RawEntry{*ntp, *taiUtc};
}

// An entry holds from its date onward, so the one in effect at `time` is the
// one before the first entry after it.
std::vector<LeapSecondEntry>::const_iterator FirstEntryAfter(const LeapSecondList& list,
                                                             sys_seconds time) {
  return std::upper_bound(
      list.entries.begin(), list.entries.end(), time,
      [](sys_seconds t, const LeapSecondEntry& entry) { return t < entry.from; });
}

// A leap second takes effect at the start of a month, as IERS schedules
// them. The round trip catches a date past the calendar's range, whose
// conversion wraps.
bool StartsAMonth(sys_seconds time) {
  const auto day = std::chrono::floor<std::chrono::days>(time);
  return time == day && InCalendar(time) &&
         std::chrono::year_month_day{day}.day() == std::chrono::day{1};
}

// Why an entry cannot follow `entries`, or empty when it can. The first must
// be the 1972 value; each next one is a leap second: later than the one
// before and at the start of a month (so at most one a month), moving TAI -
// UTC by exactly one second (down for a negative leap second) and never below
// the 1972 value.
std::string_view BrokenRule(const std::vector<LeapSecondEntry>& entries, sys_seconds from,
                            std::uint64_t taiUtc) {
  const auto initial = static_cast<std::uint64_t>(INITIAL_TAI_OFFSET.count());
  if (entries.empty()) {
    return taiUtc == initial ? "" : "first entry's TAI - UTC not 10 s";
  }
  const auto& last = entries.back();
  const auto previous = static_cast<std::uint64_t>(last.taiUtc.count());
  const auto step = taiUtc > previous ? taiUtc - previous : previous - taiUtc;
  if (from <= last.from) {
    return "date not after the previous entry's";
  }
  if (!StartsAMonth(from)) {
    return "leap second not at 00:00:00 UTC on the first day of a month";
  }
  if (step != 1) {
    return "TAI - UTC steps by other than 1 s";
  }
  if (taiUtc < initial) {
    return "TAI - UTC below 10 s";
  }
  return "";
}

std::string AtLine(int line, std::string_view why) {
  return "line " + std::to_string(line) + ": " + std::string(why);
}

std::string DateText(sys_seconds time) {
  const std::chrono::year_month_day date{std::chrono::floor<std::chrono::days>(time)};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
  return text;
}

// Why the list disagrees with the built-in list, or empty when it agrees.
// Both counts are step functions that are 0 before their first date, so they
// agree up to the built-in list's last date when they agree at every date of
// either list up to it; the earliest disagreement is named, with the line of
// the entry in effect then (or the first entry's, before it).
std::string DisagreementWithBuiltinList(const LeapSecondList& list,
                                        const std::vector<int>& entryLines) {
  const sys_seconds lastCovered{LEAP_SECOND_DATES.back()};
  std::vector<sys_seconds> dates(LEAP_SECOND_DATES.begin(), LEAP_SECOND_DATES.end());
  for (const auto& entry : list.entries) {
    if (entry.from <= lastCovered) {
      dates.push_back(entry.from);
    }
  }
  std::sort(dates.begin(), dates.end());
  for (const auto date : dates) {
    const auto listed = LeapSecondsAt(list, date);
    const auto builtin = BuiltinLeapSeconds(date);
    if (listed != builtin) {
      const auto entry =
          std::max<std::ptrdiff_t>(FirstEntryAfter(list, date) - list.entries.begin() - 1, 0);
      return AtLine(entryLines[static_cast<std::size_t>(entry)],
                    std::to_string(listed.count()) + " leap seconds on " + DateText(date) +
                        " where the built-in list has " + std::to_string(builtin.count()));
    }
  }
  return "";
}

ListReading Refused(std::string why) {
  return {std::nullopt, std::move(why)};
}

ListReading ParseList(std::string_view text) {
  LeapSecondList list;
  std::vector<int> entryLines;
  Annotations notes;
  std::string entryDigits;
  for (int lineNumber = 1; !text.empty(); ++lineNumber) {
    const auto lineEnd = std::min(text.find('\n'), text.size());
    auto line = text.substr(0, lineEnd);
    text.remove_prefix(std::min(lineEnd + 1, text.size()));
    if (line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    if (IsComment(line)) {
      if (const auto why = NoteAnnotation(line, lineNumber, notes); !why.empty()) {
        return Refused(AtLine(lineNumber, why));
      }
      continue;
    }
    const auto raw = ParseEntry(line);
    if (!raw) {
      return Refused(AtLine(lineNumber, "not two unsigned decimal fields"));
    }
    const auto from = FromNtp(raw->ntp.value);
    if (!from) {
      return Refused(AtLine(lineNumber, "date out of range"));
    }
    if (const auto broken = BrokenRule(list.entries, *from, raw->taiUtc.value); !broken.empty()) {
      return Refused(AtLine(lineNumber, broken));
    }
    // BrokenRule bounds the value by the number of lines, far inside int64.
    list.entries.push_back(
        {*from, std::chrono::seconds{static_cast<std::int64_t>(raw->taiUtc.value)}});
    entryLines.push_back(lineNumber);
    entryDigits.append(raw->ntp.digits).append(raw->taiUtc.digits);
  }
  if (list.entries.empty()) {
    return Refused("no entries");
  }
  if (auto disagreement = DisagreementWithBuiltinList(list, entryLines); !disagreement.empty()) {
    return Refused(std::move(disagreement));
  }
  if (notes.hash) {
    if (*notes.hash != HashOf(notes, entryDigits)) {
      return Refused(AtLine(notes.hashLine, "hash does not match the list's data"));
    }
    list.hashed = true;
  }
  if (notes.updated) {
    list.updated = notes.updated->time;
  }
  if (notes.expires) {
    list.expires = notes.expires->time;
  }
  return {std::move(list), {}};
}

}  // namespace

ListReading ReadLeapSecondList(const char* path) {
  const auto file = ReadSmallRegularFile(path);
  if (!file.refusal.empty()) {
    return Refused(file.refusal);
  }
  return ParseList(file.text);
}

std::chrono::seconds LeapSecondsAt(const LeapSecondList& list, sys_seconds time) {
  const auto after = FirstEntryAfter(list, time);
  if (after == list.entries.begin()) {
    return std::chrono::seconds::zero();
  }
  return std::prev(after)->taiUtc - INITIAL_TAI_OFFSET;
}

std::optional<LeapSecond> NextLeapSecond(const LeapSecondList& list, sys_seconds time) {
  auto next = FirstEntryAfter(list, time);
  // The first entry sets the 1972 value; it is not a leap second.
  if (next == list.entries.begin()) {
    ++next;
  }
  if (next == list.entries.end()) {
    return std::nullopt;
  }
  return LeapSecond{next->from, next->taiUtc > std::prev(next)->taiUtc ? 1 : -1};
}

const std::array<sys_days, 27>& BuiltinLeapSecondDates() {
  return LEAP_SECOND_DATES;
}

std::chrono::seconds BuiltinLeapSeconds(sys_seconds time) {
  const auto inserted = std::upper_bound(LEAP_SECOND_DATES.begin(), LEAP_SECOND_DATES.end(), time);
  return std::chrono::seconds{inserted - LEAP_SECOND_DATES.begin()};
}

std::chrono::seconds CalendarTaiOffset(const std::optional<LeapSecondList>& list,
                                       sys_seconds time) {
  return INITIAL_TAI_OFFSET + (list ? LeapSecondsAt(*list, time) : BuiltinLeapSeconds(time));
}

}  // namespace calendar
