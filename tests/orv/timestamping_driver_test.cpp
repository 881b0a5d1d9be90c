// liborv's quiet timestamping reads and PHC offset against the fake driver and
// PHC preloaded into this process, and against linuxptp's phc_ctl on them.
#include "library_call.hpp"

#include <driver_files.hpp>
#include <orv/orv.hpp>
#include <process.hpp>
#include <tai_offset_guard.hpp>

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

using namespace std::chrono_literals;

namespace {

std::error_code Errno(int error) {
  return {error, std::generic_category()};
}

// A PHC on CLOCK_REALTIME - 1234567 ns that offers the extended and basic
// methods, its samples 600, 400 and 800 ns wide.
class TimestampingDriver : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(::dlsym(RTLD_DEFAULT, "orvtest_fake_driver_loaded"), nullptr)
        << "run this test with LD_PRELOAD set to the fake driver library";
    Apply("HWTSTAMP_IF=fakeptp0 HWTSTAMP_STATE=" + files.StatePath() +
          " HWTSTAMP_LOG=" + files.LogPath() +
          " PHC=0 PHC_CLOCK=realtime PHC_OFFSET_NS=-1234567 PHC_METHODS=extended,basic"
          " PHC_WINDOWS_NS=600,400,800");
  }

  void TearDown() override {
    for (const auto& name : applied) {
      ::unsetenv(name.c_str());
    }
    applied.clear();
  }

  // "NAME=VALUE ..." sets ORVTEST_NAME.
  void Apply(const std::string& settings) {
    std::istringstream words(settings);
    for (std::string word; words >> word;) {
      const auto equals = word.find('=');
      applied.push_back("ORVTEST_" + word.substr(0, equals));
      ::setenv(applied.back().c_str(), word.substr(equals + 1).c_str(), 1);
    }
  }

  hwtstamptest::DriverFiles files;
  std::vector<std::string> applied;
};

// The fake's default capabilities: /dev/ptp0, TX off and on, 3 RX filters.
TEST_F(TimestampingDriver, CapabilitiesAndConfigAreTheDriversOrItsErrno) {
  files.SetState(1, 1, 12);
  std::error_code error = Errno(EIO);
  const auto caps = orv::GetTimestampingCapabilities("fakeptp0", error);
  EXPECT_EQ(error, std::error_code{});
  EXPECT_EQ(std::tie(caps.soTimestamping, caps.phcIndex, caps.txTypes, caps.rxFilters),
            std::make_tuple(0x5fu, 0, 3u, 0x1003u));
  error = Errno(EIO);
  const auto config = orv::GetTimestampingConfig("fakeptp0", error);
  EXPECT_EQ(error, std::error_code{});
  EXPECT_EQ(std::tie(config.flags, config.txType, config.rxFilter), std::make_tuple(1, 1, 12));
  Apply("HWTSTAMP_READ_ERRNO=" + std::to_string(EPERM));
  EXPECT_EQ(orv::GetTimestampingConfig("fakeptp0", error).rxFilter, 0);
  EXPECT_EQ(error, Errno(EPERM));
}

// Device settings (for Apply) and samples asked,
// against the outcome and, where listed, the requests that reached the device
// ("PTP <number> ... errno=<result>").
struct PhcRow {
  std::string settings;
  int samples;
  int error;
  orv::PhcMethod method;
  std::chrono::nanoseconds window;
  std::vector<std::string> requests;
};

TEST_F(TimestampingDriver, BestMethodNarrowestWindowAndEachFailure) {
  const auto PRECISE = orv::PhcMethod::PRECISE, EXTENDED = orv::PhcMethod::EXTENDED,
             BASIC = orv::PhcMethod::BASIC;
  const std::string no = " errno=" + std::to_string(EOPNOTSUPP);
  const std::string old = " errno=" + std::to_string(ENOTTY);
  const int descriptors = hwtstamptest::OpenDescriptorCount();
  // clang-format off
  for (const auto& row : std::vector<PhcRow>{
           {"PHC_METHODS=precise,basic", 9, 0, PRECISE, 0ns, {"PTP 17 errno=0"}},
           {"", 9, 0, EXTENDED, 400ns, {"PTP 17" + no, "PTP 18 n_samples=9 errno=0"}},
           {"PHC_METHODS=basic PHC_OLD_NUMBERS=1", 9, 0, BASIC, 400ns,
            {"PTP 17" + old, "PTP 8" + no, "PTP 18 n_samples=9" + old, "PTP 9 n_samples=9" + no,
             "PTP 14 n_samples=9" + old, "PTP 5 n_samples=9 errno=0"}},
           {"PHC_METHODS=", 9, EOPNOTSUPP, BASIC, 0ns,
            {"PTP 17" + no, "PTP 18 n_samples=9" + no, "PTP 14 n_samples=9" + no}},
           // The narrower samples come after the one asked for.
           {"", 1, 0, EXTENDED, 600ns, {"PTP 17" + no, "PTP 18 n_samples=1 errno=0"}},
           // CLOCK_REALTIME stepped back during a read.
           {"PHC_METHODS=basic PHC_WINDOWS_NS=-100,800,700", 3, 0, BASIC, 700ns, {}},
           {"PHC_WINDOWS_NS=-100", 25, EAGAIN, BASIC, 0ns, {}},
           {"", 26, EINVAL, BASIC, 0ns, {}},
           {"PHC_BUSY=4", 9, 0, EXTENDED, 400ns, {}},
           {"PHC_BUSY=5", 9, EBUSY, BASIC, 0ns, {}},
           {"PHC_ERRNO=" + std::to_string(ENODEV), 9, ENODEV, BASIC, 0ns, {}},
           {"PHC_OPEN_ERRNO=" + std::to_string(EACCES), 9, EACCES, BASIC, 0ns, {}},
       }) {
    // clang-format on
    TearDown();
    SetUp();
    Apply(row.settings);
    std::filesystem::remove(files.LogPath());
    std::error_code error;
    const auto offset = orv::GetPhcOffset(0, error, row.samples);
    const auto label = row.settings + " " + std::to_string(row.samples);
    EXPECT_EQ(error.value(), row.error) << label;
    EXPECT_EQ(offset.method, row.method) << label;
    EXPECT_EQ(offset.window, row.window) << label;
    EXPECT_EQ(offset.realtime, row.error != 0 ? 0ns : -1234567ns) << label;
    EXPECT_EQ(offset.samples, row.error != 0 ? 0 : row.method == PRECISE ? 1 : row.samples);
    if (!row.requests.empty()) {
      EXPECT_EQ(files.Requests(), row.requests) << label;
    }
  }
  EXPECT_EQ(hwtstamptest::OpenDescriptorCount(), descriptors);
}

// The kernel's TAI offset, the clock the PHC follows and its offset from it,
// against PHC - CLOCK_REALTIME and PHC - CLOCK_TAI.
struct TaiRow {
  std::chrono::seconds kernelOffset;
  const char* clock;
  const char* phcOffset;
  std::chrono::nanoseconds realtime;
  std::optional<std::chrono::nanoseconds> tai;
  int error = 0;  // of the whole read
};

TEST_F(TimestampingDriver, TaiOffsetComesFromTheKernelInTheSameCall) {
  const testsupport::TaiOffsetGuard guard;
  for (const auto& row : {TaiRow{37s, "tai", "250", 37s + 250ns, 250ns},
                          // A PHC put on UTC.
                          TaiRow{37s, "realtime", "0", 0ns, -37s},
                          // PHC - CLOCK_TAI past 64 bits: an error, not 292 years ahead.
                          TaiRow{37s, "realtime", "-9223372000000000000", 0ns, {}, EOVERFLOW},
                          // A PHC on TAI with the kernel's offset unset.
                          TaiRow{0s, "realtime", "37000000000", 37s, 37s}}) {
    ASSERT_EQ(orv::SetTaiOffset(row.kernelOffset), std::error_code{});
    Apply(std::string("PHC_CLOCK=") + row.clock + " PHC_OFFSET_NS=" + row.phcOffset);
    std::error_code error;
    const auto offset = orv::GetPhcOffset(0, error);
    EXPECT_EQ(error.value(), row.error) << row.phcOffset;
    EXPECT_EQ(offset.realtime, row.realtime) << row.clock;
    EXPECT_EQ(offset.taiOffset, row.error != 0 ? std::nullopt : std::optional{row.kernelOffset});
    EXPECT_EQ(offset.Tai(), row.tai) << row.clock;
  }
  // Unset before the guard restores the kernel's offset through adjtimex.
  Apply("ADJTIMEX_ERRNO=" + std::to_string(EPERM));
  std::error_code error;
  const auto offset = orv::GetPhcOffset(0, error);
  ::unsetenv("ORVTEST_ADJTIMEX_ERRNO");
  EXPECT_EQ(error, std::error_code{});
  EXPECT_EQ(offset.realtime, 37s);
  EXPECT_EQ(offset.taiOffset, std::nullopt);
  EXPECT_EQ(offset.taiOffsetError, Errno(EPERM));
  EXPECT_EQ(offset.Tai(), std::nullopt);
}

TEST_F(TimestampingDriver, OffsetAgreesWithPhcCtlWithinTheWindow) {
  // The sanitizer runtime preloaded with the fake would report phc_ctl's own
  // leaks.
  testsupport::ProcessOptions peerOptions;
  peerOptions.environment = {"ASAN_OPTIONS=detect_leaks=0"};
  for (const char* methods : {"precise", "extended", "basic"}) {
    for (const char* phcOffset : {"180", "-37000000000", "37000000321"}) {
      Apply(std::string("PHC_METHODS=") + methods + " PHC_OFFSET_NS=" + phcOffset);
      std::error_code error;
      const auto ours = orv::GetPhcOffset(0, error);
      ASSERT_EQ(error, std::error_code{});
      EXPECT_EQ(ours.realtime.count(), std::stoll(phcOffset));
      const auto peer = testsupport::Run({PHC_CTL_PATH, "-q", "/dev/ptp0", "cmp"}, peerOptions);
      std::smatch theirs;
      ASSERT_TRUE(std::regex_search(peer.out, theirs,
                                    std::regex("offset from CLOCK_REALTIME is (-?[0-9]+)ns")))
          << peer.out << peer.err;
      // phc_ctl prints CLOCK_REALTIME - PHC.
      EXPECT_LE(std::abs(ours.realtime.count() + std::stoll(theirs[1])), ours.window.count())
          << methods << " " << phcOffset << ": " << peer.out;
    }
  }
}

}  // namespace
