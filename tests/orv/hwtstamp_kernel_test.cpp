// GetSetHwTstampOpts and the quiet timestamping reads against the running
// kernel, whose interfaces here have no hardware timestamping, and the socket
// option table.
#include "library_call.hpp"
#include "opts_matchers.hpp"

#include <linux/net_tstamp.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

using hwtstamptest::GetSetCaptured;
using hwtstamptest::OpenDescriptorCount;

constexpr const char* MISSING_INTERFACE = "orvnosuch0";

TEST(HwTstampKernel, LoopbackDriverCannotReport) {
  for (const auto requested : {HwTstampOpts{-1, -1}, HwTstampOpts{1, 1}}) {
    HwTstampOpts opts = requested;
    const auto call = GetSetCaptured("lo", &opts);
    EXPECT_EQ(call.result, -1);
    EXPECT_EQ(call.err, "Device driver does not have support for non-destructive SIOCGHWTSTAMP.\n");
    EXPECT_EQ(opts, requested);
  }
}

TEST(HwTstampKernel, MissingInterfaceFailsAtTheRead) {
  HwTstampOpts opts{-1, 4};
  const auto call = GetSetCaptured(MISSING_INTERFACE, &opts);
  EXPECT_EQ(call.result, -1);
  EXPECT_EQ(call.err, "SIOCGHWTSTAMP failed: " + std::string(std::strerror(ENODEV)) + "\n");
  EXPECT_EQ(opts, (HwTstampOpts{-1, 4}));
}

TEST(HwTstampKernel, FailedCallsLeaveNoDescriptorOpen) {
  const int before = OpenDescriptorCount();
  for (int i = 0; i < 200; ++i) {
    HwTstampOpts opts{-1, -1};
    ASSERT_EQ(GetSetCaptured(i % 2 == 0 ? "lo" : MISSING_INTERFACE, &opts).result, -1);
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(TimestampingKernel, LoopbackTimestampsInSoftwareAndMissingThingsAreErrors) {
  std::error_code error;
  const auto loopback = orv::GetTimestampingCapabilities("lo", error);
  EXPECT_EQ(error.value(), 0);
  EXPECT_EQ(loopback.phcIndex, -1);
  EXPECT_EQ(loopback.soTimestamping & (SOF_TIMESTAMPING_SOFTWARE | SOF_TIMESTAMPING_RAW_HARDWARE),
            SOF_TIMESTAMPING_SOFTWARE);
  orv::GetTimestampingConfig("lo", error);
  EXPECT_EQ(error.value(), EOPNOTSUPP);
  orv::GetTimestampingCapabilities(MISSING_INTERFACE, error);
  EXPECT_EQ(error.value(), ENODEV);
  orv::GetTimestampingConfig(MISSING_INTERFACE, error);
  EXPECT_EQ(error.value(), ENODEV);
  EXPECT_EQ(orv::GetPhcOffset(4095, error).samples, 0);
  EXPECT_EQ(error.value(), ENOENT);
}

TEST(SocketOptValue, KnownNamesGiveTheirNumbers) {
  EXPECT_EQ(GetSocketOptValue("SO_TIMESTAMP"), 29);
  EXPECT_EQ(GetSocketOptValue("SO_TIMESTAMPNS"), 35);
  EXPECT_EQ(GetSocketOptValue("SO_TIMESTAMPING"), 37);
}

TEST(SocketOptValue, OnlyTheWholeExactNameMatches) {
  for (const char* name : {"so_timestamp", "SO_TIMESTAMP ", " SO_TIMESTAMP", "SO_TIMESTAM",
                           "SO_TIMESTAMPINGX", "", "SO_TIMESTAMPNS\n"}) {
    EXPECT_EQ(GetSocketOptValue(name), -1) << '"' << name << '"';
  }
  EXPECT_EQ(GetSocketOptValue(nullptr), -1);
}

}  // namespace
