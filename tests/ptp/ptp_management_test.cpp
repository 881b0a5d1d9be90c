// ptp4l's management messages: GET as ptp4l answers it, and the answers
// ptp4l gave (fuzz/corpus/ptp_management), read and refused.
#include <ptp_management.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using ptp::ManagementId;

// The fuzz target's requests: the corpus answers sequence ids 100 to 106.
const std::vector<ptp::Request> REQUESTS = {{ManagementId::DEFAULT_DATA_SET, 100, {}, 0},
                                            {ManagementId::CURRENT_DATA_SET, 101, {}, 0},
                                            {ManagementId::PARENT_DATA_SET, 102, {}, 0},
                                            {ManagementId::TIME_PROPERTIES_DATA_SET, 103, {}, 0},
                                            {ManagementId::PORT_DATA_SET, 104, {}, 0},
                                            {ManagementId::TIME_STATUS_NP, 105, {}, 0},
                                            {ManagementId::PORT_PROPERTIES_NP, 106, {}, 0}};

constexpr ptp::ClockIdentity GM = {0xce, 0x60, 0x5b, 0xff, 0xfe, 0x5d, 0x33, 0x28};
constexpr ptp::ClockIdentity SLAVE = {0xba, 0x66, 0x81, 0xff, 0xfe, 0x02, 0xd1, 0x7b};

Bytes Seed(const std::string& name) {
  std::ifstream file(std::string(PTP_CORPUS_DIR) + "/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), {});
}

ptp::Answer Parse(const Bytes& message) {
  return ptp::ParseAnswer(message, REQUESTS);
}

TEST(PtpManagement, GetIsTheRequestPtp4lAnswers) {
  const auto get = ptp::EncodeGet(
      {ManagementId::PORT_PROPERTIES_NP, 0x1234, {{1, 2, 3, 4, 5, 6, 7, 8}, 0x0102}, 5});
  const Bytes expected = {0x0d, 0x02, 0x00, 0x36, 0x05, 0,    0,    0,    0,    0,    0,
                          0,    0,    0,    0,    0,    0,    0,    0,    0,    1,    2,
                          3,    4,    5,    6,    7,    8,    1,    2,    0x12, 0x34, 0x04,
                          0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                          0,    0,    0,    0,    0x00, 0x01, 0x00, 0x02, 0xc0, 0x04};
  EXPECT_EQ(Bytes(get.begin(), get.end()), expected);
  EXPECT_EQ(ptp::FormatPortIdentity({GM, 1}), "ce605b.fffe.5d3328-1");
}

struct Read {
  const char* seed;
  std::size_t request;  // the index of the request it answers
  ptp::Content content;
};

TEST(PtpManagement, ReadsEveryDataSetPtp4lAnswered) {
  const std::vector<Read> table = {
      {"gm_default", 0, ptp::DefaultDataSet{true, false, 1, 128, {248, 0xfe, 0xffff}, 128, GM, 0}},
      {"slave_current", 1, ptp::CurrentDataSet{1, {210 << 16}, {2425 << 16}}},
      {"slave_parent", 2,
       ptp::ParentDataSet{{GM, 1}, false, 0xffff, 0x7fffffff, 128, {248, 0xfe, 0xffff}, 128, GM}},
      {"slave_timeprops", 3,
       ptp::TimePropertiesDataSet{37, false, false, false, false, false, false, 0xa0}},
      {"slave_portds", 4,
       ptp::PortDataSet{{SLAVE, 1}, ptp::PortState::SLAVE, 0, {0}, -2, 3, -3, 1, 0, 2}},
      {"slave_portprops", 6, ptp::PortPropertiesNp{{SLAVE, 1}, ptp::PortState::SLAVE, 0, "w28b"}},
      {"slave_timestatus", 5, ptp::TimeStatusNp{210, 0x18ef8dc9decaff66, 0, 0, 0, {}, true, GM}},
      {"slave_error_not_supported", 0,
       ptp::ManagementErrorStatus{6, ManagementId::DEFAULT_DATA_SET, ""}},
  };
  for (const auto& read : table) {
    SCOPED_TRACE(read.seed);
    const auto answer = Parse(Seed(read.seed));
    EXPECT_EQ(answer.content, read.content);
    EXPECT_EQ(answer.request, read.request);
  }
  EXPECT_EQ(ptp::ManagementErrorName(6), "NOT_SUPPORTED");
}

struct Refusal {
  const char* what;
  const char* seed;
  std::function<void(Bytes&)> change;
  ptp::MessageError::Kind kind;
  const char* reason;
};

// Keeps messageLength and the TLV's lengthField in step with a resized message.
void Resize(Bytes& message, std::size_t size) {
  message.resize(size);
  message[2] = static_cast<unsigned char>(size >> 8);
  message[3] = static_cast<unsigned char>(size);
  message[50] = static_cast<unsigned char>((size - 52) >> 8);
  message[51] = static_cast<unsigned char>(size - 52);
}

TEST(PtpManagement, RefusesWhatIsNotAnAnswerOfOurs) {
  using Kind = ptp::MessageError::Kind;
  const std::vector<Refusal> table = {
      {"truncated header", "gm_default", [](Bytes& m) { m.resize(20); }, Kind::Malformed,
       "truncated header: 20 bytes"},
      {"another message type", "gm_default", [](Bytes& m) { m[0] = 0x0b; }, Kind::Malformed,
       "not a management message (type 11)"},
      {"another version", "gm_default", [](Bytes& m) { m[1] = 1; }, Kind::Malformed,
       "PTP version 1, not 2"},
      {"bytes beyond messageLength", "gm_default", [](Bytes& m) { m.push_back(0); },
       Kind::Malformed, "messageLength 74 in a message of 75 bytes"},
      {"no TLV", "gm_default",
       [](Bytes& m) {
         m.resize(48);
         m[3] = 48;
       },
       Kind::Malformed, "truncated management message: 48 bytes"},
      {"sequence not ours", "gm_default", [](Bytes& m) { m[31] = 99; }, Kind::NotOurs,
       "sequence id 99 is not ours"},
      {"a GET", "gm_default", [](Bytes& m) { m[46] = 0; }, Kind::Malformed,
       "action 0, not RESPONSE"},
      {"truncated TLV", "gm_default", [](Bytes& m) { m[51] += 2; }, Kind::Malformed,
       "TLV length 24 with 22 bytes after it (an even count)"},
      {"bytes after the TLV", "gm_default", [](Bytes& m) { m[51] -= 2; }, Kind::Malformed,
       "TLV length 20 with 22 bytes after it (an even count)"},
      {"another TLV type", "gm_default", [](Bytes& m) { m[49] = 3; }, Kind::Malformed,
       "TLV type 0x0003 is not a management TLV"},
      {"unknown id", "gm_default", [](Bytes& m) { m[53] = 0x05; }, Kind::Malformed,
       "unknown management id 0x2005"},
      {"another id than asked", "gm_default", [](Bytes& m) { m[53] = 0x01; }, Kind::Malformed,
       "answers CURRENT_DATA_SET to a GET DEFAULT_DATA_SET"},
      {"wrong length for the id", "gm_default", [](Bytes& m) { Resize(m, 72); }, Kind::Malformed,
       "DEFAULT_DATA_SET data of 18 bytes, expected 20"},
      {"port state 0", "slave_portds", [](Bytes& m) { m[64] = 0; }, Kind::Malformed,
       "port state 0 is not an IEEE 1588 state"},
      {"port state 10", "slave_portprops", [](Bytes& m) { m[64] = 10; }, Kind::Malformed,
       "port state 10 is not an IEEE 1588 state"},
      {"name beyond the TLV", "slave_portprops", [](Bytes& m) { m[66] = 7; }, Kind::Malformed,
       "interface name of 7 bytes in 5 bytes"},
      {"name short of the TLV", "slave_portprops", [](Bytes& m) { m[66] = 2; }, Kind::Malformed,
       "interface name of 2 bytes in 5 bytes"},
      {"short error status", "slave_error_not_supported", [](Bytes& m) { Resize(m, 58); },
       Kind::Malformed, "error status TLV of 6 bytes, expected at least 8"},
  };
  for (const auto& refusal : table) {
    SCOPED_TRACE(refusal.what);
    auto message = Seed(refusal.seed);
    refusal.change(message);
    try {
      Parse(message);
      ADD_FAILURE() << "accepted";
    } catch (const ptp::MessageError& error) {
      EXPECT_EQ(error.GetKind(), refusal.kind);
      EXPECT_STREQ(error.what(), refusal.reason);
    }
  }
}

}  // namespace
