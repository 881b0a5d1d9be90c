// vexa::Client on a real io_context against the test daemon over real
// sequenced-packet sockets.
#include <vexa/client.hpp>

#include <process.hpp>
#include <test_daemon.hpp>

#include <gtest/gtest.h>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace vexa {
void PrintTo(const StatusMessage& message, std::ostream* out) {
  *out << "{" << static_cast<unsigned>(message.status) << ", \"" << message.text << "\"}";
}
}  // namespace vexa

namespace {

using namespace std::chrono_literals;
using vexatest::Clock;
using vexatest::Conduct;
using vexatest::FullBacklog;
using vexatest::Packet;
using vexatest::StatusPacket;
using vexatest::TestDaemon;

// The client's period is 2 s; allow for a slow, loaded machine.
constexpr auto PERIOD_MIN = 1900ms;
constexpr auto PERIOD_MAX = 2800ms;
// Well below the period: no time-out was waited for.
constexpr auto AT_ONCE = 500ms;

vexa::StatusMessage FromClient(const std::string& text) {
  return {vexa::Status{1}, text};
}
const vexa::StatusMessage DISCONNECTED = FromClient("Internal: Disconnected");
const vexa::StatusMessage CONNECTED = FromClient("Connected");
vexa::StatusMessage Vexad(unsigned status, const std::string& text) {
  return {vexa::Status{status}, "vexad: \"" + text + "\""};
}
const vexa::StatusMessage OK = Vexad(0, "ok");  // the daemon's default answer

std::string UniqueAbstractName() {
  static int counter = 0;
  return std::string(1, '\0') + "vexa-test-" + std::to_string(::getpid()) + "-" +
         std::to_string(++counter);
}

// A directory of its own below /tmp, removed with its contents.
class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/vexa-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    path = pattern;
  }
  ~ScratchDir() { std::filesystem::remove_all(path); }
  std::string path;
};

struct Notification {
  vexa::StatusMessage message;
  Clock::time_point at;
  bool stopped;  // what the client said inside Notify
};

class Recorder : public vexa::StatusNotifier {
 public:
  void Notify(const vexa::StatusMessage& message) override {
    seen.push_back({message, Clock::now(), client != nullptr && client->Stopped()});
    if (then) {
      then(message);
    }
  }

  std::vector<vexa::StatusMessage> Messages() const {
    std::vector<vexa::StatusMessage> messages;
    for (const auto& notification : seen) {
      messages.push_back(notification.message);
    }
    return messages;
  }

  std::vector<bool> Stops() const {
    std::vector<bool> stops;
    for (const auto& notification : seen) {
      stops.push_back(notification.stopped);
    }
    return stops;
  }

  // When the `nth` (from 1) notification equal to `message` came.
  Clock::time_point When(const vexa::StatusMessage& message, int nth = 1) const {
    for (const auto& notification : seen) {
      if (notification.message == message && --nth == 0) {
        return notification.at;
      }
    }
    ADD_FAILURE() << "notification missing: " << message.text;
    return {};
  }

  std::vector<Notification> seen;
  // Asked whether it has stopped, at each notification.
  const vexa::Client* client = nullptr;
  // Runs after each notification was recorded.
  std::function<void(const vexa::StatusMessage&)> then;
};

// Runs `io` on this thread until `done` holds or `limit` passes.
bool RunUntil(boost::asio::io_context& io, const std::function<bool()>& done,
              Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) {
      return false;
    }
    io.run_one_for(10ms);
    if (io.stopped()) {  // out of work; the daemon may still act
      io.restart();
      std::this_thread::sleep_for(10ms);
    }
  }
  return true;
}

// Runs `io` until nothing is left to do; false if it still had work at `limit`.
bool RunOut(boost::asio::io_context& io, Clock::duration limit) {
  io.run_for(limit);
  return io.stopped();
}

// Waits up to 5 s for the daemon's thread, without running any client step.
bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 500 && !done(); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  return done();
}

std::vector<Packet> RequestsOn(const TestDaemon& daemon, int connection) {
  std::vector<Packet> packets;
  for (const auto& request : daemon.Requests()) {
    if (request.connection == connection) {
      packets.push_back(request.bytes);
    }
  }
  return packets;
}

Clock::time_point StatusRequestTime(const TestDaemon& daemon, int connection) {
  for (const auto& request : daemon.Requests()) {
    if (request.connection == connection && request.bytes == Packet{0x00}) {
      return request.at;
    }
  }
  ADD_FAILURE() << "no status request on connection " << connection;
  return {};
}

const std::vector<Packet> BOTH_REQUESTS = {{0x02}, {0x00}};

class VexaClient : public ::testing::Test {
 protected:
  bool RunUntilSeen(std::size_t count, Clock::duration limit = 5s) {
    return RunUntil(
        io, [&] { return recorder.seen.size() >= count; }, limit);
  }
  bool RunUntilRequests(const TestDaemon& daemon, std::size_t count) {
    return RunUntil(
        io, [&] { return daemon.Requests().size() >= count; }, 5s);
  }

  boost::asio::io_context io;
  Recorder recorder;
};

TEST_F(VexaClient, NormalStartPassesAnswerAndEventsThrough) {
  TestDaemon daemon(UniqueAbstractName());
  Conduct conduct;
  conduct.statusReply = StatusPacket(0x01, 3, "in sync");
  daemon.SetConduct(1, conduct);

  vexa::Client client(io, daemon.Address(), recorder);
  // Delivered on this thread before the constructor returned.
  ASSERT_EQ(recorder.Messages(), std::vector{DISCONNECTED});
  ASSERT_TRUE(RunUntilSeen(3));

  const std::string odd("\0\x7F\x80\xFF\"", 5);
  const std::string longest(255, 'L');
  ASSERT_TRUE(daemon.Send(StatusPacket(0x04, 0, "event")));
  ASSERT_TRUE(daemon.Send(StatusPacket(0x01, 2, odd)));
  ASSERT_TRUE(daemon.Send(StatusPacket(0x04, 1, longest)));
  ASSERT_TRUE(RunUntilSeen(6));
  io.run_for(100ms);

  // The subscribe reply, sent before the answer, is not passed on.
  EXPECT_EQ(recorder.Messages(),
            (std::vector{DISCONNECTED, CONNECTED, Vexad(3, "in sync"), Vexad(0, "event"),
                         Vexad(2, odd), Vexad(1, longest)}));
  EXPECT_EQ(RequestsOn(daemon, 1), BOTH_REQUESTS);
  EXPECT_EQ(daemon.Connections(), 1);
}

// A connection that lived longer than the period.
TEST_F(VexaClient, DaemonClosingIsReconnectedAtOnce) {
  TestDaemon daemon(UniqueAbstractName());
  vexa::Client client(io, daemon.Address(), recorder);
  ASSERT_TRUE(RunUntilSeen(3));
  io.run_for(PERIOD_MAX - AT_ONCE);

  const auto closed = Clock::now();
  daemon.Close();
  ASSERT_TRUE(RunUntilSeen(6));

  EXPECT_EQ(recorder.Messages(),
            (std::vector{DISCONNECTED, CONNECTED, OK, DISCONNECTED, CONNECTED, OK}));
  EXPECT_LT(recorder.When(DISCONNECTED, 2) - closed, AT_ONCE);
  EXPECT_EQ(RequestsOn(daemon, 2), BOTH_REQUESTS);
}

// Closing with the requests unread resets the client's connection. A daemon
// that drops connections at once must not draw a reconnect storm: the next
// attempt waits until one period after the connection was made.
TEST_F(VexaClient, ResetWhileAwaitingAnswersIsReconnectedOnePeriodAfterConnecting) {
  TestDaemon daemon(UniqueAbstractName());
  Conduct deaf;
  deaf.read = false;
  daemon.SetConduct(1, deaf);
  vexa::Client client(io, daemon.Address(), recorder);
  ASSERT_TRUE(RunUntilSeen(2));
  io.poll();  // both sends complete; the receive is outstanding
  ASSERT_TRUE(WaitFor([&] { return daemon.Connections() == 1; }));

  daemon.Close();
  ASSERT_TRUE(RunUntilSeen(5));

  EXPECT_EQ(recorder.Messages(),
            (std::vector{DISCONNECTED, CONNECTED, DISCONNECTED, CONNECTED, OK}));
  const auto wait = recorder.When(DISCONNECTED, 2) - recorder.When(CONNECTED);
  EXPECT_GE(wait, PERIOD_MIN);
  EXPECT_LE(wait, PERIOD_MAX);
  EXPECT_EQ(RequestsOn(daemon, 1), std::vector<Packet>{});
  EXPECT_EQ(RequestsOn(daemon, 2), BOTH_REQUESTS);
}

class VexaClientRetry : public VexaClient, public ::testing::WithParamInterface<std::string> {};

// Refused on an abstract name, no such file on a path, a full accept queue
// (try again): retried every period.
TEST_P(VexaClientRetry, RetriesEveryPeriodUntilTheDaemonListens) {
  ScratchDir dir;
  const std::string address =
      GetParam() == "MissingFile" ? dir.path + "/vexad.sock" : UniqueAbstractName();
  std::optional<FullBacklog> busy;
  if (GetParam() == "FullBacklog") {
    busy.emplace(address);
  }
  vexa::Client client(io, address, recorder);
  ASSERT_TRUE(RunUntilSeen(3, 6s));
  EXPECT_EQ(recorder.Messages(), (std::vector{DISCONNECTED, DISCONNECTED, DISCONNECTED}));
  for (int i = 1; i < 3; ++i) {
    const auto gap = recorder.seen[i].at - recorder.seen[i - 1].at;
    EXPECT_GE(gap, PERIOD_MIN);
    EXPECT_LE(gap, PERIOD_MAX);
  }

  busy.reset();
  TestDaemon daemon(address);
  ASSERT_TRUE(RunUntilSeen(6, 4s));
  EXPECT_EQ(recorder.Messages(),
            (std::vector{DISCONNECTED, DISCONNECTED, DISCONNECTED, DISCONNECTED, CONNECTED, OK}));
}

INSTANTIATE_TEST_SUITE_P(Address, VexaClientRetry,
                         ::testing::Values("Abstract", "MissingFile", "FullBacklog"),
                         [](const auto& info) { return info.param; });

struct Withheld {
  const char* name;
  Conduct conduct;
  std::vector<vexa::StatusMessage> expected;
};

void PrintTo(const Withheld& withheld, std::ostream* out) {
  *out << withheld.name;
}

class VexaClientWithheld : public VexaClient, public ::testing::WithParamInterface<Withheld> {};

TEST_P(VexaClientWithheld, ReconnectsOnePeriodAfterTheStatusRequest) {
  TestDaemon daemon(UniqueAbstractName());
  daemon.SetConduct(1, GetParam().conduct);
  vexa::Client client(io, daemon.Address(), recorder);
  ASSERT_TRUE(RunUntilSeen(GetParam().expected.size(), 6s));

  EXPECT_EQ(recorder.Messages(), GetParam().expected);
  const auto wait = recorder.When(DISCONNECTED, 2) - StatusRequestTime(daemon, 1);
  EXPECT_GE(wait, PERIOD_MIN);
  EXPECT_LE(wait, PERIOD_MAX);
  EXPECT_EQ(daemon.Hangups(), std::vector{1});
  EXPECT_EQ(RequestsOn(daemon, 2), BOTH_REQUESTS);
}

Conduct WithoutSubscribeReply() {
  Conduct conduct;
  conduct.subscribeReply = false;
  return conduct;
}

Conduct WithoutStatusReply() {
  Conduct conduct;
  conduct.statusReply.reset();
  return conduct;
}

INSTANTIATE_TEST_SUITE_P(
    Answer, VexaClientWithheld,
    ::testing::Values(Withheld{"SubscribeReply",
                               WithoutSubscribeReply(),
                               {DISCONNECTED, CONNECTED, OK, DISCONNECTED, CONNECTED, OK}},
                      Withheld{"StatusReply",
                               WithoutStatusReply(),
                               {DISCONNECTED, CONNECTED, DISCONNECTED, CONNECTED, OK}}),
    [](const auto& info) { return info.param.name; });

// An event that comes in place of the answer counts as the answer.
TEST_F(VexaClient, EventBeforeTheAnswerSatisfiesTheStatusRequest) {
  TestDaemon daemon(UniqueAbstractName());
  daemon.SetConduct(1, WithoutStatusReply());
  vexa::Client client(io, daemon.Address(), recorder);
  ASSERT_TRUE(RunUntilRequests(daemon, 2));
  ASSERT_TRUE(daemon.Send(StatusPacket(0x04, 2, "event")));

  // The reply wait expires with nothing pending: no reconnect.
  io.run_for(PERIOD_MAX + 200ms);
  EXPECT_EQ(recorder.Messages(), (std::vector{DISCONNECTED, CONNECTED, Vexad(2, "event")}));
  EXPECT_EQ(daemon.Connections(), 1);
}

// The client's socket is the one whose peer is the daemon's address.
int ClientSocket(const std::string& daemonAddress) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename());
    sockaddr_un peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
        std::string(peer.sun_path, length - offsetof(sockaddr_un, sun_path)) == daemonAddress) {
      return fd;
    }
  }
  return -1;
}

// A connected sequenced-packet Unix socket waits for no reader: a send blocks
// only once the sender's own buffer allowance is used up. The client sends two
// bytes per connection, so the test uses up the allowance on its socket.
TEST_F(VexaClient, UnfinishedSendReconnectsAfterOnePeriod) {
  TestDaemon daemon(UniqueAbstractName());
  Conduct deaf;
  deaf.read = false;
  daemon.SetConduct(1, deaf);
  vexa::Client client(io, daemon.Address(), recorder);
  const int fd = ClientSocket(daemon.Address());
  ASSERT_GE(fd, 0);
  const std::vector<char> filler(16384);
  int sent = 0;
  while (sent < 1000 && ::send(fd, filler.data(), filler.size(), MSG_DONTWAIT) > 0) {
    ++sent;
  }
  ASSERT_EQ(errno, EAGAIN);

  ASSERT_TRUE(RunUntilSeen(5, 6s));
  EXPECT_EQ(recorder.Messages(),
            (std::vector{DISCONNECTED, CONNECTED, DISCONNECTED, CONNECTED, OK}));
  const auto wait = recorder.When(DISCONNECTED, 2) - recorder.When(CONNECTED);
  EXPECT_GE(wait, PERIOD_MIN);
  EXPECT_LE(wait, PERIOD_MAX);
  EXPECT_EQ(daemon.Hangups(), std::vector{1});
  EXPECT_EQ(RequestsOn(daemon, 2), BOTH_REQUESTS);
}

// The daemon hangs up before the client's send: fatal, then the send's
// time-out still reconnects.
TEST_F(VexaClient, FailedSubscribeSendIsFatalUntilItsTimeout) {
  TestDaemon daemon(UniqueAbstractName());
  vexa::Client client(io, daemon.Address(), recorder);
  recorder.client = &client;
  ASSERT_TRUE(WaitFor([&] { return daemon.Connections() == 1; }));
  daemon.Close();

  ASSERT_TRUE(RunUntilSeen(6, 6s));
  const auto fatal = FromClient("Internal fatal error: send(SUBSCRIBE_REQUEST): " +
                                std::string(std::strerror(EPIPE)));
  EXPECT_EQ(recorder.Messages(),
            (std::vector{DISCONNECTED, CONNECTED, fatal, DISCONNECTED, CONNECTED, OK}));
  EXPECT_EQ(recorder.Stops(), std::vector<bool>(6, false));
  const auto wait = recorder.When(DISCONNECTED, 2) - recorder.When(CONNECTED);
  EXPECT_GE(wait, PERIOD_MIN);
  EXPECT_LE(wait, PERIOD_MAX);
}

TEST_F(VexaClient, FailedStatusSendIsFatalUntilItsTimeout) {
  TestDaemon daemon(UniqueAbstractName());
  Conduct silent = WithoutStatusReply();
  silent.subscribeReply = false;
  daemon.SetConduct(1, silent);
  vexa::Client client(io, daemon.Address(), recorder);
  recorder.client = &client;
  ASSERT_TRUE(WaitFor([&] { return daemon.Connections() == 1; }));
  io.run_one();  // "Connected", and the subscribe request goes out
  ASSERT_EQ(recorder.seen.size(), 2u);
  ASSERT_TRUE(WaitFor([&] { return daemon.Requests().size() == 1; }));
  daemon.Close();

  ASSERT_TRUE(RunUntilSeen(6, 6s));
  const auto fatal = FromClient("Internal fatal error: send(STATUS_REQUEST): " +
                                std::string(std::strerror(EPIPE)));
  EXPECT_EQ(recorder.Messages(),
            (std::vector{DISCONNECTED, CONNECTED, fatal, DISCONNECTED, CONNECTED, OK}));
  EXPECT_EQ(recorder.Stops(), std::vector<bool>(6, false));
  const auto wait = recorder.When(DISCONNECTED, 2) - recorder.When(CONNECTED);
  EXPECT_GE(wait, PERIOD_MIN);
  EXPECT_LE(wait, PERIOD_MAX);
}

struct BadPacket {
  const char* name;
  Packet bytes;
  std::string fatal;
};

Packet Longest(std::size_t extra) {
  auto bytes = StatusPacket(0x01, 0, std::string(255, 'x'));
  bytes.resize(bytes.size() + extra, 0x20);
  return bytes;
}

const BadPacket BAD_PACKETS[] = {
    {"Truncated260", Longest(2), "Internal fatal error: Message truncated"},
    {"Overlong259", Longest(1),
     "Internal fatal error: Protocol error: Inconsistent message length"},
    {"Malformed", {0x01, 0x00}, "Internal fatal error: Protocol error: Message too short"},
};

void PrintTo(const BadPacket& packet, std::ostream* out) {
  *out << packet.name;
}

class VexaClientBadPacket : public VexaClient, public ::testing::WithParamInterface<BadPacket> {};

// Fatal; the reply time-out still running reconnects.
TEST_P(VexaClientBadPacket, WhileAwaitingAnswersReconnectsAtTheTimeout) {
  TestDaemon daemon(UniqueAbstractName());
  Conduct silent = WithoutStatusReply();
  silent.subscribeReply = false;
  daemon.SetConduct(1, silent);
  vexa::Client client(io, daemon.Address(), recorder);
  recorder.client = &client;
  ASSERT_TRUE(RunUntilRequests(daemon, 2));
  ASSERT_TRUE(daemon.Send(GetParam().bytes));

  ASSERT_TRUE(RunUntilSeen(6, 6s));
  EXPECT_EQ(recorder.Messages(), (std::vector{DISCONNECTED, CONNECTED, FromClient(GetParam().fatal),
                                              DISCONNECTED, CONNECTED, OK}));
  EXPECT_EQ(recorder.Stops(), std::vector<bool>(6, false));
  const auto wait = recorder.When(DISCONNECTED, 2) - StatusRequestTime(daemon, 1);
  EXPECT_GE(wait, PERIOD_MIN);
  EXPECT_LE(wait, PERIOD_MAX);
}

// Fatal, and nothing is left that could bring the client back.
TEST_P(VexaClientBadPacket, InSteadyStateStopsForGood) {
  TestDaemon daemon(UniqueAbstractName());
  vexa::Client client(io, daemon.Address(), recorder);
  recorder.client = &client;
  ASSERT_TRUE(RunUntilSeen(3));
  ASSERT_TRUE(daemon.Send(GetParam().bytes));

  EXPECT_TRUE(RunOut(io, 5s));
  EXPECT_EQ(recorder.Messages(),
            (std::vector{DISCONNECTED, CONNECTED, OK, FromClient(GetParam().fatal)}));
  EXPECT_EQ(recorder.Stops(), (std::vector{false, false, false, true}));
  EXPECT_EQ(daemon.Connections(), 1);
}

INSTANTIATE_TEST_SUITE_P(Packet, VexaClientBadPacket, ::testing::ValuesIn(BAD_PACKETS),
                         [](const auto& info) { return info.param.name; });

// A path of `length` bytes in `dir`.
std::string PathOfLength(const std::string& dir, std::size_t length) {
  const auto head = dir + "/";
  return head + std::string(length - head.size(), 's');
}

TEST_F(VexaClient, PathOf107BytesIsAccepted) {
  ScratchDir dir;
  TestDaemon daemon(PathOfLength(dir.path, 107));
  vexa::Client client(io, daemon.Address(), recorder);
  ASSERT_TRUE(RunUntilSeen(3));
  EXPECT_EQ(recorder.Messages(), (std::vector{DISCONNECTED, CONNECTED, OK}));
}

TEST_F(VexaClient, PathOf108BytesFailsTheConstructorAfterTheFirstNotification) {
  ScratchDir dir;
  try {
    vexa::Client client(io, PathOfLength(dir.path, 108), recorder);
    ADD_FAILURE() << "constructor returned";
  } catch (const boost::system::system_error& error) {
    EXPECT_EQ(error.code(), boost::asio::error::name_too_long);
  }
  EXPECT_EQ(recorder.Messages(), std::vector{DISCONNECTED});
}

// The kernel would cut a file-system path at the NUL and reach another file.
TEST_F(VexaClient, NulInAPathFailsTheConstructorButNotInAnAbstractName) {
  ScratchDir dir;
  TestDaemon cut(dir.path + "/vexad");
  try {
    vexa::Client client(io, cut.Address() + std::string(1, '\0') + ".sock", recorder);
    ADD_FAILURE() << "constructor returned";
  } catch (const boost::system::system_error& error) {
    EXPECT_EQ(error.code(), boost::system::errc::invalid_argument);
  }
  EXPECT_EQ(recorder.Messages(), std::vector<vexa::StatusMessage>{});

  TestDaemon daemon(UniqueAbstractName() + std::string(1, '\0') + "x");
  vexa::Client client(io, daemon.Address(), recorder);
  ASSERT_TRUE(RunUntilSeen(3));
  EXPECT_EQ(recorder.Messages(), (std::vector{DISCONNECTED, CONNECTED, OK}));
  EXPECT_EQ(cut.Connections(), 0);
}

// A socket file that nobody may write to, connected to by a client run as nobody.
TEST(VexaClientProcess, PermissionDeniedIsFatal) {
  ScratchDir dir;
  std::filesystem::permissions(
      dir.path, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                    std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                    std::filesystem::perms::others_exec);
  TestDaemon daemon(dir.path + "/vexad.sock");
  ASSERT_EQ(::chmod(daemon.Address().c_str(), 0), 0);

  // More notifications than can come: the probe ends when the client is idle.
  const auto result =
      testsupport::Run({VEXA_PROBE_PATH, daemon.Address(), "9"}, testsupport::AsNobody());
  EXPECT_EQ(result.out, "1 Internal: Disconnected\n1 Internal fatal error: connect: " +
                            std::string(std::strerror(EACCES)) + " (stopped)\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(daemon.Connections(), 0);
}

constexpr uid_t NOBODY = 65534;

vexa::StatusMessage Untrusted(uid_t peer) {
  return FromClient("Internal fatal error: untrusted daemon: peer uid " + std::to_string(peer) +
                    ", expected " + std::to_string(::geteuid()));
}

// Any local user may take an abstract name while the daemon is absent.
std::unique_ptr<testsupport::Process> StartImpostor(const std::string& abstractName) {
  auto impostor = std::make_unique<testsupport::Process>(
      std::vector<std::string>{VEXA_IMPOSTOR_PATH, abstractName.substr(1)},
      testsupport::AsNobody());
  if (impostor->WaitForOutput("listening\n", 5000).find("listening") == std::string::npos) {
    throw std::runtime_error("the impostor did not start: " + impostor->Wait().err);
  }
  return impostor;
}

class VexaClientTrust : public VexaClient {
 protected:
  const std::string name = UniqueAbstractName();
  const std::unique_ptr<testsupport::Process> impostor = StartImpostor(name);
};

TEST_F(VexaClientTrust, WithoutARequirementTheImpostorIsBelieved) {
  vexa::Client client(io, name, recorder);
  ASSERT_TRUE(RunUntilSeen(3));
  EXPECT_EQ(recorder.Messages(), (std::vector{DISCONNECTED, CONNECTED, OK}));
}

TEST_F(VexaClientTrust, ADaemonOfTheRequiredUserIsAccepted) {
  vexa::Client client(io, name, recorder, vexa::PeerRequirement{NOBODY});
  ASSERT_TRUE(RunUntilSeen(3));
  EXPECT_EQ(recorder.Messages(), (std::vector{DISCONNECTED, CONNECTED, OK}));
}

TEST_F(VexaClientTrust, ADaemonOfAnotherUserIsRefusedForGood) {
  vexa::Client client(io, name, recorder, vexa::PeerRequirement{::geteuid()});
  recorder.client = &client;
  EXPECT_TRUE(RunOut(io, 5s));
  EXPECT_EQ(recorder.Messages(), (std::vector{DISCONNECTED, Untrusted(NOBODY)}));
  EXPECT_EQ(recorder.Stops(), (std::vector{false, true}));
}

// The reconnect after the real daemon left meets an impostor while the reply
// time-out of the old connection is still armed: that must not revive the
// client on its closed socket.
TEST_F(VexaClient, RefusalOnAReconnectStaysStopped) {
  const auto name = UniqueAbstractName();
  auto daemon = std::make_unique<TestDaemon>(name);
  Conduct silent = WithoutStatusReply();
  silent.subscribeReply = false;
  daemon->SetConduct(1, silent);
  vexa::Client client(io, name, recorder, vexa::PeerRequirement{::geteuid()});
  recorder.client = &client;
  ASSERT_TRUE(RunUntilRequests(*daemon, 2));
  io.poll();  // the receive and the reply time-out are outstanding
  daemon.reset();
  const auto impostor = StartImpostor(name);

  EXPECT_TRUE(RunOut(io, 5s));
  EXPECT_EQ(recorder.Messages(),
            (std::vector{DISCONNECTED, CONNECTED, DISCONNECTED, Untrusted(NOBODY)}));
  EXPECT_EQ(recorder.Stops(), (std::vector{false, false, false, true}));
}

struct Busy {
  const char* name;
  // The daemon vanishes and a process of another user takes its name, which
  // the client refuses; else the daemon hangs up and answers the reconnect.
  bool impostor;
  std::vector<vexa::StatusMessage> expected;
};

void PrintTo(const Busy& busy, std::ostream* out) {
  *out << busy.name;
}

class VexaClientBusy : public VexaClient, public ::testing::WithParamInterface<Busy> {};

// A handler of the program keeps the context busy from 1 s to 3 s after
// "Connected". The daemon withholds its answers and goes away at 1.5 s, so
// the reply time-out and the end of the connection complete together when the
// context runs again. Whichever comes first reconnects; the other belongs to
// the old connection and must change nothing.
TEST_P(VexaClientBusy, CompletionsOfAnOldConnectionChangeNothing) {
  const auto name = UniqueAbstractName();
  auto daemon = std::make_unique<TestDaemon>(name);
  Conduct silent = WithoutStatusReply();
  silent.subscribeReply = false;
  daemon->SetConduct(1, silent);
  std::unique_ptr<testsupport::Process> impostor;
  boost::asio::steady_timer busy(io);
  recorder.then = [&](const vexa::StatusMessage& message) {
    if (message != CONNECTED || recorder.seen.size() != 2) {
      return;
    }
    const auto connected = Clock::now();
    busy.expires_at(connected + 1s);
    busy.async_wait([&, connected](const boost::system::error_code&) {
      std::this_thread::sleep_until(connected + 1500ms);
      if (GetParam().impostor) {
        daemon.reset();
        impostor = StartImpostor(name);
      } else {
        daemon->Close();
      }
      std::this_thread::sleep_until(connected + 3s);
    });
  };
  std::optional<vexa::Client> client;
  if (GetParam().impostor) {
    client.emplace(io, name, recorder, vexa::PeerRequirement{::geteuid()});
  } else {
    client.emplace(io, name, recorder);
  }
  recorder.client = &*client;

  if (GetParam().impostor) {
    EXPECT_TRUE(RunOut(io, 6s));
  } else {
    ASSERT_TRUE(RunUntilSeen(5, 6s));
    EXPECT_TRUE(daemon->Send(StatusPacket(0x04, 2, "first")));
    EXPECT_TRUE(daemon->Send(StatusPacket(0x04, 1, "second")));
    RunUntilSeen(GetParam().expected.size());
    io.run_for(100ms);
    // Each request once, each in a packet of its own, on each connection.
    EXPECT_EQ(RequestsOn(*daemon, 1), BOTH_REQUESTS);
    EXPECT_EQ(RequestsOn(*daemon, 2), BOTH_REQUESTS);
    EXPECT_EQ(daemon->Connections(), 2);
  }
  EXPECT_EQ(recorder.Messages(), GetParam().expected);
  // Only the refusal stops the client.
  auto stops = std::vector<bool>(GetParam().expected.size(), false);
  stops.back() = GetParam().impostor;
  EXPECT_EQ(recorder.Stops(), stops);
}

// Whatever Asio has queued, the client runs no step again and lets its
// connection go.
TEST_F(VexaClient, ExceptionFromNotifyStopsTheClientForGood) {
  TestDaemon daemon(UniqueAbstractName());
  vexa::Client client(io, daemon.Address(), recorder);
  recorder.then = [](const vexa::StatusMessage& message) {
    if (message == OK) {
      throw std::runtime_error("notifier failed");
    }
  };
  EXPECT_THROW(RunUntilSeen(4), std::runtime_error);
  EXPECT_TRUE(client.Stopped());

  io.restart();
  EXPECT_TRUE(RunOut(io, PERIOD_MAX));
  EXPECT_TRUE(WaitFor([&] { return daemon.Hangups() == std::vector{1}; }));
  EXPECT_EQ(recorder.Messages(), (std::vector{DISCONNECTED, CONNECTED, OK}));
}

INSTANTIATE_TEST_SUITE_P(Daemon, VexaClientBusy,
                         ::testing::Values(Busy{"HangsUp",
                                                false,
                                                {DISCONNECTED, CONNECTED, DISCONNECTED, CONNECTED,
                                                 OK, Vexad(2, "first"), Vexad(1, "second")}},
                                           Busy{"IsReplacedByAnImpostor",
                                                true,
                                                {DISCONNECTED, CONNECTED, DISCONNECTED,
                                                 Untrusted(NOBODY)}}),
                         [](const auto& info) { return info.param.name; });

// Destroying the client cancels its operations; their handlers then run on
// the context without touching the client, and notify nothing.
class VexaClientDestroyed : public VexaClient {
 protected:
  void DestroyAndRun(std::unique_ptr<vexa::Client>& client) {
    const auto before = recorder.seen.size();
    client.reset();
    EXPECT_TRUE(RunOut(io, 1s));
    EXPECT_EQ(recorder.seen.size(), before);
  }
};

TEST_F(VexaClientDestroyed, WhileWaitingToRetry) {
  auto client = std::make_unique<vexa::Client>(io, UniqueAbstractName(), recorder);
  io.poll();  // the refused connect arms the retry wait
  DestroyAndRun(client);
}

TEST_F(VexaClientDestroyed, WhileAwaitingAnswers) {
  TestDaemon daemon(UniqueAbstractName());
  Conduct silent = WithoutStatusReply();
  silent.subscribeReply = false;
  daemon.SetConduct(1, silent);
  auto client = std::make_unique<vexa::Client>(io, daemon.Address(), recorder);
  ASSERT_TRUE(RunUntilRequests(daemon, 2));
  io.poll();
  DestroyAndRun(client);
}

TEST_F(VexaClientDestroyed, InSteadyState) {
  TestDaemon daemon(UniqueAbstractName());
  auto client = std::make_unique<vexa::Client>(io, daemon.Address(), recorder);
  ASSERT_TRUE(RunUntilSeen(3));
  DestroyAndRun(client);
}

// The `nth` notification destroys the client: "Connected", the daemon's
// status, the "Internal: Disconnected" of a reconnect.
TEST_F(VexaClientDestroyed, InsideNotify) {
  for (const std::size_t nth : {2, 3, 4}) {
    TestDaemon daemon(UniqueAbstractName());
    std::unique_ptr<vexa::Client> client;
    recorder.seen.clear();
    recorder.then = [&](const vexa::StatusMessage&) {
      if (recorder.seen.size() == nth) {
        client.reset();
      }
    };
    io.restart();
    client = std::make_unique<vexa::Client>(io, daemon.Address(), recorder);
    if (nth == 4) {
      ASSERT_TRUE(RunUntilSeen(3));
      daemon.Close();
    }
    EXPECT_TRUE(RunOut(io, 5s));
    EXPECT_EQ(recorder.seen.size(), nth);
    EXPECT_EQ(client, nullptr);
  }
}

// The handler that destroys the client is queued before the receive that
// completed at once on a packet already waiting.
TEST_F(VexaClientDestroyed, ByAHandlerQueuedAheadOfItsStep) {
  TestDaemon daemon(UniqueAbstractName());
  daemon.SetConduct(1, WithoutStatusReply());
  auto client = std::make_unique<vexa::Client>(io, daemon.Address(), recorder);
  ASSERT_TRUE(RunUntilRequests(daemon, 2));
  io.poll();  // the subscribe reply is in; a receive is outstanding
  ASSERT_TRUE(daemon.Send(StatusPacket(0x04, 2, "first")));
  ASSERT_TRUE(daemon.Send(StatusPacket(0x04, 2, "second")));
  recorder.then = [&](const vexa::StatusMessage&) {
    boost::asio::post(io, [&] { client.reset(); });
  };
  EXPECT_TRUE(RunOut(io, 5s));
  EXPECT_EQ(recorder.Messages(), (std::vector{DISCONNECTED, CONNECTED, Vexad(2, "first")}));
}

// The first connect completes while the client is built; the client is
// destroyed before the context runs, and a new one is built in its place.
TEST_F(VexaClientDestroyed, BeforeTheContextRunsAndReplaced) {
  TestDaemon daemon(UniqueAbstractName());
  std::optional<vexa::Client> client;
  client.emplace(io, daemon.Address(), recorder);
  client.emplace(io, daemon.Address(), recorder);
  ASSERT_TRUE(RunUntilSeen(4));
  io.run_for(100ms);
  EXPECT_EQ(recorder.Messages(), (std::vector{DISCONNECTED, DISCONNECTED, CONNECTED, OK}));
  EXPECT_EQ(daemon.Requests().size(), 2u);
}

}  // namespace
