#include <orv/orv.hpp>

#include <fcntl.h>
#include <linux/ptp_clock.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace orv {

namespace {

// The *2 numbers are the current ones; kernels from before them know only the
// first.
struct RequestNumbers {
  unsigned long current;
  unsigned long old;
};
#ifdef PTP_SYS_OFFSET2
constexpr RequestNumbers PRECISE_REQUEST{PTP_SYS_OFFSET_PRECISE2, PTP_SYS_OFFSET_PRECISE};
constexpr RequestNumbers EXTENDED_REQUEST{PTP_SYS_OFFSET_EXTENDED2, PTP_SYS_OFFSET_EXTENDED};
constexpr RequestNumbers BASIC_REQUEST{PTP_SYS_OFFSET2, PTP_SYS_OFFSET};
#else
constexpr RequestNumbers PRECISE_REQUEST{PTP_SYS_OFFSET_PRECISE, PTP_SYS_OFFSET_PRECISE};
constexpr RequestNumbers EXTENDED_REQUEST{PTP_SYS_OFFSET_EXTENDED, PTP_SYS_OFFSET_EXTENDED};
constexpr RequestNumbers BASIC_REQUEST{PTP_SYS_OFFSET, PTP_SYS_OFFSET};
#endif

// A device may answer EBUSY while it serves another request.
constexpr int BUSY_ATTEMPTS = 5;

// The device of one call; closed on every way out.
class PhcDevice {
 public:
  explicit PhcDevice(int index) : fd(Open(index)), openError(fd < 0 ? errno : 0) {}
  PhcDevice(const PhcDevice&) = delete;
  PhcDevice& operator=(const PhcDevice&) = delete;
  ~PhcDevice() {
    if (fd >= 0) {
      ::close(fd);
    }
  }

  // 0 when open, else the errno of open().
  int OpenError() const { return openError; }

  // 0 or the errno of the request; a kernel that does not know the current
  // number is asked with the old one.
  int Request(const RequestNumbers& numbers, void* data) const {
    const int error = Ask(numbers.current, data);
    if ((error == ENOTTY || error == EINVAL) && numbers.old != numbers.current) {
      return Ask(numbers.old, data);
    }
    return error;
  }

 private:
  static int Open(int index) {
    char path[sizeof "/dev/ptp-2147483648"];
    std::snprintf(path, sizeof path, "/dev/ptp%d", index);
    // Reading needs no write access.
    return ::open(path, O_RDONLY | O_CLOEXEC);
  }

  int Ask(unsigned long request, void* data) const {
    for (int attempt = 1;; ++attempt) {
      if (::ioctl(fd, request, data) == 0) {
        return 0;
      }
      if (errno != EBUSY || attempt == BUSY_ATTEMPTS) {
        return errno;
      }
    }
  }

  int fd;
  int openError;
};

// later - earlier in nanoseconds; false when it does not fit.
bool Difference(const ptp_clock_time& later, const ptp_clock_time& earlier, std::int64_t& result) {
  std::int64_t seconds = 0;
  return !__builtin_sub_overflow(later.sec, earlier.sec, &seconds) &&
         !__builtin_mul_overflow(seconds, 1'000'000'000, &result) &&
         !__builtin_add_overflow(result, std::int64_t{later.nsec} - earlier.nsec, &result);
}

// Keeps, of the PHC readings offered, the one between the two closest
// readings of CLOCK_REALTIME.
class NarrowestSample {
 public:
  void Offer(const ptp_clock_time& before, const ptp_clock_time& phc, const ptp_clock_time& after) {
    ++offered;
    std::int64_t window = 0;
    std::int64_t sinceBefore = 0;
    std::int64_t offset = 0;
    if (!Difference(after, before, window) || !Difference(phc, before, sinceBefore) ||
        __builtin_sub_overflow(sinceBefore, window / 2, &offset)) {
      overflow = true;
      return;
    }
    // A window that runs backwards measured a step of CLOCK_REALTIME.
    if (window < 0 || (kept && window >= kept->window.count())) {
      return;
    }
    kept = Sample{std::chrono::nanoseconds{offset}, std::chrono::nanoseconds{window}};
  }

  // 0 and the sample kept in `result`, else the errno that says why none is.
  int Result(PhcMethod method, PhcOffset& result) const {
    if (overflow) {
      return EOVERFLOW;
    }
    if (!kept) {
      return EAGAIN;
    }
    result.realtime = kept->offset;
    result.window = kept->window;
    result.method = method;
    result.samples = offered;
    return 0;
  }

 private:
  struct Sample {
    std::chrono::nanoseconds offset;  // PHC - CLOCK_REALTIME at the window's middle
    std::chrono::nanoseconds window;
  };

  std::optional<Sample> kept;
  int offered = 0;
  bool overflow = false;
};

// A hardware cross-timestamp has no window to choose by, so one is taken.
int ReadPrecise(const PhcDevice& device, int, NarrowestSample& samples) {
  ptp_sys_offset_precise request{};
  if (const int error = device.Request(PRECISE_REQUEST, &request)) {
    return error;
  }
  samples.Offer(request.sys_realtime, request.device, request.sys_realtime);
  return 0;
}

int ReadExtended(const PhcDevice& device, int count, NarrowestSample& samples) {
  ptp_sys_offset_extended request{};
  request.n_samples = count;
  if (const int error = device.Request(EXTENDED_REQUEST, &request)) {
    return error;
  }
  for (int i = 0; i < count; ++i) {
    samples.Offer(request.ts[i][0], request.ts[i][1], request.ts[i][2]);
  }
  return 0;
}

// System and PHC readings alternate, starting and ending with the system's.
int ReadBasic(const PhcDevice& device, int count, NarrowestSample& samples) {
  ptp_sys_offset request{};
  request.n_samples = count;
  if (const int error = device.Request(BASIC_REQUEST, &request)) {
    return error;
  }
  for (int i = 0; i < count; ++i) {
    samples.Offer(request.ts[2 * i], request.ts[2 * i + 1], request.ts[2 * i + 2]);
  }
  return 0;
}

// The driver lacks the method, or the kernel the request.
bool IsNotOffered(int error) {
  return error == EOPNOTSUPP || error == ENOTTY || error == EINVAL;
}

int ReadBestOffered(int phcIndex, int count, PhcOffset& result) {
  if (phcIndex < 0 || count < 1 || count > MAX_PHC_SAMPLES) {
    return EINVAL;
  }
  const PhcDevice device(phcIndex);
  if (const int error = device.OpenError()) {
    return error;
  }
  struct Method {
    PhcMethod method;
    int (*read)(const PhcDevice&, int, NarrowestSample&);
  };
  static constexpr Method METHODS[] = {{PhcMethod::PRECISE, ReadPrecise},
                                       {PhcMethod::EXTENDED, ReadExtended},
                                       {PhcMethod::BASIC, ReadBasic}};
  for (const auto& [method, read] : METHODS) {
    NarrowestSample samples;
    const int error = read(device, count, samples);
    if (IsNotOffered(error)) {
      continue;
    }
    return error != 0 ? error : samples.Result(method, result);
  }
  return EOPNOTSUPP;
}

}  // namespace

PhcOffset GetPhcOffset(int phcIndex, std::error_code& error, int samples) noexcept {
  PhcOffset result;
  if (const int failure = ReadBestOffered(phcIndex, samples, result)) {
    error.assign(failure, std::generic_category());
    return {};
  }
  error.clear();
  // Right after the PHC, so that both belong to the same second.
  const auto taiOffset = GetTaiOffset(result.taiOffsetError);
  if (!result.taiOffsetError) {
    result.taiOffset = taiOffset;
    // A PHC about 292 years from CLOCK_TAI.
    if (!result.Tai()) {
      error.assign(EOVERFLOW, std::generic_category());
      return {};
    }
  }
  return result;
}

}  // namespace orv
