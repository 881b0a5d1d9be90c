// GetSetHwTstampOpts against the fake driver preloaded into this process: the
// requests that reach the driver, what the caller gets back, and the
// diagnostics of each failure; and the quiet reads' refusal of names.
#include "library_call.hpp"
#include "opts_matchers.hpp"

#include <driver_files.hpp>

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using hwtstamptest::GetSetCaptured;
using hwtstamptest::OpenDescriptorCount;

constexpr const char* FAKE_INTERFACE = "fakeptp0";
// "fakeptp0" as the 16 bytes of a zeroed ifr_name.
constexpr const char* FAKE_NAME_BYTES = "66616b65707470300000000000000000";

std::string Read(const char* configuration) {
  return std::string("SIOCGHWTSTAMP socket=2/2/17 name=") + FAKE_NAME_BYTES + " " + configuration;
}

std::string Write(const char* configuration) {
  return std::string("SIOCSHWTSTAMP socket=2/2/17 name=") + FAKE_NAME_BYTES + " " + configuration;
}

const std::string FRESH_RECORD = "flags=0 tx_type=0 rx_filter=0";

class HwTstampDriver : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(::dlsym(RTLD_DEFAULT, "orvtest_fake_driver_loaded"), nullptr)
        << "run this test with LD_PRELOAD set to the fake driver library";
    Set("ORVTEST_HWTSTAMP_IF", FAKE_INTERFACE);
    Set("ORVTEST_HWTSTAMP_STATE", files.StatePath());
    Set("ORVTEST_HWTSTAMP_LOG", files.LogPath());
  }

  void TearDown() override {
    for (const auto* name :
         {"ORVTEST_HWTSTAMP_IF", "ORVTEST_HWTSTAMP_STATE", "ORVTEST_HWTSTAMP_LOG",
          "ORVTEST_HWTSTAMP_READ_ERRNO", "ORVTEST_HWTSTAMP_WRITE_ERRNO", "ORVTEST_HWTSTAMP_WIDE_RX",
          "ORVTEST_SOCKET_ERRNO"}) {
      ::unsetenv(name);
    }
  }

  static void Set(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }

  hwtstamptest::DriverFiles files;
};

TEST_F(HwTstampDriver, BothUnchangedOnlyReads) {
  files.SetState(5, 1, 12);
  HwTstampOpts opts{-1, -1};
  const auto call = GetSetCaptured(FAKE_INTERFACE, &opts);
  EXPECT_EQ(call.result, 0);
  EXPECT_EQ(call.err, "");
  EXPECT_EQ(opts, (HwTstampOpts{1, 12}));
  EXPECT_EQ(files.Requests(), std::vector<std::string>{Read(FRESH_RECORD.c_str())});
}

TEST_F(HwTstampDriver, TransmitTypeAloneKeepsFilterAndFlagsAsRead) {
  files.SetState(5, 0, 12);
  HwTstampOpts opts{1, -1};
  EXPECT_EQ(GetSetCaptured(FAKE_INTERFACE, &opts).result, 0);
  EXPECT_EQ(opts, (HwTstampOpts{1, 12}));
  EXPECT_EQ(files.Requests(), (std::vector<std::string>{Read(FRESH_RECORD.c_str()),
                                                        Write("flags=5 tx_type=1 rx_filter=12")}));
  EXPECT_EQ(files.State(), "5 1 12");
}

TEST_F(HwTstampDriver, ReceiveFilterAloneKeepsTransmitTypeAndFlagsAsRead) {
  files.SetState(5, 1, 0);
  HwTstampOpts opts{-1, 12};
  EXPECT_EQ(GetSetCaptured(FAKE_INTERFACE, &opts).result, 0);
  EXPECT_EQ(opts, (HwTstampOpts{1, 12}));
  EXPECT_EQ(files.Requests(), (std::vector<std::string>{Read(FRESH_RECORD.c_str()),
                                                        Write("flags=5 tx_type=1 rx_filter=12")}));
}

TEST_F(HwTstampDriver, ValuesAlreadyInForceAreStillWritten) {
  files.SetState(0, 1, 12);
  HwTstampOpts opts{1, 12};
  EXPECT_EQ(GetSetCaptured(FAKE_INTERFACE, &opts).result, 0);
  EXPECT_EQ(files.Requests().size(), 2u);
  EXPECT_EQ(files.Requests().back(), Write("flags=0 tx_type=1 rx_filter=12"));
}

TEST_F(HwTstampDriver, OnlyMinusOneMeansUnchanged) {
  files.SetState(0, 1, 12);
  HwTstampOpts opts{-2, 7};
  EXPECT_EQ(GetSetCaptured(FAKE_INTERFACE, &opts).result, 0);
  EXPECT_EQ(files.Requests().back(), Write("flags=0 tx_type=-2 rx_filter=7"));
  EXPECT_EQ(opts, (HwTstampOpts{-2, 7}));
}

TEST_F(HwTstampDriver, CallerGetsTheFilterTheDriverReports) {
  Set("ORVTEST_HWTSTAMP_WIDE_RX", "1");
  files.SetState(0, 0, 0);
  HwTstampOpts opts{-1, 12};
  EXPECT_EQ(GetSetCaptured(FAKE_INTERFACE, &opts).result, 0);
  EXPECT_EQ(files.Requests().back(), Write("flags=0 tx_type=0 rx_filter=12"));
  EXPECT_EQ(opts, (HwTstampOpts{0, 1}));
}

// A name cut to 15 bytes would reach the interface the fake answers for.
TEST_F(HwTstampDriver, NameOutsideTheKernelsLimitIsRefusedUnsent) {
  Set("ORVTEST_HWTSTAMP_IF", "abcdefghijklmno");
  files.SetState(0, 1, 3);
  // A socket opened before the check would fail with its own diagnostic.
  Set("ORVTEST_SOCKET_ERRNO", std::to_string(EMFILE));
  for (const char* name : {"abcdefghijklmnop", "abcdefghijklmnopqrstuvwxyz", ""}) {
    HwTstampOpts opts{1, -1};
    const auto call = GetSetCaptured(name, &opts);
    EXPECT_EQ(call.result, -1) << name;
    EXPECT_EQ(call.err, "Interface name must be 1 to 15 bytes long (IFNAMSIZ is 16)\n");
    EXPECT_EQ(opts, (HwTstampOpts{1, -1}));
    const int refusal = *name != '\0' ? ENAMETOOLONG : EINVAL;
    std::error_code error;
    EXPECT_EQ(orv::GetTimestampingCapabilities(name, error).phcIndex, -1);
    EXPECT_EQ(error.value(), refusal) << name;
    orv::GetTimestampingConfig(name, error);
    EXPECT_EQ(error.value(), refusal) << name;
  }
  // The quiet reads also refuse a NUL inside, where the kernel would stop.
  std::error_code error;
  orv::GetTimestampingConfig(std::string_view("abcdefghijklmno\0", 16), error);
  EXPECT_EQ(error.value(), ENAMETOOLONG);
  orv::GetTimestampingConfig(std::string_view("abc\0x", 5), error);
  EXPECT_EQ(error.value(), EINVAL);
  EXPECT_TRUE(files.Requests().empty());
  EXPECT_EQ(files.State(), "0 1 3");
  ::unsetenv("ORVTEST_SOCKET_ERRNO");
  HwTstampOpts opts{-1, -1};
  EXPECT_EQ(GetSetCaptured("abcdefghijklmno", &opts).result, 0);
  EXPECT_EQ(opts, (HwTstampOpts{1, 3}));
  EXPECT_EQ(files.Requests(), std::vector<std::string>{"SIOCGHWTSTAMP socket=2/2/17 name="
                                                       "6162636465666768696a6b6c6d6e6f00 " +
                                                       FRESH_RECORD});
}

// A failing request: the error number, its name for the test's name, and
// the diagnostic expected.
struct Failure {
  int error;
  const char* name;
  std::string diagnostic;
};

std::string FailureName(const testing::TestParamInfo<Failure>& info) {
  return info.param.name;
}

void PrintTo(const Failure& failure, std::ostream* out) {
  *out << failure.name;
}

class HwTstampDriverReadFailure : public HwTstampDriver,
                                  public testing::WithParamInterface<Failure> {};

TEST_P(HwTstampDriverReadFailure, WritesItsLineAndAttemptsNoChange) {
  Set("ORVTEST_HWTSTAMP_READ_ERRNO", std::to_string(GetParam().error));
  HwTstampOpts opts{3, 4};
  const auto call = GetSetCaptured(FAKE_INTERFACE, &opts);
  EXPECT_EQ(call.result, -1);
  EXPECT_EQ(call.err, GetParam().diagnostic);
  EXPECT_EQ(opts, (HwTstampOpts{3, 4}));
  EXPECT_EQ(files.Requests(), std::vector<std::string>{Read(FRESH_RECORD.c_str())});
}

INSTANTIATE_TEST_SUITE_P(
    Errors, HwTstampDriverReadFailure,
    testing::Values(Failure{ENOTTY, "ENOTTY",
                            "Kernel does not have support for non-destructive SIOCGHWTSTAMP.\n"},
                    Failure{
                        EOPNOTSUPP, "EOPNOTSUPP",
                        "Device driver does not have support for non-destructive SIOCGHWTSTAMP.\n"},
                    Failure{EPERM, "EPERM",
                            "SIOCGHWTSTAMP failed: " + std::string(std::strerror(EPERM)) + "\n"},
                    Failure{ERANGE, "ERANGE",
                            "SIOCGHWTSTAMP failed: " + std::string(std::strerror(ERANGE)) + "\n"}),
    FailureName);

class HwTstampDriverWriteFailure : public HwTstampDriver,
                                   public testing::WithParamInterface<Failure> {};

TEST_P(HwTstampDriverWriteFailure, WritesItsLinesAndLeavesRecordAndDriver) {
  Set("ORVTEST_HWTSTAMP_WRITE_ERRNO", std::to_string(GetParam().error));
  files.SetState(0, 1, 12);
  HwTstampOpts opts{2, -1};
  const auto call = GetSetCaptured(FAKE_INTERFACE, &opts);
  EXPECT_EQ(call.result, -1);
  EXPECT_EQ(call.err, GetParam().diagnostic);
  EXPECT_EQ(opts, (HwTstampOpts{2, -1}));
  EXPECT_EQ(files.Requests().size(), 2u);
  EXPECT_EQ(files.State(), "0 1 12");
}

INSTANTIATE_TEST_SUITE_P(
    Errors, HwTstampDriverWriteFailure,
    testing::Values(Failure{ERANGE, "ERANGE",
                            "SIOCSHWTSTAMP failed: " + std::string(std::strerror(ERANGE)) +
                                "\nThe requested time stamping mode is not "
                                "supported by the hardware\n"},
                    Failure{EINVAL, "EINVAL",
                            "SIOCSHWTSTAMP failed: " + std::string(std::strerror(EINVAL)) + "\n"},
                    Failure{
                        EOPNOTSUPP, "EOPNOTSUPP",
                        "SIOCSHWTSTAMP failed: " + std::string(std::strerror(EOPNOTSUPP)) + "\n"}),
    FailureName);

TEST_F(HwTstampDriver, SocketFailureIsReportedBeforeAnyRequest) {
  Set("ORVTEST_SOCKET_ERRNO", std::to_string(EMFILE));
  HwTstampOpts opts{1, 1};
  const auto call = GetSetCaptured(FAKE_INTERFACE, &opts);
  EXPECT_EQ(call.result, -1);
  EXPECT_EQ(call.err, "ERROR creating socket: " + std::string(std::strerror(EMFILE)) + "\n");
  EXPECT_EQ(opts, (HwTstampOpts{1, 1}));
  EXPECT_TRUE(files.Requests().empty());
}

TEST_F(HwTstampDriver, NullArgumentsAreRefused) {
  HwTstampOpts opts{1, 1};
  const auto noName = GetSetCaptured(nullptr, &opts);
  EXPECT_EQ(noName.result, -1);
  EXPECT_EQ(noName.err, "GetSetHwTstampOpts: interface name and options record must not be null\n");
  EXPECT_EQ(opts, (HwTstampOpts{1, 1}));
  const auto noRecord = GetSetCaptured(FAKE_INTERFACE, nullptr);
  EXPECT_EQ(noRecord.result, -1);
  EXPECT_EQ(noRecord.err, noName.err);
  EXPECT_TRUE(files.Requests().empty());
}

// Each path: the setting that selects it, and the record passed.
struct Path {
  const char* setting;
  const char* value;
  HwTstampOpts opts;
  int result;
};

TEST_F(HwTstampDriver, NoDescriptorIsLeftOpenOnAnyPath) {
  ::unsetenv("ORVTEST_HWTSTAMP_LOG");
  const std::string emfile = std::to_string(EMFILE);
  const std::string enotty = std::to_string(ENOTTY);
  const std::string erange = std::to_string(ERANGE);
  for (const auto& path : {Path{nullptr, nullptr, {-1, -1}, 0}, Path{nullptr, nullptr, {1, 2}, 0},
                           Path{"ORVTEST_HWTSTAMP_READ_ERRNO", enotty.c_str(), {-1, -1}, -1},
                           Path{"ORVTEST_HWTSTAMP_WRITE_ERRNO", erange.c_str(), {1, 2}, -1},
                           Path{"ORVTEST_SOCKET_ERRNO", emfile.c_str(), {-1, -1}, -1}}) {
    if (path.setting != nullptr) {
      Set(path.setting, path.value);
    }
    const int before = OpenDescriptorCount();
    for (int i = 0; i < 200; ++i) {
      HwTstampOpts opts = path.opts;
      ASSERT_EQ(GetSetCaptured(FAKE_INTERFACE, &opts).result, path.result)
          << (path.setting != nullptr ? path.setting : "success");
    }
    EXPECT_EQ(OpenDescriptorCount(), before)
        << (path.setting != nullptr ? path.setting : "success");
    if (path.setting != nullptr) {
      ::unsetenv(path.setting);
    }
  }
}

}  // namespace
