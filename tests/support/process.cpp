#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace testsupport {

namespace {

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

bool IsSystemPath(const std::string& path) {
  return path.rfind("/lib", 0) == 0 || path.rfind("/usr/", 0) == 0;
}

// The build tree may lie below a directory that only root may enter (a clone
// in /root), so a program run as another user is copied, with the libraries it
// loads from outside the system's directories, into a directory all may read.
// Returns the directory; the program keeps its file name there.
std::string StageForOtherUsers(const std::string& program) {
  char pattern[] = "/tmp/orvkit-staged-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    ThrowErrno("mkdtemp");
  }
  const std::filesystem::path dir = pattern;
  std::filesystem::permissions(
      dir, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
               std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
               std::filesystem::perms::others_exec);
  std::filesystem::copy_file(program, dir / std::filesystem::path(program).filename());
  const std::string command = "ldd '" + program + "'";
  FILE* ldd = ::popen(command.c_str(), "r");
  if (ldd == nullptr) {
    ThrowErrno("popen");
  }
  char line[4096];
  while (std::fgets(line, sizeof line, ldd) != nullptr) {
    // "\tliborv.so.0.7 => /path/to/liborv.so.0.7 (0x...)"
    std::string text = line;
    const auto arrow = text.find(" => /");
    if (arrow == std::string::npos) {
      continue;
    }
    const auto name = text.substr(0, arrow).substr(text.find_first_not_of(" \t"));
    const auto path = text.substr(arrow + 4, text.find(" (", arrow) - arrow - 4);
    if (!IsSystemPath(path)) {
      std::filesystem::copy_file(path, dir / name.substr(0, name.find_last_not_of(" \t") + 1));
    }
  }
  ::pclose(ldd);
  return dir;
}

std::vector<std::string> CommandLine(const std::vector<std::string>& argv,
                                     const ProcessOptions& options, std::string& stagingDir) {
  std::vector<std::string> full;
  if (options.unprivileged) {
    full = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  }
  full.insert(full.end(), argv.begin(), argv.end());
  if (options.unprivileged && argv.front().front() == '/' && !IsSystemPath(argv.front())) {
    stagingDir = StageForOtherUsers(argv.front());
    full[4] = stagingDir + "/" + std::filesystem::path(argv.front()).filename().string();
    full.insert(full.begin(), {"env", "LD_LIBRARY_PATH=" + stagingDir});
  }
  if (!options.programEnvironment.empty()) {
    const auto program = full.insert(full.end() - static_cast<std::ptrdiff_t>(argv.size()), "env");
    full.insert(program + 1, options.programEnvironment.begin(), options.programEnvironment.end());
  }
  return full;
}

// A test double preloaded into a program run as another user lies in the
// build tree too: it is staged beside the program.
std::string StagedPreload(const std::string& entry, const std::string& stagingDir) {
  const std::string name = "LD_PRELOAD=";
  if (stagingDir.empty() || entry.rfind(name, 0) != 0) {
    return entry;
  }
  std::string staged;
  std::size_t start = name.size();
  while (start <= entry.size()) {
    const auto end = std::min(entry.find(':', start), entry.size());
    std::string path = entry.substr(start, end - start);
    if (!path.empty() && path.front() == '/' && !IsSystemPath(path)) {
      const auto copy = std::filesystem::path(stagingDir) / std::filesystem::path(path).filename();
      std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing);
      path = copy;
    }
    staged += (staged.empty() ? name : ":") + path;
    start = end + 1;
  }
  return staged;
}

// Runs in the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void ExecChild(char* const* args, char* const* environment, int outWrite, int errWrite,
                            int stdoutFile, bool closeStdout) {
  if (closeStdout) {
    ::close(STDOUT_FILENO);
  } else {
    ::dup2(stdoutFile >= 0 ? stdoutFile : outWrite, STDOUT_FILENO);
  }
  ::dup2(errWrite, STDERR_FILENO);
  const int devNull = ::open("/dev/null", O_RDONLY);
  ::dup2(devNull, STDIN_FILENO);
  ::execvpe(args[0], args, environment);
  ::_exit(127);
}

}  // namespace

Process::Process(const std::vector<std::string>& argv, const ProcessOptions& options) {
  const auto command = CommandLine(argv, options, stagingDir);
  std::vector<char*> args;
  for (const auto& word : command) {
    args.push_back(const_cast<char*>(word.c_str()));
  }
  args.push_back(nullptr);
  std::vector<char*> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    environment.push_back(*entry);
  }
  std::vector<std::string> added;
  for (const auto& entry : options.environment) {
    added.push_back(StagedPreload(entry, stagingDir));
  }
  for (const auto& entry : added) {
    environment.push_back(const_cast<char*>(entry.c_str()));
  }
  environment.push_back(nullptr);

  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
    ThrowErrno("pipe2");
  }
  int stdoutFile = -1;
  if (!options.stdoutPath.empty()) {
    stdoutFile = ::open(options.stdoutPath.c_str(), O_WRONLY | O_CLOEXEC);
    if (stdoutFile < 0) {
      ThrowErrno("open");
    }
  }
  pid = ::fork();
  if (pid < 0) {
    ThrowErrno("fork");
  }
  if (pid == 0) {
    ExecChild(args.data(), environment.data(), outPipe[1], errPipe[1], stdoutFile,
              options.closeStdout);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  if (stdoutFile >= 0) {
    ::close(stdoutFile);
  }
  outFd = outPipe[0];
  errFd = errPipe[0];
}

Process::~Process() {
  if (pid > 0) {
    ::kill(pid, SIGKILL);
    Wait();
  }
}

void Process::Signal(int signal) const {
  ::kill(pid, signal);
}

bool Process::ReadAvailable(int timeoutMs) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  const int ready = ::poll(fds, 2, timeoutMs);
  if (ready <= 0) {
    return false;
  }
  char buffer[65536];
  int* descriptors[2] = {&outFd, &errFd};
  std::string* targets[2] = {&result.out, &result.err};
  for (int i = 0; i < 2; ++i) {
    if (*descriptors[i] < 0 || fds[i].revents == 0) {
      continue;
    }
    const ssize_t n = ::read(*descriptors[i], buffer, sizeof buffer);
    if (n > 0) {
      targets[i]->append(buffer, static_cast<std::size_t>(n));
    } else {
      ::close(*descriptors[i]);
      *descriptors[i] = -1;
    }
  }
  return true;
}

const std::string& Process::WaitForOutput(const std::string& text, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (result.out.find(text) == std::string::npos && (outFd >= 0 || errFd >= 0)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      break;
    }
    ReadAvailable(static_cast<int>(left.count()));
  }
  return result.out;
}

ProcessResult Process::Wait() {
  while (outFd >= 0 || errFd >= 0) {
    ReadAvailable(-1);
  }
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  pid = -1;
  if (!stagingDir.empty()) {
    std::filesystem::remove_all(stagingDir);
    stagingDir.clear();
  }
  if (WIFEXITED(wstatus)) {
    result.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    result.signal = WTERMSIG(wstatus);
  }
  return result;
}

ProcessResult Process::Wait(int timeoutMs) {
  WaitForOutput("\x04 never written", timeoutMs);
  ::kill(pid, SIGKILL);  // a child that has ended stays a zombie until Wait
  return Wait();
}

UnreadPipe::UnreadPipe() {
  char pattern[] = "/tmp/orvkit-unread-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    ThrowErrno("mkdtemp");
  }
  dir = pattern;
  path = dir + "/stdout";
  if (::mkfifo(path.c_str(), 0600) != 0) {
    ThrowErrno("mkfifo");
  }
  // Open before the writer, which would otherwise wait for a reader.
  reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const int size = reader < 0 ? -1 : ::fcntl(reader, F_SETPIPE_SZ, 4096);
  if (size < 0) {
    ThrowErrno("open or F_SETPIPE_SZ");
  }
  capacity = static_cast<std::size_t>(size);
}

UnreadPipe::~UnreadPipe() {
  ::close(reader);
  std::filesystem::remove_all(dir);
}

bool UnreadPipe::WaitUntilFull(std::size_t room, int timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int queued = 0;
    ::ioctl(reader, FIONREAD, &queued);
    if (capacity - static_cast<std::size_t>(queued) < room) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

ProcessResult Run(const std::vector<std::string>& argv, const ProcessOptions& options) {
  Process process(argv, options);
  return process.Wait();
}

}  // namespace testsupport
