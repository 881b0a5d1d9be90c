// libFuzzer target for ptp::ParseAnswer: besides crashes and sanitizer
// findings it aborts on an accepted answer that breaks the message rules, so
// that a parser which accepts a mangled message or misreads one counts as a
// crash too. The requests are those the seed corpus answers: ptp4l's answers
// to GETs with sequence ids 100 to 106.
#include <ptp_management.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <type_traits>
#include <variant>

namespace {

using ptp::ManagementId;

constexpr std::array<ManagementId, 7> IDS = {
    ManagementId::DEFAULT_DATA_SET,  ManagementId::CURRENT_DATA_SET,
    ManagementId::PARENT_DATA_SET,   ManagementId::TIME_PROPERTIES_DATA_SET,
    ManagementId::PORT_DATA_SET,     ManagementId::TIME_STATUS_NP,
    ManagementId::PORT_PROPERTIES_NP};
constexpr std::uint16_t FIRST_SEQUENCE = 100;

std::array<ptp::Request, IDS.size()> Requests() {
  std::array<ptp::Request, IDS.size()> requests;
  for (std::size_t i = 0; i < IDS.size(); ++i) {
    requests[i] = {IDS[i], static_cast<std::uint16_t>(FIRST_SEQUENCE + i), {}, 0};
  }
  return requests;
}

const auto REQUESTS = Requests();

void Require(bool holds, const char* rule) {
  if (!holds) {
    std::fprintf(stderr, "ptp_management_fuzz: %s\n", rule);
    std::abort();
  }
}

unsigned Get16(std::span<const std::uint8_t> message, std::size_t at) {
  return (static_cast<unsigned>(message[at]) << 8) | message[at + 1];
}

// The id each data set answers.
template <typename Set>
constexpr ManagementId IdOf() {
  if constexpr (std::is_same_v<Set, ptp::DefaultDataSet>) return ManagementId::DEFAULT_DATA_SET;
  if constexpr (std::is_same_v<Set, ptp::CurrentDataSet>) return ManagementId::CURRENT_DATA_SET;
  if constexpr (std::is_same_v<Set, ptp::ParentDataSet>) return ManagementId::PARENT_DATA_SET;
  if constexpr (std::is_same_v<Set, ptp::TimePropertiesDataSet>)
    return ManagementId::TIME_PROPERTIES_DATA_SET;
  if constexpr (std::is_same_v<Set, ptp::PortDataSet>) return ManagementId::PORT_DATA_SET;
  if constexpr (std::is_same_v<Set, ptp::TimeStatusNp>) return ManagementId::TIME_STATUS_NP;
  return ManagementId::PORT_PROPERTIES_NP;
}

void CheckAccepted(std::span<const std::uint8_t> message, const ptp::Answer& answer) {
  Require(message.size() >= 52 && Get16(message, 2) == message.size(),
          "accepted with a messageLength other than its size");
  Require((message[0] & 0x0F) == 0x0D && (message[46] & 0x0F) == 2,
          "accepted other than a management RESPONSE");
  Require(
      answer.request < REQUESTS.size() && Get16(message, 30) == REQUESTS[answer.request].sequenceId,
      "answer matched to a request of another sequence id");
  Require(Get16(message, 50) + 52 == message.size(), "accepted with bytes outside the TLV");
  const auto asked = REQUESTS[answer.request].id;
  std::visit(
      [&](const auto& content) {
        using Content = std::decay_t<decltype(content)>;
        if constexpr (std::is_same_v<Content, ptp::ManagementErrorStatus>) {
          Require(Get16(message, 48) == 2 && content.id == asked,
                  "error status for another id, or from another TLV type");
        } else {
          Require(Get16(message, 48) == 1 && IdOf<Content>() == asked &&
                      Get16(message, 52) == static_cast<unsigned>(asked),
                  "data set of another id than asked, or from another TLV type");
        }
        if constexpr (std::is_same_v<Content, ptp::PortPropertiesNp>) {
          Require(content.interfaceName.size() == message[52 + 2 + 12],
                  "interface name of another length than its PTPText");
        }
      },
      answer.content);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> message(data, size);
  try {
    CheckAccepted(message, ptp::ParseAnswer(message, REQUESTS));
  } catch (const ptp::MessageError& error) {
    Require(*error.what() != '\0', "rejection without a reason");
    if (error.GetKind() == ptp::MessageError::Kind::NOT_OURS) {
      Require(size >= 32 && (Get16(message, 30) < FIRST_SEQUENCE ||
                             Get16(message, 30) >= FIRST_SEQUENCE + REQUESTS.size()),
              "one of our sequence ids taken for someone else's");
    }
  }
  return 0;
}
