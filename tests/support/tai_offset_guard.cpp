#include "tai_offset_guard.hpp"

#include <signal.h>
#include <sys/timex.h>

#include <array>
#include <cstddef>
#include <thread>

namespace testsupport {

namespace {

// The signals that end a test process without running destructors, save
// SIGKILL, which nothing can catch.
constexpr std::array FATAL_SIGNALS{SIGABRT, SIGBUS,  SIGFPE,  SIGHUP, SIGILL,
                                   SIGINT,  SIGQUIT, SIGSEGV, SIGTERM};

// What the outermost guard found, for the signal handler: inner guards
// restore their own findings as they go.
int guards = 0;
timex original{};
std::array<struct sigaction, FATAL_SIGNALS.size()> previousActions{};

// One system call, so that a signal handler may use it.
void Restore(const timex& saved) {
  timex request{};
  request.modes = ADJ_STATUS | ADJ_TAI | ADJ_MAXERROR;
  request.status = saved.status;
  request.constant = saved.tai;
  request.maxerror = saved.maxerror;
  ::adjtimex(&request);
}

// Restores the kernel, then lets the handler that was there before (the
// default, or a sanitizer's) take the signal.
void RestoreAndRaise(int signal) {
  Restore(original);
  for (std::size_t i = 0; i < FATAL_SIGNALS.size(); ++i) {
    if (FATAL_SIGNALS[i] == signal) {
      ::sigaction(signal, &previousActions[i], nullptr);
    }
  }
  ::raise(signal);
}

}  // namespace

TaiOffsetGuard::TaiOffsetGuard() {
  ::adjtimex(&saved);
  if (guards++ > 0) {
    return;
  }
  original = saved;
  struct sigaction action {};
  action.sa_handler = RestoreAndRaise;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < FATAL_SIGNALS.size(); ++i) {
    ::sigaction(FATAL_SIGNALS[i], &action, &previousActions[i]);
  }
}

TaiOffsetGuard::~TaiOffsetGuard() {
  Restore(saved);
  if (--guards > 0) {
    return;
  }
  for (std::size_t i = 0; i < FATAL_SIGNALS.size(); ++i) {
    ::sigaction(FATAL_SIGNALS[i], &previousActions[i], nullptr);
  }
}

int TaiOffsetGuard::SetStatus(int status) const {
  if ((status & (STA_INS | STA_DEL)) != 0) {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto midnight = ceil<days>(now);
    if (midnight - now < minutes{2}) {
      std::this_thread::sleep_until(midnight + seconds{1});
    }
  }
  // The kernel marks itself unsynchronised again within a second while its
  // maximum error is above 16 s, as it is when nothing disciplines the clock.
  timex request{};
  request.modes = ADJ_STATUS | ADJ_MAXERROR;
  request.status = status;
  request.maxerror = 0;
  return ::adjtimex(&request);
}

}  // namespace testsupport
