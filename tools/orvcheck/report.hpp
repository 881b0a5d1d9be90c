// The outcome of orvcheck's checks and its output formats. A check records
// each fact once; the message, the JSON values, the metrics and the plugin
// performance data are all rendered from those records.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace orvcheck {

// The monitoring plugins' states; the value is the exit status.
enum class State { OK = 0, WARNING = 1, CRITICAL = 2, UNKNOWN = 3 };

std::string_view StateName(State state);

// The more severe of the two, ranked CRITICAL > UNKNOWN > WARNING > OK: a
// check that cannot tell is worse than a warning, but not than a known fault.
State Worse(State a, State b);

// A day, written YYYY-MM-DD; as a metric, the Unix time of `time`.
struct Date {
  std::chrono::sys_seconds time;
};

// A kernel value by its name and number, written as ethtool shows it: on(1).
struct Named {
  std::string_view name;
  std::int64_t value;
};

// What a fact holds; std::monostate is none: JSON null, "none" in the
// message, no sample.
using Value = std::variant<std::monostate, bool, std::int64_t, double, std::string, Date, Named,
                           std::vector<Named>>;

// Every member has a default so that designated initializers may leave any
// out.

// A fact's performance data for monitoring plugins: thresholds and bounds in
// the plugins' range syntax, each empty when there is none.
struct Perf {
  std::string warn{};
  std::string crit{};
  std::string min{};
  std::string max{};
};

// A fact's metric. `name` follows the "orvkit_" prefix and ends in its base
// unit, if it has one.
struct Series {
  std::string name{};
  std::string help{};
  // Set: the fact is this label of the series `name` (an `_info` series of
  // value 1, one sample per check however many facts label it), left out
  // when the fact is none.
  std::string infoLabel{};
  // Set: the sample's value instead of the fact's own, such as a flag derived
  // from a word, or the value that stands for a date that is none.
  std::optional<double> value{};
  // Labels beside the check's interface.
  std::vector<std::pair<std::string, std::string>> labels{};
  std::optional<Perf> perf{};
};

struct Fact {
  // A JSON pointer below the check's "values" without its leading '/'
  // ("capabilities/phc"); empty: not in the JSON values.
  std::string key{};
  Value value{};
  std::optional<Series> series{};
};

struct CheckResult {
  std::string check{};       // one of the names in checks.hpp
  std::string interface {};  // the interface of an "interface" or "phc" check, else empty
  std::string socket{};      // the daemon's socket of a "ptp4l" check, else empty
  State state = State::UNKNOWN;
  // The check's one line, built in one place by the check; untrusted text in
  // it is already Printable.
  std::string message{};
  std::vector<Fact> facts{};  // in the check's one order, whatever its state

  void Record(Fact fact) { facts.push_back(std::move(fact)); }
};

State Overall(const std::vector<CheckResult>& results);

struct Report {
  std::vector<CheckResult> results;
  State state = State::OK;  // the exit status
  // Why the run failed beside its checks (a textfile not written); empty
  // when it did not.
  std::string failure;
};

enum class Format { TEXT, JSON, OPENMETRICS };

// `value` in fixed notation with at most nine decimals and no trailing zeros
// ("0.000001", "37"), as performance data and thresholds in messages show it.
std::string PlainNumber(double value);

// How messages show values: a day as YYYY-MM-DD, a kernel value as on(1),
// a list of them separated by blanks ("none" when empty).
std::string Day(std::chrono::sys_seconds time);
std::string NamedText(const Named& named);
std::string NamedList(const std::vector<Named>& list);

// The whole output in `format`, ending with a newline. `quiet`: nothing when
// every check is OK, and in text only the first line and the checks that are
// not OK, so that a log keeps the reasons without a line a minute for each.
std::string Render(Format format, const Report& report, bool quiet = false);

}  // namespace orvcheck
