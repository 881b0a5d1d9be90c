// vexawatch as a user runs it, against the test daemon.
#include <process.hpp>
#include <test_daemon.hpp>

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr int WAIT_MS = 5000;

const std::string HELP =
    "Print the PTP monitor daemon's status notifications until interrupted\n\n"
    "Options:\n"
    "  -h [ --help ]         Print help messages\n"
    "  --version             Print version and exit\n"
    "  --socket arg          daemon socket, @NAME for abstract (default @orvmon)\n"
    "  --daemon-uid arg      accept only a daemon run by this user (name or id)\n\n";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(line);
  }
  return lines;
}

// Each line: local time to the millisecond, the status value, the text.
std::vector<std::string> Notifications(const std::string& out) {
  static const std::regex LINE(
      R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+0000 (status=[0-3] .*)$)");
  std::vector<std::string> notifications;
  for (const auto& line : Lines(out)) {
    std::smatch match;
    EXPECT_TRUE(std::regex_match(line, match, LINE)) << line;
    notifications.push_back(match[1]);
  }
  return notifications;
}

testsupport::ProcessOptions InUtc() {
  testsupport::ProcessOptions options;
  options.environment = {"TZ=UTC"};
  return options;
}

std::string UniqueName(const char* what) {
  return std::string("vexawatch-") + what + "-" + std::to_string(::getpid());
}

TEST(Vexawatch, PrintsEveryNotificationUntilSigterm) {
  const auto name = UniqueName("events");
  vexatest::TestDaemon daemon(std::string(1, '\0') + name);
  testsupport::Process watch({VEXAWATCH_PATH, "--socket", "@" + name}, InUtc());
  watch.WaitForOutput("vexad: \"ok\"\n", WAIT_MS);
  // Control bytes from the daemon must not break the one-line form; the text
  // is escaped to the same bytes as orvcheck's.
  ASSERT_TRUE(daemon.Send(vexatest::StatusPacket(0x04, 2,
                                                 "A\xff"
                                                 "B|C\n")));
  watch.WaitForOutput("\\x0A\"\n", WAIT_MS);
  watch.Signal(SIGTERM);
  const auto result = watch.Wait();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(Notifications(result.out),
            (std::vector<std::string>{"status=1 Internal: Disconnected", "status=1 Connected",
                                      "status=0 vexad: \"ok\"",
                                      "status=2 vexad: \"A\\xFFB\\x7CC\\x0A\""}));
}

// vexawatch ends by itself only when the client has stopped for good: after
// a refused daemon, not after a fatal error that the client recovers from. The
// test daemon runs as root, the user of this test, named or numbered.
TEST(Vexawatch, EndsOnlyWhenTheClientHasStopped) {
  const std::vector<std::string> watching = {"status=1 Internal: Disconnected",
                                             "status=1 Connected", "status=0 vexad: \"ok\""};
  struct Case {
    const char* uid;
    bool malformedReply;  // on the first connection
    int status;
    std::vector<std::string> notifications;
  };
  int run = 0;
  for (const auto& c : std::vector<Case>{
           {"root", false, 0, watching},
           {"65534",
            false,
            1,
            {"status=1 Internal: Disconnected",
             "status=1 Internal fatal error: untrusted daemon: peer uid 0, expected 65534"}},
           // The reply time-out still running reconnects.
           {"0",
            true,
            0,
            {"status=1 Internal: Disconnected", "status=1 Connected",
             "status=1 Internal fatal error: Protocol error: Message too short", watching[0],
             watching[1], watching[2]}}}) {
    const auto name = UniqueName("stopped") + "-" + std::to_string(++run);
    vexatest::TestDaemon daemon(std::string(1, '\0') + name);
    vexatest::Conduct conduct;
    if (c.malformedReply) {
      conduct.statusReply = vexatest::Packet{0x01, 0x00};
    }
    daemon.SetConduct(1, conduct);
    testsupport::Process watch({VEXAWATCH_PATH, "--socket", "@" + name, "--daemon-uid", c.uid},
                               InUtc());
    watch.WaitForOutput(c.notifications.back() + "\n", WAIT_MS);
    // The watching ones go on; the refused one ends by itself, and a signal
    // could reach it after its handler is gone.
    if (c.status == 0) {
      watch.Signal(SIGTERM);
    }
    const auto result = watch.Wait(WAIT_MS);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(Notifications(result.out), c.notifications) << c.uid;
  }
}

// A reader that never reads must not keep a stop signal from ending the watch.
TEST(Vexawatch, StopSignalsEndAWatchNobodyReads) {
  for (const int signal : {SIGINT, SIGTERM}) {
    const auto name = UniqueName("unread") + "-" + std::to_string(signal);
    vexatest::TestDaemon daemon(std::string(1, '\0') + name);
    testsupport::UnreadPipe pipe;
    testsupport::Process watch({VEXAWATCH_PATH, "--socket", "@" + name},
                               testsupport::StdoutTo(pipe.Path()));
    for (int i = 0; i < 500 && daemon.Requests().size() < 2; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Lines of some 250 bytes, until one more would not fit.
    const std::string text(200, 'x');
    for (int sent = 0; sent < 100 && !pipe.WaitUntilFull(300, 20); ++sent) {
      ASSERT_TRUE(daemon.Send(vexatest::StatusPacket(0x04, 0, text)));
    }
    ASSERT_TRUE(daemon.Send(vexatest::StatusPacket(0x04, 0, text)));
    watch.Signal(signal);
    const auto result = watch.Wait(WAIT_MS);
    EXPECT_EQ(result.signal, 0) << signal;
    EXPECT_EQ(result.status, 0) << signal;
    EXPECT_EQ(result.err, "") << signal;
  }
}

// Descriptors run out while the context, the stop signals or the client are
// set up: an error line, never an abort. Below some limit the dynamic loader
// cannot even start the program; how many descriptors the test inherits
// decides which.
TEST(Vexawatch, TooFewDescriptorsEndWithAnErrorLine) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers probe memory through a pipe, and report every object as "
                  "invalid once no descriptor is left for it";
#endif
  bool failed = false;
  bool watched = false;
  for (int limit = 4; limit <= 16; ++limit) {
    testsupport::Process watch({"prlimit", "--nofile=" + std::to_string(limit), VEXAWATCH_PATH,
                                "--socket", "@" + UniqueName("absent")});
    if (watch.WaitForOutput("Disconnected\n", WAIT_MS).find("Disconnected") != std::string::npos) {
      watched = true;
      watch.Signal(SIGTERM);
    }
    const auto result = watch.Wait(WAIT_MS);
    EXPECT_EQ(result.signal, 0) << limit;
    if (result.status == 127 &&
        result.err.find("error while loading shared libraries") != std::string::npos) {
      continue;
    }
    if (result.status == 1) {
      failed = true;
      EXPECT_EQ(Lines(result.err).back().rfind("ERROR: ", 0), 0u) << limit << ": " << result.err;
    } else {
      EXPECT_EQ(result.status, 0) << limit << ": " << result.err;
    }
  }
  EXPECT_TRUE(failed);
  EXPECT_TRUE(watched);
}

TEST(Vexawatch, WaitsForAnAbsentDaemonUntilSigint) {
  testsupport::Process watch({VEXAWATCH_PATH, "--socket", "/nonexistent/vexad.sock"}, InUtc());
  watch.WaitForOutput("Disconnected\n", WAIT_MS);
  watch.Signal(SIGINT);
  const auto result = watch.Wait();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "no socket at /nonexistent/vexad.sock yet; waiting for the daemon\n");
  EXPECT_EQ(Notifications(result.out), std::vector<std::string>{"status=1 Internal: Disconnected"});
}

TEST(Vexawatch, CommandLine) {
  for (const auto& word : {"--help", "-h"}) {
    const auto result = testsupport::Run({VEXAWATCH_PATH, word});
    EXPECT_EQ(result.out, HELP);
    EXPECT_EQ(result.status, 0);
  }
  const auto version = testsupport::Run({VEXAWATCH_PATH, "--version"});
  EXPECT_EQ(version.out, "0.7.0\n");
  EXPECT_EQ(version.status, 0);
  const auto bogus = testsupport::Run({VEXAWATCH_PATH, "--bogus"});
  EXPECT_EQ(bogus.err,
            "ERROR: unrecognised option '--bogus'\n\n" + HELP.substr(HELP.find("Options:")));
  EXPECT_EQ(bogus.status, 255);
  const auto missing = testsupport::Run({VEXAWATCH_PATH, "--socket"});
  EXPECT_EQ(missing.status, 255);
  // A negative id must not wrap round to a valid one.
  const auto negative = testsupport::Run({VEXAWATCH_PATH, "--daemon-uid", "-1"});
  EXPECT_EQ(negative.err, "ERROR: the argument ('-1') for option '--daemon-uid' is invalid\n\n" +
                              HELP.substr(HELP.find("Options:")));
  EXPECT_EQ(negative.status, 255);
  // Neither names a socket; "@" was once tried for ever.
  for (const auto& [address, argument] : {std::pair{"@", "argument ('@')"}, {"", "argument"}}) {
    testsupport::Process watch({VEXAWATCH_PATH, "--socket", address});
    const auto none = watch.Wait(WAIT_MS);
    EXPECT_EQ(none.err, "ERROR: the " + std::string(argument) +
                            " for option '--socket' is invalid\n\n" +
                            HELP.substr(HELP.find("Options:")));
    EXPECT_EQ(none.status, 255);
  }
}

TEST(Vexawatch, FailuresEndWithStatusOne) {
  // A path too long for a Unix socket address.
  const auto tooLong = testsupport::Run({VEXAWATCH_PATH, "--socket", std::string(108, 'x')});
  EXPECT_EQ(tooLong.status, 1);
  EXPECT_EQ(Lines(tooLong.err).back().rfind("ERROR: ", 0), 0u) << tooLong.err;
  // Nobody reads the notifications: stop instead of waiting for ever.
  const auto full = testsupport::Run({VEXAWATCH_PATH, "--socket", "/nonexistent/vexad.sock"},
                                     testsupport::StdoutTo("/dev/full"));
  EXPECT_EQ(Lines(full.err).back(),
            "ERROR: writing to standard output failed: No space left on device");
  EXPECT_EQ(full.status, 1);
}

}  // namespace
