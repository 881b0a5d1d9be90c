// Restores the kernel's TAI offset, clock status (STA_INS, STA_DEL,
// STA_UNSYNC and the other bits ADJ_STATUS writes) and maximum error that a
// test found, whatever the test did: on destruction, and when a signal ends
// the test first. A STA_INS left behind would insert a real leap second at
// midnight UTC.
#pragma once

#include <sys/timex.h>

#include <chrono>

namespace testsupport {

class TaiOffsetGuard {
 public:
  TaiOffsetGuard();
  TaiOffsetGuard(const TaiOffsetGuard&) = delete;
  TaiOffsetGuard& operator=(const TaiOffsetGuard&) = delete;
  ~TaiOffsetGuard();

  std::chrono::seconds Saved() const { return std::chrono::seconds{saved.tai}; }

  // Writes the kernel's status bits (ADJ_STATUS), with a maximum error of 0
  // as a daemon that disciplines the clock would; returns what adjtimex
  // returned. When `status` arms a leap second less than two minutes before
  // midnight UTC, it first waits for that midnight to pass.
  int SetStatus(int status) const;

 private:
  timex saved{};
};

}  // namespace testsupport
