// Preloaded into timepeek: clock_gettime fails with EINVAL for the clock ids
// listed in FAIL_CLOCKS (comma-separated), from the FAIL_FROM_CALL-th call of
// that clock on (default 1); every other call goes to the C library.
// With DELAY_WRITE_MS set, the DELAY_WRITE_CALL-th write to standard output
// writes half its bytes, waits that long whatever signals come, and reports
// the half written, as a slow reader can make a write do.
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

using ClockGettime = int (*)(clockid_t, timespec*);

constexpr int MAX_CLOCK = 16;
int calls[MAX_CLOCK];

bool Listed(clockid_t clock) {
  const char* list = std::getenv("FAIL_CLOCKS");
  if (list == nullptr) {
    return false;
  }
  for (const char* item = list; item != nullptr; item = std::strchr(item, ',')) {
    item += *item == ',' ? 1 : 0;
    if (std::atoi(item) == clock) {
      return true;
    }
  }
  return false;
}

int FirstFailingCall() {
  const char* from = std::getenv("FAIL_FROM_CALL");
  return from == nullptr ? 1 : std::atoi(from);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int clock_gettime(clockid_t clock,
                                                                    timespec* reading) {
  if (clock >= 0 && clock < MAX_CLOCK && Listed(clock) && ++calls[clock] >= FirstFailingCall()) {
    errno = EINVAL;
    return -1;
  }
  static const auto real = reinterpret_cast<ClockGettime>(::dlsym(RTLD_NEXT, "clock_gettime"));
  return real(clock, reading);
}

extern "C" __attribute__((visibility("default"))) ssize_t write(int fd, const void* bytes,
                                                                size_t count) {
  using Write = ssize_t (*)(int, const void*, size_t);
  static const auto real = reinterpret_cast<Write>(::dlsym(RTLD_NEXT, "write"));
  static int stdoutWrites = 0;
  const char* delayMs = std::getenv("DELAY_WRITE_MS");
  const char* delayedCall = std::getenv("DELAY_WRITE_CALL");
  if (fd != STDOUT_FILENO || delayMs == nullptr || delayedCall == nullptr ||
      ++stdoutWrites != std::atoi(delayedCall) || count < 2) {
    return real(fd, bytes, count);
  }
  const ssize_t written = real(fd, bytes, count / 2);
  const int ms = std::atoi(delayMs);
  timespec left{ms / 1000, ms % 1000 * 1'000'000L};
  while (::nanosleep(&left, &left) != 0) {
  }
  return written;
}
