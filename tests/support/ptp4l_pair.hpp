// A PTP grandmaster and slave, two real ptp4l daemons over a veth pair
// (scripts/ptp4l-pair), for the tests that read ptp4l.
#pragma once

#include <string>

namespace testsupport {

struct Ptp4lDaemon {
  std::string netns;   // its network namespace
  std::string socket;  // its management socket
};

class Ptp4lPair {
 public:
  // Returns once the slave's port is SLAVE; throws with the script's output.
  Ptp4lPair();
  Ptp4lPair(const Ptp4lPair&) = delete;
  Ptp4lPair& operator=(const Ptp4lPair&) = delete;
  ~Ptp4lPair();

  const Ptp4lDaemon& Grandmaster() const { return grandmaster; }
  const Ptp4lDaemon& Slave() const { return slave; }
  void StopGrandmaster() const;

 private:
  std::string dir;
  Ptp4lDaemon grandmaster;
  Ptp4lDaemon slave;
};

// Keeps the calling thread in a network namespace while it lives: a daemon
// there answers only clients of its own namespace at abstract addresses.
class InNetns {
 public:
  explicit InNetns(const std::string& name);
  InNetns(const InNetns&) = delete;
  InNetns& operator=(const InNetns&) = delete;
  ~InNetns();

 private:
  int original = -1;
};

}  // namespace testsupport
