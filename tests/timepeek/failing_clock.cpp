// Preloaded into timepeek: clock_gettime fails with EINVAL for the clock ids
// listed in FAIL_CLOCKS (comma-separated), from the FAIL_FROM_CALL-th call of
// that clock on (default 1); every other call goes to the C library.
#include <dlfcn.h>
#include <time.h>

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
