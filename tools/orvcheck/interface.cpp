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

Fact Supported(bool supported) {
  return {"hardware_timestamping/supported", supported,
          Series{.name = "interface_hardware_timestamping_supported",
                 .help = "1 when the interface can timestamp in hardware"}};
}

Fact Enabled(bool on) {
  return {"hardware_timestamping/enabled", on,
          Series{.name = "interface_hardware_timestamping_enabled",
                 .help = "1 when hardware timestamping is switched on"}};
}

std::string PhcDevice(const orv::TimestampingCapabilities& capabilities) {
  return capabilities.phcIndex >= 0 ? fmt::format("/dev/ptp{}", capabilities.phcIndex) : "none";
}

void RecordCapabilities(CheckResult& result, const orv::TimestampingCapabilities& capabilities) {
  result.Record({"capabilities/flags", SetBits(capabilities.soTimestamping, FLAG_NAMES, true)});
  result.Record({"capabilities/phc",
                 capabilities.phcIndex >= 0 ? Value(PhcDevice(capabilities)) : Value(),
                 InfoLabel("phc")});
  result.Record({"capabilities/tx_types", SetBits(capabilities.txTypes, TX_TYPE_NAMES, false)});
  result.Record(
      {"capabilities/rx_filters", SetBits(capabilities.rxFilters, RX_FILTER_NAMES, false)});
}

std::string CapabilitiesText(const orv::TimestampingCapabilities& capabilities) {
  return fmt::format("flags {}; phc {}; tx types {}; rx filters {}",
                     NamedList(SetBits(capabilities.soTimestamping, FLAG_NAMES, true)),
                     PhcDevice(capabilities),
                     NamedList(SetBits(capabilities.txTypes, TX_TYPE_NAMES, false)),
                     NamedList(SetBits(capabilities.rxFilters, RX_FILTER_NAMES, false)));
}

template <std::size_t N>
Named NamedValue(const std::string_view (&names)[N], std::int32_t value) {
  return {NameOf(names, static_cast<std::uint32_t>(value)), value};
}

template <std::size_t N>
Value RequiredValue(const std::string_view (&names)[N], std::optional<std::int32_t> required) {
  return required ? Value(NamedValue(names, *required)) : Value();
}

// Another program's timestamping request can change a driver's settings under
// the PTP daemon: what the operator requires is compared with what is in
// force.
bool Drifted(const RequiredConfiguration& required, const orv::TimestampingConfig& config) {
  return (required.txType && *required.txType != config.txType) ||
         (required.rxFilter && *required.rxFilter != config.rxFilter);
}

void RecordDrift(CheckResult& result, const RequiredConfiguration& required,
                 const orv::TimestampingConfig& config) {
  if (!required.txType && !required.rxFilter) {
    return;
  }
  result.Record({"configuration_drift", Drifted(required, config),
                 Series{.name = "interface_configuration_drift",
                        .help = "1 when the TX type or RX filter in force differs from the one "
                                "required"}});
  result.Record({"required/tx_type", RequiredValue(TX_TYPE_NAMES, required.txType)});
  result.Record({"required/rx_filter", RequiredValue(RX_FILTER_NAMES, required.rxFilter)});
}

// "tx on(1) in force, off(0) required; " for a setting that drifted.
template <std::size_t N>
std::string DriftText(std::string_view setting, const std::string_view (&names)[N],
                      std::optional<std::int32_t> required, std::int32_t inForce) {
  if (!required || *required == inForce) {
    return "";
  }
  return fmt::format("{} {} in force, {} required; ", setting,
                     NamedText(NamedValue(names, inForce)),
                     NamedText(NamedValue(names, *required)));
}

std::string ConfigurationMessage(const RequiredConfiguration& required,
                                 const orv::TimestampingConfig& config, bool on,
                                 const orv::TimestampingCapabilities& capabilities) {
  const std::string drift =
      Drifted(required, config)
          ? "configuration drift: " +
                DriftText("tx", TX_TYPE_NAMES, required.txType, config.txType) +
                DriftText("rx", RX_FILTER_NAMES, required.rxFilter, config.rxFilter)
          : "";
  return fmt::format("{}hardware timestamping {}: tx {}, rx {}; {}", drift, on ? "on" : "off",
                     NamedText(NamedValue(TX_TYPE_NAMES, config.txType)),
                     NamedText(NamedValue(RX_FILTER_NAMES, config.rxFilter)),
                     CapabilitiesText(capabilities));
}

// An interface that the kernel could not be asked about: CRITICAL when it
// does not exist, else UNKNOWN.
CheckResult Unreadable(CheckResult result, const std::string& name, const std::error_code& error) {
  // The kernel reads only the first IFNAMSIZ - 1 bytes: a longer name would
  // check another interface, and liborv refuses it.
  if (error == std::errc::filename_too_long) {
    result.state = State::CRITICAL;
    result.message = "no such interface: the name is too long";
  } else if (error == std::errc::no_such_device || name.empty()) {
    // An empty name names no interface; liborv refuses it before asking.
    result.state = State::CRITICAL;
    result.message = "no such interface";
  } else {
    result.message = "cannot read the timestamping capabilities: " + error.message();
  }
  return result;
}

}  // namespace

std::optional<std::int32_t> TxTypeValue(std::string_view text) {
  return ValueOf(TX_TYPE_NAMES, text);
}

std::optional<std::int32_t> RxFilterValue(std::string_view text) {
  return ValueOf(RX_FILTER_NAMES, text);
}

InterfaceCheck CheckInterface(const std::string& name, const RequiredConfiguration& required) {
  CheckResult result{.check = std::string(check::INTERFACE), .interface = name};
  std::error_code error;
  const auto capabilities = orv::GetTimestampingCapabilities(name, error);
  if (error) {
    return {Unreadable(std::move(result), name, error)};
  }
  const bool supported =
      (capabilities.soTimestamping & HARDWARE_TIMESTAMPING) == HARDWARE_TIMESTAMPING;
  orv::TimestampingConfig config{};
  if (supported) {
    config = orv::GetTimestampingConfig(name, error);
  }
  const bool on = supported && !error && config.txType != HWTSTAMP_TX_OFF &&
                  config.rxFilter != HWTSTAMP_FILTER_NONE;
  if (!supported) {
    result.state = State::CRITICAL;
    result.message = "no hardware timestamping; " + CapabilitiesText(capabilities);
  } else if (error) {
    result.state = State::UNKNOWN;
    result.message = fmt::format("configuration unreadable: {}; {}", error.message(),
                                 CapabilitiesText(capabilities));
  } else {
    result.state = Drifted(required, config) ? State::CRITICAL : on ? State::OK : State::WARNING;
    result.message = ConfigurationMessage(required, config, on, capabilities);
    RecordDrift(result, required, config);
  }
  if (!error) {
    result.Record(Enabled(on));
  }
  if (supported && error) {
    result.Record({"configuration", Value()});
  } else if (supported) {
    result.Record(
        {"configuration/tx_type", NamedValue(TX_TYPE_NAMES, config.txType), InfoLabel("tx_type")});
    result.Record({"configuration/rx_filter", NamedValue(RX_FILTER_NAMES, config.rxFilter),
                   InfoLabel("rx_filter")});
  }
  RecordCapabilities(result, capabilities);
  result.Record(Supported(supported));
  return {std::move(result), capabilities.phcIndex};
}

}  // namespace orvcheck
