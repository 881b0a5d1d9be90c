// IEEE 1588 (PTP version 2) management messages as linuxptp's ptp4l serves
// them on its Unix datagram socket: GET requests and the answers to them.
// Encoding and parsing only; the exchange with the daemon is ptp_exchange.hpp.
// Nothing here builds a SET: the daemon is only ever read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

namespace ptp {

using ClockIdentity = std::array<std::uint8_t, 8>;

struct PortIdentity {
  ClockIdentity clock{};
  std::uint16_t port = 0;

  friend bool operator==(const PortIdentity&, const PortIdentity&) = default;
};

// As ptp4l and pmc write them: "001122.fffe.334455" and "001122.fffe.334455-1".
std::string FormatClockIdentity(const ClockIdentity& identity);
std::string FormatPortIdentity(const PortIdentity& identity);

// The data sets read; the numbers are IEEE 1588's and linuxptp's managementId.
enum class ManagementId : std::uint16_t {
  DEFAULT_DATA_SET = 0x2000,
  CURRENT_DATA_SET = 0x2001,
  PARENT_DATA_SET = 0x2002,
  TIME_PROPERTIES_DATA_SET = 0x2003,
  PORT_DATA_SET = 0x2004,
  TIME_STATUS_NP = 0xC000,
  PORT_PROPERTIES_NP = 0xC004,
};

// pmc's name of the id ("PORT_DATA_SET").
std::string_view ManagementIdName(ManagementId id);

// IEEE 1588 portState; answers with any other value are refused.
enum class PortState : std::uint8_t {
  INITIALIZING = 1,
  FAULTY = 2,
  DISABLED = 3,
  LISTENING = 4,
  PRE_MASTER = 5,
  MASTER = 6,
  PASSIVE = 7,
  UNCALIBRATED = 8,
  SLAVE = 9,
};

// pmc's name of the state ("SLAVE").
std::string_view PortStateName(PortState state);

// TimeInterval: nanoseconds scaled by 2^16, as on the wire.
struct TimeInterval {
  std::int64_t scaledNanoseconds = 0;

  double Nanoseconds() const { return static_cast<double>(scaledNanoseconds) / 65536.0; }
  friend bool operator==(const TimeInterval&, const TimeInterval&) = default;
};

struct ClockQuality {
  std::uint8_t clockClass = 0;
  std::uint8_t clockAccuracy = 0;
  std::uint16_t offsetScaledLogVariance = 0;

  friend bool operator==(const ClockQuality&, const ClockQuality&) = default;
};

struct DefaultDataSet {
  bool twoStep = false;
  bool slaveOnly = false;
  std::uint16_t numberPorts = 0;
  std::uint8_t priority1 = 0;
  ClockQuality clockQuality;
  std::uint8_t priority2 = 0;
  ClockIdentity clockIdentity{};
  std::uint8_t domainNumber = 0;

  friend bool operator==(const DefaultDataSet&, const DefaultDataSet&) = default;
};

struct CurrentDataSet {
  std::uint16_t stepsRemoved = 0;
  TimeInterval offsetFromMaster;
  TimeInterval meanPathDelay;

  friend bool operator==(const CurrentDataSet&, const CurrentDataSet&) = default;
};

struct ParentDataSet {
  PortIdentity parentPortIdentity;
  bool parentStats = false;
  std::uint16_t observedParentOffsetScaledLogVariance = 0;
  std::int32_t observedParentClockPhaseChangeRate = 0;
  std::uint8_t grandmasterPriority1 = 0;
  ClockQuality grandmasterClockQuality;
  std::uint8_t grandmasterPriority2 = 0;
  ClockIdentity grandmasterIdentity{};

  friend bool operator==(const ParentDataSet&, const ParentDataSet&) = default;
};

struct TimePropertiesDataSet {
  std::int16_t currentUtcOffset = 0;
  bool leap61 = false;
  bool leap59 = false;
  bool currentUtcOffsetValid = false;
  bool ptpTimescale = false;
  bool timeTraceable = false;
  bool frequencyTraceable = false;
  std::uint8_t timeSource = 0;

  friend bool operator==(const TimePropertiesDataSet&, const TimePropertiesDataSet&) = default;
};

struct PortDataSet {
  PortIdentity portIdentity;
  PortState portState = PortState::INITIALIZING;
  std::int8_t logMinDelayReqInterval = 0;
  TimeInterval peerMeanPathDelay;
  std::int8_t logAnnounceInterval = 0;
  std::uint8_t announceReceiptTimeout = 0;
  std::int8_t logSyncInterval = 0;
  std::uint8_t delayMechanism = 0;
  std::int8_t logMinPdelayReqInterval = 0;
  std::uint8_t versionNumber = 0;

  friend bool operator==(const PortDataSet&, const PortDataSet&) = default;
};

// linuxptp's own: the port's state, its timestamping mode (0 software,
// 1 hardware, ...) and the name of its interface.
struct PortPropertiesNp {
  PortIdentity portIdentity;
  PortState portState = PortState::INITIALIZING;
  std::uint8_t timestamping = 0;
  std::string interfaceName;  // the daemon's bytes, unchecked

  friend bool operator==(const PortPropertiesNp&, const PortPropertiesNp&) = default;
};

// 96-bit nanoseconds scaled by 2^16, as in IEEE 802.1AS's follow-up TLV.
struct ScaledNs {
  std::uint16_t nanosecondsMsb = 0;
  std::uint64_t nanosecondsLsb = 0;
  std::uint16_t fractionalNanoseconds = 0;

  friend bool operator==(const ScaledNs&, const ScaledNs&) = default;
};

// linuxptp's own: the last measured offset, in plain nanoseconds.
struct TimeStatusNp {
  std::int64_t masterOffsetNs = 0;
  std::int64_t ingressTimeNs = 0;
  std::int32_t cumulativeScaledRateOffset = 0;
  std::int32_t scaledLastGmPhaseChange = 0;
  std::uint16_t gmTimeBaseIndicator = 0;
  ScaledNs lastGmPhaseChange;
  bool gmPresent = false;
  ClockIdentity gmIdentity{};

  friend bool operator==(const TimeStatusNp&, const TimeStatusNp&) = default;
};

// A MANAGEMENT_ERROR_STATUS answer: the daemon refused the request.
struct ManagementErrorStatus {
  std::uint16_t error = 0;  // managementErrorId
  ManagementId id = ManagementId::DEFAULT_DATA_SET;
  std::string displayData;

  friend bool operator==(const ManagementErrorStatus&, const ManagementErrorStatus&) = default;
};

// pmc's name of a managementErrorId ("NOT_SUPPORTED"), or its number in hex.
std::string ManagementErrorName(std::uint16_t error);

// One GET, addressed to all ports of the clock.
struct Request {
  ManagementId id = ManagementId::DEFAULT_DATA_SET;
  std::uint16_t sequenceId = 0;
  PortIdentity source;  // ours; the daemon addresses its answer to it
  std::uint8_t domainNumber = 0;
};

// A GET carries the management TLV with its id and no data.
inline constexpr std::size_t GET_SIZE = 54;

std::array<unsigned char, GET_SIZE> EncodeGet(const Request& request);

using Content = std::variant<DefaultDataSet, CurrentDataSet, ParentDataSet, TimePropertiesDataSet,
                             PortDataSet, PortPropertiesNp, TimeStatusNp, ManagementErrorStatus>;

struct Answer {
  std::size_t request = 0;  // index of the request it answers
  PortIdentity source;      // the answering clock and port (port 0: the clock itself)
  Content content;
};

// Why a message is not an answer to our requests. NotOurs: well formed as
// far as read, but with another sequence id, so someone else's.
class MessageError : public std::runtime_error {
 public:
  enum class Kind { MALFORMED, NOT_OURS };

  MessageError(Kind kind, const std::string& reason) : std::runtime_error(reason), kind(kind) {}
  Kind GetKind() const { return kind; }

 private:
  Kind kind;
};

// Reads one received message as the answer to one of `requests`; throws
// MessageError naming the first rule it breaks.
Answer ParseAnswer(std::span<const unsigned char> message, std::span<const Request> requests);

}  // namespace ptp
