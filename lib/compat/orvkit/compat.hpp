// Picks std::format and std::chrono::utc_clock where the standard library has
// them, and the fmt and date libraries where it does not (g++ 12).
#pragma once

#include <chrono>
#include <version>

#if defined(__cpp_lib_format)
#include <format>
#else
#include <fmt/format.h>
#endif

#if defined(__cpp_lib_chrono) && __cpp_lib_chrono >= 201907L
#define ORVKIT_STD_UTC_CLOCK 1
#else
#include <date/tz.h>
#endif

namespace compat {

#if defined(__cpp_lib_format)
using std::format;
#else
using fmt::format;
#endif

#if defined(ORVKIT_STD_UTC_CLOCK)
using std::chrono::get_tzdb;
using std::chrono::utc_clock;
#else
using date::get_tzdb;
using date::utc_clock;
#endif

}  // namespace compat
