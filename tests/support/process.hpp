// Runs programs under test as real processes and captures what they write.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct ProcessOptions {
  // Run as nobody through setpriv, without supplementary groups.
  bool unprivileged = false;
  // Standard output goes to this file instead of a pipe (for example /dev/full).
  std::string stdoutPath;
  // Start with standard output closed.
  bool closeStdout = false;
  // Extra NAME=VALUE entries added to the inherited environment.
  std::vector<std::string> environment;
  // Entries for the program alone, set by env(1) just before it, after
  // setpriv: libfaketime shares its state through files that every process
  // loading it creates, and that one which execs leaves behind.
  std::vector<std::string> programEnvironment;
};

inline ProcessOptions AsNobody() {
  ProcessOptions options;
  options.unprivileged = true;
  return options;
}

inline ProcessOptions StdoutTo(std::string path) {
  ProcessOptions options;
  options.stdoutPath = std::move(path);
  return options;
}

inline ProcessOptions StdoutClosed() {
  ProcessOptions options;
  options.closeStdout = true;
  return options;
}

// `argv` run with adjtimex and clock_adjtime refused with EPERM, as under
// systemd's ProtectClock=: the kernel's TAI offset then cannot be read.
inline std::vector<std::string> WithAdjtimexDenied(std::vector<std::string> argv) {
  argv.insert(argv.begin(), DENY_ADJTIMEX_PATH);
  return argv;
}

// `options` with the program's CLOCK_REALTIME (and so std::chrono's
// system_clock) starting at `utc`, such as "2026-12-31 12:00:00", and running
// on from there; its monotonic clock stays real.
inline ProcessOptions AtInstant(ProcessOptions options, const std::string& utc) {
  options.programEnvironment = {"LD_PRELOAD=" FAKETIME_PRELOAD, "FAKETIME=@" + utc, "TZ=UTC",
                                "FAKETIME_DONT_FAKE_MONOTONIC=1"};
  return options;
}

struct ProcessResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or -1 when ended by a signal
  int signal = 0;   // the ending signal, or 0
};

// A started child process with its standard output and error captured.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const ProcessOptions& options = {});
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();

  pid_t Pid() const { return pid; }
  void Signal(int signal) const;
  // Reads until `text` appears in standard output, or `timeoutMs` passes;
  // returns what has been read so far.
  const std::string& WaitForOutput(const std::string& text, int timeoutMs);
  // Reads both streams to their end and reaps the child.
  ProcessResult Wait();
  // The same, but kills the child first if it has not ended within
  // `timeoutMs` (the result then shows SIGKILL).
  ProcessResult Wait(int timeoutMs);

 private:
  bool ReadAvailable(int timeoutMs);

  std::string stagingDir;
  pid_t pid = -1;
  int outFd = -1;
  int errFd = -1;
  ProcessResult result;
};

// A FIFO of one page that nobody reads, for a program's standard output
// (StdoutTo(Path())): the program's writes block once it is full.
class UnreadPipe {
 public:
  UnreadPipe();
  UnreadPipe(const UnreadPipe&) = delete;
  UnreadPipe& operator=(const UnreadPipe&) = delete;
  ~UnreadPipe();

  const std::string& Path() const { return path; }
  // Waits up to `timeoutMs` until less than `room` bytes are free.
  bool WaitUntilFull(std::size_t room, int timeoutMs) const;

 private:
  std::string dir;
  std::string path;
  int reader = -1;
  std::size_t capacity = 0;
};

// Runs `argv` to its end.
ProcessResult Run(const std::vector<std::string>& argv, const ProcessOptions& options = {});

}  // namespace testsupport
