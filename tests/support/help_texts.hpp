// The programs' help texts byte for byte, as the option library lays them out:
// shared by every test that compares a program's output exactly.
#pragma once

#include <string>

namespace testsupport {

inline const std::string LEAPSET_LISTING =
    "Options:\n"
    "  -h [ --help ]         Print help messages\n"
    "  --version             Print version and exit\n"
    "  --verbose             Print debug information\n"
    "  --set arg             Set kernel TAI offset in seconds\n"
    "  --init                Set kernel TAI offset to calendar value if unset\n";

inline const std::string LEAPSET_HELP =
    "Get/set kernel TAI offset (no option = get)\n\n" + LEAPSET_LISTING + "\n";

inline const std::string TIMEPEEK_LISTING =
    "Options:\n"
    "  -h [ --help ]         Print help messages\n"
    "  --version             Print version and exit\n"
    "  --interval arg        print interval in ms, omit to print once\n";

inline const std::string TIMEPEEK_HELP =
    "Print UTC, clocks MONOTONIC, TAI & REALTIME and kernel TAI offset\n\n" + TIMEPEEK_LISTING +
    "\n";

// nicmark has no blank line after its usage line.
inline const std::string NICMARK_HELP =
    "Get/set timestamping options <interface> [options]\n"
    "Options:\n"
    "  --help                Print help messages\n"
    "  --setrx arg           set RX options\n"
    "  --settx arg           set TX options\n"
    "\n";

}  // namespace testsupport
