#include "run_checker.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <string_view>
#include <utility>

namespace soak {

namespace {

using vexatest::Packet;

constexpr std::string_view DISCONNECTED = "Internal: Disconnected";
constexpr std::string_view CONNECTED = "Connected";
constexpr std::string_view FATAL = "Internal fatal error: ";
constexpr std::string_view VEXAD_OPEN = "vexad: \"";
constexpr std::string_view VEXAD_CLOSE = "\"";
constexpr auto CLIENT_STATUS = vexa::Status{1};
// The client's period, less a margin for the clock readings around it.
constexpr auto RECONNECT_PACE = std::chrono::milliseconds(1900);

// Every fatal error that a daemon can cause by what it sends and by when it
// hangs up.
const std::set<std::string, std::less<>>& KnownFatalDetails() {
  static const auto known = [] {
    std::set<std::string, std::less<>> details = {"Message truncated"};
    for (const char* rejection :
         {"Invalid message length", "Message too short", "Inconsistent message length",
          "Unknown status value", "Illegal or unknown message type"}) {
      details.insert(std::string("Protocol error: ") + rejection);
    }
    for (const char* send : {"send(SUBSCRIBE_REQUEST): ", "send(STATUS_REQUEST): "}) {
      for (const int error : {EPIPE, ECONNRESET}) {
        details.insert(send + std::string(std::strerror(error)));
      }
    }
    return details;
  }();
  return known;
}

bool StartsWith(std::string_view text, std::string_view head) {
  return text.substr(0, head.size()) == head;
}

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// The message rules stated on their own, without the parser.
bool IsStatusMessage(const Packet& packet) {
  return packet.size() >= 3 && (packet[0] == 0x01 || packet[0] == 0x04) && packet[1] <= 3 &&
         packet[2] == packet.size() - 3;
}

vexa::StatusMessage AsStatus(const Packet& packet) {
  return {vexa::Status{packet[1]}, std::string(packet.begin() + 3, packet.end())};
}

// Printable, and short enough for a report line.
std::string Show(const vexa::StatusMessage& message) {
  // Appended piece by piece: g++ 12 at -O3 warns falsely on "{" + to_string().
  std::string shown = "{";
  shown += std::to_string(static_cast<unsigned>(message.status));
  shown += ", \"";
  for (const char c : std::string_view(message.text).substr(0, 80)) {
    if (c >= 0x20 && c < 0x7F) {
      shown += c;
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
      shown += escaped;
    }
  }
  return shown + (message.text.size() > 80 ? "...\"}" : "\"}");
}

}  // namespace

void RunChecker::Notify(const vexa::StatusMessage& message, bool clientStopped) {
  Require(state != State::STOPPED, "notification after the client said it had stopped", message);
  if (StartsWith(message.text, VEXAD_OPEN)) {
    Require(!clientStopped, "stopped at a daemon's status", message);
    FromDaemon(message);
  } else {
    FromClient(message, clientStopped);
  }
}

void RunChecker::Require(bool holds, const char* rule, const vexa::StatusMessage& message) {
  if (!holds) {
    Violation(rule + (": " + Show(message)));
  }
}

void RunChecker::FromClient(const vexa::StatusMessage& message, bool clientStopped) {
  const std::string_view text = message.text;
  Require(!clientStopped || StartsWith(text, FATAL), "stopped without a fatal error", message);
  Require(state != State::START || text == DISCONNECTED,
          "first notification is not \"Internal: Disconnected\"", message);
  Require(message.status == CLIENT_STATUS, "client's own notification without status 1", message);
  if (text == DISCONNECTED) {
    state = State::DISCONNECTED;
  } else if (text == CONNECTED) {
    Require(state == State::DISCONNECTED, "\"Connected\" without a connect before it", message);
    const auto now = vexatest::Clock::now();
    Require(connects == 0 || now - connectedAt >= RECONNECT_PACE,
            "reconnected less than a period after the connection was made", message);
    connectedAt = now;
    ++connects;
    state = State::CONNECTED;
  } else if (StartsWith(text, FATAL)) {
    fatalDetail = text.substr(FATAL.size());
    Require(KnownFatalDetails().count(fatalDetail) == 1, "unknown fatal error", message);
    Require(state == State::CONNECTED, "fatal error while not connected", message);
    state = clientStopped ? State::STOPPED : State::RECOVERING;
  } else {
    Violation("unknown notification: " + Show(message));
  }
}

void RunChecker::FromDaemon(const vexa::StatusMessage& message) {
  Require(state == State::CONNECTED, "daemon's status passed on while not connected", message);
  Require(message.status <= vexa::Status{3}, "status value out of range", message);
  if (!EndsWith(message.text, VEXAD_CLOSE) ||
      message.text.size() < VEXAD_OPEN.size() + VEXAD_CLOSE.size()) {
    Violation("daemon's text not quoted: " + Show(message));
    return;
  }
  const auto length = message.text.size() - VEXAD_OPEN.size() - VEXAD_CLOSE.size();
  passedOn.push_back({message.status, message.text.substr(VEXAD_OPEN.size(), length)});
}

void RunChecker::AddSent(const std::vector<Packet>& packets) {
  sent.insert(sent.end(), packets.begin(), packets.end());
}

// What was passed on must be the daemon's status messages, in the order sent;
// some may be missing (lost with a connection, or after a fatal error).
void RunChecker::Finish() {
  std::size_t next = 0;
  for (const auto& packet : sent) {
    if (next < passedOn.size() && IsStatusMessage(packet) && AsStatus(packet) == passedOn[next]) {
      ++next;
    }
  }
  if (next < passedOn.size()) {
    Violation("passed on a status that the daemon did not send, or out of order: " +
              Show(passedOn[next]));
  }
}

std::vector<std::string> RequestChecker::Check(const std::vector<vexatest::Received>& requests) {
  const std::vector<Packet> expected = {{0x02}, {0x00}};
  std::vector<std::string> broken;
  for (const auto& request : requests) {
    if (request.connection != connection) {
      connection = request.connection;
      count = 0;
    }
    if (count >= expected.size() || request.bytes != expected[count]) {
      broken.push_back("connection " + std::to_string(connection) + ": request " +
                       std::to_string(count + 1) + " is not the expected one");
    }
    ++count;
  }
  return broken;
}

}  // namespace soak
