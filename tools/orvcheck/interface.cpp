#include "checks.hpp"

#include <orv/orv.hpp>

#include <linux/net_tstamp.h>

#include <fmt/format.h>

#include <charconv>
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

template <std::size_t N>
std::optional<std::int32_t> ValueOf(const std::string_view (&names)[N], std::string_view text) {
  for (std::size_t value = 0; value < N; ++value) {
    if (names[value] == text) {
      return static_cast<std::int32_t>(value);
    }
  }
  std::int32_t value = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value < 0) {
    return std::nullopt;
  }
  return value;
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

void RecordCapabilities(CheckResult& result, const orv::TimestampingCapabilities& capabilities) {
  result.Record(
      {"capabilities/flags", SetBits(capabilities.soTimestamping, FLAG_NAMES, true), "flags {}; "});
  result.Record({"capabilities/phc",
                 capabilities.phcIndex >= 0
                     ? Value(fmt::format("/dev/ptp{}", capabilities.phcIndex))
                     : Value(),
                 "phc {}; ", InfoLabel("phc")});
  result.Record({"capabilities/tx_types", SetBits(capabilities.txTypes, TX_TYPE_NAMES, false),
                 "tx types {}; "});
  result.Record({"capabilities/rx_filters", SetBits(capabilities.rxFilters, RX_FILTER_NAMES, false),
                 "rx filters {}"});
}

template <std::size_t N>
Named NamedValue(const std::string_view (&names)[N], std::int32_t value) {
  return {NameOf(names, static_cast<std::uint32_t>(value)), value};
}

// The value required of one setting, and in the message, when it drifted,
// the one in force beside it.
template <std::size_t N>
Fact Requirement(std::string key, std::string_view setting, const std::string_view (&names)[N],
                 std::optional<std::int32_t> required, std::int32_t inForce) {
  if (!required) {
    return {std::move(key), Value(), ""};
  }
  const Named shown = NamedValue(names, inForce);
  return {std::move(key), NamedValue(names, *required),
          *required == inForce ? ""
                               : fmt::format("{} {}({}) in force, {{}} required; ", setting,
                                             shown.name, shown.value)};
}

// Another program's timestamping request can change a driver's settings under
// the PTP daemon: what the operator requires is compared with what is in
// force. Returns whether they differ.
bool RecordDrift(CheckResult& result, const RequiredConfiguration& required,
                 const orv::TimestampingConfig& config) {
  if (!required.txType && !required.rxFilter) {
    return false;
  }
  const bool drift = (required.txType && *required.txType != config.txType) ||
                     (required.rxFilter && *required.rxFilter != config.rxFilter);
  result.Record({"configuration_drift", drift, drift ? "configuration drift: " : "",
                 Series{.name = "interface_configuration_drift",
                        .help = "1 when the TX type or RX filter in force differs from the one "
                                "required"}});
  result.Record(
      Requirement("required/tx_type", "tx", TX_TYPE_NAMES, required.txType, config.txType));
  result.Record(
      Requirement("required/rx_filter", "rx", RX_FILTER_NAMES, required.rxFilter, config.rxFilter));
  return drift;
}

}  // namespace

std::optional<std::int32_t> TxTypeValue(std::string_view text) {
  return ValueOf(TX_TYPE_NAMES, text);
}

std::optional<std::int32_t> RxFilterValue(std::string_view text) {
  return ValueOf(RX_FILTER_NAMES, text);
}

InterfaceCheck CheckInterface(const std::string& name, const RequiredConfiguration& required) {
  InterfaceCheck checked{.result = {.check = "interface", .interface = name}};
  CheckResult& result = checked.result;
  std::error_code error;
  const auto capabilities = orv::GetTimestampingCapabilities(name, error);
  // The kernel reads only the first IFNAMSIZ - 1 bytes: a longer name would
  // check another interface, and liborv refuses it.
  if (error == std::errc::filename_too_long) {
    result.state = State::CRITICAL;
    result.Say("no such interface: the name is too long");
    return checked;
  }
  // An empty name names no interface; liborv refuses it before asking.
  if (error == std::errc::no_such_device || (error && name.empty())) {
    result.state = State::CRITICAL;
    result.Say("no such interface");
    return checked;
  }
  if (error) {
    result.Say("cannot read the timestamping capabilities: " + error.message());
    return checked;
  }
  checked.phcIndex = capabilities.phcIndex;
  if ((capabilities.soTimestamping & HARDWARE_TIMESTAMPING) != HARDWARE_TIMESTAMPING) {
    result.state = State::CRITICAL;
    result.Record(Supported(false, "no hardware timestamping; "));
    RecordCapabilities(result, capabilities);
    result.Record(Enabled(false, ""));
    return checked;
  }
  const auto config = orv::GetTimestampingConfig(name, error);
  if (error) {
    result.state = State::UNKNOWN;
    result.Record(Supported(true, ""));
    result.Say("configuration unreadable: " + error.message() + "; ");
    result.Record({"configuration", Value(), ""});
    RecordCapabilities(result, capabilities);
    return checked;
  }
  const bool on = config.txType != HWTSTAMP_TX_OFF && config.rxFilter != HWTSTAMP_FILTER_NONE;
  result.state = RecordDrift(result, required, config) ? State::CRITICAL
                 : on                                  ? State::OK
                                                       : State::WARNING;
  result.Record(Enabled(on, on ? "hardware timestamping on: " : "hardware timestamping off: "));
  result.Record({"configuration/tx_type", NamedValue(TX_TYPE_NAMES, config.txType), "tx {}, ",
                 InfoLabel("tx_type")});
  result.Record({"configuration/rx_filter", NamedValue(RX_FILTER_NAMES, config.rxFilter), "rx {}; ",
                 InfoLabel("rx_filter")});
  RecordCapabilities(result, capabilities);
  result.Record(Supported(true, ""));
  return checked;
}

}  // namespace orvcheck
