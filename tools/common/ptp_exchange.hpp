// Reads linuxptp's ptp4l over its management socket: the data sets a check of
// the daemon needs, in one bounded exchange. Read-only.
#pragma once

#include "ptp_management.hpp"

#include <chrono>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace ptp {

// ptp4l's uds_address unless configured otherwise.
inline constexpr const char* DEFAULT_PTP4L_SOCKET = "/var/run/ptp4l";

struct Port {
  std::uint16_t number = 0;
  PortState state = PortState::INITIALIZING;  // PORT_DATA_SET's portState
  std::string interfaceName;
  std::uint8_t timestamping = 0;  // PORT_PROPERTIES_NP's: 0 software, 1 hardware, ...
};

// What ptp4l told about its clock, read in one exchange.
struct Ptp4lReading {
  DefaultDataSet defaults;  // the clock's own identity and its number of ports
  std::vector<Port> ports;  // by number, 1 to numberPorts
  CurrentDataSet current;
  ParentDataSet parent;
  TimePropertiesDataSet timeProperties;
  TimeStatusNp timeStatus;
};

struct Ptp4lFailure {
  enum class Kind {
    NOT_RUNNING,        // nothing listening at the path
    PERMISSION_DENIED,  // the socket may not be written
    TIMEOUT,            // no complete answer in time
    MALFORMED,          // an answer that cannot be read
    ERROR_STATUS,       // ptp4l refused a request
    SYSTEM,             // any other error of the socket calls
  };
  Kind kind = Kind::SYSTEM;
  std::string reason;  // one line, naming the path
};

// Sends every GET at once from an autobound abstract address (no file to
// create or remove; it must be in ptp4l's network namespace, where the answers
// are delivered) to `socketPath`, and collects the answers that come from
// that path with our sequence ids, skipping any other datagram, until all are
// in or `timeout` has passed.
std::variant<Ptp4lReading, Ptp4lFailure> ReadPtp4l(const std::string& socketPath,
                                                   std::chrono::milliseconds timeout,
                                                   std::uint8_t domainNumber = 0);

}  // namespace ptp
