// leapset as a black box: the command line, the read/set/init flow against
// the real kernel, and its output, errors and exit statuses.
#include <help_texts.hpp>
#include <orv/orv.hpp>
#include <process.hpp>
#include <tai_offset_guard.hpp>

#include <calendar.hpp>

#include "database.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

using namespace std::chrono_literals;
using testsupport::ProcessOptions;
using testsupport::ProcessResult;

namespace {

const std::string& LISTING = testsupport::LEAPSET_LISTING;
const std::string& HELP = testsupport::LEAPSET_HELP;

ProcessResult Leapset(std::vector<std::string> args, const ProcessOptions& options = {}) {
  args.insert(args.begin(), LEAPSET_PATH);
  return testsupport::Run(args, options);
}

std::string Line(std::chrono::seconds offset) {
  return std::to_string(offset.count()) + "\n";
}

std::chrono::seconds ExpectedCalendarValue() {
  const auto now =
      std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
  return 10s + leapsettest::DatabaseLeapSeconds(now).value();
}

void SetKernelOffset(std::chrono::seconds offset) {
  ASSERT_EQ(orv::SetTaiOffset(offset), std::error_code{});
  ASSERT_EQ(orv::GetTaiOffset(), offset);
}

TEST(LeapsetCommandLine, HelpInBothForms) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"--help"},
                                                                {"-h"},
                                                                {"--help", "--version"},
                                                                {"--version", "-h"},
                                                                {"--he"},
                                                                {"--set", "5", "--help"}}) {
    const auto result = Leapset(args);
    EXPECT_EQ(result.out, HELP) << args.front();
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }
}

TEST(LeapsetCommandLine, Version) {
  for (const auto& word : {"--version", "--vers"}) {
    const auto result = Leapset({word});
    EXPECT_EQ(result.out, "0.7.0\n") << word;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }
}

// Every parse error ends the same way as an unrecognised option.
TEST(LeapsetCommandLine, RejectedCommandLines) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--bogus"}, "unrecognised option '--bogus'"},
      {{"--help", "--bogus"}, "unrecognised option '--bogus'"},
      {{"-x"}, "unrecognised option '-x'"},
      {{"--set"}, "the required argument for option '--set' is missing"},
      {{"--set", "abc"}, "the argument ('abc') for option '--set' is invalid"},
      {{"--set=2147483648"}, "the argument ('2147483648') for option '--set' is invalid"},
      {{"--set", "99999999999999999999"},
       "the argument ('99999999999999999999') for option '--set' is invalid"},
      {{"--ver"}, "option '--ver' is ambiguous and matches '--verbose', and '--version'"},
      {{"--set", "1", "--set", "2"}, "option '--set' cannot be specified more than once"},
      {{"--verbose=1"}, "option '--verbose' does not take any arguments"},
      {{"--init=yes"}, "option '--init' does not take any arguments"},
  };
  for (const auto& c : cases) {
    const auto result = Leapset(c.args);
    EXPECT_EQ(result.err, "ERROR: " + c.message + "\n\n" + LISTING + "\n") << c.args.front();
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 255);
  }
}

TEST(LeapsetRead, PrintsTheKernelOffset) {
  testsupport::TaiOffsetGuard guard;
  SetKernelOffset(0s);
  EXPECT_EQ(Leapset({}).out, "0\n");
  SetKernelOffset(35s);
  // A stray word is dropped, and verbose adds nothing to a read.
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {"37"}, {"--verbose"}}) {
    const auto result = Leapset(args);
    EXPECT_EQ(result.out, "35\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }
  EXPECT_EQ(orv::GetTaiOffset(), 35s);
}

TEST(LeapsetChange, SetAndInitFromAnUnsetOffset) {
  testsupport::TaiOffsetGuard guard;
  const auto calendar = ExpectedCalendarValue();
  struct Case {
    std::vector<std::string> args;
    std::chrono::seconds expected;
  };
  for (const auto& c : std::vector<Case>{{{"--set", "36"}, 36s},
                                         {{"--init"}, calendar},
                                         {{"--set", "36", "--init"}, 36s},
                                         {{"--init", "--set=34"}, 34s}}) {
    SetKernelOffset(0s);
    const auto result = Leapset(c.args);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(orv::GetTaiOffset(), c.expected) << c.args.front();
  }
}

TEST(LeapsetChange, InitLeavesASetOffsetAlone) {
  testsupport::TaiOffsetGuard guard;
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"--init"}, {"--set", "36", "--init"}}) {
    SetKernelOffset(33s);
    const auto result = Leapset(args);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(orv::GetTaiOffset(), 33s);
  }
  SetKernelOffset(33s);
  EXPECT_EQ(Leapset({"--set", "36"}).status, 0);
  EXPECT_EQ(orv::GetTaiOffset(), 36s);
}

TEST(LeapsetChange, VerboseLines) {
  testsupport::TaiOffsetGuard guard;
  const auto calendar = ExpectedCalendarValue();
  SetKernelOffset(0s);
  EXPECT_EQ(Leapset({"--init", "--verbose"}).out, "Old offset: 0\nNew offset: " + Line(calendar));
  // Run again, init finds the offset set and changes nothing.
  EXPECT_EQ(Leapset({"--init", "--verbose"}).out,
            "Old offset: " + Line(calendar) + "Offset not changed\n");
  EXPECT_EQ(Leapset({"--set", "30", "--verbose"}).out,
            "Old offset: " + Line(calendar) + "New offset: 30\n");
  // An offset the kernel ignores is a failure, not a success.
  for (const auto& value : {"--set=-5", "--set=100001"}) {
    const auto result = Leapset({value, "--verbose"});
    EXPECT_EQ(result.out, "Old offset: 30\n");
    EXPECT_EQ(result.err, "ERROR setting TAI offset (error code: 22): " +
                              std::string(std::strerror(EINVAL)) + "\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(orv::GetTaiOffset(), 30s);
  }
}

TEST(LeapsetChange, UnprivilegedSetFailsWithStatusOne) {
  testsupport::TaiOffsetGuard guard;
  SetKernelOffset(31s);
  const auto result = Leapset({"--set", "37", "--verbose"}, testsupport::AsNobody());
  EXPECT_EQ(result.out, "Old offset: 31\n");
  EXPECT_EQ(result.err, "ERROR setting TAI offset (error code: 1): " +
                            std::string(std::strerror(EPERM)) + "\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(orv::GetTaiOffset(), 31s);
  // Reading needs no privilege.
  EXPECT_EQ(Leapset({}, testsupport::AsNobody()).out, "31\n");
}

// Output that never arrived must not look like success.
TEST(LeapsetOutput, FailedStandardOutputEndsWithStatusOne) {
  struct Case {
    std::vector<std::string> args;
    ProcessOptions options;
    int error;
  };
  for (const auto& c : std::vector<Case>{
           {{}, testsupport::StdoutTo("/dev/full"), ENOSPC},
           {{"--help"}, testsupport::StdoutTo("/dev/full"), ENOSPC},
           {{"--version"}, testsupport::StdoutTo("/dev/full"), ENOSPC},
           {{}, testsupport::StdoutClosed(), EBADF},
       }) {
    const auto result = Leapset(c.args, c.options);
    EXPECT_EQ(result.err, "ERROR: writing to standard output failed: " +
                              std::string(std::strerror(c.error)) + "\n");
    EXPECT_EQ(result.status, 1);
  }
}

// Without a usable leap-second list the built-in one gives 37 for any date
// since 2017, and --verbose says why; nothing put in the list's place may
// hold up the boot.
TEST(LeapsetCalendar, InitWithoutAUsableLeapSecondList) {
  testsupport::TaiOffsetGuard guard;
  const std::string list = calendar::LEAP_SECONDS_LIST;
  // The installed list with a leap second no one could have announced, and
  // with one that keeps every rule but the list's hash (2025-07-01).
  std::ifstream installed(list);
  const std::string shipped{std::istreambuf_iterator<char>(installed), {}};
  const auto crafted = shipped + "3793404345 38\n";  // 2020-03-17 03:25:45
  const auto craftedLine = std::count(crafted.begin(), crafted.end(), '\n');
  const auto hashLine =
      std::count(shipped.begin(), shipped.begin() + shipped.find("\n#h"), '\n') + 2;
  const std::string craftedPath = testing::TempDir() + "crafted-leap-seconds.list";
  std::ofstream(craftedPath) << crafted;
  const std::string builtin = "Built-in leap-second list used: " + list + ": ";
  for (const auto& [setup, reason] : std::vector<std::pair<std::string, std::string>>{
           {"true", "cannot be opened: " + std::string(std::strerror(ENOENT))},
           {"mkfifo " + list, "not a regular file"},
           {"touch " + list + " && mount --bind /dev/zero " + list, "not a regular file"},
           {"cp " + craftedPath + " " + list,
            "line " + std::to_string(craftedLine) +
                ": leap second not at 00:00:00 UTC on the first day of a month"},
           {"head -n -1 " + craftedPath + " >" + list + " && echo 3960316800 38 >>" + list,
            "line " + std::to_string(hashLine) + ": hash does not match the list's data"}}) {
    SetKernelOffset(0s);
    // The kill only keeps a regression from hanging the suite.
    const auto script = "mount -t tmpfs none /usr/share/zoneinfo && " + setup +
                        " && exec timeout -s KILL 5 " + LEAPSET_PATH + " --init --verbose";
    const auto result = testsupport::Run({"unshare", "-m", "sh", "-c", script});
    if (result.err.find("cannot change root filesystem propagation") != std::string::npos) {
      // Inside a chroot the root is no mount point, so no private mount
      // namespace can be made and mounting would reach the host.
      GTEST_SKIP() << result.err;
    }
    EXPECT_EQ(result.out, "Old offset: 0\nNew offset: 37\n") << setup;
    EXPECT_EQ(result.err, builtin + reason + "\n");
    EXPECT_EQ(result.status, 0);
  }
  std::remove(craftedPath.c_str());
}

// Under a system-call filter that denies adjtimex (systemd's ProtectClock=,
// container profiles) the offset cannot be read: that is an error, never an
// unset offset, and nothing is changed.
TEST(LeapsetRead, RefusedReadIsAnErrorNotAnUnsetOffset) {
  testsupport::TaiOffsetGuard guard;
  SetKernelOffset(36s);
  const auto refused =
      "ERROR reading TAI offset (error code: 1): " + std::string(std::strerror(EPERM)) + "\n";
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"--verbose"}, {"--init"}, {"--init", "--verbose"}, {"--set", "37", "--verbose"}}) {
    auto command = args;
    command.insert(command.begin(), LEAPSET_PATH);
    const auto result = testsupport::Run(testsupport::WithAdjtimexDenied(command));
    EXPECT_EQ(result.out, "") << command.back();
    EXPECT_EQ(result.err, refused);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(orv::GetTaiOffset(), 36s);
  }
}

}  // namespace
