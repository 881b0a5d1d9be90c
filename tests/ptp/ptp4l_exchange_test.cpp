// One read of ptp4l over its management socket: against a real grandmaster
// and slave, checked value by value against linuxptp's own pmc, and against a
// stand-in daemon for what a real one does not do.
#include <ptp_exchange.hpp>

#include "process.hpp"
#include "ptp4l_pair.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <iomanip>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::InNetns;
using testsupport::Ptp4lDaemon;

// The first time a name appears in pmc's "name value" lines, with its value.
std::map<std::string, std::string> PmcValues(const Ptp4lDaemon& daemon) {
  const auto pmc = testsupport::Run(
      {"ip", "netns", "exec", daemon.netns, "pmc", "-u", "-b", "0", "-s", daemon.socket,
       "GET DEFAULT_DATA_SET", "GET PORT_DATA_SET", "GET CURRENT_DATA_SET", "GET PARENT_DATA_SET",
       "GET TIME_PROPERTIES_DATA_SET", "GET TIME_STATUS_NP"});
  std::map<std::string, std::string> values;
  std::istringstream lines(pmc.out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string name, value, more;
    if (fields >> name >> value && !(fields >> more)) {
      values.emplace(name, value);
    }
  }
  return values;
}

ptp::Ptp4lReading Read(const Ptp4lDaemon& daemon) {
  const InNetns inside(daemon.netns);
  auto result = ptp::ReadPtp4l(daemon.socket, 2000ms);
  if (const auto* failure = std::get_if<ptp::Ptp4lFailure>(&result)) {
    throw std::runtime_error(failure->reason);
  }
  return std::get<ptp::Ptp4lReading>(result);
}

// Every value that pmc prints too, as pmc prints it.
void ExpectAsPmc(const Ptp4lDaemon& daemon, const ptp::Ptp4lReading& read) {
  const auto bit = [](bool value) { return value ? "1" : "0"; };
  const auto hex = [](unsigned value) {
    std::ostringstream text;
    text << "0x" << std::hex << std::setw(2) << std::setfill('0') << value;
    return text.str();
  };
  const auto& time = read.timeProperties;
  const std::map<std::string, std::string> ours = {
      {"clockIdentity", ptp::FormatClockIdentity(read.defaults.clockIdentity)},
      {"numberPorts", std::to_string(read.defaults.numberPorts)},
      {"portState", std::string(ptp::PortStateName(read.ports.at(0).state))},
      {"stepsRemoved", std::to_string(read.current.stepsRemoved)},
      {"grandmasterIdentity", ptp::FormatClockIdentity(read.parent.grandmasterIdentity)},
      {"gm.ClockClass", std::to_string(read.parent.grandmasterClockQuality.clockClass)},
      {"gm.ClockAccuracy", hex(read.parent.grandmasterClockQuality.clockAccuracy)},
      {"currentUtcOffset", std::to_string(time.currentUtcOffset)},
      {"leap61", bit(time.leap61)},
      {"leap59", bit(time.leap59)},
      {"currentUtcOffsetValid", bit(time.currentUtcOffsetValid)},
      {"ptpTimescale", bit(time.ptpTimescale)},
      {"timeTraceable", bit(time.timeTraceable)},
      {"frequencyTraceable", bit(time.frequencyTraceable)},
      {"timeSource", hex(time.timeSource)},
      {"gmPresent", read.timeStatus.gmPresent ? "true" : "false"},
      {"gmIdentity", ptp::FormatClockIdentity(read.timeStatus.gmIdentity)},
  };
  const auto pmc = PmcValues(daemon);
  for (const auto& [name, value] : ours) {
    EXPECT_EQ(value, pmc.count(name) ? pmc.at(name) : "(not printed)") << name;
  }
}

TEST(Ptp4lExchange, ReadsGrandmasterAndSlaveAsPmcDoes) {
  const testsupport::Ptp4lPair pair;
  const auto gm = Read(pair.Grandmaster());
  const auto slave = Read(pair.Slave());

  ASSERT_EQ(gm.ports.size(), 1u);
  EXPECT_EQ(gm.ports[0].state, ptp::PortState::MASTER);
  EXPECT_EQ(gm.ports[0].interfaceName, "ptp0");
  EXPECT_EQ(gm.parent.grandmasterIdentity, gm.defaults.clockIdentity);
  EXPECT_EQ(gm.current.stepsRemoved, 0);
  EXPECT_EQ(gm.parent.grandmasterClockQuality.clockClass, 6);
  EXPECT_TRUE(slave.timeProperties.leap59);

  ASSERT_EQ(slave.ports.size(), 1u);
  EXPECT_EQ(slave.ports[0].state, ptp::PortState::SLAVE);
  EXPECT_EQ(slave.parent.grandmasterIdentity, gm.defaults.clockIdentity);
  EXPECT_EQ(slave.timeStatus.gmIdentity, gm.defaults.clockIdentity);
  EXPECT_TRUE(slave.timeStatus.gmPresent);
  EXPECT_EQ(slave.current.stepsRemoved, 1);
  // Software timestamps of one clock through a veth: well within a millisecond.
  EXPECT_LT(std::abs(slave.current.offsetFromMaster.Nanoseconds()), 1e6);
  EXPECT_GT(slave.current.meanPathDelay.Nanoseconds(), 0);

  ExpectAsPmc(pair.Grandmaster(), gm);
  ExpectAsPmc(pair.Slave(), slave);
}

TEST(Ptp4lExchange, SlaveLeavesSlaveWhenTheGrandmasterStops) {
  const testsupport::Ptp4lPair pair;
  pair.StopGrandmaster();
  // Three announce intervals of 250 ms; give it ten times that.
  auto state = ptp::PortState::SLAVE;
  for (int i = 0; i < 75 && state == ptp::PortState::SLAVE; ++i) {
    std::this_thread::sleep_for(100ms);
    state = Read(pair.Slave()).ports.at(0).state;
  }
  EXPECT_EQ(state, ptp::PortState::LISTENING);
}

TEST(Ptp4lExchange, NothingListening) {
  char pattern[] = "/tmp/orvkit-ptp4l-none-XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  // A socket file left behind by a daemon that is gone, and a plain file.
  const int left = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un address{AF_UNIX, {}};
  std::strcpy(address.sun_path, (dir + "/gone").c_str());
  ASSERT_EQ(::bind(left, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(left);
  testsupport::Run({"touch", dir + "/plain"});
  for (const auto& path : {dir + "/none", dir + "/gone", dir + "/plain"}) {
    const auto result = ptp::ReadPtp4l(path, 1000ms);
    ASSERT_TRUE(std::holds_alternative<ptp::Ptp4lFailure>(result)) << path;
    EXPECT_EQ(std::get<ptp::Ptp4lFailure>(result).kind, ptp::Ptp4lFailure::Kind::NotRunning);
    EXPECT_EQ(std::get<ptp::Ptp4lFailure>(result).reason, "ptp4l not running at " + path);
  }
  testsupport::Run({"rm", "-rf", dir});
}

// A daemon at a socket of its own that answers the first request with what
// `answer` makes of it (nothing when empty), from its own socket or another.
class StandIn {
 public:
  using Answer = std::function<std::vector<unsigned char>(std::vector<unsigned char>)>;

  StandIn(Answer answer, bool fromAnotherSocket) : dir(MakeDir()) {
    sockaddr_un address{AF_UNIX, {}};
    std::strcpy(address.sun_path, Path().c_str());
    bind(own, reinterpret_cast<sockaddr*>(&address), sizeof address);
    serving = std::thread([this, answer, fromAnotherSocket] {
      std::vector<unsigned char> request(1500);
      sockaddr_un client{};
      socklen_t length = sizeof client;
      pollfd ready{own, POLLIN, 0};
      if (poll(&ready, 1, 2000) != 1) {
        return;
      }
      request.resize(static_cast<std::size_t>(recvfrom(
          own, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&client), &length)));
      const auto reply = answer(request);
      if (reply.empty()) {
        return;
      }
      sendto(fromAnotherSocket ? other : own, reply.data(), reply.size(), 0,
             reinterpret_cast<sockaddr*>(&client), length);
    });
  }
  ~StandIn() {
    serving.join();
    close(own);
    close(other);
    testsupport::Run({"rm", "-rf", dir});
  }
  std::string Path() const { return dir + "/ptp4l"; }

 private:
  static std::string MakeDir() {
    char pattern[] = "/tmp/orvkit-standin-XXXXXX";
    return ::mkdtemp(pattern);
  }
  std::string dir;
  int own = socket(AF_UNIX, SOCK_DGRAM, 0);
  int other = socket(AF_UNIX, SOCK_DGRAM, 0);
  std::thread serving;
};

// The request turned into a management error status for its id.
std::vector<unsigned char> ErrorStatus(std::vector<unsigned char> request) {
  request[3] = 60;
  request[46] = 2;  // RESPONSE
  request[49] = 2;  // MANAGEMENT_ERROR_STATUS
  request[51] = 8;
  const unsigned char id[2] = {request[52], request[53]};
  request.resize(60, 0);
  request[52] = 0x00;
  request[53] = 0x06;  // NOT_SUPPORTED
  request[54] = id[0];
  request[55] = id[1];
  return request;
}

struct Fault {
  const char* what;
  StandIn::Answer answer;
  bool fromAnotherSocket;
  ptp::Ptp4lFailure::Kind kind;
  std::string reason;  // after "... ptp4l at PATH"
};

TEST(Ptp4lExchange, StandInFaults) {
  using Kind = ptp::Ptp4lFailure::Kind;
  const auto silence = [](std::vector<unsigned char>) { return std::vector<unsigned char>{}; };
  const std::vector<Fault> table = {
      {"error status", ErrorStatus, false, Kind::ErrorStatus,
       " answered GET DEFAULT_DATA_SET with NOT_SUPPORTED"},
      {"truncated TLV",
       [](auto request) {
         request[3] = 52;
         request.resize(52);
         request[46] = 2;
         request[51] = 22;
         return request;
       },
       false, Kind::Malformed, ": TLV length 22 with 0 bytes after it (an even count)"},
      {"sequence not ours",
       [](auto request) {
         request[31] += 100;
         return ErrorStatus(request);
       },
       false, Kind::Timeout, " within 300 ms"},
      {"answer from another socket", ErrorStatus, true, Kind::Timeout, " within 300 ms"},
      {"silence", silence, false, Kind::Timeout, " within 300 ms"},
  };
  for (const auto& fault : table) {
    SCOPED_TRACE(fault.what);
    const StandIn standIn(fault.answer, fault.fromAnotherSocket);
    const auto result = ptp::ReadPtp4l(standIn.Path(), 300ms);
    ASSERT_TRUE(std::holds_alternative<ptp::Ptp4lFailure>(result));
    const auto& failure = std::get<ptp::Ptp4lFailure>(result);
    EXPECT_EQ(failure.kind, fault.kind);
    EXPECT_NE(failure.reason.find("ptp4l at " + standIn.Path() + fault.reason), std::string::npos)
        << failure.reason;
  }
}

}  // namespace
