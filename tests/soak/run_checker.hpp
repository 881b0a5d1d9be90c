// What one client may truthfully tell its program, checked as it happens and,
// at the end of the client's run, against what the daemon really sent.
#pragma once

#include <test_daemon.hpp>
#include <vexa/protocol.hpp>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace soak {

class RunChecker {
 public:
  // Takes each notification in turn, with what the client's Stopped() said
  // inside Notify; a broken rule lands in Violations().
  void Notify(const vexa::StatusMessage& message, bool clientStopped);
  // Takes what a daemon that served this run sent, in the order they served.
  void AddSent(const std::vector<vexatest::Packet>& packets);
  // Once the run is over: every status passed on was sent by the daemon.
  void Finish();

  // Whether the run goes on after a fatal error that the client recovers
  // from, until the client has reconnected; each costs a time-out of 2 s.
  void FollowRecovery(bool follow) { followRecovery = follow; }
  // The client has stopped on a fatal error, has connected a second time, or
  // met a fatal error that the run does not follow.
  bool Ended() const { return Stopped() || connects >= 2 || (Fatal() && !followRecovery); }
  bool Stopped() const { return state == State::STOPPED; }
  bool Fatal() const { return !fatalDetail.empty(); }
  // What followed "Internal fatal error: " the last time.
  const std::string& FatalDetail() const { return fatalDetail; }
  int Connects() const { return connects; }
  const std::vector<std::string>& Violations() const { return violations; }
  void Violation(std::string what) { violations.push_back(std::move(what)); }

 private:
  // RECOVERING: after a fatal error with a time-out left that reconnects.
  enum class State { START, DISCONNECTED, CONNECTED, RECOVERING, STOPPED };

  void Require(bool holds, const char* rule, const vexa::StatusMessage& message);
  void FromClient(const vexa::StatusMessage& message, bool clientStopped);
  void FromDaemon(const vexa::StatusMessage& message);

  State state = State::START;
  bool followRecovery = true;
  std::string fatalDetail;
  int connects = 0;
  vexatest::Clock::time_point connectedAt;    // of the newest connection
  std::vector<vexa::StatusMessage> passedOn;  // status and the daemon's own text
  std::vector<vexatest::Packet> sent;         // by every daemon of the run
  std::vector<std::string> violations;
};

// Follows the requests that one daemon read, over all its logs: on each
// connection the client sends its two requests, in order, and nothing else.
class RequestChecker {
 public:
  // Describes each request that breaks the rule.
  std::vector<std::string> Check(const std::vector<vexatest::Received>& requests);

 private:
  int connection = 0;     // the newest seen; only it can still be read
  std::size_t count = 0;  // requests read on it so far
};

}  // namespace soak
