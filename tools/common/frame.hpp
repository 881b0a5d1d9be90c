// The command-line frame shared by the programs.
#pragma once

#include <boost/program_options.hpp>

#include <signal.h>

#include <chrono>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace tools {

inline constexpr std::string_view VERSION = ORVKIT_VERSION;

// What becomes of a word that is neither an option nor an option's value.
enum StrayWords { STRAY_WORDS_DROPPED, STRAY_WORDS_REJECTED };

// Parses the command line against `options` into `vm` and answers help and
// version. Returns the exit status when the run ends here (help, version, or
// -1 after a rejected command line, whose reason goes to `rejection` when
// given); nullopt when the program's own work follows.
std::optional<int> ParseCommandLine(int argc, const char* const argv[],
                                    const boost::program_options::options_description& options,
                                    std::string_view usage,
                                    boost::program_options::variables_map& vm,
                                    StrayWords strayWords = STRAY_WORDS_DROPPED,
                                    std::string* rejection = nullptr);

// Flushes standard output and returns `status`, or `failureStatus` after an
// error line when any write to standard output has failed: a script must not
// take output that never arrived for success.
int Finish(int status, int failureStatus = 1);

// True while every write to standard output has succeeded.
bool StdoutIntact();

// How long a write to standard output may still hold a program after a stop
// signal.
inline constexpr std::chrono::milliseconds STOP_GRACE{500};

// While it lives, `onStop` handles each of `signals`, which are unblocked, and
// the first of them bounds the wait of a write to standard output: a reader
// that never reads would otherwise keep the program from ending at all. A
// write still blocked STOP_GRACE after that signal is cut short, and standard
// output goes to /dev/null from then on, so that the program ends as it does
// when a stop signal finds nothing to write. Uses SIGALRM; one at a time.
// Throws std::system_error when the timer or a handler cannot be set up.
class StopSignals {
 public:
  StopSignals(std::initializer_list<int> signals, void (*onStop)(int));
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  // Gives the signals and SIGALRM their default action back.
  ~StopSignals();

 private:
  sigset_t handled;
};

}  // namespace tools
