#include "ptp4l_pair.hpp"

#include "process.hpp"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace testsupport {

Ptp4lPair::Ptp4lPair() {
  char pattern[] = "/tmp/orvkit-ptp4l-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp");
  }
  dir = pattern;
  const auto started = Run({PTP4L_PAIR_PATH, "start", dir, NO_CLOCK_STEERING_PRELOAD});
  // "gm NETNS SOCKET" and "slave NETNS SOCKET"
  std::istringstream lines(started.out);
  std::string role;
  Ptp4lDaemon daemon;
  while (lines >> role >> daemon.netns >> daemon.socket) {
    (role == "gm" ? grandmaster : slave) = daemon;
  }
  if (started.status != 0 || grandmaster.socket.empty() || slave.socket.empty()) {
    Run({PTP4L_PAIR_PATH, "stop", dir});
    throw std::runtime_error("ptp4l-pair start failed: " + started.out + started.err);
  }
}

Ptp4lPair::~Ptp4lPair() {
  Run({PTP4L_PAIR_PATH, "stop", dir});
  Run({"rm", "-rf", dir});
}

void Ptp4lPair::StopGrandmaster() const {
  Run({PTP4L_PAIR_PATH, "stop", dir, "gm"});
}

InNetns::InNetns(const std::string& name)
    : original(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
  const int target = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
  const bool entered = original >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
  const int error = errno;
  if (target >= 0) {
    ::close(target);
  }
  if (!entered) {
    ::close(original);
    throw std::system_error(error, std::generic_category(), "enter network namespace " + name);
  }
}

InNetns::~InNetns() {
  ::setns(original, CLONE_NEWNET);
  ::close(original);
}

}  // namespace testsupport
