#include <vexa/protocol.hpp>

#include <cstddef>
#include <utility>

namespace vexa {

const unsigned char STATUS_REQUEST = 0x00;
const unsigned char SUBSCRIBE_REQUEST = 0x02;
const std::string_view DEFAULT_SOCKET_PATH{"\0orvmon", 7};

ProtocolError::ProtocolError(const char* what) : std::runtime_error(what) {}

ProtocolError::ProtocolError(const std::string& what) : std::runtime_error(what) {}

ProtocolError::~ProtocolError() = default;

namespace {

constexpr unsigned char STATUS_MESSAGE = 0x01;
constexpr unsigned char SUBSCRIBE_REPLY = 0x03;
constexpr unsigned char STATUS_EVENT = 0x04;

// Type, status value and text length precede the text.
constexpr std::size_t STATUS_HEADER_SIZE = 3;
constexpr unsigned char HIGHEST_STATUS = 3;

SubscribeReply ParseSubscribeReply(gsl::span<const unsigned char> message) {
  if (message.size() > 1) {
    throw ProtocolError("Invalid message length");
  }
  return {};
}

// Length checks come before the status check, so a message that is wrong in
// both reports its length.
StatusMessage ParseStatusMessage(gsl::span<const unsigned char> message) {
  if (message.size() < STATUS_HEADER_SIZE) {
    throw ProtocolError("Message too short");
  }
  if (message.size() - STATUS_HEADER_SIZE != message[2]) {
    throw ProtocolError("Inconsistent message length");
  }
  const auto bytes = message.subspan(STATUS_HEADER_SIZE);
  std::string text(bytes.begin(), bytes.end());
  if (message[1] > HIGHEST_STATUS) {
    throw ProtocolError("Unknown status value");
  }
  return {static_cast<Status>(message[1]), std::move(text)};
}

}  // namespace

std::variant<SubscribeReply, StatusMessage> Parse(gsl::span<const unsigned char> message) {
  if (message.empty()) {
    throw ProtocolError("Invalid message length");
  }
  switch (message[0]) {
    case SUBSCRIBE_REPLY:
      return ParseSubscribeReply(message);
    case STATUS_MESSAGE:
    case STATUS_EVENT:
      return ParseStatusMessage(message);
    default:
      throw ProtocolError("Illegal or unknown message type");
  }
}

}  // namespace vexa
