// Stands in, through LD_PRELOAD, for a network driver with hardware
// timestamping, which no interface of a test machine has. It answers
// SIOCGHWTSTAMP, SIOCSHWTSTAMP and SIOCETHTOOL's ETHTOOL_GET_TS_INFO for one
// interface name and hands every other request to the real ioctl. Driven by
// the environment, read on every call:
//   ORVTEST_HWTSTAMP_IF           the interface it answers for
//   ORVTEST_TS_INFO               "so_timestamping phc_index tx_types rx_filters"
//                                 that ETHTOOL_GET_TS_INFO reports (default: a
//                                 hardware clock /dev/ptp0, TX off and on, RX
//                                 none, all and ptpv2-event)
//   ORVTEST_HWTSTAMP_STATE        file with "flags tx_type rx_filter" in force
//   ORVTEST_HWTSTAMP_READ_ERRNO   SIOCGHWTSTAMP fails with this error number
//   ORVTEST_HWTSTAMP_WRITE_ERRNO  SIOCSHWTSTAMP fails with this error number
//   ORVTEST_HWTSTAMP_WIDE_RX      filter put in force for any non-zero filter asked
//   ORVTEST_HWTSTAMP_LOG          file that gets one line per request answered
//   ORVTEST_SOCKET_ERRNO          socket() fails with this error number
// It also stands in for the interface's PTP hardware clock: /dev/ptpN opens
// with open() (as a memfd that the other calls recognise) and answers PTP_CLOCK_GETCAPS,
// the PTP_SYS_OFFSET* requests, old and *2 numbers, and clock_gettime on the
// descriptor's clock id (clock_adjtime too, to read), logging each request to
// ORVTEST_HWTSTAMP_LOG:
//   ORVTEST_PHC                   N of the /dev/ptpN it answers for
//   ORVTEST_PHC_OPEN_ERRNO        opening it fails with this error number
//   ORVTEST_PHC_ERRNO             every request fails with this error number
//   ORVTEST_PHC_METHODS           what it offers of "precise extended basic"
//                                 (default: all); the rest fail with EOPNOTSUPP
//   ORVTEST_PHC_OLD_NUMBERS       1: the *2 numbers fail with ENOTTY
//   ORVTEST_PHC_BUSY              the first N offset requests of each open
//                                 device fail with EBUSY
//   ORVTEST_PHC_CLOCK             "tai" (default) or "realtime": what it follows
//   ORVTEST_PHC_OFFSET_NS         its offset from that clock
//   ORVTEST_PHC_WINDOWS_NS        read delays of successive samples, "a,b,...",
//                                 repeated (default 1000)
//   ORVTEST_ADJTIMEX_ERRNO        adjtimex fails with this error number
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/net_tstamp.h>
#include <linux/ptp_clock.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timex.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#define FAKE_EXPORT __attribute__((visibility("default")))

namespace {

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

std::optional<int> Setting(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') {
    return std::nullopt;
  }
  return std::atoi(text);
}

bool IsFakeInterface(const ifreq& request) {
  const char* name = std::getenv("ORVTEST_HWTSTAMP_IF");
  return name != nullptr && std::strncmp(request.ifr_name, name, IFNAMSIZ) == 0;
}

int SocketOption(int fd, int option) {
  int value = -1;
  socklen_t length = sizeof value;
  ::getsockopt(fd, SOL_SOCKET, option, &value, &length);
  return value;
}

// "SIOCSHWTSTAMP socket=2/2/17 name=<16 bytes in hex> flags=0 tx_type=1 rx_filter=12"
void Log(const char* request, int fd, const ifreq& interface, const hwtstamp_config& config) {
  const char* path = std::getenv("ORVTEST_HWTSTAMP_LOG");
  std::FILE* log = path != nullptr ? std::fopen(path, "a") : nullptr;
  if (log == nullptr) {
    return;
  }
  std::fprintf(log, "%s socket=%d/%d/%d name=", request, SocketOption(fd, SO_DOMAIN),
               SocketOption(fd, SO_TYPE), SocketOption(fd, SO_PROTOCOL));
  for (const char byte : interface.ifr_name) {
    std::fprintf(log, "%02x", static_cast<unsigned char>(byte));
  }
  std::fprintf(log, " flags=%d tx_type=%d rx_filter=%d\n", config.flags, config.tx_type,
               config.rx_filter);
  std::fclose(log);
}

hwtstamp_config LoadState() {
  hwtstamp_config config{};
  const char* path = std::getenv("ORVTEST_HWTSTAMP_STATE");
  if (std::FILE* state = path != nullptr ? std::fopen(path, "r") : nullptr) {
    if (std::fscanf(state, "%d %d %d", &config.flags, &config.tx_type, &config.rx_filter) != 3) {
      config = hwtstamp_config{};
    }
    std::fclose(state);
  }
  return config;
}

void SaveState(const hwtstamp_config& config) {
  const char* path = std::getenv("ORVTEST_HWTSTAMP_STATE");
  if (std::FILE* state = path != nullptr ? std::fopen(path, "w") : nullptr) {
    std::fprintf(state, "%d %d %d\n", config.flags, config.tx_type, config.rx_filter);
    std::fclose(state);
  }
}

int Fail(int error) {
  errno = error;
  return -1;
}

int ReadConfig(int fd, ifreq& interface) {
  auto& config = *reinterpret_cast<hwtstamp_config*>(interface.ifr_data);
  Log("SIOCGHWTSTAMP", fd, interface, config);
  if (const auto error = Setting("ORVTEST_HWTSTAMP_READ_ERRNO")) {
    return Fail(*error);
  }
  config = LoadState();
  return 0;
}

// Like a real driver, it reports back what it has put in force.
int WriteConfig(int fd, ifreq& interface) {
  auto& config = *reinterpret_cast<hwtstamp_config*>(interface.ifr_data);
  Log("SIOCSHWTSTAMP", fd, interface, config);
  if (const auto error = Setting("ORVTEST_HWTSTAMP_WRITE_ERRNO")) {
    return Fail(*error);
  }
  const auto wide = Setting("ORVTEST_HWTSTAMP_WIDE_RX");
  if (wide && config.rx_filter != HWTSTAMP_FILTER_NONE) {
    config.rx_filter = *wide;
  }
  SaveState(config);
  return 0;
}

int ReadTsInfo(ifreq& interface) {
  auto& info = *reinterpret_cast<ethtool_ts_info*>(interface.ifr_data);
  info.so_timestamping = SOF_TIMESTAMPING_TX_HARDWARE | SOF_TIMESTAMPING_TX_SOFTWARE |
                         SOF_TIMESTAMPING_RX_HARDWARE | SOF_TIMESTAMPING_RX_SOFTWARE |
                         SOF_TIMESTAMPING_SOFTWARE | SOF_TIMESTAMPING_RAW_HARDWARE;
  info.phc_index = 0;
  info.tx_types = (1u << HWTSTAMP_TX_OFF) | (1u << HWTSTAMP_TX_ON);
  info.rx_filters = (1u << HWTSTAMP_FILTER_NONE) | (1u << HWTSTAMP_FILTER_ALL) |
                    (1u << HWTSTAMP_FILTER_PTP_V2_EVENT);
  if (const char* text = std::getenv("ORVTEST_TS_INFO")) {
    std::sscanf(text, "%u %d %u %u", &info.so_timestamping, &info.phc_index, &info.tx_types,
                &info.rx_filters);
  }
  return 0;
}

bool IsTsInfoRequest(const ifreq& interface) {
  return *reinterpret_cast<const std::uint32_t*>(interface.ifr_data) == ETHTOOL_GET_TS_INFO;
}

constexpr char PHC_NAME[] = "orvtest-ptp";
// What /proc/self/fd shows for its descriptors.
constexpr char PHC_LINK[] = "/memfd:orvtest-ptp";

bool IsFakePhcPath(const char* path) {
  const auto index = Setting("ORVTEST_PHC");
  char fake[32];
  return index && std::snprintf(fake, sizeof fake, "/dev/ptp%d", *index) > 0 &&
         std::strcmp(path, fake) == 0;
}

int OpenFakePhc(int flags) {
  if (const auto error = Setting("ORVTEST_PHC_OPEN_ERRNO")) {
    return Fail(*error);
  }
  return ::memfd_create(PHC_NAME, (flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0);
}

bool IsFakePhc(int fd) {
  char link[32];
  char target[64] = {};
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  return ::readlink(link, target, sizeof target - 1) > 0 &&
         std::strncmp(target, PHC_LINK, sizeof PHC_LINK - 1) == 0;
}

// A dynamic clock id names a descriptor: (~fd << 3) | 3.
bool IsFakePhcClock(clockid_t clock) {
  return clock < 0 && (clock & 7) == 3 && IsFakePhc(~(clock >> 3));
}

bool NeedsMode(int flags) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

bool Offers(const char* method) {
  const char* methods = std::getenv("ORVTEST_PHC_METHODS");
  return methods == nullptr || std::strstr(methods, method) != nullptr;
}

std::int64_t Now(clockid_t clock) {
  static const auto real = Next<int (*)(clockid_t, timespec*)>("clock_gettime");
  timespec now{};
  real(clock, &now);
  return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

// As the kernel writes times before 1970: whole seconds rounded down, and
// nanoseconds from 0 to 999999999.
ptp_clock_time Stamp(std::int64_t nanoseconds) {
  const std::int64_t below = nanoseconds % 1'000'000'000 < 0 ? 1 : 0;
  return {nanoseconds / 1'000'000'000 - below,
          static_cast<std::uint32_t>(nanoseconds % 1'000'000'000 + below * 1'000'000'000), 0};
}

// The PHC's reading at CLOCK_REALTIME `realtime`.
std::int64_t PhcAt(std::int64_t realtime) {
  std::int64_t followed = realtime;
  const char* clock = std::getenv("ORVTEST_PHC_CLOCK");
  if (clock == nullptr || std::strcmp(clock, "realtime") != 0) {
    // CLOCK_TAI runs the kernel's TAI offset, whole seconds, ahead.
    followed += std::llround((Now(CLOCK_TAI) - realtime) / 1e9) * 1'000'000'000LL;
  }
  const char* offset = std::getenv("ORVTEST_PHC_OFFSET_NS");
  return followed + (offset != nullptr ? std::atoll(offset) : 0);
}

std::vector<std::int64_t> Windows() {
  std::vector<std::int64_t> windows;
  const char* text = std::getenv("ORVTEST_PHC_WINDOWS_NS");
  for (char* end = nullptr; text != nullptr && *text != '\0'; text = *end == ',' ? end + 1 : end) {
    windows.push_back(std::strtoll(text, &end, 10));
  }
  return windows.empty() ? std::vector<std::int64_t>{1000} : windows;
}

// Each sample: CLOCK_REALTIME before, the PHC at the middle, and after.
template <typename Record>
void Sample(Record& stamps, unsigned count, ptp_clock_time* (*at)(Record&, unsigned, int)) {
  const auto windows = Windows();
  std::int64_t before = Now(CLOCK_REALTIME);
  for (unsigned i = 0; i < count; ++i) {
    const std::int64_t window = windows[i % windows.size()];
    *at(stamps, i, 0) = Stamp(before);
    *at(stamps, i, 1) = Stamp(PhcAt(before + window / 2));
    *at(stamps, i, 2) = Stamp(before + window);
    before += window;
  }
}

// The first ORVTEST_PHC_BUSY offset requests of a device fail; the memfd's
// size counts them.
bool Busy(int fd) {
  struct stat status {};
  const auto busy = Setting("ORVTEST_PHC_BUSY");
  if (!busy || ::fstat(fd, &status) != 0 || status.st_size >= *busy) {
    return false;
  }
  return ::ftruncate(fd, status.st_size + 1) == 0;
}

int AnswerPtp(int fd, unsigned long request, void* argument) {
  if (const auto error = Setting("ORVTEST_PHC_ERRNO")) {
    return Fail(*error);
  }
  const unsigned number = _IOC_NR(request);
  if (number >= _IOC_NR(PTP_CLOCK_GETCAPS2) &&
      Setting("ORVTEST_PHC_OLD_NUMBERS").value_or(0) != 0) {
    return Fail(ENOTTY);
  }
  if (request == PTP_CLOCK_GETCAPS || request == PTP_CLOCK_GETCAPS2) {
    auto& caps = *static_cast<ptp_clock_caps*>(argument);
    caps = ptp_clock_caps{};
    caps.max_adj = 1'000'000'000;
    caps.cross_timestamping = Offers("precise") ? 1 : 0;
    return 0;
  }
  const bool precise = request == PTP_SYS_OFFSET_PRECISE || request == PTP_SYS_OFFSET_PRECISE2;
  const bool extended = request == PTP_SYS_OFFSET_EXTENDED || request == PTP_SYS_OFFSET_EXTENDED2;
  const bool basic = request == PTP_SYS_OFFSET || request == PTP_SYS_OFFSET2;
  if (!precise && !extended && !basic) {
    return Fail(ENOTTY);
  }
  if (!Offers(precise ? "precise" : extended ? "extended" : "basic")) {
    return Fail(EOPNOTSUPP);
  }
  if (Busy(fd)) {
    return Fail(EBUSY);
  }
  if (precise) {
    auto& stamps = *static_cast<ptp_sys_offset_precise*>(argument);
    const std::int64_t now = Now(CLOCK_REALTIME);
    stamps.device = Stamp(PhcAt(now));
    stamps.sys_realtime = Stamp(now);
    stamps.sys_monoraw = Stamp(Now(CLOCK_MONOTONIC_RAW));
    return 0;
  }
  // Both hold n_samples first.
  const unsigned count = *static_cast<const unsigned*>(argument);
  if (count > PTP_MAX_SAMPLES) {
    return Fail(EINVAL);
  }
  if (extended) {
    Sample<ptp_sys_offset_extended>(
        *static_cast<ptp_sys_offset_extended*>(argument), count,
        [](ptp_sys_offset_extended& record, unsigned i, int part) { return &record.ts[i][part]; });
  } else {
    // Neighbouring samples share the system reading between them.
    Sample<ptp_sys_offset>(*static_cast<ptp_sys_offset*>(argument), count,
                           [](ptp_sys_offset& record, unsigned i, int part) {
                             return &record.ts[2 * i + static_cast<unsigned>(part)];
                           });
  }
  return 0;
}

// "PTP 18 n_samples=9 errno=0": the request's number, and for offsets the
// samples asked.
void LogPtp(unsigned long request, const void* argument, int result) {
  const char* path = std::getenv("ORVTEST_HWTSTAMP_LOG");
  std::FILE* log = path != nullptr ? std::fopen(path, "a") : nullptr;
  if (log == nullptr) {
    return;
  }
  std::fprintf(log, "PTP %u", static_cast<unsigned>(_IOC_NR(request)));
  if (request == PTP_SYS_OFFSET || request == PTP_SYS_OFFSET2 ||
      request == PTP_SYS_OFFSET_EXTENDED || request == PTP_SYS_OFFSET_EXTENDED2) {
    std::fprintf(log, " n_samples=%u", *static_cast<const unsigned*>(argument));
  }
  std::fprintf(log, " errno=%d\n", result == 0 ? 0 : errno);
  std::fclose(log);
}

}  // namespace

extern "C" {

FAKE_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept {
  std::va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  if (request == SIOCGHWTSTAMP || request == SIOCSHWTSTAMP) {
    auto& interface = *static_cast<ifreq*>(argument);
    if (IsFakeInterface(interface)) {
      return request == SIOCGHWTSTAMP ? ReadConfig(fd, interface) : WriteConfig(fd, interface);
    }
  }
  if (request == SIOCETHTOOL) {
    auto& interface = *static_cast<ifreq*>(argument);
    if (IsFakeInterface(interface) && IsTsInfoRequest(interface)) {
      return ReadTsInfo(interface);
    }
  }
  if (_IOC_TYPE(request) == PTP_CLK_MAGIC && IsFakePhc(fd)) {
    const int result = AnswerPtp(fd, request, argument);
    const int error = errno;
    LogPtp(request, argument, result);
    errno = error;
    return result;
  }
  static const auto real = Next<int (*)(int, unsigned long, ...)>("ioctl");
  return real(fd, request, argument);
}

FAKE_EXPORT int open(const char* path, int flags, ...) {
  if (IsFakePhcPath(path)) {
    return OpenFakePhc(flags);
  }
  std::va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = NeedsMode(flags) ? va_arg(arguments, mode_t) : 0;
  va_end(arguments);
  static const auto real = Next<int (*)(const char*, int, ...)>("open");
  return real(path, flags, mode);
}

// The same function in the C library.
FAKE_EXPORT int open64(const char* path, int flags, ...) __attribute__((alias("open")));

FAKE_EXPORT int clock_gettime(clockid_t clock, timespec* now) noexcept {
  if (IsFakePhcClock(clock)) {
    if (const auto error = Setting("ORVTEST_PHC_ERRNO")) {
      return Fail(*error);
    }
    const std::int64_t phc = PhcAt(Now(CLOCK_REALTIME));
    *now = {phc / 1'000'000'000, phc % 1'000'000'000};
    return 0;
  }
  static const auto real = Next<int (*)(clockid_t, timespec*)>("clock_gettime");
  return real(clock, now);
}

// Reads only (phc_ctl reads to check that the device is a clock).
FAKE_EXPORT int clock_adjtime(clockid_t clock, timex* request) noexcept {
  if (IsFakePhcClock(clock)) {
    if (const auto error = Setting("ORVTEST_PHC_ERRNO")) {
      return Fail(*error);
    }
    return request->modes == 0 ? TIME_OK : Fail(EOPNOTSUPP);
  }
  static const auto real = Next<int (*)(clockid_t, timex*)>("clock_adjtime");
  return real(clock, request);
}

FAKE_EXPORT int adjtimex(timex* request) noexcept {
  if (const auto error = Setting("ORVTEST_ADJTIMEX_ERRNO")) {
    return Fail(*error);
  }
  static const auto real = Next<int (*)(timex*)>("adjtimex");
  return real(request);
}

FAKE_EXPORT int socket(int domain, int type, int protocol) noexcept {
  if (const auto error = Setting("ORVTEST_SOCKET_ERRNO")) {
    return Fail(*error);
  }
  static const auto real = Next<int (*)(int, int, int)>("socket");
  return real(domain, type, protocol);
}

// Lets a test see that it runs with this library preloaded.
FAKE_EXPORT extern const int orvtest_fake_driver_loaded = 1;

}  // extern "C"
