// The command-line frame shared by nicmark, leapset and timepeek.
#pragma once

#include <boost/program_options.hpp>

#include <optional>
#include <string_view>

namespace tools {

inline constexpr std::string_view VERSION = ORVKIT_VERSION;

// Parses the command line of leapset and timepeek against `options` into `vm`
// and answers help and version. Returns the exit status when the run ends
// here (help, version or a rejected command line); nullopt when the program's
// own work follows.
std::optional<int> ParseCommandLine(int argc, const char* const argv[],
                                    const boost::program_options::options_description& options,
                                    std::string_view usage,
                                    boost::program_options::variables_map& vm);

// Flushes standard output and returns `status`, or 1 after an error line when
// any write to standard output has failed: a script must not take output that
// never arrived for success.
int Finish(int status);

// True while every write to standard output has succeeded.
bool StdoutIntact();

}  // namespace tools
