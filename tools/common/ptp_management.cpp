#include "ptp_management.hpp"

#include <fmt/format.h>

#include <algorithm>

namespace ptp {

namespace {

// Common message header (IEEE 1588 13.3), then the management message's own
// fields (15.4): targetPortIdentity, boundary hops, actionField.
constexpr std::size_t HEADER_SIZE = 34;
constexpr std::size_t MANAGEMENT_HEADER_SIZE = 48;
constexpr std::size_t TLV_HEADER_SIZE = 4;
constexpr std::size_t SEQUENCE_OFFSET = 30;
constexpr std::size_t ACTION_OFFSET = 46;

constexpr unsigned char MESSAGE_TYPE_MANAGEMENT = 0x0D;
constexpr unsigned char PTP_VERSION = 2;
constexpr unsigned char CONTROL_MANAGEMENT = 0x04;
constexpr unsigned char LOG_INTERVAL_NONE = 0x7F;
constexpr unsigned char ACTION_GET = 0;
constexpr unsigned char ACTION_RESPONSE = 2;

constexpr std::uint16_t TLV_MANAGEMENT = 0x0001;
constexpr std::uint16_t TLV_MANAGEMENT_ERROR_STATUS = 0x0002;

// Error status: managementErrorId, managementId, 4 reserved bytes, then an
// optional displayData text.
constexpr std::size_t ERROR_STATUS_SIZE = 8;

// Port identity, state, timestamping, then the interface name as PTPText.
constexpr std::size_t PORT_PROPERTIES_FIXED_SIZE = 13;

// Time properties flags (IEEE 1588 Table 34).
constexpr unsigned LEAP61 = 1U << 0;
constexpr unsigned LEAP59 = 1U << 1;
constexpr unsigned UTC_OFFSET_VALID = 1U << 2;
constexpr unsigned PTP_TIMESCALE = 1U << 3;
constexpr unsigned TIME_TRACEABLE = 1U << 4;
constexpr unsigned FREQUENCY_TRACEABLE = 1U << 5;

[[noreturn]] void Malformed(const std::string& reason) {
  throw MessageError(MessageError::Kind::MALFORMED, reason);
}

// Reads big-endian fields in order; the caller has checked the size.
class Reader {
 public:
  explicit Reader(std::span<const unsigned char> bytes) : bytes(bytes) {}

  std::uint8_t U8() { return bytes[at++]; }
  std::int8_t I8() { return static_cast<std::int8_t>(U8()); }
  std::uint16_t U16() { return static_cast<std::uint16_t>(Unsigned(2)); }
  std::int16_t I16() { return static_cast<std::int16_t>(U16()); }
  std::int32_t I32() { return static_cast<std::int32_t>(Unsigned(4)); }
  std::uint64_t U64() { return Unsigned(8); }
  std::int64_t I64() { return static_cast<std::int64_t>(U64()); }
  TimeInterval Interval() { return TimeInterval{I64()}; }
  void Skip(std::size_t count) { at += count; }

  ClockIdentity Clock() {
    ClockIdentity identity;
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), identity.size(), identity.begin());
    at += identity.size();
    return identity;
  }

  PortIdentity Port() {
    PortIdentity identity;
    identity.clock = Clock();
    identity.port = U16();
    return identity;
  }

  ClockQuality Quality() {
    ClockQuality quality;
    quality.clockClass = U8();
    quality.clockAccuracy = U8();
    quality.offsetScaledLogVariance = U16();
    return quality;
  }

  PortState State() {
    const auto value = U8();
    if (value < static_cast<std::uint8_t>(PortState::INITIALIZING) ||
        value > static_cast<std::uint8_t>(PortState::SLAVE)) {
      Malformed(fmt::format("port state {} is not an IEEE 1588 state", value));
    }
    return static_cast<PortState>(value);
  }

  // PTPText: a length byte and that many bytes, then at most the one byte
  // that pads the TLV to an even length.
  std::string Text(const char* what) {
    const std::size_t length = U8();
    const std::size_t left = bytes.size() - at;
    if (length > left || left - length > 1) {
      Malformed(fmt::format("{} of {} bytes in {} bytes", what, length, left));
    }
    std::string text(reinterpret_cast<const char*>(bytes.data()) + at, length);
    at += length;
    return text;
  }

 private:
  std::uint64_t Unsigned(std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i) {
      value = (value << 8) | bytes[at + i];
    }
    at += count;
    return value;
  }

  std::span<const unsigned char> bytes;
  std::size_t at = 0;
};

void Put16(unsigned char* at, std::uint16_t value) {
  at[0] = static_cast<unsigned char>(value >> 8);
  at[1] = static_cast<unsigned char>(value);
}

struct IdFacts {
  ManagementId id;
  std::string_view name;
  std::size_t dataSize;  // 0: it varies
};

constexpr std::array<IdFacts, 7> IDS = {{
    {ManagementId::DEFAULT_DATA_SET, "DEFAULT_DATA_SET", 20},
    {ManagementId::CURRENT_DATA_SET, "CURRENT_DATA_SET", 18},
    {ManagementId::PARENT_DATA_SET, "PARENT_DATA_SET", 32},
    {ManagementId::TIME_PROPERTIES_DATA_SET, "TIME_PROPERTIES_DATA_SET", 4},
    {ManagementId::PORT_DATA_SET, "PORT_DATA_SET", 26},
    {ManagementId::TIME_STATUS_NP, "TIME_STATUS_NP", 50},
    {ManagementId::PORT_PROPERTIES_NP, "PORT_PROPERTIES_NP", 0},
}};

const IdFacts* Find(std::uint16_t id) {
  const auto facts = std::find_if(IDS.begin(), IDS.end(), [&](const IdFacts& known) {
    return static_cast<std::uint16_t>(known.id) == id;
  });
  return facts == IDS.end() ? nullptr : &*facts;
}

const IdFacts& KnownId(std::uint16_t id) {
  const auto* facts = Find(id);
  if (facts == nullptr) {
    Malformed(fmt::format("unknown management id 0x{:04X}", id));
  }
  return *facts;
}

Content ReadDataSet(ManagementId id, Reader& data) {
  switch (id) {
    case ManagementId::DEFAULT_DATA_SET: {
      DefaultDataSet set;
      const auto flags = data.U8();
      set.twoStep = (flags & 1U) != 0;
      set.slaveOnly = (flags & 2U) != 0;
      data.Skip(1);
      set.numberPorts = data.U16();
      set.priority1 = data.U8();
      set.clockQuality = data.Quality();
      set.priority2 = data.U8();
      set.clockIdentity = data.Clock();
      set.domainNumber = data.U8();
      return set;
    }
    case ManagementId::CURRENT_DATA_SET: {
      CurrentDataSet set;
      set.stepsRemoved = data.U16();
      set.offsetFromMaster = data.Interval();
      set.meanPathDelay = data.Interval();
      return set;
    }
    case ManagementId::PARENT_DATA_SET: {
      ParentDataSet set;
      set.parentPortIdentity = data.Port();
      set.parentStats = (data.U8() & 1U) != 0;
      data.Skip(1);
      set.observedParentOffsetScaledLogVariance = data.U16();
      set.observedParentClockPhaseChangeRate = data.I32();
      set.grandmasterPriority1 = data.U8();
      set.grandmasterClockQuality = data.Quality();
      set.grandmasterPriority2 = data.U8();
      set.grandmasterIdentity = data.Clock();
      return set;
    }
    case ManagementId::TIME_PROPERTIES_DATA_SET: {
      TimePropertiesDataSet set;
      set.currentUtcOffset = data.I16();
      const auto flags = data.U8();
      set.leap61 = (flags & LEAP61) != 0;
      set.leap59 = (flags & LEAP59) != 0;
      set.currentUtcOffsetValid = (flags & UTC_OFFSET_VALID) != 0;
      set.ptpTimescale = (flags & PTP_TIMESCALE) != 0;
      set.timeTraceable = (flags & TIME_TRACEABLE) != 0;
      set.frequencyTraceable = (flags & FREQUENCY_TRACEABLE) != 0;
      set.timeSource = data.U8();
      return set;
    }
    case ManagementId::PORT_DATA_SET: {
      PortDataSet set;
      set.portIdentity = data.Port();
      set.portState = data.State();
      set.logMinDelayReqInterval = data.I8();
      set.peerMeanPathDelay = data.Interval();
      set.logAnnounceInterval = data.I8();
      set.announceReceiptTimeout = data.U8();
      set.logSyncInterval = data.I8();
      set.delayMechanism = data.U8();
      set.logMinPdelayReqInterval = data.I8();
      set.versionNumber = data.U8() & 0x0FU;
      return set;
    }
    case ManagementId::TIME_STATUS_NP: {
      TimeStatusNp set;
      set.masterOffsetNs = data.I64();
      set.ingressTimeNs = data.I64();
      set.cumulativeScaledRateOffset = data.I32();
      set.scaledLastGmPhaseChange = data.I32();
      set.gmTimeBaseIndicator = data.U16();
      set.lastGmPhaseChange.nanosecondsMsb = data.U16();
      set.lastGmPhaseChange.nanosecondsLsb = data.U64();
      set.lastGmPhaseChange.fractionalNanoseconds = data.U16();
      set.gmPresent = data.I32() != 0;
      set.gmIdentity = data.Clock();
      return set;
    }
    case ManagementId::PORT_PROPERTIES_NP:
      break;
  }
  PortPropertiesNp set;
  set.portIdentity = data.Port();
  set.portState = data.State();
  set.timestamping = data.U8();
  set.interfaceName = data.Text("interface name");
  return set;
}

Content ReadManagement(std::span<const unsigned char> value, ManagementId asked) {
  if (value.size() < 2) {
    Malformed(fmt::format("management TLV of {} bytes has no id", value.size()));
  }
  Reader reader(value);
  const auto& facts = KnownId(reader.U16());
  if (facts.id != asked) {
    Malformed(fmt::format("answers {} to a GET {}", facts.name, ManagementIdName(asked)));
  }
  const auto data = value.subspan(2);
  if (facts.dataSize != 0 ? data.size() != facts.dataSize
                          : data.size() < PORT_PROPERTIES_FIXED_SIZE) {
    Malformed(fmt::format("{} data of {} bytes, expected {}{}", facts.name, data.size(),
                          facts.dataSize != 0 ? "" : "at least ",
                          facts.dataSize != 0 ? facts.dataSize : PORT_PROPERTIES_FIXED_SIZE));
  }
  Reader dataReader(data);
  return ReadDataSet(facts.id, dataReader);
}

Content ReadErrorStatus(std::span<const unsigned char> value, ManagementId asked) {
  if (value.size() < ERROR_STATUS_SIZE) {
    Malformed(fmt::format("error status TLV of {} bytes, expected at least {}", value.size(),
                          ERROR_STATUS_SIZE));
  }
  Reader reader(value);
  ManagementErrorStatus status;
  status.error = reader.U16();
  status.id = KnownId(reader.U16()).id;
  if (status.id != asked) {
    Malformed(fmt::format("error status for {} to a GET {}", ManagementIdName(status.id),
                          ManagementIdName(asked)));
  }
  reader.Skip(4);
  if (value.size() > ERROR_STATUS_SIZE) {
    status.displayData = reader.Text("display data");
  }
  return status;
}

}  // namespace

std::string FormatClockIdentity(const ClockIdentity& id) {
  return fmt::format("{:02x}{:02x}{:02x}.{:02x}{:02x}.{:02x}{:02x}{:02x}", id[0], id[1], id[2],
                     id[3], id[4], id[5], id[6], id[7]);
}

std::string FormatPortIdentity(const PortIdentity& identity) {
  return fmt::format("{}-{}", FormatClockIdentity(identity.clock), identity.port);
}

std::string_view ManagementIdName(ManagementId id) {
  const auto* facts = Find(static_cast<std::uint16_t>(id));
  return facts == nullptr ? "?" : facts->name;
}

std::string_view PortStateName(PortState state) {
  static constexpr std::array<std::string_view, 9> NAMES = {
      "INITIALIZING", "FAULTY",  "DISABLED",     "LISTENING", "PRE_MASTER",
      "MASTER",       "PASSIVE", "UNCALIBRATED", "SLAVE"};
  return NAMES.at(static_cast<std::size_t>(state) - 1);
}

std::string ManagementErrorName(std::uint16_t error) {
  switch (error) {
    case 0x0001:
      return "RESPONSE_TOO_BIG";
    case 0x0002:
      return "NO_SUCH_ID";
    case 0x0003:
      return "WRONG_LENGTH";
    case 0x0004:
      return "WRONG_VALUE";
    case 0x0005:
      return "NOT_SETABLE";
    case 0x0006:
      return "NOT_SUPPORTED";
    case 0xFFFE:
      return "GENERAL_ERROR";
    default:
      return fmt::format("0x{:04X}", error);
  }
}

std::array<unsigned char, GET_SIZE> EncodeGet(const Request& request) {
  std::array<unsigned char, GET_SIZE> message{};
  message[0] = MESSAGE_TYPE_MANAGEMENT;
  message[1] = PTP_VERSION;
  Put16(&message[2], GET_SIZE);
  message[4] = request.domainNumber;
  std::copy(request.source.clock.begin(), request.source.clock.end(), message.begin() + 20);
  Put16(&message[28], request.source.port);
  Put16(&message[SEQUENCE_OFFSET], request.sequenceId);
  message[32] = CONTROL_MANAGEMENT;
  message[33] = LOG_INTERVAL_NONE;
  // All clocks, all ports; no boundary hops, for a local daemon.
  std::fill_n(message.begin() + HEADER_SIZE, 10, 0xFF);
  message[ACTION_OFFSET] = ACTION_GET;
  Put16(&message[MANAGEMENT_HEADER_SIZE], TLV_MANAGEMENT);
  Put16(&message[MANAGEMENT_HEADER_SIZE + 2], 2);
  Put16(&message[MANAGEMENT_HEADER_SIZE + 4], static_cast<std::uint16_t>(request.id));
  return message;
}

Answer ParseAnswer(std::span<const unsigned char> message, std::span<const Request> requests) {
  if (message.size() < HEADER_SIZE) {
    Malformed(fmt::format("truncated header: {} bytes", message.size()));
  }
  if ((message[0] & 0x0FU) != MESSAGE_TYPE_MANAGEMENT) {
    Malformed(fmt::format("not a management message (type {})", message[0] & 0x0FU));
  }
  if ((message[1] & 0x0FU) != PTP_VERSION) {
    Malformed(fmt::format("PTP version {}, not 2", message[1] & 0x0FU));
  }
  Reader header(message);
  header.Skip(2);
  const auto length = header.U16();
  if (length != message.size()) {
    Malformed(fmt::format("messageLength {} in a message of {} bytes", length, message.size()));
  }
  if (message.size() < MANAGEMENT_HEADER_SIZE + TLV_HEADER_SIZE) {
    Malformed(fmt::format("truncated management message: {} bytes", message.size()));
  }
  header.Skip(16);
  Answer answer{0, header.Port(), {}};
  const auto sequence = header.U16();
  const auto request = std::find_if(requests.begin(), requests.end(),
                                    [&](const Request& r) { return r.sequenceId == sequence; });
  if (request == requests.end()) {
    throw MessageError(MessageError::Kind::NOT_OURS,
                       fmt::format("sequence id {} is not ours", sequence));
  }
  answer.request = static_cast<std::size_t>(request - requests.begin());
  if ((message[ACTION_OFFSET] & 0x0FU) != ACTION_RESPONSE) {
    Malformed(fmt::format("action {}, not RESPONSE", message[ACTION_OFFSET] & 0x0FU));
  }
  Reader tlv(message.subspan(MANAGEMENT_HEADER_SIZE));
  const auto type = tlv.U16();
  const std::size_t tlvLength = tlv.U16();
  const auto value = message.subspan(MANAGEMENT_HEADER_SIZE + TLV_HEADER_SIZE);
  if (tlvLength != value.size() || tlvLength % 2 != 0) {
    Malformed(fmt::format("TLV length {} with {} bytes after it (an even count)", tlvLength,
                          value.size()));
  }
  switch (type) {
    case TLV_MANAGEMENT:
      answer.content = ReadManagement(value, request->id);
      break;
    case TLV_MANAGEMENT_ERROR_STATUS:
      answer.content = ReadErrorStatus(value, request->id);
      break;
    default:
      Malformed(fmt::format("TLV type 0x{:04X} is not a management TLV", type));
  }
  return answer;
}

}  // namespace ptp
