// A PTP grandmaster and slave, two real ptp4l daemons over a veth pair between
// network namespaces of their own (scripts/ptp4l-pair), for tests that read ptp4l.
#pragma once

#include "process.hpp"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>

namespace testsupport {

struct Ptp4lDaemon {
  std::string netns;   // its network namespace
  std::string socket;  // its management socket
};

// Started once the slave's port is SLAVE; stopped, namespaces and all, at the end.
struct Ptp4lPair {
  Ptp4lPair() {
    char pattern[] = "/tmp/orvkit-ptp4l-XXXXXX";
    dir = ::mkdtemp(pattern);
    const auto started = Run({PTP4L_PAIR_PATH, "start", dir, NO_CLOCK_STEERING_PRELOAD});
    std::istringstream lines(started.out);  // "gm NETNS SOCKET", "slave NETNS SOCKET"
    for (std::string role; lines >> role;) {
      auto& daemon = role == "gm" ? grandmaster : slave;
      lines >> daemon.netns >> daemon.socket;
    }
    if (started.status != 0 || grandmaster.socket.empty() || slave.socket.empty()) {
      throw std::runtime_error("ptp4l-pair start failed: " + started.out + started.err);
    }
  }
  Ptp4lPair(const Ptp4lPair&) = delete;
  Ptp4lPair& operator=(const Ptp4lPair&) = delete;
  ~Ptp4lPair() {
    Run({PTP4L_PAIR_PATH, "stop", dir});
    Run({"rm", "-rf", dir});
  }
  void StopGrandmaster() const { Run({PTP4L_PAIR_PATH, "stop", dir, "gm"}); }

  std::string dir;
  Ptp4lDaemon grandmaster;
  Ptp4lDaemon slave;
};

// Keeps the calling thread in a network namespace while it lives: a daemon
// there answers abstract addresses of its own namespace only.
class InNetns {
 public:
  explicit InNetns(const std::string& name)
      : original(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
    const int target = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    const int entered = ::setns(target, CLONE_NEWNET);
    ::close(target);
    if (entered != 0) {
      throw std::runtime_error("cannot enter network namespace " + name);
    }
  }
  ~InNetns() {
    ::setns(original, CLONE_NEWNET);
    ::close(original);
  }

 private:
  int original;
};

}  // namespace testsupport
