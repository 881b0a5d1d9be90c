#include <orv/orv.hpp>

#include <linux/ethtool.h>
#include <linux/net_tstamp.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

namespace {

// The request socket of one call; closed on every way out.
class RequestSocket {
 public:
  RequestSocket()
      : fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP)),
        openError(fd < 0 ? errno : 0) {}
  RequestSocket(const RequestSocket&) = delete;
  RequestSocket& operator=(const RequestSocket&) = delete;
  ~RequestSocket() {
    if (fd >= 0) {
      ::close(fd);
    }
  }

  // 0 when open, else the errno of socket().
  int OpenError() const { return openError; }
  int Descriptor() const { return fd; }

 private:
  int fd;
  int openError;
};

// The kernel reads only the first IFNAMSIZ - 1 bytes of a name, up to a NUL:
// a longer name, or one with a NUL inside, would reach another interface, and
// an empty one reaches none.
bool FitsInterfaceName(std::string_view ifname) {
  return !ifname.empty() && ifname.size() < IFNAMSIZ && ifname.find('\0') == ifname.npos;
}

ifreq InterfaceRequest(std::string_view ifname, void* data) {
  ifreq interface {};
  // The zeroed record keeps the name terminated.
  ifname.copy(interface.ifr_name, ifname.size());
  interface.ifr_data = static_cast<char*>(data);
  return interface;
}

void ReportReadError(int error) {
  if (error == ENOTTY) {
    std::cerr << "Kernel does not have support "
              << "for non-destructive SIOCGHWTSTAMP." << std::endl;
  } else if (error == EOPNOTSUPP) {
    std::cerr << "Device driver does not have support "
              << "for non-destructive SIOCGHWTSTAMP." << std::endl;
  } else {
    std::cerr << "SIOCGHWTSTAMP failed: " << std::strerror(error) << std::endl;
  }
}

void ReportWriteError(int error) {
  std::cerr << "SIOCSHWTSTAMP failed: " << std::strerror(error) << std::endl;
  if (error == ERANGE) {
    std::cerr << "The requested time stamping mode is "
              << "not supported by the hardware" << std::endl;
  }
}

// Returns 0, or the errno of the failed request taken before anything else
// can change it.
int Request(const RequestSocket& socket, unsigned long request, ifreq& interface) {
  if (::ioctl(socket.Descriptor(), request, &interface) == -1) {
    return errno;
  }
  return 0;
}

void ApplyRequested(const HwTstampOpts& requested, hwtstamp_config& config) {
  if (requested.tx_type != -1) {
    config.tx_type = requested.tx_type;
  }
  if (requested.rx_filter != -1) {
    config.rx_filter = requested.rx_filter;
  }
}

}  // namespace

int GetSetHwTstampOpts(const char* ifname, HwTstampOpts* opts) {
  if (ifname == nullptr || opts == nullptr) {
    std::cerr << "GetSetHwTstampOpts: interface name and options record must not be null"
              << std::endl;
    return -1;
  }
  // Refused before anything is opened.
  if (!FitsInterfaceName({ifname, ::strnlen(ifname, IFNAMSIZ)})) {
    std::cerr << "Interface name must be 1 to " << IFNAMSIZ - 1 << " bytes long (IFNAMSIZ is "
              << IFNAMSIZ << ")" << std::endl;
    return -1;
  }
  hwtstamp_config config{};
  ifreq interface = InterfaceRequest(ifname, &config);

  const RequestSocket socket;
  if (const int error = socket.OpenError()) {
    std::cerr << "ERROR creating socket: " << std::strerror(error) << std::endl;
    return -1;
  }
  if (const int error = Request(socket, SIOCGHWTSTAMP, interface)) {
    ReportReadError(error);
    return -1;
  }
  const HwTstampOpts requested = *opts;
  if (requested.tx_type != -1 || requested.rx_filter != -1) {
    ApplyRequested(requested, config);
    if (const int error = Request(socket, SIOCSHWTSTAMP, interface)) {
      ReportWriteError(error);
      return -1;
    }
  }
  // The driver's values, which after a write may differ from those requested.
  *opts = HwTstampOpts{config.tx_type, config.rx_filter};
  return 0;
}

int GetSocketOptValue(const char* name) {
  struct Option {
    const char* name;
    int value;
  };
  // Fixed x86-64 SOL_SOCKET numbers, independent of the headers' time64 choice.
  static constexpr Option OPTIONS[] = {
      {"SO_TIMESTAMP", 29}, {"SO_TIMESTAMPNS", 35}, {"SO_TIMESTAMPING", 37}};
  if (name == nullptr) {
    return -1;
  }
  for (const auto& option : OPTIONS) {
    if (std::strcmp(name, option.name) == 0) {
      return option.value;
    }
  }
  return -1;
}

namespace orv {

namespace {

// Sends one request about `ifname` on a socket of its own; 0 or the errno of
// what failed.
int RequestAbout(std::string_view ifname, unsigned long request, void* data) {
  if (!FitsInterfaceName(ifname)) {
    return ifname.size() >= IFNAMSIZ ? ENAMETOOLONG : EINVAL;
  }
  ifreq interface = InterfaceRequest(ifname, data);
  const RequestSocket socket;
  if (const int error = socket.OpenError()) {
    return error;
  }
  return Request(socket, request, interface);
}

}  // namespace

TimestampingCapabilities GetTimestampingCapabilities(std::string_view ifname,
                                                     std::error_code& error) noexcept {
  ethtool_ts_info info{};
  info.cmd = ETHTOOL_GET_TS_INFO;
  if (const int failure = RequestAbout(ifname, SIOCETHTOOL, &info)) {
    error.assign(failure, std::generic_category());
    return {};
  }
  error.clear();
  return {info.so_timestamping, info.phc_index, info.tx_types, info.rx_filters};
}

TimestampingConfig GetTimestampingConfig(std::string_view ifname, std::error_code& error) noexcept {
  hwtstamp_config config{};
  if (const int failure = RequestAbout(ifname, SIOCGHWTSTAMP, &config)) {
    error.assign(failure, std::generic_category());
    return {};
  }
  error.clear();
  return {config.flags, config.tx_type, config.rx_filter};
}

}  // namespace orv
