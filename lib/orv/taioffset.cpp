#include <orv/orv.hpp>

#include <sys/timex.h>

#include <cerrno>

namespace orv {

std::chrono::seconds GetTaiOffset() {
  // 0 when unreadable.
  std::error_code ignored;
  return GetTaiOffset(ignored);
}

std::chrono::seconds GetTaiOffset(std::error_code& error) noexcept {
  timex request{};
  if (::adjtimex(&request) == -1) {
    error.assign(errno, std::generic_category());
    return std::chrono::seconds::zero();
  }
  error.clear();
  return std::chrono::seconds{request.tai};
}

std::error_code SetTaiOffset(std::chrono::seconds offset) {
  timex request{};
  request.modes = ADJ_TAI;
  request.constant = offset.count();
  if (::adjtimex(&request) == -1) {
    return {errno, std::generic_category()};
  }
  // Linux ignores a value outside 0..100000 yet reports success; the offset
  // the same call hands back tells whether the request took effect.
  if (request.tai != offset.count()) {
    return {EINVAL, std::generic_category()};
  }
  return {};
}

KernelLeapState GetKernelLeapState(std::error_code& error) noexcept {
  timex request{};
  const int state = ::adjtimex(&request);
  if (state == -1) {
    error.assign(errno, std::generic_category());
    return {};
  }
  error.clear();
  // The kernel inserts when both are set, so STA_INS decides first.
  const int leap = (request.status & STA_INS) != 0 ? 1 : (request.status & STA_DEL) != 0 ? -1 : 0;
  return {static_cast<ClockState>(state), leap, (request.status & STA_UNSYNC) != 0,
          std::chrono::seconds{request.tai}};
}

}  // namespace orv
