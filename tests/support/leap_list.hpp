// Leap-second lists in the form tzdata ships, for programs run at a chosen
// instant (under faketime): the 27 leap seconds up to 2017, then any later
// ones, with a "#h" line that is the SHA-1 of the list's digits as the format
// defines it. Users link orvkit_calendar and nettle.
#pragma once

#include <calendar.hpp>

#include <nettle/sha1.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace testsupport {

struct LeapListContent {
  std::chrono::sys_seconds updated;
  std::chrono::sys_seconds expires;
  // Leap seconds after 2017-01-01, each at 00:00:00 UTC on the first day of
  // a month, in order.
  std::vector<calendar::LeapSecond> later{};
  bool rightHash = true;  // false: the hash's last bit is flipped
};

inline std::string LeapListText(const LeapListContent& content) {
  const auto ntp = [](std::chrono::sys_seconds time) {
    return std::to_string(time.time_since_epoch().count() + 2'208'988'800);
  };
  std::string list = "#$\t" + ntp(content.updated) + "\n#@\t" + ntp(content.expires) + "\n";
  std::string digits = ntp(content.updated) + ntp(content.expires);
  const auto add = [&](std::chrono::sys_seconds from, int taiUtc) {
    list += ntp(from) + "\t" + std::to_string(taiUtc) + "\n";
    digits += ntp(from) + std::to_string(taiUtc);
  };
  int taiUtc = 10;
  add(std::chrono::sys_days{std::chrono::year{1972} / 1 / 1}, taiUtc);
  for (const auto date : calendar::BuiltinLeapSecondDates()) {
    add(date, ++taiUtc);
  }
  for (const auto& leap : content.later) {
    add(leap.takesEffect, taiUtc += leap.leap);
  }
  std::uint8_t sha1[SHA1_DIGEST_SIZE];
  sha1_ctx context;
  sha1_init(&context);
  sha1_update(&context, digits.size(), reinterpret_cast<const std::uint8_t*>(digits.data()));
  sha1_digest(&context, sizeof sha1, sha1);
  sha1[19] ^= content.rightHash ? 0 : 1;
  list += "#h\t";
  for (unsigned i = 0; i < 20; ++i) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", sha1[i]);
    list += (i > 0 && i % 4 == 0 ? " " : "") + std::string(hex);
  }
  return list + "\n";
}

}  // namespace testsupport
