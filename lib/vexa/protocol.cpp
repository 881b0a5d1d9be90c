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

using Message = std::variant<SubscribeReply, StatusMessage>;

SubscribeReply ParseSubscribeReply(gsl::span<const unsigned char> message) {
  if (message.size() > 1) {
    throw ProtocolError("Invalid message length");
  }
  return {};
}

// Length checks come before the status check, so a message that is wrong in
// both reports its length. The result is built where the caller receives it,
// so the text is copied once and never moved.
Message ParseStatusMessage(gsl::span<const unsigned char> message) {
  if (message.size() < STATUS_HEADER_SIZE) {
    throw ProtocolError("Message too short");
  }
  if (message.size() - STATUS_HEADER_SIZE != message[2]) {
    throw ProtocolError("Inconsistent message length");
  }
  Message result(std::in_place_type<StatusMessage>);
  auto& status = *std::get_if<StatusMessage>(&result);
  // One block copy by the library's memcpy: the span's checked iterators
  // cost a bounds check per byte, and the constructor, inlined, a slow
  // string instruction for every text of 8 bytes or more.
  status.text.assign(reinterpret_cast<const char*>(message.data()) + STATUS_HEADER_SIZE,
                     message.size() - STATUS_HEADER_SIZE);
  if (message[1] > HIGHEST_STATUS) {
    throw ProtocolError("Unknown status value");
  }
  status.status = static_cast<Status>(message[1]);
  return result;
}

}  // namespace

Message Parse(gsl::span<const unsigned char> message) {
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
