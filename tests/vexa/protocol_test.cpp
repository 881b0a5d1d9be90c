// The daemon message parser and the exported constants.
#include <vexa/protocol.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using Result = std::variant<vexa::SubscribeReply, vexa::StatusMessage>;

Result ParseBytes(const Bytes& bytes) {
  return vexa::Parse(gsl::span<const unsigned char>(bytes.data(), bytes.size()));
}

// The text of the ProtocolError that Parse throws, or "" when it returns.
std::string Rejection(const Bytes& bytes) {
  try {
    ParseBytes(bytes);
  } catch (const vexa::ProtocolError& error) {
    return error.what();
  }
  return "";
}

Bytes StatusBytes(unsigned char type, unsigned char status, const std::string& text) {
  Bytes bytes(3 + text.size());
  bytes[0] = type;
  bytes[1] = status;
  bytes[2] = static_cast<unsigned char>(text.size());
  std::copy(text.begin(), text.end(), bytes.begin() + 3);
  return bytes;
}

TEST(VexaConstants, RequestsAndDefaultAddress) {
  EXPECT_EQ(vexa::STATUS_REQUEST, 0x00);
  EXPECT_EQ(vexa::SUBSCRIBE_REQUEST, 0x02);
  EXPECT_EQ(vexa::DEFAULT_SOCKET_PATH, std::string_view("\0orvmon", 7));
  EXPECT_EQ(vexa::DEFAULT_SOCKET_PATH.size(), 7u);
}

TEST(VexaProtocolError, IsARuntimeErrorBuiltFromEitherText) {
  static_assert(std::is_base_of_v<std::runtime_error, vexa::ProtocolError>);
  EXPECT_STREQ(vexa::ProtocolError("from chars").what(), "from chars");
  EXPECT_STREQ(vexa::ProtocolError(std::string("from string")).what(), "from string");
  // Thrown by the library, caught by the base type too.
  EXPECT_THROW(ParseBytes({}), std::runtime_error);
}

TEST(VexaParse, SubscribeReply) {
  EXPECT_TRUE(std::holds_alternative<vexa::SubscribeReply>(ParseBytes({0x03})));
  EXPECT_EQ(ParseBytes({0x03}).index(), 0u);
  EXPECT_EQ(Rejection({0x03, 0x00}), "Invalid message length");
  EXPECT_EQ(Rejection({0x03, 0x03, 0x03}), "Invalid message length");
}

TEST(VexaParse, StatusMessagesOfBothTypes) {
  EXPECT_EQ(ParseBytes({0x01, 0x00, 0x00}), Result(vexa::StatusMessage{vexa::Status{0}, ""}));
  EXPECT_EQ(ParseBytes({0x04, 0x03, 0x02, 0x6F, 0x6B}),
            Result(vexa::StatusMessage{vexa::Status{3}, "ok"}));
  for (unsigned char status = 0; status <= 3; ++status) {
    EXPECT_EQ(std::get<vexa::StatusMessage>(ParseBytes(StatusBytes(0x01, status, "x"))).status,
              vexa::Status{status});
  }
}

TEST(VexaParse, TextBytesPassUnchanged) {
  const std::string text("a\0b\x7F\x80\xFF\"", 7);
  const auto message = std::get<vexa::StatusMessage>(ParseBytes(StatusBytes(0x04, 1, text)));
  EXPECT_EQ(message.text, text);
  EXPECT_EQ(message.text.size(), 7u);
}

TEST(VexaParse, LongestMessageIs258Bytes) {
  const std::string text(255, '\xAB');
  const auto bytes = StatusBytes(0x01, 2, text);
  ASSERT_EQ(bytes.size(), 258u);
  EXPECT_EQ(std::get<vexa::StatusMessage>(ParseBytes(bytes)).text, text);
  // No length byte describes 256 text bytes.
  auto longer = bytes;
  longer.push_back(0);
  EXPECT_EQ(Rejection(longer), "Inconsistent message length");
}

TEST(VexaParse, EachRejectionText) {
  EXPECT_EQ(Rejection({}), "Invalid message length");
  EXPECT_EQ(Rejection({0x01}), "Message too short");
  EXPECT_EQ(Rejection({0x04}), "Message too short");
  EXPECT_EQ(Rejection({0x01, 0x00}), "Message too short");
  EXPECT_EQ(Rejection({0x01, 0x00, 0x05, 0x41}), "Inconsistent message length");
  EXPECT_EQ(Rejection({0x04, 0x00, 0x00, 0x41}), "Inconsistent message length");
  EXPECT_EQ(Rejection({0x01, 0x04, 0x00}), "Unknown status value");
  EXPECT_EQ(Rejection({0x04, 0xFF, 0x00}), "Unknown status value");
  for (const unsigned char type : {0x00, 0x02, 0x05, 0x7F, 0x80, 0xFF}) {
    EXPECT_EQ(Rejection({type}), "Illegal or unknown message type") << int(type);
    EXPECT_EQ(Rejection({type, 0x00, 0x00}), "Illegal or unknown message type") << int(type);
  }
}

TEST(VexaParse, LengthIsCheckedBeforeStatusValue) {
  EXPECT_EQ(Rejection({0x01, 0x07, 0x01}), "Inconsistent message length");
  EXPECT_EQ(Rejection({0x04, 0x09}), "Message too short");
}

TEST(VexaParse, KeepsNoStateBetweenMessages) {
  EXPECT_EQ(Rejection({0x01, 0x00}), "Message too short");
  EXPECT_EQ(ParseBytes({0x01, 0x00, 0x01, 0x7A}),
            Result(vexa::StatusMessage{vexa::Status{0}, "z"}));
}

// The rules stated once more, independently of the library: the rejection
// text, or the parsed value.
std::variant<std::string, Result> Model(const Bytes& m) {
  if (m.empty() || (m[0] == 0x03 && m.size() != 1)) {
    return std::string("Invalid message length");
  }
  if (m[0] == 0x03) {
    return Result(vexa::SubscribeReply{});
  }
  if (m[0] != 0x01 && m[0] != 0x04) {
    return std::string("Illegal or unknown message type");
  }
  if (m.size() <= 2) {
    return std::string("Message too short");
  }
  if (m.size() != 3u + m[2]) {
    return std::string("Inconsistent message length");
  }
  if (m[1] >= 4) {
    return std::string("Unknown status value");
  }
  return Result(
      vexa::StatusMessage{static_cast<vexa::Status>(m[1]), std::string(m.begin() + 3, m.end())});
}

// Messages near the rules' edges more often than uniform bytes would be.
Bytes RandomMessage(std::mt19937& random) {
  const auto pick = [&](unsigned bound) {
    return std::uniform_int_distribution<unsigned>(0, bound - 1)(random);
  };
  const unsigned char types[] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0xFF};
  std::size_t length = pick(4) == 0 ? pick(5) : pick(262);
  Bytes bytes(length);
  for (auto& byte : bytes) {
    byte = static_cast<unsigned char>(pick(256));
  }
  if (length > 0 && pick(4) != 0) {
    bytes[0] = types[pick(std::size(types))];
  }
  if (length > 1 && pick(2) == 0) {
    bytes[1] = static_cast<unsigned char>(pick(6));
  }
  if (length > 2 && pick(2) == 0) {
    bytes[2] = static_cast<unsigned char>(length - 3 + pick(3) - 1);
  }
  return bytes;
}

TEST(VexaParse, AgreesWithAnIndependentModel) {
  std::mt19937 random(20240611);
  std::map<std::string, int> outcomes;
  for (int i = 0; i < 200000; ++i) {
    const auto bytes = RandomMessage(random);
    const auto expected = Model(bytes);
    std::variant<std::string, Result> actual;
    try {
      actual = ParseBytes(bytes);
    } catch (const vexa::ProtocolError& error) {
      actual = std::string(error.what());
    }
    ASSERT_EQ(actual, expected) << "message of " << bytes.size() << " bytes, type "
                                << (bytes.empty() ? -1 : bytes[0]);
    ++outcomes[expected.index() == 0 ? std::get<std::string>(expected)
                                     : std::to_string(std::get<Result>(expected).index())];
  }
  // Every outcome was reached, so the comparison covered every rule.
  EXPECT_EQ(outcomes.size(), 7u);
}

}  // namespace
