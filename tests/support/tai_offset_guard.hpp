// Restores the kernel's TAI offset that a test found, whatever the test did.
#pragma once

#include <orv/orv.hpp>

#include <chrono>

namespace testsupport {

class TaiOffsetGuard {
 public:
  TaiOffsetGuard() : saved(orv::GetTaiOffset()) {}
  TaiOffsetGuard(const TaiOffsetGuard&) = delete;
  TaiOffsetGuard& operator=(const TaiOffsetGuard&) = delete;
  ~TaiOffsetGuard() { orv::SetTaiOffset(saved); }

  std::chrono::seconds Saved() const { return saved; }

 private:
  std::chrono::seconds saved;
};

}  // namespace testsupport
