// Calls into liborv's hardware timestamping access from a test and captures
// the diagnostics that it writes to standard error.
#pragma once

#include <orv/orv.hpp>

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

namespace hwtstamptest {

struct CallResult {
  int result;
  std::string err;
};

inline CallResult GetSetCaptured(const char* ifname, HwTstampOpts* opts) {
  std::FILE* capture = std::tmpfile();
  const int savedStderr = ::dup(STDERR_FILENO);
  ::dup2(::fileno(capture), STDERR_FILENO);
  const int result = GetSetHwTstampOpts(ifname, opts);
  std::cerr.flush();
  ::dup2(savedStderr, STDERR_FILENO);
  ::close(savedStderr);
  std::rewind(capture);
  std::string err;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, capture)) > 0;) {
    err.append(buffer, n);
  }
  std::fclose(capture);
  return {result, err};
}

inline int OpenDescriptorCount() {
  int count = 0;
  DIR* fds = ::opendir("/proc/self/fd");
  while (::readdir(fds) != nullptr) {
    ++count;
  }
  ::closedir(fds);
  return count;
}

}  // namespace hwtstamptest
