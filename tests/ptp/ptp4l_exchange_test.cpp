// One read of ptp4l over its management socket: of a real grandmaster and slave,
// value by value as linuxptp's pmc reads them, and of a stand-in daemon's faults.
#include <ptp_exchange.hpp>

#include "process.hpp"
#include "ptp4l_pair.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::InNetns;
using testsupport::Ptp4lDaemon;

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
  const auto& time = read.timeProperties;
  const std::map<std::string, std::string> ours = {
      {"clockIdentity", ptp::FormatClockIdentity(read.defaults.clockIdentity)},
      {"portState", std::string(ptp::PortStateName(read.ports.at(0).state))},
      {"stepsRemoved", std::to_string(read.current.stepsRemoved)},
      {"grandmasterIdentity", ptp::FormatClockIdentity(read.parent.grandmasterIdentity)},
      {"gm.ClockClass", std::to_string(read.parent.grandmasterClockQuality.clockClass)},
      {"gm.ClockAccuracy",
       fmt::format("{:#04x}", read.parent.grandmasterClockQuality.clockAccuracy)},
      {"currentUtcOffset", std::to_string(time.currentUtcOffset)},
      {"leap61", bit(time.leap61)},
      {"leap59", bit(time.leap59)},
      {"currentUtcOffsetValid", bit(time.currentUtcOffsetValid)},
      {"ptpTimescale", bit(time.ptpTimescale)},
      {"timeTraceable", bit(time.timeTraceable)},
      {"frequencyTraceable", bit(time.frequencyTraceable)},
      {"timeSource", fmt::format("{:#04x}", time.timeSource)},
      {"gmPresent", read.timeStatus.gmPresent ? "true" : "false"},
      {"gmIdentity", ptp::FormatClockIdentity(read.timeStatus.gmIdentity)},
  };
  const auto printed = testsupport::Run(
      {"ip", "netns", "exec", daemon.netns, "pmc", "-u", "-b", "0", "-s", daemon.socket,
       "GET DEFAULT_DATA_SET", "GET PORT_DATA_SET", "GET CURRENT_DATA_SET", "GET PARENT_DATA_SET",
       "GET TIME_PROPERTIES_DATA_SET", "GET TIME_STATUS_NP"});
  // pmc's "name value" lines; the first of each name.
  std::map<std::string, std::string> pmc;
  std::istringstream lines(printed.out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string name, value, more;
    if (fields >> name >> value && !(fields >> more)) {
      pmc.emplace(name, value);
    }
  }
  for (const auto& [name, value] : ours) {
    EXPECT_EQ(value, pmc.count(name) ? pmc.at(name) : "(not printed)") << name;
  }
}

TEST(Ptp4lExchange, ReadsGrandmasterAndSlaveAsPmcDoes) {
  const testsupport::Ptp4lPair pair;
  const auto gm = Read(pair.grandmaster);
  const auto slave = Read(pair.slave);
  ExpectAsPmc(pair.grandmaster, gm);
  ExpectAsPmc(pair.slave, slave);

  EXPECT_EQ(gm.ports.at(0).state, ptp::PortState::MASTER);
  EXPECT_EQ(gm.ports.at(0).interfaceName, "ptp0");
  EXPECT_EQ(gm.parent.grandmasterIdentity, gm.defaults.clockIdentity);
  EXPECT_EQ(slave.ports.at(0).state, ptp::PortState::SLAVE);
  EXPECT_EQ(slave.parent.grandmasterIdentity, gm.defaults.clockIdentity);
  // The flags the grandmaster was set to announce, so that pmc's are not all 0.
  EXPECT_TRUE(slave.timeProperties.leap59 && slave.timeProperties.timeTraceable);
  // Software timestamps of one clock through a veth: well within a millisecond.
  EXPECT_LT(std::abs(slave.current.offsetFromMaster.Nanoseconds()), 1e6);
  EXPECT_GT(slave.current.meanPathDelay.Nanoseconds(), 0);
}

using Patches = std::vector<std::pair<std::size_t, unsigned char>>;

struct Fault {
  const char* what;
  // GONE: its socket file is left behind; ELSEWHERE: answers from another socket.
  enum { NONE, GONE, STAND_IN, ELSEWHERE } daemon;
  std::size_t size;  // of the answer to the first request, its bytes patched; 0: none
  Patches patches;
  ptp::Ptp4lFailure::Kind kind;
  std::string reason;  // after "ptp4l at PATH"
};

// Nothing listening, and a stand-in daemon for what a real one does not do,
// answering the first request, GET DEFAULT_DATA_SET with sequence id 0.
TEST(Ptp4lExchange, Faults) {
  using Kind = ptp::Ptp4lFailure::Kind;
  // As RESPONSE, in a MANAGEMENT_ERROR_STATUS TLV: NOT_SUPPORTED for DEFAULT_DATA_SET.
  const Patches error = {{3, 60}, {46, 2}, {49, 2}, {51, 8}, {52, 0}, {53, 6}, {54, 0x20}, {55, 0}};
  auto notOurs = error;
  notOurs.emplace_back(31, 100);
  const std::vector<Fault> table = {
      {"no file", Fault::NONE, 0, {}, Kind::NOT_RUNNING, ""},
      {"socket file left behind", Fault::GONE, 0, {}, Kind::NOT_RUNNING, ""},
      {"error status", Fault::STAND_IN, 60, error, Kind::ERROR_STATUS,
       " answered GET DEFAULT_DATA_SET with NOT_SUPPORTED"},
      {"truncated TLV",
       Fault::STAND_IN,
       52,
       {{3, 52}, {46, 2}, {51, 22}},
       Kind::MALFORMED,
       ": TLV length 22 with 0 bytes after it (an even count)"},
      {"sequence not ours", Fault::STAND_IN, 60, notOurs, Kind::TIMEOUT, " within 300 ms"},
      {"answer from another socket", Fault::ELSEWHERE, 60, error, Kind::TIMEOUT, " within 300 ms"},
      {"silence", Fault::STAND_IN, 0, {}, Kind::TIMEOUT, " within 300 ms"},
  };
  char pattern[] = "/tmp/orvkit-ptp4l-XXXXXX";
  const std::string dir = mkdtemp(pattern);
  for (const auto& fault : table) {
    SCOPED_TRACE(fault.what);
    const auto path = dir + "/" + std::to_string(&fault - table.data());
    const int own = socket(AF_UNIX, SOCK_DGRAM, 0);
    const int other = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{AF_UNIX, {}};
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (fault.daemon != Fault::NONE) {
      ASSERT_EQ(bind(own, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    if (fault.daemon == Fault::GONE) {
      close(own);
    }
    std::thread standIn([&] {
      std::vector<unsigned char> answer(60);
      sockaddr_un client{};
      socklen_t length = sizeof client;
      if (fault.daemon >= Fault::STAND_IN &&
          recvfrom(own, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&client),
                   &length) > 0 &&
          fault.size != 0) {
        answer.resize(fault.size);
        for (const auto& [at, value] : fault.patches) {
          answer[at] = value;
        }
        sendto(fault.daemon == Fault::ELSEWHERE ? other : own, answer.data(), answer.size(), 0,
               reinterpret_cast<sockaddr*>(&client), length);
      }
    });
    const auto result = ptp::ReadPtp4l(path, 300ms);
    standIn.join();
    close(fault.daemon == Fault::GONE ? -1 : own);
    close(other);
    ASSERT_TRUE(std::holds_alternative<ptp::Ptp4lFailure>(result));
    const auto& failure = std::get<ptp::Ptp4lFailure>(result);
    EXPECT_EQ(failure.kind, fault.kind);
    const auto expected = fault.kind == Kind::NOT_RUNNING ? "ptp4l not running at " + path
                                                          : "ptp4l at " + path + fault.reason;
    EXPECT_NE(failure.reason.find(expected), std::string::npos) << failure.reason;
  }
  testsupport::Run({"rm", "-rf", dir});
}

}  // namespace
