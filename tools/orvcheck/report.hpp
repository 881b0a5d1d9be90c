// The outcome of orvcheck's checks and its three output formats.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvcheck {

// The monitoring plugins' states; the value is the exit status.
enum class State { OK = 0, WARNING = 1, CRITICAL = 2, UNKNOWN = 3 };

std::string_view StateName(State state);

// The more severe of the two, ranked CRITICAL > UNKNOWN > WARNING > OK: a
// check that cannot tell is worse than a warning, but not than a known fault.
State Worse(State a, State b);

// One sample for the metrics output; `name` goes after the "orvkit_" prefix
// and carries the unit.
struct Metric {
  std::string name;
  std::string help;
  std::int64_t value;
};

struct CheckResult {
  std::string check;      // "tai-offset", "leap-list", "interface", "monitor"
  std::string interface;  // the interface of an "interface" check, else empty
  State state = State::UNKNOWN;
  std::string message;  // one line
  nlohmann::ordered_json values = nlohmann::ordered_json::object();
  std::vector<Metric> metrics;
};

State Overall(const std::vector<CheckResult>& results);

enum class Format { TEXT, JSON, OPENMETRICS };

// The whole output in `format`, ending with a newline.
std::string Render(Format format, const std::vector<CheckResult>& results, State overall);

}  // namespace orvcheck
