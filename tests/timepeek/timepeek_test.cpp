// timepeek run as a program against the real clocks and the real kernel.
#include <help_texts.hpp>
#include <orv/orv.hpp>
#include <process.hpp>
#include <tai_offset_guard.hpp>

#include <gtest/gtest.h>

#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

const std::string HEADER =
    "DATE UTC             CLOCK_MONOTONIC     CLOCK_TAI             CLOCK_REALTIME        "
    "TAI_OFFSET\n";

const std::string& LISTING = testsupport::TIMEPEEK_LISTING;
const std::string& HELP = testsupport::TIMEPEEK_HELP;

constexpr std::int64_t NS_PER_S = 1'000'000'000;

struct Row {
  std::string date;
  std::int64_t monotonic;  // nanoseconds
  std::int64_t tai;
  std::int64_t realtime;
  std::int64_t offset;  // seconds
};

// The test's own readings, in nanoseconds.
struct Clocks {
  std::int64_t monotonic;
  std::int64_t tai;
  std::int64_t realtime;
};

std::int64_t Read(clockid_t clock) {
  timespec reading{};
  ::clock_gettime(clock, &reading);
  return reading.tv_sec * NS_PER_S + reading.tv_nsec;
}

Clocks Now() {
  return {Read(CLOCK_MONOTONIC), Read(CLOCK_TAI), Read(CLOCK_REALTIME)};
}

std::optional<Row> ParseRow(const std::string& line) {
  static const std::regex layout(
      R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)  (\d{8,})\.(\d{9})  (\d{8,})\.(\d{9})  )"
      R"((\d{8,})\.(\d{9})  (-?\d+)\n)");
  std::smatch match;
  if (!std::regex_match(line, match, layout)) {
    return std::nullopt;
  }
  const auto reading = [&match](int field) {
    return std::stoll(match[field]) * NS_PER_S + std::stoll(match[field + 1]);
  };
  return Row{match[1], reading(2), reading(4), reading(6), std::stoll(match[8])};
}

// The rows after the header; fails the test when the header is missing or a
// line is not a complete row.
std::vector<Row> Rows(const std::string& out) {
  std::vector<Row> rows;
  if (out.compare(0, HEADER.size(), HEADER) != 0) {
    ADD_FAILURE() << "no header in:\n" << out;
    return rows;
  }
  for (auto start = HEADER.size(); start < out.size();) {
    const auto end = out.find('\n', start);
    const auto line = out.substr(start, end == std::string::npos ? end : end - start + 1);
    const auto row = ParseRow(line);
    if (!row) {
      ADD_FAILURE() << "not a row: '" << line << "'";
      return rows;
    }
    rows.push_back(*row);
    start += line.size();
  }
  return rows;
}

// The date of `seconds` after the epoch, computed without gmtime.
std::string UtcDate(std::int64_t seconds) {
  const std::chrono::sys_seconds time{std::chrono::seconds{seconds}};
  const auto day = std::chrono::floor<std::chrono::days>(time);
  const std::chrono::year_month_day date{day};
  const std::chrono::hh_mm_ss clock{time - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

// Ends the program after 10 s if it has not ended by itself, which then shows
// as a signal instead of an exit status.
testsupport::ProcessResult RunBounded(const std::vector<std::string>& argv,
                                      const testsupport::ProcessOptions& options = {}) {
  testsupport::Process process(argv, options);
  return process.Wait(10000);
}

// Reads until standard output holds `count` lines or `timeoutMs` passes.
std::string WaitForLines(testsupport::Process& process, long count, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string out;
  while (std::chrono::steady_clock::now() < deadline) {
    out = process.WaitForOutput("\x04 never written", 20);
    if (std::count(out.begin(), out.end(), '\n') >= count) {
      break;
    }
  }
  return out;
}

std::string ErrorReport(const std::string& message) {
  return "ERROR: " + message + "\n\n" + LISTING + "\n";
}

// --- One row from the real machine ---

TEST(Timepeek, PrintsHeaderAndOneRowOfTheNamedClocks) {
  const auto before = Now();
  const auto result = RunBounded({TIMEPEEK_PATH});
  const auto after = Now();
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  const auto rows = Rows(result.out);
  ASSERT_EQ(rows.size(), 1u) << result.out;
  const auto& row = rows.front();
  // Each column holds the clock its title names: the reading lies between the
  // test's own readings of that clock.
  EXPECT_LE(before.monotonic, row.monotonic);
  EXPECT_LE(row.monotonic, after.monotonic);
  EXPECT_LE(before.tai, row.tai);
  EXPECT_LE(row.tai, after.tai);
  EXPECT_LE(before.realtime, row.realtime);
  EXPECT_LE(row.realtime, after.realtime);
  EXPECT_EQ(row.date, UtcDate(row.realtime / NS_PER_S));
  EXPECT_EQ(row.offset, orv::GetTaiOffset().count());
}

TEST(Timepeek, OffsetColumnAndTaiFollowTheKernelsOffset) {
  testsupport::TaiOffsetGuard guard;
  const auto nonZero = guard.Saved() == 37s ? 36s : 37s;
  for (const auto offset : {nonZero, 0s}) {
    ASSERT_EQ(orv::SetTaiOffset(offset), std::error_code{});
    const auto result = RunBounded({TIMEPEEK_PATH});
    ASSERT_EQ(result.status, 0) << result.err;
    const auto rows = Rows(result.out);
    ASSERT_EQ(rows.size(), 1u) << result.out;
    EXPECT_EQ(rows[0].offset, offset.count());
    // TAI is read just before REALTIME, so it trails REALTIME + offset by the
    // time between the two reads.
    const auto lag = offset.count() * NS_PER_S - (rows[0].tai - rows[0].realtime);
    EXPECT_GE(lag, 0) << "offset " << offset.count();
    EXPECT_LT(lag, NS_PER_S) << "offset " << offset.count();
  }
}

// Under a system-call filter that denies adjtimex the rows stay as they are,
// offset 0, while TAI keeps its lead: that the 0 is no unset offset is said
// once, not once a row.
TEST(Timepeek, UnreadableOffsetIsSaidOnceOnStandardError) {
  testsupport::TaiOffsetGuard guard;
  ASSERT_EQ(orv::SetTaiOffset(36s), std::error_code{});
  testsupport::Process process(
      testsupport::WithAdjtimexDenied({TIMEPEEK_PATH, "--interval", "10"}));
  WaitForLines(process, 4, 10000);
  process.Signal(SIGINT);
  const auto result = process.Wait(5000);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "TAI offset unreadable (error code: 1): " +
                            std::string(std::strerror(EPERM)) + "; TAI_OFFSET shows 0\n");
  const auto rows = Rows(result.out);
  ASSERT_GE(rows.size(), 3u) << result.out;
  for (const auto& row : rows) {
    EXPECT_EQ(row.offset, 0);
    const auto lag = 36 * NS_PER_S - (row.tai - row.realtime);
    EXPECT_GE(lag, 0);
    EXPECT_LT(lag, NS_PER_S);
  }
}

TEST(Timepeek, NoPositiveIntervalPrintsOneRowWithoutPause) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--interval=0"},
                                               {"--interval=-1"},
                                               {"--interval", "-1000"},
                                               {"--interval=-2147483648"},
                                               {"--inter=0"},
                                               {"5"}}) {
    auto argv = args;
    argv.insert(argv.begin(), TIMEPEEK_PATH);
    const auto result = RunBounded(argv);
    EXPECT_EQ(result.status, 0) << args[0];
    EXPECT_EQ(result.err, "") << args[0];
    EXPECT_EQ(Rows(result.out).size(), 1u) << args[0] << ":\n" << result.out;
  }
}

// --- Interval mode ---

TEST(Timepeek, RowsKeepComingAtLeastAnIntervalApartUntilSigint) {
  testsupport::Process process({TIMEPEEK_PATH, "--interval", "40"});
  WaitForLines(process, 5, 10000);
  process.Signal(SIGINT);
  const auto result = process.Wait(5000);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  const auto rows = Rows(result.out);
  ASSERT_GE(rows.size(), 4u) << result.out;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    EXPECT_GE(rows[i].monotonic - rows[i - 1].monotonic, 40'000'000) << "row " << i;
    EXPECT_GT(rows[i].tai, rows[i - 1].tai) << "row " << i;
    EXPECT_GT(rows[i].realtime, rows[i - 1].realtime) << "row " << i;
  }
}

TEST(Timepeek, SigintCutsThePauseShortAndEndsWithStatusZero) {
  // A ten-minute pause: only SIGINT can end the run within the bound.
  testsupport::Process process({TIMEPEEK_PATH, "--interval", "600000"});
  const auto out = WaitForLines(process, 2, 10000);
  ASSERT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
  std::this_thread::sleep_for(200ms);  // let it enter the pause
  process.Signal(SIGINT);
  const auto result = process.Wait(5000);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(Rows(result.out).size(), 1u) << result.out;
}

// A SIGINT while a row is written must not wait for the pause after it.
TEST(Timepeek, SigintDuringADelayedRowEndsRightAfterThatRow) {
  testsupport::ProcessOptions options;
  // Well within the grace that a blocked write gets after SIGINT.
  options.environment = {"LD_PRELOAD=" FAILING_CLOCK_PRELOAD, "DELAY_WRITE_MS=200",
                         "DELAY_WRITE_CALL=2"};
  testsupport::Process process({TIMEPEEK_PATH, "--interval", "600000"}, options);
  // Half the first row is out: its write has 200 ms to go.
  const auto out = process.WaitForOutput(HEADER + "2", 10000);
  ASSERT_TRUE(out.starts_with(HEADER + "2") && out.find('\n', HEADER.size()) == std::string::npos)
      << out;
  process.Signal(SIGINT);
  const auto result = process.Wait(5000);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(Rows(result.out).size(), 1u) << result.out;
}

// A reader that never reads must not keep SIGINT from ending the run.
TEST(Timepeek, SigintEndsARunWhoseRowsNobodyReads) {
  testsupport::UnreadPipe pipe;
  testsupport::Process process({TIMEPEEK_PATH, "--interval", "1"},
                               testsupport::StdoutTo(pipe.Path()));
  ASSERT_TRUE(pipe.WaitUntilFull(HEADER.size(), 10000));
  process.Signal(SIGINT);
  const auto result = process.Wait(5000);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
}

// --- A clock that cannot be read ---

struct FailingClock {
  clockid_t id;
  const char* name;
};

testsupport::ProcessOptions FailClocks(const std::string& ids, int fromCall = 1) {
  testsupport::ProcessOptions options;
  options.environment = {"LD_PRELOAD=" FAILING_CLOCK_PRELOAD, "FAIL_CLOCKS=" + ids,
                         "FAIL_FROM_CALL=" + std::to_string(fromCall)};
  return options;
}

std::string Perror(const std::string& clock) {
  return "clock_gettime(" + clock + "): " + std::strerror(EINVAL) + "\n";
}

TEST(Timepeek, FailedClockReadEndsWith255AndWritesNothingOfTheRow) {
  for (const auto clock :
       {FailingClock{CLOCK_TAI, "CLOCK_TAI"}, FailingClock{CLOCK_REALTIME, "CLOCK_REALTIME"},
        FailingClock{CLOCK_MONOTONIC, "CLOCK_MONOTONIC"}}) {
    const auto result = RunBounded({TIMEPEEK_PATH}, FailClocks(std::to_string(clock.id)));
    EXPECT_EQ(result.status, 255) << clock.name;
    EXPECT_EQ(result.out, HEADER) << clock.name;
    EXPECT_EQ(result.err, Perror(clock.name));
  }
}

TEST(Timepeek, ClocksAreReadTaiThenRealtimeThenMonotonic) {
  const auto all = std::to_string(CLOCK_TAI) + "," + std::to_string(CLOCK_REALTIME) + "," +
                   std::to_string(CLOCK_MONOTONIC);
  EXPECT_EQ(RunBounded({TIMEPEEK_PATH}, FailClocks(all)).err, Perror("CLOCK_TAI"));
  const auto lastTwo = std::to_string(CLOCK_REALTIME) + "," + std::to_string(CLOCK_MONOTONIC);
  EXPECT_EQ(RunBounded({TIMEPEEK_PATH}, FailClocks(lastTwo)).err, Perror("CLOCK_REALTIME"));
}

TEST(Timepeek, FailedReadInIntervalModeKeepsTheEarlierRows) {
  // The third row has read TAI already when REALTIME fails. MONOTONIC cannot
  // be counted: the sanitizer runtime reads it too.
  const auto result = RunBounded({TIMEPEEK_PATH, "--interval", "10"},
                                 FailClocks(std::to_string(CLOCK_REALTIME), 3));
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.err, Perror("CLOCK_REALTIME"));
  EXPECT_EQ(Rows(result.out).size(), 2u) << result.out;
}

// --- Command line ---

TEST(Timepeek, HelpWinsOverEverythingElse) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"},
                                               {"-h"},
                                               {"--help", "--version"},
                                               {"--interval=10", "-h"}}) {
    auto argv = args;
    argv.insert(argv.begin(), TIMEPEEK_PATH);
    const auto result = RunBounded(argv);
    EXPECT_EQ(result.status, 0) << args[0];
    EXPECT_EQ(result.out, HELP) << args[0];
    EXPECT_EQ(result.err, "") << args[0];
  }
}

TEST(Timepeek, VersionPrintsOnlyTheVersion) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--version"}, {"--interval=10", "--version"}}) {
    auto argv = args;
    argv.insert(argv.begin(), TIMEPEEK_PATH);
    const auto result = RunBounded(argv);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "0.7.0\n");
    EXPECT_EQ(result.err, "");
  }
}

TEST(Timepeek, RejectedCommandLineIsReportedWithTheListing) {
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--bogus"}, "unrecognised option '--bogus'"},
      {{"--interval"}, "the required argument for option '--interval' is missing"},
      {{"--interval", "soon"}, "the argument ('soon') for option '--interval' is invalid"},
      {{"--interval", "1.5"}, "the argument ('1.5') for option '--interval' is invalid"},
      {{"--interval", "2147483648"},
       "the argument ('2147483648') for option '--interval' is invalid"},
      {{"--interval=1", "--interval=2"}, "option '--interval' cannot be specified more than once"},
      {{"--help", "--bogus"}, "unrecognised option '--bogus'"},
  };
  for (const auto& c : cases) {
    auto argv = c.args;
    argv.insert(argv.begin(), TIMEPEEK_PATH);
    const auto result = RunBounded(argv);
    EXPECT_EQ(result.status, 255) << c.message;
    EXPECT_EQ(result.out, "") << c.message;
    EXPECT_EQ(result.err, ErrorReport(c.message));
  }
}

// --- Standard output that cannot be written ---

TEST(Timepeek, FailedWriteEndsWithStatusOne) {
  const struct {
    testsupport::ProcessOptions options;
    int error;
  } targets[] = {{testsupport::StdoutTo("/dev/full"), ENOSPC},
                 {testsupport::StdoutClosed(), EBADF}};
  for (const auto& target : targets) {
    // With a ten-minute interval only a loop that stops at the failure ends
    // within the bound.
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{TIMEPEEK_PATH}, {TIMEPEEK_PATH, "--interval", "600000"}}) {
      const auto result = RunBounded(argv, target.options);
      EXPECT_EQ(result.status, 1) << argv.size() << " " << std::strerror(target.error);
      EXPECT_EQ(result.err, std::string("ERROR: writing to standard output failed: ") +
                                std::strerror(target.error) + "\n");
    }
  }
}

}  // namespace
