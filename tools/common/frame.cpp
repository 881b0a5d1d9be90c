#include "frame.hpp"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <streambuf>
#include <system_error>

namespace po = boost::program_options;

namespace tools {

namespace {

// Standard output's buffer, which keeps the error of the write that failed:
// by the time a program reports the failure, errno has long moved on.
class StdoutBuffer : public std::streambuf {
 public:
  StdoutBuffer() : original(std::cout.rdbuf(this)) { setp(buffer, buffer + sizeof buffer); }
  StdoutBuffer(const StdoutBuffer&) = delete;
  StdoutBuffer& operator=(const StdoutBuffer&) = delete;
  ~StdoutBuffer() override {
    Drain();
    std::cout.rdbuf(original);
  }

  int WriteError() const { return writeError; }

 protected:
  int_type overflow(int_type ch) override {
    if (!Drain()) {
      return traits_type::eof();
    }
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(ch);
      pbump(1);
    }
    return traits_type::not_eof(ch);
  }

  int sync() override { return Drain() ? 0 : -1; }

 private:
  bool Drain() {
    const char* next = pbase();
    bool written = true;
    while (next < pptr()) {
      const ssize_t n = ::write(STDOUT_FILENO, next, static_cast<std::size_t>(pptr() - next));
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0) {
        writeError = errno;
        written = false;
        break;
      }
      next += n;
    }
    setp(buffer, buffer + sizeof buffer);
    return written;
  }

  char buffer[4096];
  std::streambuf* original;
  int writeError = 0;
};

StdoutBuffer stdoutBuffer;

// The stop signals' state, for their handlers.
void (*stopHandler)(int) = nullptr;
timer_t stopDeadline{};
volatile std::sig_atomic_t stopDeadlineArmed = 0;

// A write to standard output is still blocked STOP_GRACE after a stop signal:
// nobody reads it. Standard output becomes /dev/null, and this signal, handled
// without SA_RESTART, ends the write short, so that the rest goes nowhere.
// With no descriptor to spare for /dev/null, standard output is closed
// instead: the program then reports its output as failed.
void DropBlockedOutput(int /*signal*/) {
  const int savedErrno = errno;
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
  } else {
    ::close(STDOUT_FILENO);
  }
  errno = savedErrno;
}

void OnStopSignal(int signal) {
  const int savedErrno = errno;
  if (stopDeadlineArmed == 0) {
    stopDeadlineArmed = 1;
    itimerspec grace{};
    grace.it_value.tv_sec = STOP_GRACE.count() / 1000;
    grace.it_value.tv_nsec = STOP_GRACE.count() % 1000 * 1'000'000;
    ::timer_settime(stopDeadline, 0, &grace, nullptr);
  }
  errno = savedErrno;
  stopHandler(signal);
}

void Handle(int signal, void (*handler)(int), int flags, const sigset_t& mask) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  action.sa_mask = mask;
  if (::sigaction(signal, &action, nullptr) != 0) {
    throw std::system_error(errno, std::generic_category(), "sigaction");
  }
}

// Gives `signals` and SIGALRM their default action back and drops the timer.
void Unhandle(const sigset_t& signals) {
  for (int signal = 1; signal < NSIG; ++signal) {
    if (sigismember(&signals, signal) == 1) {
      std::signal(signal, SIG_DFL);
    }
  }
  ::timer_delete(stopDeadline);
  std::signal(SIGALRM, SIG_DFL);
}

}  // namespace

std::optional<int> ParseCommandLine(int argc, const char* const argv[],
                                    const po::options_description& options, std::string_view usage,
                                    po::variables_map& vm, StrayWords strayWords,
                                    std::string* rejection) {
  try {
    if (strayWords == STRAY_WORDS_REJECTED) {
      // With no positional option declared, the parser refuses every word.
      po::store(po::command_line_parser(argc, argv)
                    .options(options)
                    .positional(po::positional_options_description())
                    .run(),
                vm);
    } else {
      po::store(po::parse_command_line(argc, argv, options), vm);
    }
  } catch (const po::error& e) {
    // Every parse error, not only an unknown option, ends the run this way.
    std::cerr << "ERROR: " << e.what() << "\n\n" << options << std::endl;
    if (rejection != nullptr) {
      *rejection = e.what();
    }
    return -1;
  }
  if (vm.count("help") != 0) {
    std::cout << usage << "\n\n" << options << std::endl;
    return 0;
  }
  if (vm.count("version") != 0) {
    std::cout << VERSION << std::endl;
    return 0;
  }
  po::notify(vm);
  return std::nullopt;
}

bool StdoutIntact() {
  return static_cast<bool>(std::cout.flush());
}

StopSignals::StopSignals(std::initializer_list<int> signals, void (*onStop)(int)) {
  sigevent expiry{};
  expiry.sigev_notify = SIGEV_SIGNAL;
  expiry.sigev_signo = SIGALRM;
  if (::timer_create(CLOCK_MONOTONIC, &expiry, &stopDeadline) != 0) {
    throw std::system_error(errno, std::generic_category(), "timer_create");
  }
  stopHandler = onStop;
  stopDeadlineArmed = 0;
  sigemptyset(&handled);
  for (const int signal : signals) {
    sigaddset(&handled, signal);
  }
  try {
    Handle(SIGALRM, DropBlockedOutput, 0, handled);
    for (const int signal : signals) {
      Handle(signal, OnStopSignal, SA_RESTART, handled);
    }
  } catch (...) {
    Unhandle(handled);
    throw;
  }
  // A parent may have blocked them; the program would then never stop.
  sigprocmask(SIG_UNBLOCK, &handled, nullptr);
}

StopSignals::~StopSignals() {
  Unhandle(handled);
}

int Finish(int status, int failureStatus) {
  if (StdoutIntact()) {
    return status;
  }
  std::cerr << "ERROR: writing to standard output failed: "
            << std::strerror(stdoutBuffer.WriteError()) << std::endl;
  return failureStatus;
}

}  // namespace tools
