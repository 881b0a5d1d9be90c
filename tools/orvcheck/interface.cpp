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

struct Named {
  std::string_view name;
  std::int64_t value;
};

nlohmann::ordered_json ToJson(const Named& named) {
  return {{"name", named.name}, {"value", named.value}};
}

std::string ToText(const Named& named) {
  return fmt::format("{}({})", named.name, named.value);
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

nlohmann::ordered_json ToJson(const std::vector<Named>& list) {
  auto json = nlohmann::ordered_json::array();
  for (const auto& named : list) {
    json.push_back(ToJson(named));
  }
  return json;
}

std::string ToText(const std::vector<Named>& list) {
  if (list.empty()) {
    return "none";
  }
  std::string text;
  for (const auto& named : list) {
    if (!text.empty()) {
      text += ' ';
    }
    text += ToText(named);
  }
  return text;
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

CheckResult Result(const std::string& name, State state, std::string message) {
  CheckResult result;
  result.check = "interface";
  result.interface = name;
  result.state = state;
  result.message = std::move(message);
  return result;
}

void AddCapabilities(CheckResult& result, const ethtool_ts_info& info) {
  const auto flags = SetBits(info.so_timestamping, FLAG_NAMES, true);
  const auto txTypes = SetBits(info.tx_types, TX_TYPE_NAMES, false);
  const auto rxFilters = SetBits(info.rx_filters, RX_FILTER_NAMES, false);
  result.values["capabilities"] = {{"flags", ToJson(flags)},
                                   {"phc", info.phc_index >= 0 ? nlohmann::ordered_json(fmt::format(
                                                                     "/dev/ptp{}", info.phc_index))
                                                               : nlohmann::ordered_json(nullptr)},
                                   {"tx_types", ToJson(txTypes)},
                                   {"rx_filters", ToJson(rxFilters)}};
  const bool hardware = (info.so_timestamping & HARDWARE_TIMESTAMPING) == HARDWARE_TIMESTAMPING;
  result.metrics.push_back({"interface_hardware_timestamping_supported",
                            "1 when the interface can timestamp in hardware", hardware ? 1 : 0});
  result.metrics.push_back({"interface_phc_index",
                            "The interface's PTP hardware clock /dev/ptpN, -1 for none",
                            info.phc_index});
  result.message = fmt::format(
      "flags {}; phc {}; tx types {}; rx filters {}", ToText(flags),
      info.phc_index >= 0 ? fmt::format("/dev/ptp{}", info.phc_index) : std::string("none"),
      ToText(txTypes), ToText(rxFilters));
}

void AddConfiguration(CheckResult& result, const hwtstamp_config& config) {
  const Named tx{NameOf(TX_TYPE_NAMES, static_cast<std::uint32_t>(config.tx_type)), config.tx_type};
  const Named rx{NameOf(RX_FILTER_NAMES, static_cast<std::uint32_t>(config.rx_filter)),
                 config.rx_filter};
  result.values["configuration"] = {{"tx_type", ToJson(tx)}, {"rx_filter", ToJson(rx)}};
  result.metrics.push_back(
      {"interface_tx_type", "Transmit timestamping type in force (0 off)", config.tx_type});
  result.metrics.push_back(
      {"interface_rx_filter", "Receive timestamping filter in force (0 none)", config.rx_filter});
  result.message = fmt::format("tx {}, rx {}; {}", ToText(tx), ToText(rx), result.message);
}

Metric EnabledMetric(bool on) {
  return {"interface_hardware_timestamping_enabled", "1 when hardware timestamping is switched on",
          on ? 1 : 0};
}

}  // namespace

CheckResult CheckInterface(const std::string& name) {
  const RequestSocket socket;
  if (const int error = socket.OpenError()) {
    return Result(name, State::UNKNOWN, "cannot open a socket: " + Reason(error));
  }
  // The kernel reads only the first IFNAMSIZ - 1 bytes: a longer name would
  // check another interface.
  if (name.size() >= IFNAMSIZ) {
    return Result(name, State::CRITICAL, "no such interface: the name is too long");
  }
  ethtool_ts_info info{};
  info.cmd = ETHTOOL_GET_TS_INFO;
  if (const int error = socket.Request(name, SIOCETHTOOL, &info)) {
    return error == ENODEV ? Result(name, State::CRITICAL, "no such interface")
                           : Result(name, State::UNKNOWN,
                                    "cannot read the timestamping capabilities: " + Reason(error));
  }
  CheckResult result = Result(name, State::OK, "");
  AddCapabilities(result, info);
  if ((info.so_timestamping & HARDWARE_TIMESTAMPING) != HARDWARE_TIMESTAMPING) {
    result.state = State::CRITICAL;
    result.message = "no hardware timestamping; " + result.message;
    result.metrics.push_back(EnabledMetric(false));
    return result;
  }
  hwtstamp_config config{};
  if (const int error = socket.Request(name, SIOCGHWTSTAMP, &config)) {
    result.state = State::UNKNOWN;
    result.values["configuration"] = nullptr;
    result.message = "configuration unreadable: " + Reason(error) + "; " + result.message;
    return result;
  }
  AddConfiguration(result, config);
  const bool on = config.tx_type != HWTSTAMP_TX_OFF && config.rx_filter != HWTSTAMP_FILTER_NONE;
  result.state = on ? State::OK : State::WARNING;
  result.message =
      (on ? "hardware timestamping on: " : "hardware timestamping off: ") + result.message;
  result.metrics.push_back(EnabledMetric(on));
  return result;
}

}  // namespace orvcheck
