#include "checks.hpp"

#include <daemon_options.hpp>
#include <orv/orv.hpp>

#include <openssl/evp.h>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <array>
#include <cstdint>

namespace orvcheck {

namespace {

using namespace std::chrono_literals;

// A list this close to its expiry wants replacing before the next leap
// second could be announced and missed.
constexpr std::chrono::seconds EXPIRY_WARNING = std::chrono::days{28};

std::string Date(std::chrono::sys_seconds time) {
  const std::chrono::year_month_day day{std::chrono::floor<std::chrono::days>(time)};
  return fmt::format("{:04}-{:02}-{:02}", static_cast<int>(day.year()),
                     static_cast<unsigned>(day.month()), static_cast<unsigned>(day.day()));
}

nlohmann::ordered_json DateOrNull(const std::optional<std::chrono::sys_seconds>& time) {
  return time ? nlohmann::ordered_json(Date(*time)) : nlohmann::ordered_json(nullptr);
}

// The "#h" line is the SHA-1 of the list's digits, as five big-endian words.
bool HashMatches(const calendar::LeapSecondList& list) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_Digest(list.hashedDigits.data(), list.hashedDigits.size(), digest.data(), &length,
                 EVP_sha1(), nullptr) != 1 ||
      length != 20) {
    return false;
  }
  for (std::size_t word = 0; word < 5; ++word) {
    std::uint32_t value = 0;
    for (std::size_t byte = 0; byte < 4; ++byte) {
      value = (value << 8) | digest[word * 4 + byte];
    }
    if (value != (*list.hash)[word]) {
      return false;
    }
  }
  return true;
}

Metric Timestamp(std::string name, std::string help, std::chrono::sys_seconds time) {
  return {std::move(name), std::move(help), time.time_since_epoch().count()};
}

// The file's own findings, each a reason for a warning.
std::vector<std::string> Problems(const calendar::LeapSecondList& list, std::string_view hash,
                                  std::chrono::sys_seconds now) {
  std::vector<std::string> problems;
  if (!list.expires) {
    problems.push_back("no expiry date");
  } else if (*list.expires <= now) {
    problems.push_back("expired on " + Date(*list.expires));
  } else if (*list.expires - now <= EXPIRY_WARNING) {
    problems.push_back("expires on " + Date(*list.expires));
  }
  if (hash != "valid") {
    problems.push_back(fmt::format("hash {}", hash));
  }
  return problems;
}

}  // namespace

CheckResult CheckTaiOffset(const std::optional<calendar::LeapSecondList>& list,
                           std::chrono::sys_seconds now) {
  std::error_code error;
  const auto kernel = orv::GetTaiOffset(error);
  const auto calendar = ::calendar::CalendarTaiOffset(list, now);
  CheckResult result;
  result.check = "tai-offset";
  // An offset that could not be read has no value, least of all 0 (unset).
  result.values = {{"kernel_seconds", error ? nullptr : nlohmann::ordered_json(kernel.count())},
                   {"calendar_seconds", calendar.count()}};
  if (!error) {
    result.metrics.push_back({"tai_offset_seconds",
                              "The kernel's TAI offset (TAI - UTC), 0 when unset", kernel.count()});
  }
  result.metrics.push_back(
      {"tai_offset_calendar_seconds", "TAI - UTC by the leap-second list", calendar.count()});
  if (error) {
    result.state = State::UNKNOWN;
    result.message = fmt::format("kernel offset unreadable (error code: {}): {}; calendar {} s",
                                 error.value(), error.message(), calendar.count());
  } else if (kernel == 0s) {
    result.state = State::CRITICAL;
    result.message = fmt::format("kernel offset unset (CLOCK_TAI reads as UTC), calendar {} s",
                                 calendar.count());
  } else if (kernel != calendar) {
    result.state = State::WARNING;
    result.message =
        fmt::format("kernel {} s differs from calendar {} s", kernel.count(), calendar.count());
  } else {
    result.state = State::OK;
    result.message = fmt::format("kernel {} s, calendar {} s", kernel.count(), calendar.count());
  }
  return result;
}

CheckResult CheckLeapList(const std::string& path, const calendar::ListReading& reading,
                          std::chrono::sys_seconds now) {
  const auto& list = reading.list;
  CheckResult result;
  result.check = "leap-list";
  result.values["path"] = path;
  result.values["source"] = list ? "file" : "built-in";
  const std::chrono::sys_seconds lastLeap =
      list ? list->entries.back().from : calendar::BuiltinLeapSecondDates().back();
  const std::int64_t leapSeconds =
      list ? (list->entries.back().taiUtc - calendar::INITIAL_TAI_OFFSET).count()
           : calendar::BuiltinLeapSecondDates().size();
  result.values["leap_seconds"] = leapSeconds;
  result.values["last_leap_second"] = leapSeconds > 0 ? DateOrNull(lastLeap) : nullptr;
  result.metrics.push_back({"leap_list_leap_seconds", "Leap seconds in the list", leapSeconds});
  if (leapSeconds > 0) {
    result.metrics.push_back(Timestamp("leap_list_last_leap_timestamp_seconds",
                                       "When the list's last leap second took effect", lastLeap));
  }
  result.metrics.push_back({"leap_list_builtin",
                            "1 when the list was missing or invalid and the built-in one served",
                            list ? 0 : 1});
  const std::string shownPath = tools::OneLine(path);
  const std::string summary = fmt::format("{} leap seconds, last {}", leapSeconds,
                                          leapSeconds > 0 ? Date(lastLeap) : "none");
  if (!list) {
    result.values["updated"] = nullptr;
    result.values["expires"] = nullptr;
    result.values["hash"] = nullptr;
    result.state = State::WARNING;
    result.message =
        fmt::format("{}: {}; built-in list used ({})", shownPath, reading.refusal, summary);
    return result;
  }
  const std::string_view hash = !list->hash ? "missing" : HashMatches(*list) ? "valid" : "mismatch";
  result.values["updated"] = DateOrNull(list->updated);
  result.values["expires"] = DateOrNull(list->expires);
  result.values["hash"] = hash;
  if (list->updated) {
    result.metrics.push_back(Timestamp("leap_list_updated_timestamp_seconds",
                                       "When the list was last updated", *list->updated));
  }
  if (list->expires) {
    result.metrics.push_back(
        Timestamp("leap_list_expiry_timestamp_seconds", "When the list expires", *list->expires));
  }
  result.metrics.push_back(
      {"leap_list_hash_valid", "1 when the list's hash matches its data", hash == "valid" ? 1 : 0});
  const auto problems = Problems(*list, hash, now);
  result.state = problems.empty() ? State::OK : State::WARNING;
  result.message = problems.empty()
                       ? fmt::format("{} valid until {} ({}, hash valid)", shownPath,
                                     Date(*list->expires), summary)
                       : fmt::format("{} {} ({}, updated {})", shownPath, fmt::join(problems, ", "),
                                     summary, list->updated ? Date(*list->updated) : "unknown");
  return result;
}

}  // namespace orvcheck
