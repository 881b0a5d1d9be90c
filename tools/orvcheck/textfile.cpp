#include "textfile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace orvcheck {

namespace {

std::string Failure(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const std::string& content) {
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  return true;
}

// Fills the open temporary file; its name does not end in ".prom", so the
// collector never reads it half written.
std::optional<std::string> Fill(int fd, const std::string& temporary, const std::string& content) {
  if (!WriteAll(fd, content)) {
    return Failure("cannot write", temporary);
  }
  if (::fsync(fd) != 0) {
    return Failure("cannot flush", temporary);
  }
  if (::fchmod(fd, 0644) != 0) {
    return Failure("cannot set the mode of", temporary);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> ReplaceFile(const std::string& path, const std::string& content) {
  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    return Failure("cannot create a temporary file beside", path);
  }
  auto failure = Fill(fd, temporary, content);
  if (::close(fd) != 0 && !failure) {
    failure = Failure("cannot close", temporary);
  }
  if (!failure && ::rename(temporary.c_str(), path.c_str()) != 0) {
    failure = Failure("cannot rename " + temporary + " to", path);
  }
  if (failure) {
    ::unlink(temporary.c_str());
  }
  return failure;
}

}  // namespace orvcheck
