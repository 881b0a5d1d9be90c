// libvexa: the messages of the PTP monitor daemon vexad and their parser.
#pragma once

#include <gsl/span>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

#define VEXA_EXPORT __attribute__((visibility("default")))

namespace vexa {

// One-byte requests; a client sends the constant's own storage as the packet.
VEXA_EXPORT extern const unsigned char STATUS_REQUEST;     // 0x00
VEXA_EXPORT extern const unsigned char SUBSCRIBE_REQUEST;  // 0x02

// The daemon's usual address: NUL + "orvmon", a name in the abstract namespace.
VEXA_EXPORT extern const std::string_view DEFAULT_SOCKET_PATH;

// The daemon gives the four values their meaning; this library only carries
// the wire value through.
enum class Status : std::uint32_t { STATUS_0 = 0, STATUS_1 = 1, STATUS_2 = 2, STATUS_3 = 3 };

struct StatusMessage {
  Status status;
  std::string text;  // the daemon's bytes, unchecked and unterminated on the wire

  friend bool operator==(const StatusMessage&, const StatusMessage&) = default;
};

struct SubscribeReply {
  friend bool operator==(const SubscribeReply&, const SubscribeReply&) = default;
};

// A malformed message; what() names the first rule it breaks.
class VEXA_EXPORT ProtocolError : public std::runtime_error {
 public:
  explicit ProtocolError(const char* what);
  explicit ProtocolError(const std::string& what);
  // Defined in the library so that the type information lives in one place.
  ~ProtocolError() override;
};

// Parses exactly one received packet. Throws ProtocolError when malformed.
VEXA_EXPORT std::variant<SubscribeReply, StatusMessage> Parse(
    gsl::span<const unsigned char> message);

}  // namespace vexa
