// Restores the kernel's TAI offset, clock status (STA_INS, STA_DEL,
// STA_UNSYNC and the other bits ADJ_STATUS writes) and maximum error that a
// test found, whatever the test did: on destruction, and when a signal other
// than SIGKILL ends the test first. A STA_INS left behind would insert a real
// leap second at midnight UTC.
#pragma once

#include <signal.h>
#include <sys/timex.h>

#include <array>
#include <chrono>
#include <thread>

namespace testsupport {

class TaiOffsetGuard {
 public:
  TaiOffsetGuard() {
    ::adjtimex(&saved);
    if (live++ > 0) {
      return;  // the outermost guard's finding is the one to restore
    }
    original = saved;
    struct sigaction action {};
    action.sa_handler = RestoreAndRaise;
    for (std::size_t i = 0; i < SIGNALS.size(); ++i) {
      ::sigaction(SIGNALS[i], &action, &previous[i]);
    }
  }
  TaiOffsetGuard(const TaiOffsetGuard&) = delete;
  TaiOffsetGuard& operator=(const TaiOffsetGuard&) = delete;
  ~TaiOffsetGuard() {
    Restore(saved);
    if (--live == 0) {
      for (std::size_t i = 0; i < SIGNALS.size(); ++i) {
        ::sigaction(SIGNALS[i], &previous[i], nullptr);
      }
    }
  }

  std::chrono::seconds Saved() const { return std::chrono::seconds{saved.tai}; }

  // Writes the kernel's status bits, with a maximum error of 0 as a daemon
  // that disciplines the clock would (above 16 s the kernel sets STA_UNSYNC
  // again within a second); returns what adjtimex returned. Armed less than
  // two minutes before midnight UTC, it first waits for that midnight.
  int SetStatus(int status) const {
    const auto now = std::chrono::system_clock::now();
    const auto midnight = std::chrono::ceil<std::chrono::days>(now);
    if ((status & (STA_INS | STA_DEL)) != 0 && midnight - now < std::chrono::minutes{2}) {
      std::this_thread::sleep_until(midnight + std::chrono::seconds{1});
    }
    timex request{};
    request.modes = ADJ_STATUS | ADJ_MAXERROR;
    request.status = status;
    return ::adjtimex(&request);
  }

 private:
  static constexpr std::array SIGNALS{SIGABRT, SIGBUS,  SIGFPE,  SIGHUP, SIGILL,
                                      SIGINT,  SIGQUIT, SIGSEGV, SIGTERM};

  // One system call, so that a signal handler may make it.
  static void Restore(const timex& state) {
    timex request{};
    request.modes = ADJ_STATUS | ADJ_TAI | ADJ_MAXERROR;
    request.status = state.status;
    request.constant = state.tai;
    request.maxerror = state.maxerror;
    ::adjtimex(&request);
  }

  // Then the handler that was there before (the default, or a sanitizer's)
  // takes the signal.
  static void RestoreAndRaise(int signal) {
    Restore(original);
    for (std::size_t i = 0; i < SIGNALS.size(); ++i) {
      if (SIGNALS[i] == signal) {
        ::sigaction(signal, &previous[i], nullptr);
      }
    }
    ::raise(signal);
  }

  static inline int live = 0;
  static inline timex original{};
  static inline std::array<struct sigaction, SIGNALS.size()> previous{};
  timex saved{};
};

}  // namespace testsupport
