#include "checks.hpp"

#include <orv/orv.hpp>

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

// How the leap-list message words the list's expiry when it is a problem;
// empty when it is not.
std::string ExpiryProblem(const std::optional<std::chrono::sys_seconds>& expires,
                          std::chrono::sys_seconds now) {
  if (!expires) {
    return "no expiry date";
  }
  if (*expires <= now) {
    return "expired on {}";
  }
  return *expires - now <= EXPIRY_WARNING ? "expires on {}" : "";
}

}  // namespace

CheckResult CheckTaiOffset(std::chrono::seconds calendarOffset) {
  std::error_code error;
  const auto kernel = orv::GetTaiOffset(error);
  CheckResult result{.check = "tai-offset"};
  // An offset that could not be read has no value, least of all 0 (unset).
  Fact kernelFact{"kernel_seconds", error ? Value() : Value(std::int64_t{kernel.count()}),
                  "kernel {} s, ",
                  Series{.name = "tai_offset_seconds",
                         .help = "The kernel's TAI offset (TAI - UTC), 0 when unset",
                         .perf = Perf{}}};
  const Fact calendarFact{"calendar_seconds", std::int64_t{calendarOffset.count()}, "calendar {} s",
                          Series{.name = "tai_offset_calendar_seconds",
                                 .help = "TAI - UTC by the leap-second list",
                                 .perf = Perf{}}};
  if (error) {
    result.state = State::UNKNOWN;
    result.Say(fmt::format("kernel offset unreadable (error code: {}): {}; ", error.value(),
                           error.message()));
    kernelFact.text.clear();
  } else if (kernel == 0s) {
    result.state = State::CRITICAL;
    kernelFact.text = "kernel offset unset (CLOCK_TAI reads as UTC), ";
  } else if (kernel != calendarOffset) {
    result.state = State::WARNING;
    kernelFact.text = "kernel {} s differs from ";
  } else {
    result.state = State::OK;
  }
  result.Record(std::move(kernelFact));
  result.Record(calendarFact);
  return result;
}

CheckResult CheckLeapList(const std::string& path, const calendar::ListReading& reading,
                          std::chrono::sys_seconds now) {
  const auto& list = reading.list;
  CheckResult result{.check = "leap-list"};
  const std::int64_t leapSeconds =
      list ? (list->entries.back().taiUtc - calendar::INITIAL_TAI_OFFSET).count()
           : calendar::BuiltinLeapSecondDates().size();
  const std::chrono::sys_seconds lastLeap =
      list ? list->entries.back().from : calendar::BuiltinLeapSecondDates().back();
  // The reader refuses a list whose hash does not match.
  const std::string_view hash = !list ? "" : list->hashed ? "valid" : "missing";
  Fact source{"source", std::string(list ? "file" : "built-in"), "",
              Series{.name = "leap_list_builtin",
                     .help = "1 when the list was missing or invalid and the built-in one served",
                     .value = list ? 0 : 1}};
  const Fact count{
      "leap_seconds", leapSeconds, " ({} leap seconds",
      Series{
          .name = "leap_list_leaps", .help = "Leap seconds in the list", .perf = Perf{.min = "0"}}};
  Fact last{"last_leap_second", leapSeconds > 0 ? Value(Date{lastLeap}) : Value(), ", last {}",
            Series{.name = "leap_list_last_leap_timestamp_seconds",
                   .help = "When the list's last leap second took effect"}};
  Fact updated{"updated", DateOrNone(list ? list->updated : std::nullopt), "",
               Series{.name = "leap_list_updated_timestamp_seconds",
                      .help = "When the list was last updated"}};
  // A rule on the expiry must not go silent when no expiry can be trusted.
  Fact expires{"expires", DateOrNone(list ? list->expires : std::nullopt), "",
               Series{.name = "leap_list_expiry_timestamp_seconds",
                      .help = "When the list expires, 0 when no expiry can be trusted (built-in "
                              "list, or none in the list)",
                      .value = list && list->expires ? std::nullopt : std::optional<double>(0)}};
  Fact hashFact{"hash", hash.empty() ? Value() : Value(std::string(hash)), "",
                Series{.name = "leap_list_hash_valid",
                       .help = "1 when the list's hash matches its data",
                       .value = hash == "valid" ? 1 : 0}};
  Fact pathFact{"path", path, "{} "};
  Fact refusal{"refusal", list ? Value() : Value(reading.refusal), ""};
  if (!list) {
    result.state = State::WARNING;
    pathFact.text = "{}: ";
    refusal.text = "{}; ";
    source.text = "built-in list used";
    last.text += ")";
    for (const auto& fact : {pathFact, refusal, source, count, last, updated, expires, hashFact}) {
      result.Record(fact);
    }
    return result;
  }
  result.Record(pathFact);
  // The problems come first, one after the other.
  expires.text = ExpiryProblem(list->expires, now);
  if (hash != "valid") {
    hashFact.text = expires.text.empty() ? "hash {}" : ", hash {}";
  }
  if (expires.text.empty() && hashFact.text.empty()) {
    result.state = State::OK;
    expires.text = "valid until {}";
    hashFact.text = ", hash {})";
    for (const auto& fact : {expires, count, last, hashFact, updated, source, refusal}) {
      result.Record(fact);
    }
    return result;
  }
  result.state = State::WARNING;
  updated.text = list->updated ? ", updated {})" : ", updated unknown)";
  for (const auto& fact : {expires, hashFact, count, last, updated, source, refusal}) {
    result.Record(fact);
  }
  return result;
}

}  // namespace orvcheck
