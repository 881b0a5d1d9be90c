// nicmark, leapset and timepeek against hostile command lines: huge words,
// bytes that are not UTF-8, empty words, numbers past 64 bits, odd uses of
// "=", "--" and "-", repeated and abbreviated options. Every run must end by
// itself with the exact status and output of its row: no signal, no abort and,
// in the sanitizer build, no report.
#include <help_texts.hpp>
#include <orv/orv.hpp>
#include <process.hpp>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

namespace {

enum class Program { Nicmark, Leapset, Timepeek };

// What standard output must hold: the text itself, the kernel's TAI offset as
// leapset prints it, or timepeek's header and one row.
enum class Out { Exact, KernelOffset, OneRow };

struct Row {
  std::string name;
  Program program;
  std::vector<std::string> args;
  int status;
  std::string err;
  Out outKind;
  std::string out;
};

using testsupport::LEAPSET_HELP;
using testsupport::LEAPSET_LISTING;
using testsupport::NICMARK_HELP;
using testsupport::TIMEPEEK_LISTING;

const std::string TIMEPEEK_HEADER =
    "DATE UTC             CLOCK_MONOTONIC     CLOCK_TAI             CLOCK_REALTIME        "
    "TAI_OFFSET\n";

const std::string VERSION = "0.7.0\n";

// Words of 100 KB, close to the kernel's limit of 128 KB for one argument, and
// an interface name far past IFNAMSIZ.
const std::string HUGE_WORD(100 * 1024, 'x');
const std::string HUGE_NUMBER(100 * 1024, '9');
const std::string LONG_INTERFACE(1000, 'n');

// A run that the option library rejects; its text names the option as typed.
Row Rejected(std::string name, Program program, std::vector<std::string> args,
             const std::string& message) {
  std::string err = "ERROR: " + message + "\n";
  if (program == Program::Leapset) {
    err += "\n" + LEAPSET_LISTING + "\n";
  } else if (program == Program::Timepeek) {
    err += "\n" + TIMEPEEK_LISTING + "\n";
  }
  return {std::move(name), program, std::move(args), 255, err, Out::Exact, ""};
}

std::string Invalid(const std::string& value, const std::string& option) {
  return "the argument ('" + value + "') for option '--" + option + "' is invalid";
}

std::string Twice(const std::string& option) {
  return "option '--" + option + "' cannot be specified more than once";
}

std::string Unrecognised(const std::string& word) {
  return "unrecognised option '" + word + "'";
}

// A run that ends in help or version: stdout as given, nothing on stderr.
Row Prints(std::string name, Program program, std::vector<std::string> args, std::string out) {
  return {std::move(name), program, std::move(args), 0, "", Out::Exact, std::move(out)};
}

// A leapset run that reads the offset, or a timepeek run that prints one row.
Row Reads(std::string name, Program program, std::vector<std::string> args) {
  return {std::move(name),
          program,
          std::move(args),
          0,
          "",
          program == Program::Leapset ? Out::KernelOffset : Out::OneRow,
          ""};
}

// A nicmark run whose call into liborv fails with `diagnostic`.
Row CallFails(std::string name, std::vector<std::string> args, const std::string& interface,
              const std::string& diagnostic) {
  return {std::move(name),
          Program::Nicmark,
          std::move(args),
          1,
          diagnostic + "Get/Set HW timestamping options failed\n",
          Out::Exact,
          "Interface: " + interface + "\n"};
}

// A nicmark run that gets as far as the kernel, which knows no such interface.
Row NoSuchDevice(std::string name, std::vector<std::string> args, const std::string& interface) {
  return CallFails(std::move(name), std::move(args), interface,
                   "SIOCGHWTSTAMP failed: " + std::string(std::strerror(ENODEV)) + "\n");
}

// A nicmark run with a name the kernel could only see cut, or an empty one.
Row NameRefused(std::string name, std::vector<std::string> args, const std::string& interface) {
  return CallFails(std::move(name), std::move(args), interface,
                   "Interface name must be 1 to 15 bytes long (IFNAMSIZ is 16)\n");
}

// A nicmark run without an interface: the error, and the help on stdout.
Row NoInterface(std::string name, std::vector<std::string> args) {
  return {
      std::move(name), Program::Nicmark, std::move(args), 255, "ERROR: no interface specified\n",
      Out::Exact,      NICMARK_HELP};
}

// Command lines that never reach the kernel, or reach it only through
// nicmark's read of an interface that is not there.
std::vector<Row> OptionRows() {
  const auto L = Program::Leapset;
  const auto T = Program::Timepeek;
  const auto N = Program::Nicmark;
  return {
      // Words of 100 KB, echoed whole.
      Rejected("HugeUnknownOption_leapset", L, {"--" + HUGE_WORD}, Unrecognised("--" + HUGE_WORD)),
      Rejected("HugeUnknownOption_timepeek", T, {"--" + HUGE_WORD}, Unrecognised("--" + HUGE_WORD)),
      Rejected("HugeUnknownOption_nicmark", N, {"--" + HUGE_WORD}, Unrecognised("--" + HUGE_WORD)),
      Rejected("HugeShortOption_leapset", L, {"-" + HUGE_WORD}, Unrecognised("-" + HUGE_WORD)),
      Rejected("HugeValue_leapset", L, {"--set=" + HUGE_NUMBER}, Invalid(HUGE_NUMBER, "set")),
      Rejected("HugeNegativeValue_leapset", L, {"--set", "-" + HUGE_NUMBER},
               Invalid("-" + HUGE_NUMBER, "set")),
      Rejected("HugeValue_timepeek", T, {"--interval", HUGE_NUMBER},
               Invalid(HUGE_NUMBER, "interval")),
      Rejected("HugeValue_nicmark", N, {"lo", "--setrx=" + HUGE_NUMBER},
               Invalid(HUGE_NUMBER, "setrx")),
      Rejected("HugeDashes_timepeek", T, {std::string(100 * 1024, '-')},
               Unrecognised(std::string(100 * 1024, '-'))),
      NameRefused("HugeInterface_nicmark", {HUGE_WORD}, HUGE_WORD),
      Prints("HugeWordBeforeHelp_leapset", L, {HUGE_WORD, "--help"}, LEAPSET_HELP),

      // Interface names far past the kernel's 15 bytes.
      NameRefused("LongInterface_nicmark", {LONG_INTERFACE}, LONG_INTERFACE),
      NameRefused("LongNamedInterface_nicmark", {"--interface=" + LONG_INTERFACE, "--setrx", "1"},
                  LONG_INTERFACE),

      // Bytes that are not UTF-8, passed through untouched.
      Rejected("NotUtf8Option_leapset", L, {"--\xff\xfe"}, Unrecognised("--\xff\xfe")),
      Rejected("NotUtf8Option_timepeek", T, {"-\xc3\x28"}, Unrecognised("-\xc3\x28")),
      Rejected("NotUtf8Option_nicmark", N, {"--\x80"}, Unrecognised("--\x80")),
      Rejected("NotUtf8Value_leapset", L, {"--set=\xff"}, Invalid("\xff", "set")),
      Rejected("NotUtf8Value_timepeek", T, {"--interval", "1\xc0\xaf"},
               Invalid("1\xc0\xaf", "interval")),
      NoSuchDevice("NotUtf8Interface_nicmark", {"\xff\xfe\x80"}, "\xff\xfe\x80"),
      Rejected("DigitsOfAnotherScript_leapset", L, {"--set", "\xd9\xa3"},
               Invalid("\xd9\xa3", "set")),

      // Empty words.
      Rejected("EmptyValue_leapset", L, {"--set", ""},
               "the argument for option '--set' is invalid"),
      Rejected("EmptyValue_nicmark", N, {"lo", "--settx", ""},
               "the argument for option '--settx' is invalid"),
      Rejected("EmptyAfterEquals_leapset", L, {"--set="},
               "the argument for option '--set' should follow immediately after the equal sign"),
      Rejected(
          "EmptyAfterEquals_timepeek", T, {"--interval="},
          "the argument for option '--interval' should follow immediately after the equal sign"),
      Rejected(
          "EmptyAfterEquals_nicmark", N, {"--interface="},
          "the argument for option '--interface' should follow immediately after the equal sign"),
      Rejected("EmptyAfterEqualsOfAFlag_leapset", L, {"--help="},
               "the argument for option '--help' should follow immediately after the equal sign"),
      NameRefused("EmptyInterface_nicmark", {""}, ""),
      NameRefused("EmptyNamedInterface_nicmark", {"--interface", ""}, ""),

      // Numbers past 32 and 64 bits, and numbers in other notations.
      Rejected("TwoToThe64_leapset", L, {"--set=18446744073709551616"},
               Invalid("18446744073709551616", "set")),
      Rejected("BelowInt64_leapset", L, {"--set=-9223372036854775809"},
               Invalid("-9223372036854775809", "set")),
      Rejected("BelowInt32_leapset", L, {"--set=-2147483649"}, Invalid("-2147483649", "set")),
      Rejected("PastUint64_timepeek", T, {"--interval=-99999999999999999999"},
               Invalid("-99999999999999999999", "interval")),
      Rejected("TwoToThe64Plus1_nicmark", N, {"lo", "--settx=18446744073709551617"},
               Invalid("18446744073709551617", "settx")),
      Rejected("Hexadecimal_leapset", L, {"--set=0x10"}, Invalid("0x10", "set")),
      Rejected("Exponent_timepeek", T, {"--interval", "1e3"}, Invalid("1e3", "interval")),
      Rejected("LeadingBlank_leapset", L, {"--set= 5"}, Invalid(" 5", "set")),
      Rejected("TrailingBlank_nicmark", N, {"lo", "--setrx", "5 "}, Invalid("5 ", "setrx")),
      Rejected("DoubleEquals_leapset", L, {"--set==5"}, Invalid("=5", "set")),
      Rejected("DoubleMinus_leapset", L, {"--set=--5"}, Invalid("--5", "set")),
      Prints("LargestInt32_timepeek", T, {"--interval=2147483647", "--version"}, VERSION),
      Prints("PlusSignAndZeros_leapset", L, {"--set=+0000000000000000000000000000037", "--version"},
             VERSION),

      // The next word is taken as the value even when it looks like an option.
      Rejected("OptionAsValue_leapset", L, {"--set", "--verbose"}, Invalid("--verbose", "set")),
      Rejected("OptionAsValue_timepeek", T, {"--interval", "--help"},
               Invalid("--help", "interval")),
      Rejected("ValueMissingAtTheEnd_timepeek", T, {"--help", "--interval"},
               "the required argument for option '--interval' is missing"),
      Rejected("ValueMissingAtTheEnd_nicmark", N, {"--interface"},
               "the required argument for option '--interface' is missing"),
      Rejected("ValueToAFlag_timepeek", T, {"--version=yes"},
               "option '--version' does not take any arguments"),
      Rejected("ValueToAFlag_nicmark", N, {"lo", "--help=1"},
               "option '--help' does not take any arguments"),
      Rejected("ValueToAShortFlag_leapset", L, {"-h=1"}, Unrecognised("-h=1")),
      Rejected("ShortWithDigits_timepeek", T, {"-h5"}, Unrecognised("-h5")),
      Rejected("ThreeDashes_leapset", L, {"---set"}, Unrecognised("---set")),
      NoSuchDevice("ValueWithEquals_nicmark", {"--interface==lo"}, "=lo"),
      NoSuchDevice("NegativeSplitValue_nicmark", {"--setrx", "-2147483648", "orvnosuch0"},
                   "orvnosuch0"),

      // Repeated options, in full and abbreviated.
      Rejected("ShortHelpTwice_leapset", L, {"-h", "-h"}, Twice("help")),
      Rejected("ShortHelpBundled_timepeek", T, {"-hh"}, Twice("help")),
      Rejected("HelpTwice_nicmark", N, {"--help", "--help"}, Twice("help")),
      Rejected("VersionTwice_timepeek", T, {"--version", "--version"}, Twice("version")),
      Rejected("AbbreviatedAndFullVersion_leapset", L, {"--vers", "--version"}, Twice("version")),
      Rejected("SwitchTwice_leapset", L, {"--verbose", "--verbose"}, Twice("verbose")),
      Rejected("InitTwiceAbbreviated_leapset", L, {"--in", "--init"}, Twice("init")),
      Rejected("IntervalTwiceAbbreviated_timepeek", T, {"--inter", "5", "--i=5"},
               Twice("interval")),
      Rejected("SettxTwiceAbbreviated_nicmark", N, {"lo", "--sett", "1", "--settx", "1"},
               Twice("settx")),
      Rejected("InterfaceTwiceNamed_nicmark", N, {"--interface", "a", "--inter=b"},
               Twice("interface")),

      // Abbreviations: unique ones take the option's value, others are ambiguous.
      Rejected("AbbreviationWithBadValue_leapset", L, {"--s=abc"}, Invalid("abc", "set")),
      Rejected("AbbreviationWithBadValue_timepeek", T, {"--i=abc"}, Invalid("abc", "interval")),
      Rejected("AmbiguousOneLetter_leapset", L, {"--v"},
               "option '--v' is ambiguous and matches '--verbose', and '--version'"),
      Rejected("AmbiguousWithValue_nicmark", N, {"--s=abc", "lo"},
               "option '--s=abc' is ambiguous and matches '--setrx', and '--settx'"),
      Prints("AbbreviatedHelp_timepeek", T, {"--h"},
             "Print UTC, clocks MONOTONIC, TAI & REALTIME and kernel TAI offset\n\n" +
                 TIMEPEEK_LISTING + "\n"),
      Prints("AbbreviatedHelpAfterValue_leapset", L, {"--se", "1", "--he"}, LEAPSET_HELP),
      NoSuchDevice("AbbreviatedInterface_nicmark", {"--i", "orvnosuch0"}, "orvnosuch0"),

      // Embedded newlines stay inside the word they belong to.
      Rejected("NewlineInOption_leapset", L, {"--bo\ngus"}, Unrecognised("--bo\ngus")),
      Rejected("NewlineInValue_timepeek", T, {"--interval=5\n"}, Invalid("5\n", "interval")),
      Rejected("LoneDashAndNewline_leapset", L, {"-\n"}, Unrecognised("-\n")),
      NoSuchDevice("NewlineInInterface_nicmark", {"lo\n"}, "lo\n"),

      // A lone "--" ends the options; "-" is a word like any other.
      NoInterface("DoubleDashAlone_nicmark", {"--"}),
      NoInterface("DoubleDashAfterOption_nicmark", {"--setrx=1", "--"}),
      NoSuchDevice("DoubleDashThenOption_nicmark", {"--", "--help"}, "--help"),
      NoSuchDevice("LoneDash_nicmark", {"-"}, "-"),
      Rejected("TwoWordsAfterDoubleDash_nicmark", N, {"lo", "--", "x"},
               "too many positional options have been specified on the command line"),

      // Options after a positional word still count.
      Rejected("OptionAfterWord_leapset", L, {"37", "--set", "x"}, Invalid("x", "set")),
      Prints("VersionAfterWord_timepeek", T, {"now", "--version"}, VERSION),
      Prints("HelpAfterInterface_nicmark", N, {"orvnosuch0", "--setrx", "1", "--help"},
             NICMARK_HELP),
      NoSuchDevice("ChangeAfterInterface_nicmark", {"orvnosuch0", "--settx=1"}, "orvnosuch0"),
  };
}

// Command lines that the programs accept as a plain read of the kernel's TAI
// offset (leapset) or one row of clocks (timepeek).
std::vector<Row> ReadRows() {
  const auto L = Program::Leapset;
  const auto T = Program::Timepeek;
  return {
      Reads("HugeStrayWord_leapset", L, {HUGE_WORD}),
      Reads("HugeStrayWord_timepeek", T, {HUGE_WORD}),
      Reads("NotUtf8StrayWord_leapset", L, {"\xc3\x28\xff"}),
      Reads("EmptyWord_leapset", L, {""}),
      Reads("EmptyWord_timepeek", T, {"", ""}),
      Reads("NewlineWord_leapset", L, {"\n"}),
      Reads("DoubleDashAlone_leapset", L, {"--"}),
      Reads("DoubleDashAlone_timepeek", T, {"--"}),
      Reads("DoubleDashThenHelp_leapset", L, {"--", "--help"}),
      Reads("DoubleDashThenUnknown_timepeek", T, {"--", "--bogus"}),
      Reads("LoneDash_leapset", L, {"-"}),
      Reads("LoneDash_timepeek", T, {"-"}),
      Reads("PlusZeroAbbreviated_timepeek", T, {"--i=+0"}),
      Reads("NegativeSplitValue_timepeek", T, {"--interval", "-5"}),
      Reads("IntervalAfterWord_timepeek", T, {"x", "--interval=0"}),
      Reads("ZerosInterval_timepeek", T, {"--interval=-00000000000000000000000000000000"}),
  };
}

std::string Path(Program program) {
  switch (program) {
    case Program::Nicmark:
      return NICMARK_PATH;
    case Program::Leapset:
      return LEAPSET_PATH;
    case Program::Timepeek:
      return TIMEPEEK_PATH;
  }
  return {};
}

// Runs the row's program; a run that does not end within the bound is killed
// and then shows as a signal.
testsupport::ProcessResult RunBounded(const Row& row) {
  std::vector<std::string> argv = row.args;
  argv.insert(argv.begin(), Path(row.program));
  testsupport::Process process(argv);
  process.WaitForOutput("\x04 never written", 10000);
  process.Signal(SIGKILL);
  return process.Wait();
}

bool IsOneRow(const std::string& out) {
  static const std::regex row(
      R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d  \d{8,}\.\d{9}  \d{10,}\.\d{9}  \d{10,}\.\d{9}  -?\d+\n)");
  return out.compare(0, TIMEPEEK_HEADER.size(), TIMEPEEK_HEADER) == 0 &&
         std::regex_match(out.substr(TIMEPEEK_HEADER.size()), row);
}

void ExpectRow(const Row& row) {
  const auto result = RunBounded(row);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.status, row.status);
  EXPECT_EQ(result.err, row.err);
  switch (row.outKind) {
    case Out::Exact:
      EXPECT_EQ(result.out, row.out);
      break;
    case Out::KernelOffset:
      EXPECT_EQ(result.out, std::to_string(orv::GetTaiOffset().count()) + "\n");
      break;
    case Out::OneRow:
      EXPECT_TRUE(IsOneRow(result.out)) << result.out;
      break;
  }
}

std::string RowName(const testing::TestParamInfo<Row>& info) {
  return info.param.name;
}

// A row shows as its name, not as its 100 KB words.
void PrintTo(const Row& row, std::ostream* out) {
  *out << row.name;
}

class HostileOptions : public testing::TestWithParam<Row> {};

TEST_P(HostileOptions, EndsWithItsStatusAndExactOutput) {
  ExpectRow(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Line, HostileOptions, testing::ValuesIn(OptionRows()), RowName);

// These runs read the kernel's TAI offset, so they take the lock of the tests
// that change it.
class HostileKernelRead : public testing::TestWithParam<Row> {};

TEST_P(HostileKernelRead, EndsWithItsStatusAndExactOutput) {
  ExpectRow(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Line, HostileKernelRead, testing::ValuesIn(ReadRows()), RowName);

}  // namespace
