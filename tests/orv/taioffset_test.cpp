// The TAI offset functions against the running kernel.
#include <orv/orv.hpp>
#include <process.hpp>
#include <tai_offset_guard.hpp>

#include <gtest/gtest.h>

#include <sys/timex.h>

#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace std::chrono_literals;

namespace {

TEST(TaiOffset, SetValueReadsBack) {
  testsupport::TaiOffsetGuard guard;
  const auto target = guard.Saved() == 37s ? 36s : 37s;
  EXPECT_EQ(orv::SetTaiOffset(target), std::error_code{});
  EXPECT_EQ(orv::GetTaiOffset(), target);
  // Setting the value already in force still goes to the kernel and succeeds.
  EXPECT_EQ(orv::SetTaiOffset(target), std::error_code{});
  EXPECT_EQ(orv::GetTaiOffset(), target);
  EXPECT_EQ(orv::SetTaiOffset(0s), std::error_code{});
  EXPECT_EQ(orv::GetTaiOffset(), 0s);
}

TEST(TaiOffset, SuccessIsTheClearedCode) {
  testsupport::TaiOffsetGuard guard;
  const auto result = orv::SetTaiOffset(guard.Saved());
  EXPECT_EQ(result.value(), 0);
  EXPECT_EQ(result.category(), std::system_category());
  EXPECT_FALSE(result);
  // A read clears what the code held before.
  std::error_code error{EIO, std::generic_category()};
  EXPECT_EQ(orv::GetTaiOffset(error), guard.Saved());
  EXPECT_EQ(error, std::error_code{});
}

// Under a system-call filter that denies adjtimex, as systemd's ProtectClock=
// does, the read fails: the plain read gives 0 as ever, the other says why.
TEST(TaiOffset, RefusedReadReportsItsErrno) {
  testsupport::TaiOffsetGuard guard;
  ASSERT_EQ(orv::SetTaiOffset(36s), std::error_code{});
  ASSERT_NE(guard.SetStatus(STA_UNSYNC), -1);
  const auto result = testsupport::Run(testsupport::WithAdjtimexDenied({ORV_PROBE_PATH, "get"}));
  ASSERT_EQ(result.status, 0) << result.err;
  const auto denied = std::string(std::strerror(EPERM));
  EXPECT_EQ(result.out, "0\n0 1 generic " + denied + "\nTIME_OK 0 0 0 1 generic " + denied + "\n");
  EXPECT_EQ(testsupport::Run({ORV_PROBE_PATH, "get"}).out,
            "36\n36 0 system Success\nTIME_ERROR 0 1 36 0 system Success\n");
}

// The kernel ignores a value outside 0..100000 yet reports success.
TEST(TaiOffset, OffsetTheKernelIgnoresIsRefused) {
  testsupport::TaiOffsetGuard guard;
  ASSERT_EQ(orv::SetTaiOffset(40s), std::error_code{});
  const std::error_code refused{EINVAL, std::generic_category()};
  // 2^32 + 5 would read as 5 if it were cut to 32 bits on the way.
  for (const auto offset : {std::chrono::seconds{(1LL << 32) + 5}, -5s, 100001s}) {
    EXPECT_EQ(orv::SetTaiOffset(offset), refused) << offset.count();
    EXPECT_EQ(orv::GetTaiOffset(), 40s);
  }
  EXPECT_EQ(orv::SetTaiOffset(100000s), std::error_code{});
  EXPECT_EQ(orv::GetTaiOffset(), 100000s);
}

// Run through setpriv as nobody: the child prints what the library returns.
TEST(TaiOffset, UnprivilegedCallerIsRefusedWithEperm) {
  testsupport::TaiOffsetGuard guard;
  ASSERT_EQ(orv::SetTaiOffset(33s), std::error_code{});
  const auto result = testsupport::Run({ORV_PROBE_PATH, "set", "37"}, testsupport::AsNobody());
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "1 generic " + std::string(std::strerror(EPERM)) + "\n33\n");
  EXPECT_EQ(orv::GetTaiOffset(), 33s);
}

// Each status a daemon may give the kernel, read back: the armed leap at
// once, the clock state from the next second boundary on (an inserting
// state gives way to TIME_OK first). The guard disarms the kernel afterwards.
TEST(KernelLeapState, ReadsWhatTheKernelWasTold) {
  testsupport::TaiOffsetGuard guard;
  ASSERT_EQ(orv::SetTaiOffset(37s), std::error_code{});
  // Clock state, leap, STA_UNSYNC, TAI offset and error of one read.
  const auto read = [] {
    std::error_code error{EIO, std::generic_category()};
    const auto got = orv::GetKernelLeapState(error);
    return std::string(orv::ClockStateName(got.clockState)) + " " + std::to_string(got.leap) + " " +
           std::to_string(got.unsynchronised) + " " + std::to_string(got.taiOffset.count()) + " " +
           error.message();
  };
  for (const auto& [status, expected] : std::vector<std::pair<int, std::string>>{
           {STA_UNSYNC, "TIME_ERROR 0 1"},
           // Unsynchronised, the kernel reports an error whatever it is armed for.
           {STA_INS | STA_UNSYNC, "TIME_ERROR 1 1"},
           {STA_DEL | STA_UNSYNC, "TIME_ERROR -1 1"},
           {0, "TIME_OK 0 0"},
           {STA_INS, "TIME_INS 1 0"},
           {STA_INS | STA_DEL, "TIME_INS 1 0"},
           {STA_DEL, "TIME_DEL -1 0"},
           {STA_PLL, "TIME_OK 0 0"},
       }) {
    ASSERT_NE(guard.SetStatus(status), -1) << std::strerror(errno);
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    auto got = read();
    while (got != expected + " 37 Success" && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(50ms);
      got = read();
    }
    EXPECT_EQ(got, expected + " 37 Success") << status;
  }
}

}  // namespace
