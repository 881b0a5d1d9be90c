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
#include <dlfcn.h>
#include <linux/ethtool.h>
#include <linux/net_tstamp.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

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
  static const auto real = Next<int (*)(int, unsigned long, ...)>("ioctl");
  return real(fd, request, argument);
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
