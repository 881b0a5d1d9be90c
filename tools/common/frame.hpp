// The command-line frame shared by nicmark, leapset and timepeek.
#pragma once

#include <boost/program_options.hpp>

#include <optional>
#include <string_view>

namespace tools {

inline constexpr std::string_view VERSION = ORVKIT_VERSION;

// What becomes of a word that is neither an option nor an option's value.
enum StrayWords { STRAY_WORDS_DROPPED, STRAY_WORDS_REJECTED };

// Parses the command line against `options` into `vm` and answers help and
// version. Returns the exit status when the run ends here (help, version, or
// -1 after a rejected command line); nullopt when the program's own work
// follows.
std::optional<int> ParseCommandLine(int argc, const char* const argv[],
                                    const boost::program_options::options_description& options,
                                    std::string_view usage,
                                    boost::program_options::variables_map& vm,
                                    StrayWords strayWords = STRAY_WORDS_DROPPED);

// Flushes standard output and returns `status`, or `failureStatus` after an
// error line when any write to standard output has failed: a script must not
// take output that never arrived for success.
int Finish(int status, int failureStatus = 1);

// True while every write to standard output has succeeded.
bool StdoutIntact();

}  // namespace tools
