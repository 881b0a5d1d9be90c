// libFuzzer target for vexa::Parse: besides crashes and sanitizer findings it
// aborts on any result that breaks the message rules, so that a parser which
// accepts, mangles or misreports a message counts as a crash too.
#include <vexa/protocol.hpp>

#include <gsl/span>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <variant>

namespace {

using Message = gsl::span<const unsigned char>;

constexpr unsigned char STATUS_MESSAGE = 0x01;
constexpr unsigned char SUBSCRIBE_REPLY = 0x03;
constexpr unsigned char STATUS_EVENT = 0x04;
constexpr std::size_t HEADER = 3;

constexpr std::array<std::string_view, 5> REJECTIONS = {
    "Invalid message length", "Message too short", "Inconsistent message length",
    "Unknown status value", "Illegal or unknown message type"};

[[noreturn]] void Violation(const char* rule) {
  std::fprintf(stderr, "vexa_parse_fuzz: %s\n", rule);
  std::abort();
}

void Require(bool holds, const char* rule) {
  if (!holds) {
    Violation(rule);
  }
}

// The message rules stated on their own, without the parser's order of checks.
bool WellFormed(Message message) {
  if (message.size() == 1 && message[0] == SUBSCRIBE_REPLY) {
    return true;
  }
  return (message.size() >= HEADER) &&
         (message[0] == STATUS_MESSAGE || message[0] == STATUS_EVENT) &&
         message.size() - HEADER == message[2] && message[1] <= 3;
}

void Check(Message message, const vexa::SubscribeReply& /*reply*/) {
  Require(message.size() == 1 && message[0] == SUBSCRIBE_REPLY,
          "subscribe reply from other than the single byte 0x03");
}

void Check(Message message, const vexa::StatusMessage& status) {
  Require(message.size() == HEADER + status.text.size(), "status message length is not 3 + N");
  Require(message[0] == STATUS_MESSAGE || message[0] == STATUS_EVENT,
          "status message of another type");
  Require(message[2] == status.text.size(), "text length differs from the length byte");
  Require(static_cast<std::uint32_t>(status.status) == message[1] && message[1] <= 3,
          "status value differs from byte 1");
  const auto text = message.subspan(HEADER);
  Require(std::equal(text.begin(), text.end(), status.text.begin(), status.text.end(),
                     [](unsigned char byte, char copy) {
                       return byte == static_cast<unsigned char>(copy);
                     }),
          "text differs from bytes 3 onward");
}

void CheckRejection(Message message, std::string_view what) {
  Require(std::find(REJECTIONS.begin(), REJECTIONS.end(), what) != REJECTIONS.end(),
          "rejection with an unknown text");
  Require(!WellFormed(message), "well-formed message rejected");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Message message(data, size);
  try {
    std::visit([&](const auto& result) { Check(message, result); }, vexa::Parse(message));
  } catch (const vexa::ProtocolError& error) {
    CheckRejection(message, error.what());
  }
  return 0;
}
