#include "checks.hpp"

#include <orv/orv.hpp>
#include <printable.hpp>

#include <fmt/format.h>

#include <algorithm>
#include <system_error>

namespace orvcheck {

namespace {

using namespace std::chrono_literals;

// The kernel arms a leap second at the latest this long before it: the
// adjtimex convention of NTP and PTP daemons, which arm on the last day.
constexpr std::chrono::seconds ARMING_WINDOW = 12h;

// A leap second's direction in words.
std::string_view LeapWord(int leap) {
  return leap > 0 ? "insert" : "delete";
}

// What each source says, gathered before any judgement.
struct Sources {
  orv::KernelLeapState kernel;
  std::error_code kernelError;
  std::chrono::seconds listOffset;  // TAI - UTC by the list in use
  bool listTrusted;                 // a list was read, not the built-in one
  bool listExpired;
  std::optional<calendar::LeapSecond> nextLeap;  // by the list in use
  std::chrono::sys_seconds endOfDay;             // the next UTC midnight
  std::chrono::sys_seconds endOfMonth;           // the first of the next month
  std::vector<GrandmasterTime> grandmasters;
};

int ListLeapAt(const Sources& sources, std::chrono::sys_seconds when) {
  return sources.nextLeap && sources.nextLeap->takesEffect == when ? sources.nextLeap->leap : 0;
}

int GrandmasterLeap(const GrandmasterTime& gm) {
  return gm.properties.leap61 ? 1 : gm.properties.leap59 ? -1 : 0;
}

// Every disagreement, the most severe first.
std::vector<std::pair<State, std::string>> Disagreements(const Sources& s,
                                                         std::chrono::sys_seconds now) {
  std::vector<std::pair<State, std::string>> found;
  const int listToday = ListLeapAt(s, s.endOfDay);
  const bool kernelKnown = !s.kernelError;
  if (kernelKnown && s.kernel.leap != 0 && listToday != s.kernel.leap &&
      std::none_of(s.grandmasters.begin(), s.grandmasters.end(), [&s](const GrandmasterTime& gm) {
        return GrandmasterLeap(gm) == s.kernel.leap;
      })) {
    found.emplace_back(State::CRITICAL,
                       fmt::format("kernel armed to {} a leap second at {} that nothing announces",
                                   LeapWord(s.kernel.leap), Day(s.endOfDay)));
  }
  for (const auto& gm : s.grandmasters) {
    const auto offset = std::chrono::seconds(gm.properties.currentUtcOffset);
    const std::string who = "grandmaster of " + tools::Printable(gm.socket);
    if (gm.properties.currentUtcOffsetValid && s.listTrusted && offset != s.listOffset) {
      found.emplace_back(State::CRITICAL, fmt::format("{} says TAI - UTC is {} s, the list {} s",
                                                      who, offset.count(), s.listOffset.count()));
    } else if (gm.properties.currentUtcOffsetValid && kernelKnown && s.kernel.taiOffset != 0s &&
               offset != s.kernel.taiOffset) {
      found.emplace_back(State::CRITICAL,
                         fmt::format("{} says TAI - UTC is {} s, the kernel {} s", who,
                                     offset.count(), s.kernel.taiOffset.count()));
    }
    if (const int leap = GrandmasterLeap(gm);
        leap != 0 && ListLeapAt(s, s.endOfMonth) != leap && listToday != leap) {
      found.emplace_back(
          State::CRITICAL,
          fmt::format("{} announces leap{} that the list does not have{}", who, leap > 0 ? 61 : 59,
                      s.listExpired ? " (the list has expired: it may be behind)" : ""));
    }
    if (!gm.properties.currentUtcOffsetValid) {
      found.emplace_back(State::WARNING, who + " says its UTC offset is not valid");
    }
  }
  if (listToday != 0 && now >= s.endOfDay - ARMING_WINDOW && kernelKnown &&
      s.kernel.leap != listToday) {
    found.emplace_back(
        State::WARNING,
        fmt::format("the list's leap second at {} is not armed in the kernel", Day(s.endOfDay)));
  }
  std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
    return Worse(a.first, b.first) == a.first && a.first != b.first;
  });
  return found;
}

// "list 37 s, kernel 37 s, grandmaster of /var/run/ptp4l 37 s; next leap
// second none; kernel TIME_OK"
std::string Agreement(const Sources& s) {
  std::string offsets = fmt::format("list {} s", s.listOffset.count());
  offsets += s.kernelError ? ", kernel unreadable"
                           : fmt::format(", kernel {} s", s.kernel.taiOffset.count());
  for (const auto& gm : s.grandmasters) {
    offsets += fmt::format(", grandmaster of {} {} s{}", tools::Printable(gm.socket),
                           gm.properties.currentUtcOffset,
                           gm.properties.currentUtcOffsetValid ? "" : " (not valid)");
  }
  const std::string next =
      s.nextLeap ? fmt::format("{} ({})", Day(s.nextLeap->takesEffect), LeapWord(s.nextLeap->leap))
                 : "none";
  return fmt::format("TAI - UTC: {}; next leap second {}; kernel {}", offsets, next,
                     s.kernelError ? "state unreadable" : orv::ClockStateName(s.kernel.clockState));
}

Sources Gather(const calendar::ListReading& reading, std::chrono::sys_seconds now,
               std::vector<GrandmasterTime> grandmasters) {
  Sources s{};
  s.kernel = orv::GetKernelLeapState(s.kernelError);
  s.listOffset = calendar::CalendarTaiOffset(reading.list, now);
  s.listTrusted = reading.list.has_value();
  s.listExpired = reading.list && reading.list->expires && *reading.list->expires <= now;
  if (reading.list) {
    s.nextLeap = calendar::NextLeapSecond(*reading.list, now);
  }
  const auto today = std::chrono::floor<std::chrono::days>(now);
  s.endOfDay = today + std::chrono::days{1};
  const std::chrono::year_month_day day{today};
  s.endOfMonth = std::chrono::sys_days{(day.year() / day.month() / 1) + std::chrono::months{1}};
  s.grandmasters = std::move(grandmasters);
  return s;
}

}  // namespace

CheckResult CheckTimescale(const calendar::ListReading& reading, std::chrono::sys_seconds now,
                           std::vector<GrandmasterTime> grandmasters) {
  const Sources s = Gather(reading, now, std::move(grandmasters));
  const auto disagreements = Disagreements(s, now);
  CheckResult result{.check = std::string(check::TIMESCALE)};
  result.state = disagreements.empty() ? State::OK : disagreements.front().first;
  for (const auto& [state, words] : disagreements) {
    result.message += words + "; ";
  }
  result.message += Agreement(s);
  if (s.kernelError) {
    result.state = Worse(result.state, State::UNKNOWN);
  }
  const bool known = !s.kernelError;
  result.Record({"kernel/leap", known ? Value(std::int64_t{s.kernel.leap}) : Value(),
                 Series{.name = "kernel_leap",
                        .help = "The leap second the kernel is armed for at the next UTC midnight: "
                                "1 insert, -1 delete, 0 none"}});
  result.Record(
      {"kernel/clock_state",
       known ? Value(Named{orv::ClockStateName(s.kernel.clockState),
                           static_cast<std::int64_t>(s.kernel.clockState)})
             : Value(),
       Series{.name = "kernel_clock_state",
              .help = "The kernel's clock state, as adjtimex returns it: 0 TIME_OK, "
                      "1 TIME_INS, 2 TIME_DEL, 3 TIME_OOP, 4 TIME_WAIT, 5 TIME_ERROR",
              .value = known ? std::optional<double>(static_cast<int>(s.kernel.clockState))
                             : std::nullopt}});
  result.Record({"kernel/tai_offset_seconds",
                 known ? Value(std::int64_t{s.kernel.taiOffset.count()}) : Value()});
  result.Record({"list/tai_offset_seconds", std::int64_t{s.listOffset.count()}});
  result.Record({"list/next_leap_second",
                 s.nextLeap ? Value(Date{s.nextLeap->takesEffect}) : Value(),
                 Series{.name = "leap_list_next_leap_timestamp_seconds",
                        .help = "When the list's next leap second takes effect, 0 when it has none",
                        .value = s.nextLeap ? std::nullopt : std::optional<double>(0)}});
  result.Record({"list/next_leap", s.nextLeap ? Value(std::int64_t{s.nextLeap->leap}) : Value()});
  return result;
}

}  // namespace orvcheck
