#include "checks.hpp"

#include <orv/orv.hpp>
#include <printable.hpp>

#include <fmt/format.h>

#include <cstdint>
#include <system_error>

namespace orvcheck {

namespace {

using namespace std::chrono_literals;

// A list this close to its expiry wants replacing before the next leap
// second could be announced and missed.
constexpr std::chrono::seconds EXPIRY_WARNING = std::chrono::days{28};

Value DateOrNone(const std::optional<std::chrono::sys_seconds>& time) {
  return time ? Value(Date{*time}) : Value();
}

std::string TaiOffsetMessage(State state, const std::error_code& error, std::chrono::seconds kernel,
                             std::chrono::seconds calendarOffset) {
  switch (state) {
    case State::UNKNOWN:
      return fmt::format("kernel offset unreadable (error code: {}): {}; calendar {} s",
                         error.value(), error.message(), calendarOffset.count());
    case State::CRITICAL:
      return fmt::format("kernel offset unset (CLOCK_TAI reads as UTC), calendar {} s",
                         calendarOffset.count());
    case State::WARNING:
      return fmt::format("kernel {} s differs from calendar {} s", kernel.count(),
                         calendarOffset.count());
    case State::OK:
      break;
  }
  return fmt::format("kernel {} s, calendar {} s", kernel.count(), calendarOffset.count());
}

// What the leap-list check found, for its message.
struct LeapListFindings {
  std::string_view hash;  // "valid" or "missing"; empty: built-in list
  std::int64_t leapSeconds;
  std::chrono::sys_seconds lastLeap;  // when there is one
};

// How the message words the list's expiry when it is a problem; empty when
// it is not.
std::string ExpiryProblem(const std::optional<std::chrono::sys_seconds>& expires,
                          std::chrono::sys_seconds now) {
  if (!expires) {
    return "no expiry date";
  }
  if (*expires <= now) {
    return fmt::format("expired on {}", Day(*expires));
  }
  return *expires - now <= EXPIRY_WARNING ? fmt::format("expires on {}", Day(*expires)) : "";
}

// The problems come first, one after the other.
std::string LeapListMessage(const std::string& path, const calendar::ListReading& reading,
                            const LeapListFindings& found, std::chrono::sys_seconds now) {
  const std::string shownPath = tools::Printable(path);
  const std::string counted =
      fmt::format("{} leap seconds, last {}", found.leapSeconds,
                  found.leapSeconds > 0 ? Day(found.lastLeap) : std::string("none"));
  const auto& list = reading.list;
  if (!list) {
    return fmt::format("{}: {}; built-in list used ({})", shownPath,
                       tools::Printable(reading.refusal), counted);
  }
  const std::string expiry = ExpiryProblem(list->expires, now);
  if (expiry.empty() && found.hash == "valid") {
    return fmt::format("{} valid until {} ({}, hash {})", shownPath, Day(*list->expires), counted,
                       found.hash);
  }
  const std::string hash = found.hash == "valid" ? ""
                           : expiry.empty()      ? fmt::format("hash {}", found.hash)
                                                 : fmt::format(", hash {}", found.hash);
  return fmt::format("{} {}{} ({}, updated {})", shownPath, expiry, hash, counted,
                     list->updated ? Day(*list->updated) : "unknown");
}

}  // namespace

CheckResult CheckTaiOffset(std::chrono::seconds calendarOffset) {
  std::error_code error;
  const auto kernel = orv::GetTaiOffset(error);
  CheckResult result{.check = std::string(check::TAI_OFFSET)};
  result.state = error                      ? State::UNKNOWN
                 : kernel == 0s             ? State::CRITICAL
                 : kernel != calendarOffset ? State::WARNING
                                            : State::OK;
  result.message = TaiOffsetMessage(result.state, error, kernel, calendarOffset);
  // An offset that could not be read has no value, least of all 0 (unset).
  result.Record({"kernel_seconds", error ? Value() : Value(std::int64_t{kernel.count()}),
                 Series{.name = "tai_offset_seconds",
                        .help = "The kernel's TAI offset (TAI - UTC), 0 when unset",
                        .perf = Perf{}}});
  result.Record({"calendar_seconds", std::int64_t{calendarOffset.count()},
                 Series{.name = "tai_offset_calendar_seconds",
                        .help = "TAI - UTC by the leap-second list",
                        .perf = Perf{}}});
  return result;
}

CheckResult CheckLeapList(const std::string& path, const calendar::ListReading& reading,
                          std::chrono::sys_seconds now) {
  const auto& list = reading.list;
  const auto& builtin = calendar::BuiltinLeapSecondDates();
  const LeapListFindings found{
      // The reader refuses a list whose hash does not match.
      .hash = !list          ? ""
              : list->hashed ? "valid"
                             : "missing",
      .leapSeconds = list ? (list->entries.back().taiUtc - calendar::INITIAL_TAI_OFFSET).count()
                          : static_cast<std::int64_t>(builtin.size()),
      .lastLeap = list ? list->entries.back().from : builtin.back()};
  CheckResult result{.check = std::string(check::LEAP_LIST)};
  const bool trouble = !list || found.hash != "valid" || !ExpiryProblem(list->expires, now).empty();
  result.state = trouble ? State::WARNING : State::OK;
  result.message = LeapListMessage(path, reading, found, now);
  result.Record({"path", path});
  // A rule on the expiry must not go silent when no expiry can be trusted.
  result.Record({"expires", DateOrNone(list ? list->expires : std::nullopt),
                 Series{.name = "leap_list_expiry_timestamp_seconds",
                        .help = "When the list expires, 0 when no expiry can be trusted (built-in "
                                "list, or none in the list)",
                        .value = list && list->expires ? std::nullopt : std::optional<double>(0)}});
  result.Record({"leap_seconds", found.leapSeconds,
                 Series{.name = "leap_list_leaps",
                        .help = "Leap seconds in the list",
                        .perf = Perf{.min = "0"}}});
  result.Record({"last_leap_second", found.leapSeconds > 0 ? Value(Date{found.lastLeap}) : Value(),
                 Series{.name = "leap_list_last_leap_timestamp_seconds",
                        .help = "When the list's last leap second took effect"}});
  result.Record({"hash", found.hash.empty() ? Value() : Value(std::string(found.hash)),
                 Series{.name = "leap_list_hash_valid",
                        .help = "1 when the list's hash matches its data",
                        .value = found.hash == "valid" ? 1 : 0}});
  result.Record({"updated", DateOrNone(list ? list->updated : std::nullopt),
                 Series{.name = "leap_list_updated_timestamp_seconds",
                        .help = "When the list was last updated"}});
  result.Record(
      {"source", std::string(list ? "file" : "built-in"),
       Series{.name = "leap_list_builtin",
              .help = "1 when the list was missing or invalid and the built-in one served",
              .value = list ? 0 : 1}});
  result.Record({"refusal", list ? Value() : Value(reading.refusal)});
  return result;
}

}  // namespace orvcheck
