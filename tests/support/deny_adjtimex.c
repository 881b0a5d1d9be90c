// Runs a command with adjtimex and clock_adjtime refused with EPERM, as
// systemd's ProtectClock= and many container profiles refuse them, so that
// tests can show what the programs do when the kernel's TAI offset cannot be
// read. Usage: deny_adjtimex COMMAND [ARGUMENT...]
#include <seccomp.h>

#include <errno.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char* argv[]) {
  if (argc < 2) {
    fputs("usage: deny_adjtimex COMMAND [ARGUMENT...]\n", stderr);
    return 2;
  }
  // The filter is inherited across exec; loading it sets no_new_privs.
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
  if (filter == NULL ||
      seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(adjtimex), 0) != 0 ||
      seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clock_adjtime), 0) != 0 ||
      seccomp_load(filter) != 0) {
    fputs("deny_adjtimex: cannot load the system-call filter\n", stderr);
    return 127;
  }
  seccomp_release(filter);
  execvp(argv[1], argv + 1);
  perror(argv[1]);
  return 127;
}
