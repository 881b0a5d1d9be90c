#include "checks.hpp"

#include <linux/ethtool.h>
#include <linux/net_tstamp.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <system_error>

namespace orvcheck {

namespace {

// Names as the kernel's ethtool interface gives them; the flags are indexed
// by bit, the transmit types and receive filters by value.
constexpr std::string_view FLAG_NAMES[] = {
    "hardware-transmit",     "software-transmit",     "hardware-receive",   "software-receive",
    "software-system-clock", "hardware-legacy-clock", "hardware-raw-clock", "option-id",
    "sched-transmit",        "ack-transmit",          "option-cmsg",        "option-tsonly",
    "option-stats",          "option-pktinfo",        "option-tx-swhw",     "bind-phc",
    "option-id-tcp"};
constexpr std::string_view TX_TYPE_NAMES[] = {"off", "on", "onestep-sync", "onestep-p2p"};
constexpr std::string_view RX_FILTER_NAMES[] = {
    "none",           "all",           "some",
    "ptpv1-l4-event", "ptpv1-l4-sync", "ptpv1-l4-delay-req",
    "ptpv2-l4-event", "ptpv2-l4-sync", "ptpv2-l4-delay-req",
    "ptpv2-l2-event", "ptpv2-l2-sync", "ptpv2-l2-delay-req",
    "ptpv2-event",    "ptpv2-sync",    "ptpv2-delay-req",
    "ntp-all"};

constexpr std::uint32_t HARDWARE_TIMESTAMPING =
    SOF_TIMESTAMPING_TX_HARDWARE | SOF_TIMESTAMPING_RX_HARDWARE | SOF_TIMESTAMPING_RAW_HARDWARE;

template <std::size_t N>
std::string_view NameOf(const std::string_view (&names)[N], std::uint32_t index) {
  return index < N ? names[index] : "unknown";
}

// The set bits of `mask`; `byBit` names a flag by its bit number and gives
// the flag's own value, the others name an enumeration value.
template <std::size_t N>
std::vector<Named> SetBits(std::uint32_t mask, const std::string_view (&names)[N], bool byBit) {
  std::vector<Named> set;
  for (std::uint32_t bit = 0; bit < 32; ++bit) {
    if ((mask & (1u << bit)) != 0) {
      set.push_back({NameOf(names, bit), byBit ? std::int64_t{1} << bit : bit});
    }
  }
  return set;
}

// A datagram socket serves as the handle for both requests; it needs no
// privilege.
class RequestSocket {
 public:
  RequestSocket()
      : fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), openError(fd < 0 ? errno : 0) {}
  RequestSocket(const RequestSocket&) = delete;
  RequestSocket& operator=(const RequestSocket&) = delete;
  ~RequestSocket() {
    if (fd >= 0) {
      ::close(fd);
    }
  }

  // 0 on success, else the request's errno.
  int Request(const std::string& name, unsigned long request, void* data) const {
    ifreq interface {};
    std::strncpy(interface.ifr_name, name.c_str(), IFNAMSIZ - 1);
    interface.ifr_data = static_cast<char*>(data);
    return ::ioctl(fd, request, &interface) == 0 ? 0 : errno;
  }

  int OpenError() const { return openError; }

 private:
  int fd;
  int openError;
};

std::string Reason(int error) {
  return std::generic_category().message(error);
}

Series InfoLabel(std::string label) {
  return {.name = "interface_info",
          .help =
              "The interface's PTP hardware clock and timestamping configuration in force, "
              "as labels",
          .infoLabel = std::move(label)};
}

Fact Supported(bool supported, std::string text) {
  return {"hardware_timestamping/supported", supported, std::move(text),
          Series{.name = "interface_hardware_timestamping_supported",
                 .help = "1 when the interface can timestamp in hardware"}};
}

Fact Enabled(bool on, std::string text) {
  return {"hardware_timestamping/enabled", on, std::move(text),
          Series{.name = "interface_hardware_timestamping_enabled",
                 .help = "1 when hardware timestamping is switched on"}};
}

void RecordCapabilities(CheckResult& result, const ethtool_ts_info& info) {
  result.Record(
      {"capabilities/flags", SetBits(info.so_timestamping, FLAG_NAMES, true), "flags {}; "});
  result.Record({"capabilities/phc",
                 info.phc_index >= 0 ? Value(fmt::format("/dev/ptp{}", info.phc_index)) : Value(),
                 "phc {}; ", InfoLabel("phc")});
  result.Record(
      {"capabilities/tx_types", SetBits(info.tx_types, TX_TYPE_NAMES, false), "tx types {}; "});
  result.Record({"capabilities/rx_filters", SetBits(info.rx_filters, RX_FILTER_NAMES, false),
                 "rx filters {}"});
}

}  // namespace

CheckResult CheckInterface(const std::string& name) {
  CheckResult result{.check = "interface", .interface = name};
  const RequestSocket socket;
  if (const int error = socket.OpenError()) {
    result.Say("cannot open a socket: " + Reason(error));
    return result;
  }
  // The kernel reads only the first IFNAMSIZ - 1 bytes: a longer name would
  // check another interface.
  if (name.size() >= IFNAMSIZ) {
    result.state = State::CRITICAL;
    result.Say("no such interface: the name is too long");
    return result;
  }
  ethtool_ts_info info{};
  info.cmd = ETHTOOL_GET_TS_INFO;
  if (const int error = socket.Request(name, SIOCETHTOOL, &info)) {
    result.state = error == ENODEV ? State::CRITICAL : State::UNKNOWN;
    result.Say(error == ENODEV ? "no such interface"
                               : "cannot read the timestamping capabilities: " + Reason(error));
    return result;
  }
  if ((info.so_timestamping & HARDWARE_TIMESTAMPING) != HARDWARE_TIMESTAMPING) {
    result.state = State::CRITICAL;
    result.Record(Supported(false, "no hardware timestamping; "));
    RecordCapabilities(result, info);
    result.Record(Enabled(false, ""));
    return result;
  }
  hwtstamp_config config{};
  if (const int error = socket.Request(name, SIOCGHWTSTAMP, &config)) {
    result.state = State::UNKNOWN;
    result.Record(Supported(true, ""));
    result.Say("configuration unreadable: " + Reason(error) + "; ");
    result.Record({"configuration", Value(), ""});
    RecordCapabilities(result, info);
    return result;
  }
  const bool on = config.tx_type != HWTSTAMP_TX_OFF && config.rx_filter != HWTSTAMP_FILTER_NONE;
  result.state = on ? State::OK : State::WARNING;
  result.Record(Enabled(on, on ? "hardware timestamping on: " : "hardware timestamping off: "));
  result.Record(
      {"configuration/tx_type",
       Named{NameOf(TX_TYPE_NAMES, static_cast<std::uint32_t>(config.tx_type)), config.tx_type},
       "tx {}, ", InfoLabel("tx_type")});
  result.Record({"configuration/rx_filter",
                 Named{NameOf(RX_FILTER_NAMES, static_cast<std::uint32_t>(config.rx_filter)),
                       config.rx_filter},
                 "rx {}; ", InfoLabel("rx_filter")});
  RecordCapabilities(result, info);
  result.Record(Supported(true, ""));
  return result;
}

}  // namespace orvcheck
