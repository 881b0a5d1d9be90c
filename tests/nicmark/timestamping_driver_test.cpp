// liborv's quiet timestamping reads and its PHC offset against the fake driver
// and PHC preloaded into this process, and the offset against linuxptp's
// phc_ctl run on the same fake PHC.
#include "driver_files.hpp"
#include "library_call.hpp"

#include <orv/orv.hpp>
#include <process.hpp>
#include <tai_offset_guard.hpp>

#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

using namespace std::chrono_literals;

namespace {

using Settings = std::vector<std::pair<std::string, std::string>>;

constexpr const char* FAKE_INTERFACE = "fakeptp0";

std::error_code Errno(int error) {
  return {error, std::generic_category()};
}

class TimestampingDriver : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(::dlsym(RTLD_DEFAULT, "orvtest_fake_driver_loaded"), nullptr)
        << "run this test with LD_PRELOAD set to the fake driver library";
    Apply({{"ORVTEST_HWTSTAMP_IF", FAKE_INTERFACE},
           {"ORVTEST_HWTSTAMP_STATE", files.StatePath()},
           {"ORVTEST_HWTSTAMP_LOG", files.LogPath()},
           {"ORVTEST_PHC", "0"},
           {"ORVTEST_PHC_CLOCK", "realtime"}});
  }

  void TearDown() override { ClearSettings(); }

  static void Apply(const Settings& settings) {
    for (const auto& [name, value] : settings) {
      ::setenv(name.c_str(), value.c_str(), 1);
    }
  }

  static void ClearSettings() {
    std::vector<std::string> names;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string text = *entry;
      if (text.rfind("ORVTEST_", 0) == 0) {
        names.push_back(text.substr(0, text.find('=')));
      }
    }
    for (const auto& name : names) {
      ::unsetenv(name.c_str());
    }
  }

  hwtstamptest::DriverFiles files;
};

TEST_F(TimestampingDriver, CapabilitiesAndConfigAreTheDriversOrItsError) {
  Apply({{"ORVTEST_TS_INFO", "69 3 3 4099"}});
  files.SetState(1, 1, 12);
  std::error_code error = Errno(EIO);
  const auto capabilities = orv::GetTimestampingCapabilities(FAKE_INTERFACE, error);
  EXPECT_EQ(error, std::error_code{});
  EXPECT_EQ(capabilities.soTimestamping, 69u);
  EXPECT_EQ(capabilities.phcIndex, 3);
  EXPECT_EQ(capabilities.txTypes, 3u);
  EXPECT_EQ(capabilities.rxFilters, 4099u);
  error = Errno(EIO);
  const auto config = orv::GetTimestampingConfig(FAKE_INTERFACE, error);
  EXPECT_EQ(error, std::error_code{});
  EXPECT_EQ((std::vector{config.flags, config.txType, config.rxFilter}), (std::vector{1, 1, 12}));
  // A read request only: the configuration in force stays.
  EXPECT_EQ(files.State(), "1 1 12");

  Apply({{"ORVTEST_HWTSTAMP_READ_ERRNO", std::to_string(EOPNOTSUPP)}});
  const auto unread = orv::GetTimestampingConfig(FAKE_INTERFACE, error);
  EXPECT_EQ(error, Errno(EOPNOTSUPP));
  EXPECT_EQ((std::vector{unread.flags, unread.txType, unread.rxFilter}), (std::vector{0, 0, 0}));
}

// The fake answers for the 15 bytes a longer name would be cut to, and for
// the part before a NUL.
TEST_F(TimestampingDriver, NamesNoInterfaceCanHaveAreRefusedUnsent) {
  Apply({{"ORVTEST_HWTSTAMP_IF", "abcdefghijklmno"}, {"ORVTEST_SOCKET_ERRNO", "24"}});
  struct Row {
    std::string_view name;
    int error;
  };
  for (const auto& [name, expected] :
       {Row{"abcdefghijklmnop", ENAMETOOLONG}, Row{"", EINVAL},
        Row{std::string_view("abcdefghijklmno\0x", 17), ENAMETOOLONG},
        Row{std::string_view("abcdefghijklmno\0", 16), ENAMETOOLONG},
        Row{std::string_view("abc\0x", 5), EINVAL}}) {
    std::error_code error;
    const auto capabilities = orv::GetTimestampingCapabilities(name, error);
    EXPECT_EQ(error, Errno(expected)) << name.size();
    EXPECT_EQ(capabilities.phcIndex, -1);
    orv::GetTimestampingConfig(name, error);
    EXPECT_EQ(error, Errno(expected)) << name.size();
  }
  EXPECT_TRUE(files.Requests().empty());
  EXPECT_EQ(files.State(), "0 0 0");
}

std::string Offset(std::chrono::nanoseconds offset) {
  return std::to_string(offset.count());
}

// What the device offers and how the kernel numbers its requests, against
// the method used and the requests that reached the device.
struct MethodRow {
  const char* methods;
  bool oldNumbers;
  std::error_code error;
  orv::PhcMethod method;
  int samples;
  std::vector<std::string> requests;
};

TEST_F(TimestampingDriver, PhcIsReadWithTheBestMethodItOffers) {
  Apply({{"ORVTEST_PHC_OFFSET_NS", "-1234567"}, {"ORVTEST_PHC_WINDOWS_NS", "600,400,800"}});
  const auto bad = std::to_string(EOPNOTSUPP);
  const auto unknown = std::to_string(ENOTTY);
  for (const auto& row : {
           MethodRow{
               "precise extended basic", false, {}, orv::PhcMethod::PRECISE, 1, {"PTP 17 errno=0"}},
           MethodRow{"extended basic",
                     false,
                     {},
                     orv::PhcMethod::EXTENDED,
                     9,
                     {"PTP 17 errno=" + bad, "PTP 18 n_samples=9 errno=0"}},
           MethodRow{"basic",
                     false,
                     {},
                     orv::PhcMethod::BASIC,
                     9,
                     {"PTP 17 errno=" + bad, "PTP 18 n_samples=9 errno=" + bad,
                      "PTP 14 n_samples=9 errno=0"}},
           MethodRow{"basic",
                     true,
                     {},
                     orv::PhcMethod::BASIC,
                     9,
                     {"PTP 17 errno=" + unknown, "PTP 8 errno=" + bad,
                      "PTP 18 n_samples=9 errno=" + unknown, "PTP 9 n_samples=9 errno=" + bad,
                      "PTP 14 n_samples=9 errno=" + unknown, "PTP 5 n_samples=9 errno=0"}},
           MethodRow{"",
                     false,
                     Errno(EOPNOTSUPP),
                     orv::PhcMethod::BASIC,
                     0,
                     {"PTP 17 errno=" + bad, "PTP 18 n_samples=9 errno=" + bad,
                      "PTP 14 n_samples=9 errno=" + bad}},
       }) {
    std::filesystem::remove(files.LogPath());
    Apply({{"ORVTEST_PHC_METHODS", row.methods},
           {"ORVTEST_PHC_OLD_NUMBERS", row.oldNumbers ? "1" : ""}});
    std::error_code error;
    const auto offset = orv::GetPhcOffset(0, error);
    EXPECT_EQ(error, row.error) << row.methods;
    EXPECT_EQ(files.Requests(), row.requests) << row.methods;
    EXPECT_EQ(offset.method, row.method) << row.methods;
    EXPECT_EQ(offset.samples, row.samples) << row.methods;
    if (!row.error) {
      // PHC - CLOCK_REALTIME, with the kernel's TAI offset taken off for TAI.
      EXPECT_EQ(offset.realtime, -1234567ns) << row.methods;
      EXPECT_EQ(offset.window, row.method == orv::PhcMethod::PRECISE ? 0ns : 400ns);
      ASSERT_TRUE(offset.taiOffset) << offset.taiOffsetError.message();
      EXPECT_EQ(offset.Tai(), offset.realtime - *offset.taiOffset);
    } else {
      EXPECT_FALSE(offset.Tai());
    }
  }
}

// The read delays the device gives its samples, against the window kept.
struct WindowRow {
  const char* methods;
  const char* windows;
  int samples;
  std::error_code error;
  std::chrono::nanoseconds window;
};

TEST_F(TimestampingDriver, NarrowestForwardWindowIsKept) {
  for (const auto& row : {
           WindowRow{"extended", "3000,500,2000", 3, {}, 500ns},
           WindowRow{"basic", "3000,2000,700", 3, {}, 700ns},
           WindowRow{"basic", "900,300,300", 3, {}, 300ns},
           // Only the first sample: the narrower ones come after it.
           WindowRow{"extended", "900,300", 1, {}, 900ns},
           // CLOCK_REALTIME stepped back during the read.
           WindowRow{"extended", "-100,800", 2, {}, 800ns},
           WindowRow{"basic", "-100", 25, Errno(EAGAIN), 0ns},
           WindowRow{"extended", "500", 0, Errno(EINVAL), 0ns},
           WindowRow{"extended", "500", 26, Errno(EINVAL), 0ns},
       }) {
    Apply({{"ORVTEST_PHC_METHODS", row.methods}, {"ORVTEST_PHC_WINDOWS_NS", row.windows}});
    std::error_code error;
    const auto offset = orv::GetPhcOffset(0, error, row.samples);
    EXPECT_EQ(error, row.error) << row.windows << " " << row.samples;
    EXPECT_EQ(offset.window, row.window) << row.windows << " " << row.samples;
    if (!row.error) {
      EXPECT_EQ(offset.realtime, 0ns) << row.windows;
      EXPECT_EQ(offset.samples, row.samples);
    }
  }
}

// A device setting, against what the call returns; no path leaves a
// descriptor open.
struct FailureRow {
  const char* setting;
  int value;
  int phcIndex;
  std::error_code error;
};

TEST_F(TimestampingDriver, PhcFailuresAreTheirErrnoAndBusyIsAskedAgain) {
  const int before = hwtstamptest::OpenDescriptorCount();
  for (const auto& row : {
           FailureRow{"ORVTEST_PHC_BUSY", 1, 0, {}},
           FailureRow{"ORVTEST_PHC_BUSY", 4, 0, {}},
           FailureRow{"ORVTEST_PHC_BUSY", 5, 0, Errno(EBUSY)},
           FailureRow{"ORVTEST_PHC_ERRNO", ENODEV, 0, Errno(ENODEV)},
           FailureRow{"ORVTEST_PHC_OPEN_ERRNO", EACCES, 0, Errno(EACCES)},
           FailureRow{"ORVTEST_PHC", 0, 99, Errno(ENOENT)},
           FailureRow{"ORVTEST_PHC", 0, -1, Errno(EINVAL)},
       }) {
    Apply({{row.setting, std::to_string(row.value)}, {"ORVTEST_PHC_METHODS", "extended"}});
    std::error_code error;
    const auto offset = orv::GetPhcOffset(row.phcIndex, error);
    EXPECT_EQ(error, row.error) << row.setting << "=" << row.value;
    EXPECT_EQ(offset.samples, row.error ? 0 : 9) << row.setting << "=" << row.value;
    ClearSettings();
    SetUp();
  }
  EXPECT_EQ(hwtstamptest::OpenDescriptorCount(), before);
}

// The kernel's TAI offset and the clock the PHC follows, against PHC -
// CLOCK_REALTIME and PHC - CLOCK_TAI.
struct TaiRow {
  std::chrono::seconds kernelOffset;
  const char* clock;
  std::chrono::nanoseconds phcOffset;
  std::chrono::nanoseconds realtime;
  std::chrono::nanoseconds tai;
};

TEST_F(TimestampingDriver, TaiOffsetComesFromTheKernelInTheSameCall) {
  const testsupport::TaiOffsetGuard guard;
  for (const auto& row : {
           TaiRow{37s, "tai", 250ns, 37s + 250ns, 250ns},
           // A PHC put on UTC.
           TaiRow{37s, "realtime", 0ns, 0ns, -37s},
           // A PHC on TAI with the kernel's offset unset.
           TaiRow{0s, "realtime", 37s, 37s, 37s},
       }) {
    ASSERT_EQ(orv::SetTaiOffset(row.kernelOffset), std::error_code{});
    Apply({{"ORVTEST_PHC_CLOCK", row.clock}, {"ORVTEST_PHC_OFFSET_NS", Offset(row.phcOffset)}});
    std::error_code error;
    const auto offset = orv::GetPhcOffset(0, error);
    ASSERT_EQ(error, std::error_code{});
    EXPECT_EQ(offset.realtime, row.realtime) << row.clock;
    EXPECT_EQ(offset.taiOffset, row.kernelOffset) << row.clock;
    EXPECT_EQ(offset.Tai(), row.tai) << row.clock;
  }
  // Unset before the guard restores the kernel's offset through adjtimex.
  Apply({{"ORVTEST_ADJTIMEX_ERRNO", std::to_string(EPERM)}, {"ORVTEST_PHC_OFFSET_NS", "0"}});
  std::error_code error;
  const auto offset = orv::GetPhcOffset(0, error);
  ::unsetenv("ORVTEST_ADJTIMEX_ERRNO");
  EXPECT_EQ(error, std::error_code{});
  EXPECT_EQ(offset.realtime, 0ns);
  EXPECT_FALSE(offset.taiOffset);
  EXPECT_EQ(offset.taiOffsetError, Errno(EPERM));
  EXPECT_FALSE(offset.Tai());
}

// phc_ctl prints CLOCK_REALTIME - PHC.
std::optional<long long> PhcCtlOffset(const std::string& out) {
  std::smatch match;
  if (!std::regex_search(out, match, std::regex("offset from CLOCK_REALTIME is (-?[0-9]+)ns"))) {
    return std::nullopt;
  }
  return -std::stoll(match[1]);
}

TEST_F(TimestampingDriver, OffsetAgreesWithPhcCtlWithinTheWindow) {
  // The sanitizer runtime preloaded with the fake would report phc_ctl's own
  // leaks.
  testsupport::ProcessOptions peerOptions;
  peerOptions.environment = {"ASAN_OPTIONS=detect_leaks=0"};
  for (const char* methods : {"precise", "extended", "basic"}) {
    for (const char* phcOffset : {"180", "-37000000000", "37000000321"}) {
      Apply({{"ORVTEST_PHC_METHODS", methods},
             {"ORVTEST_PHC_OFFSET_NS", phcOffset},
             {"ORVTEST_PHC_WINDOWS_NS", "5000,1200,2600"}});
      std::error_code error;
      const auto ours = orv::GetPhcOffset(0, error);
      ASSERT_EQ(error, std::error_code{});
      const auto peer = testsupport::Run({PHC_CTL_PATH, "-q", "/dev/ptp0", "cmp"}, peerOptions);
      ASSERT_EQ(peer.status, 0) << peer.err;
      const auto theirs = PhcCtlOffset(peer.out);
      ASSERT_TRUE(theirs) << peer.out;
      EXPECT_LE(std::abs(ours.realtime.count() - *theirs), ours.window.count())
          << methods << " " << phcOffset << ": " << peer.out;
      EXPECT_EQ(ours.realtime.count(), std::stoll(phcOffset));
    }
  }
}

}  // namespace
