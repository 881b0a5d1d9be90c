// Preloaded into a test's ptp4l so that it can run as a slave of CLOCK_REALTIME
// without steering this machine's clock. ptp4l changes clocks only through
// clock_adjtime (a step is ADJ_SETOFFSET, a leap second ADJ_STATUS): each call
// becomes a read of the clock, and the daemon sees it succeed.
#define _GNU_SOURCE
#include <sys/syscall.h>
#include <sys/timex.h>
#include <time.h>
#include <unistd.h>

int clock_adjtime(clockid_t clock, struct timex* tx) {
  tx->modes = 0;
  return (int)syscall(SYS_clock_adjtime, clock, tx);
}
