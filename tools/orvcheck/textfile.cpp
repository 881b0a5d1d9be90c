#include "textfile.hpp"

#include <fcntl.h>
#include <signal.h>
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
  // Renaming over a device, FIFO or socket would replace it with a file: only
  // a regular file, or a symbolic link (replaced itself), gives way.
  struct stat target {};
  if (::lstat(path.c_str(), &target) == 0 && !S_ISREG(target.st_mode) && !S_ISLNK(target.st_mode)) {
    return "cannot replace " + path + ": not a regular file";
  }
  // A short name of its own beside the target, which leaves room for the
  // random part whatever the target's name.
  const auto slash = path.rfind('/');
  std::string temporary =
      (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/.orvcheck-XXXXXX";
  // Every signal waits until the temporary file is renamed or removed, so
  // that an interrupted run leaves none behind.
  sigset_t all;
  sigset_t previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, &previous);
  std::optional<std::string> failure;
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    failure = Failure("cannot create a temporary file beside", path);
  } else {
    failure = Fill(fd, temporary, content);
    if (::close(fd) != 0 && !failure) {
      failure = Failure("cannot close", temporary);
    }
    if (!failure && ::rename(temporary.c_str(), path.c_str()) != 0) {
      failure = Failure("cannot rename " + temporary + " to", path);
    }
    if (failure) {
      ::unlink(temporary.c_str());
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return failure;
}

}  // namespace orvcheck
