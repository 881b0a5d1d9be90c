// ptp4l's management messages: the answers a real ptp4l gave
// (fuzz/corpus/ptp_management), read, and changed, refused.
#include <ptp_management.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace {

using ptp::ManagementId;

// The fuzz target's requests: the corpus answers sequence ids 100 to 106.
const std::vector<ptp::Request> REQUESTS = {{ManagementId::DEFAULT_DATA_SET, 100, {}, 0},
                                            {ManagementId::CURRENT_DATA_SET, 101, {}, 0},
                                            {ManagementId::PARENT_DATA_SET, 102, {}, 0},
                                            {ManagementId::TIME_PROPERTIES_DATA_SET, 103, {}, 0},
                                            {ManagementId::PORT_DATA_SET, 104, {}, 0},
                                            {ManagementId::TIME_STATUS_NP, 105, {}, 0},
                                            {ManagementId::PORT_PROPERTIES_NP, 106, {}, 0}};

constexpr ptp::ClockIdentity GM = {0x8a, 0x22, 0x00, 0xff, 0xfe, 0x5f, 0x46, 0x2e};
constexpr ptp::ClockIdentity SLAVE = {0x6e, 0x26, 0x45, 0xff, 0xfe, 0x23, 0x78, 0xb6};

std::vector<unsigned char> Seed(const std::string& name) {
  std::ifstream file(std::string(PTP_CORPUS_DIR) + "/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// A seed, resized (0: kept) and patched, and what ParseAnswer makes of it: a
// data set, or the reason it refuses it.
struct Case {
  const char* seed;
  std::size_t size;
  std::vector<std::pair<std::size_t, unsigned char>> patches;
  std::variant<ptp::Content, std::string> expected;
};

TEST(PtpManagement, ReadsWhatPtp4lAnsweredAndRefusesWhatIsNotAnAnswer) {
  const ptp::ClockQuality quality = {6, 0x21, 0x4e5d};
  const std::vector<Case> table = {
      {"gm_default", 0, {}, ptp::DefaultDataSet{true, false, 1, 128, quality, 128, GM, 0}},
      {"slave_current", 0, {}, ptp::CurrentDataSet{1, {86 << 16}, {2429 << 16}}},
      {"slave_parent",
       0,
       {},
       ptp::ParentDataSet{{GM, 1}, false, 0xffff, 0x7fffffff, 128, quality, 128, GM}},
      {"slave_timeprops",
       0,
       {},
       ptp::TimePropertiesDataSet{37, false, true, true, false, true, false, 0x20}},
      {"slave_portds",
       0,
       {},
       ptp::PortDataSet{{SLAVE, 1}, ptp::PortState::SLAVE, 0, {0}, -2, 3, -3, 1, 0, 2}},
      {"slave_portprops",
       0,
       {},
       ptp::PortPropertiesNp{{SLAVE, 1}, ptp::PortState::SLAVE, 0, "ptp0"}},
      {"slave_timestatus", 0, {}, ptp::TimeStatusNp{86, 0x18ef8eb52e857133, 0, 0, 0, {}, true, GM}},
      {"slave_error_not_supported",
       0,
       {},
       ptp::ManagementErrorStatus{6, ManagementId::DEFAULT_DATA_SET, ""}},
      {"gm_default", 20, {}, "truncated header: 20 bytes"},
      {"gm_default", 0, {{0, 0x0b}}, "not a management message (type 11)"},
      {"gm_default", 75, {}, "messageLength 74 in a message of 75 bytes"},
      {"gm_default", 48, {{3, 48}}, "truncated management message: 48 bytes"},
      {"gm_default", 0, {{31, 99}}, "sequence id 99 is not ours"},
      {"gm_default", 0, {{46, 0}}, "action 0, not RESPONSE"},
      {"gm_default", 0, {{51, 24}}, "TLV length 24 with 22 bytes after it (an even count)"},
      {"gm_default", 0, {{51, 20}}, "TLV length 20 with 22 bytes after it (an even count)"},
      {"gm_default", 0, {{49, 3}}, "TLV type 0x0003 is not a management TLV"},
      {"gm_default", 0, {{53, 5}}, "unknown management id 0x2005"},
      {"gm_default", 0, {{53, 1}}, "answers CURRENT_DATA_SET to a GET DEFAULT_DATA_SET"},
      {"gm_default", 72, {{3, 72}, {51, 20}}, "DEFAULT_DATA_SET data of 18 bytes, expected 20"},
      {"slave_portds", 0, {{64, 0}}, "port state 0 is not an IEEE 1588 state"},
      {"slave_portprops", 0, {{66, 7}}, "interface name of 7 bytes in 5 bytes"},
      {"slave_portprops", 0, {{66, 2}}, "interface name of 2 bytes in 5 bytes"},
      {"slave_error_not_supported",
       58,
       {{3, 58}, {51, 6}},
       "error status TLV of 6 bytes, expected at least 8"},
  };
  for (const auto& row : table) {
    auto message = Seed(row.seed);
    SCOPED_TRACE(std::string(row.seed) + ", case " + std::to_string(&row - table.data()));
    ASSERT_FALSE(message.empty());
    if (row.size != 0) {
      message.resize(row.size);
    }
    for (const auto& [at, value] : row.patches) {
      message[at] = value;
    }
    try {
      EXPECT_TRUE(row.expected ==
                  decltype(row.expected)(ptp::ParseAnswer(message, REQUESTS).content));
    } catch (const ptp::MessageError& error) {
      EXPECT_TRUE(row.expected == decltype(row.expected)(error.what())) << error.what();
    }
  }
}

}  // namespace
