// A stand-in for the monitor daemon vexad: listens on a sequenced-packet Unix
// socket on its own thread, answers the client's requests as each test
// scripts it, and records what it received and when.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vexatest {

using Clock = std::chrono::steady_clock;
using Packet = std::vector<unsigned char>;

// A status message of `type` (0x01 or 0x04) with its text length byte.
Packet StatusPacket(unsigned char type, unsigned char status, std::string_view text);

// How the daemon treats one accepted connection.
struct Conduct {
  // false leaves every packet unread in the connection.
  bool read = true;
  // Answer the subscribe request (0x02) with the subscribe reply (0x03).
  bool subscribeReply = true;
  // The answer to the status request (0x00); none withholds it.
  std::optional<Packet> statusReply = StatusPacket(0x01, 0, "ok");
  // Hang up, instead of answering, once this many packets have been read; 0
  // hangs up at once on accepting the connection.
  std::optional<int> hangUpAfter;
};

struct Received {
  int connection;  // 1 for the first accepted connection
  Packet bytes;
  Clock::time_point at;
};

struct Log {
  std::vector<Received> requests;  // every packet read, in order
  std::vector<Packet> sent;        // every packet sent whole, in order
  std::vector<int> hangups;        // connections the client closed
};

// A daemon too busy to take more connections: it listens on an abstract name
// but never accepts, and its queue of waiting connections is full.
class FullBacklog {
 public:
  explicit FullBacklog(const std::string& abstractName);
  FullBacklog(const FullBacklog&) = delete;
  FullBacklog& operator=(const FullBacklog&) = delete;
  ~FullBacklog();

 private:
  int listener;
  std::vector<int> waiting;
};

class TestDaemon {
 public:
  // Listens on `address`; a leading NUL byte makes it an abstract name, else
  // it is a file-system path, removed again by the destructor.
  explicit TestDaemon(std::string address);
  TestDaemon(const TestDaemon&) = delete;
  TestDaemon& operator=(const TestDaemon&) = delete;
  ~TestDaemon();

  const std::string& Address() const { return address; }

  // Conduct for connection number `connection`; the others get the default.
  // Set it before that connection is accepted.
  void SetConduct(int connection, Conduct conduct);
  // The default, for connections accepted from now on (at first Conduct{}).
  void SetDefaultConduct(Conduct conduct);

  // Carried out on the daemon's thread on the newest connection; each returns
  // once done. Send writes one packet of any length and reports success.
  bool Send(const Packet& packet);
  void Close();

  int Connections() const;  // accepted so far
  // Since the last TakeLog:
  std::vector<int> Hangups() const;        // connections the client closed
  std::vector<Received> Requests() const;  // every packet read, in order
  // Hands over and forgets what was recorded so far, so that a long run does
  // not grow; packets sent before the call are all in it.
  Log TakeLog();

 private:
  void Serve();
  bool RunCommands();
  void Accept();
  void Read();
  void Record(const Packet& packet);
  bool SendNow(const Packet& packet);
  void Drop();
  void Execute(std::function<void()> command);

  std::string address;
  int listener = -1;
  int wake = -1;  // eventfd that interrupts poll for commands and stop
  int connection = -1;
  int connectionNumber = 0;
  int packetsRead = 0;  // on the current connection
  Conduct conduct;

  mutable std::mutex mutex;
  std::condition_variable done;
  std::vector<std::function<void()>> commands;
  unsigned long queued = 0;
  unsigned long executed = 0;
  bool stopping = false;
  std::map<int, Conduct> conducts;
  Conduct defaultConduct;
  int accepted = 0;
  Log log;

  std::thread thread;
};

}  // namespace vexatest
