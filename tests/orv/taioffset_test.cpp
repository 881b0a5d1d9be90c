// The TAI offset functions against the running kernel.
#include <orv/orv.hpp>
#include <process.hpp>
#include <tai_offset_guard.hpp>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

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
  const auto result = testsupport::Run(testsupport::WithAdjtimexDenied({ORV_PROBE_PATH, "get"}));
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "0\n0 1 generic " + std::string(std::strerror(EPERM)) + "\n");
  EXPECT_EQ(testsupport::Run({ORV_PROBE_PATH, "get"}).out, "36\n36 0 system Success\n");
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

}  // namespace
