// nicmark as a program: its command line, its output and its exit status,
// against the running kernel and against the fake driver.
#include <driver_files.hpp>

#include <help_texts.hpp>
#include <process.hpp>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

using testsupport::ProcessOptions;
using testsupport::ProcessResult;

const std::string& HELP = testsupport::NICMARK_HELP;
const std::string FAILED = "Get/Set HW timestamping options failed\n";
const std::string NAME_REFUSED = "Interface name must be 1 to 15 bytes long (IFNAMSIZ is 16)\n";
const std::string LOOPBACK_DIAGNOSTIC =
    "Device driver does not have support for non-destructive SIOCGHWTSTAMP.\n";

std::string Text(int error) {
  return std::strerror(error);
}

ProcessResult Nicmark(std::vector<std::string> arguments, const ProcessOptions& options = {}) {
  arguments.insert(arguments.begin(), NICMARK_PATH);
  return testsupport::Run(arguments, options);
}

struct Expected {
  std::vector<std::string> arguments;
  std::string out;
  std::string err;
  int status;
};

void ExpectRun(const Expected& expected, const ProcessOptions& options = {}) {
  const auto result = Nicmark(expected.arguments, options);
  std::string command = "nicmark";
  for (const auto& word : expected.arguments) {
    command += " " + word;
  }
  EXPECT_EQ(result.out, expected.out) << command;
  EXPECT_EQ(result.err, expected.err) << command;
  EXPECT_EQ(result.status, expected.status) << command;
}

TEST(NicmarkKernel, LoopbackHasNoTimestampingToReport) {
  ExpectRun({{"lo"}, "Interface: lo\n", LOOPBACK_DIAGNOSTIC + FAILED, 1});
  // A change request fails at the read as well.
  ExpectRun(
      {{"--settx", "1", "--interface", "lo"}, "Interface: lo\n", LOOPBACK_DIAGNOSTIC + FAILED, 1});
}

TEST(NicmarkKernel, MissingInterfaceFailsAtTheRead) {
  ExpectRun({{"orvnosuch0", "--setrx", "1"},
             "Interface: orvnosuch0\n",
             "SIOCGHWTSTAMP failed: " + Text(ENODEV) + "\n" + FAILED,
             1});
}

TEST(NicmarkCommandLine, HelpAndRejectedLines) {
  const std::vector<Expected> cases = {
      {{"--help"}, HELP, "", 0},
      {{"--hel"}, HELP, "", 0},
      {{"lo", "--setrx", "abc", "--help"},
       "",
       "ERROR: the argument ('abc') for option '--setrx' is invalid\n",
       255},
      {{"-h"}, "", "ERROR: unrecognised option '-h'\n", 255},
      {{"--help", "--bogus"}, "", "ERROR: unrecognised option '--bogus'\n", 255},
      {{}, HELP, "ERROR: no interface specified\n", 255},
      {{"--setrx", "3", "--settx", "1"}, HELP, "ERROR: no interface specified\n", 255},
      {{"lo", "eth0"},
       "",
       "ERROR: too many positional options have been specified on the command line\n",
       255},
      {{"lo", "--interface=eth0"},
       "",
       "ERROR: option '--interface' cannot be specified more than once\n",
       255},
      {{"lo", "--settx", "1", "--settx", "2"},
       "",
       "ERROR: option '--settx' cannot be specified more than once\n",
       255},
      {{"lo", "--setrx", "abc"},
       "",
       "ERROR: the argument ('abc') for option '--setrx' is invalid\n",
       255},
      {{"lo", "--settx", "99999999999"},
       "",
       "ERROR: the argument ('99999999999') for option '--settx' is invalid\n",
       255},
      {{"lo", "--setrx"},
       "",
       "ERROR: the required argument for option '--setrx' is missing\n",
       255},
      {{"--set", "1", "lo"},
       "",
       "ERROR: option '--set' is ambiguous and matches '--setrx', and '--settx'\n",
       255},
  };
  for (const auto& expected : cases) {
    ExpectRun(expected);
  }
}

TEST(NicmarkStdout, FailedWriteEndsWithStatusOne) {
  ExpectRun({{"--help"}, "", "ERROR: writing to standard output failed: " + Text(ENOSPC) + "\n", 1},
            testsupport::StdoutTo("/dev/full"));
  ExpectRun({{},
             "",
             "ERROR: no interface specified\nERROR: writing to standard output failed: " +
                 Text(EBADF) + "\n",
             1},
            testsupport::StdoutClosed());
  // The failed ioctl in between must not change the reported cause.
  ExpectRun({{"lo"},
             "",
             LOOPBACK_DIAGNOSTIC + FAILED +
                 "ERROR: writing to standard output failed: " + Text(ENOSPC) + "\n",
             1},
            testsupport::StdoutTo("/dev/full"));
}

constexpr const char* FAKE_INTERFACE = "fakeptp0";

// nicmark with the fake driver preloaded, answering for FAKE_INTERFACE.
class NicmarkDriver : public testing::Test {
 protected:
  ProcessOptions Driver(std::vector<std::string> settings = {},
                        const std::string& interface = FAKE_INTERFACE) const {
    ProcessOptions options;
    options.environment = {"LD_PRELOAD=" FAKE_DRIVER_PRELOAD, "ORVTEST_HWTSTAMP_IF=" + interface,
                           "ORVTEST_HWTSTAMP_STATE=" + files.StatePath(),
                           "ORVTEST_HWTSTAMP_LOG=" + files.LogPath()};
    options.environment.insert(options.environment.end(), settings.begin(), settings.end());
    return options;
  }

  std::string WriteRequest(const std::string& configuration) const {
    return "SIOCSHWTSTAMP socket=2/2/17 name=66616b65707470300000000000000000 " + configuration;
  }

  hwtstamptest::DriverFiles files;
};

TEST_F(NicmarkDriver, InterfaceAloneOnlyReads) {
  files.SetState(0, 1, 12);
  ExpectRun(
      {{FAKE_INTERFACE}, "Interface: fakeptp0\nCurrent config: tx_type=1  rx_filter=12\n", "", 0},
      Driver());
  EXPECT_EQ(files.Requests().size(), 1u);
}

TEST_F(NicmarkDriver, ReceiveFilterMinusOneOnlyReads) {
  files.SetState(0, 1, 12);
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {FAKE_INTERFACE, "--setrx", "-1"}, {"--setrx=-1", FAKE_INTERFACE}}) {
    ExpectRun({arguments, "Interface: fakeptp0\nCurrent config: tx_type=1  rx_filter=12\n", "", 0},
              Driver());
  }
  EXPECT_EQ(files.Requests().size(), 2u);
}

TEST_F(NicmarkDriver, TransmitTypeAloneSendsFilterAsRead) {
  files.SetState(4, 0, 12);
  ExpectRun({{FAKE_INTERFACE, "--settx", "1"},
             "Interface: fakeptp0\nCurrent config: tx_type=1  rx_filter=12\n",
             "",
             0},
            Driver());
  ASSERT_EQ(files.Requests().size(), 2u);
  EXPECT_EQ(files.Requests()[1], WriteRequest("flags=4 tx_type=1 rx_filter=12"));
}

TEST_F(NicmarkDriver, NamedInterfaceInAnyPositionWithBothValues) {
  files.SetState(0, 0, 0);
  ExpectRun({{"--setrx", "12", "--interface", FAKE_INTERFACE, "--settx=-5"},
             "Interface: fakeptp0\nCurrent config: tx_type=-5  rx_filter=12\n",
             "",
             0},
            Driver());
  EXPECT_EQ(files.Requests().back(), WriteRequest("flags=0 tx_type=-5 rx_filter=12"));
}

TEST_F(NicmarkDriver, PrintsTheFilterTheDriverPutInForce) {
  ExpectRun({{FAKE_INTERFACE, "--setrx", "12"},
             "Interface: fakeptp0\nCurrent config: tx_type=0  rx_filter=1\n",
             "",
             0},
            Driver({"ORVTEST_HWTSTAMP_WIDE_RX=1"}));
}

TEST_F(NicmarkDriver, RefusedModeFailsWithStatusOne) {
  files.SetState(0, 1, 12);
  ExpectRun({{FAKE_INTERFACE, "--settx", "7"},
             "Interface: fakeptp0\n",
             "SIOCSHWTSTAMP failed: " + Text(ERANGE) +
                 "\nThe requested time stamping mode is not supported by the hardware\n" + FAILED,
             1},
            Driver({"ORVTEST_HWTSTAMP_WRITE_ERRNO=" + std::to_string(ERANGE)}));
  EXPECT_EQ(files.State(), "0 1 12");
}

TEST_F(NicmarkDriver, SocketFailureFailsWithStatusOne) {
  ExpectRun({{FAKE_INTERFACE},
             "Interface: fakeptp0\n",
             "ERROR creating socket: " + Text(EMFILE) + "\n" + FAILED,
             1},
            Driver({"ORVTEST_SOCKET_ERRNO=" + std::to_string(EMFILE)}));
  EXPECT_TRUE(files.Requests().empty());
}

// Cut to 15 bytes, the name would reach the interface the fake answers for.
TEST_F(NicmarkDriver, NameOutsideTheKernelsLimitIsRefused) {
  files.SetState(0, 1, 3);
  const auto options = Driver({}, "abcdefghijklmno");
  for (const auto& name :
       {std::string("abcdefghijklmnop"), std::string("abcdefghijklmnoQQQ"), std::string()}) {
    ExpectRun({{name, "--settx", "1"}, "Interface: " + name + "\n", NAME_REFUSED + FAILED, 1},
              options);
  }
  EXPECT_TRUE(files.Requests().empty());
  EXPECT_EQ(files.State(), "0 1 3");
}

TEST_F(NicmarkDriver, HelpLeavesTheInterfaceAlone) {
  ExpectRun({{"--help", FAKE_INTERFACE, "--setrx", "1"}, HELP, "", 0}, Driver());
  EXPECT_TRUE(files.Requests().empty());
}

TEST_F(NicmarkDriver, FailedStdoutWriteAfterAChange) {
  auto full = Driver();
  full.stdoutPath = "/dev/full";
  ExpectRun({{FAKE_INTERFACE, "--settx", "1"},
             "",
             "ERROR: writing to standard output failed: " + Text(ENOSPC) + "\n",
             1},
            full);
  EXPECT_EQ(files.State(), "0 1 0");
  auto closed = Driver();
  closed.closeStdout = true;
  ExpectRun(
      {{FAKE_INTERFACE}, "", "ERROR: writing to standard output failed: " + Text(EBADF) + "\n", 1},
      closed);
}

}  // namespace
