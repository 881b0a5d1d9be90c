#include "report.hpp"

#include <frame.hpp>
#include <printable.hpp>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cmath>

namespace orvcheck {

namespace {

constexpr std::array<std::string_view, 4> STATE_NAMES = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
constexpr std::array<int, 4> SEVERITY = {0, 1, 3, 2};  // by State value
// The states for which a summary names the checks, the most severe first.
constexpr std::array<std::pair<State, std::string_view>, 3> SUMMARY_STATES = {
    {{State::CRITICAL, "critical"}, {State::UNKNOWN, "unknown"}, {State::WARNING, "warning"}}};

template <typename... Cases>
struct Overloaded : Cases... {
  using Cases::operator()...;
};
template <typename... Cases>
Overloaded(Cases...) -> Overloaded<Cases...>;

int Severity(State state) {
  return SEVERITY[static_cast<std::size_t>(state)];
}

nlohmann::ordered_json ToJson(const Value& value) {
  return std::visit(
      Overloaded{[](std::monostate) { return nlohmann::ordered_json(nullptr); },
                 [](Date date) { return nlohmann::ordered_json(Day(date.time)); },
                 [](const Named& named) {
                   return nlohmann::ordered_json{{"name", named.name}, {"value", named.value}};
                 },
                 [](const std::vector<Named>& list) {
                   auto array = nlohmann::ordered_json::array();
                   for (const auto& named : list) {
                     array.push_back({{"name", named.name}, {"value", named.value}});
                   }
                   return array;
                 },
                 [](const auto& plain) { return nlohmann::ordered_json(plain); }},
      value);
}

// A sample's value: the series' own, else the fact's when it is a number.
std::optional<double> SampleValue(const Fact& fact) {
  if (fact.series->value) {
    return fact.series->value;
  }
  return std::visit(Overloaded{[](bool value) { return std::optional<double>(value ? 1 : 0); },
                               [](std::int64_t value) { return std::optional<double>(value); },
                               [](double value) { return std::optional<double>(value); },
                               [](Date date) {
                                 return std::optional<double>(date.time.time_since_epoch().count());
                               },
                               [](const auto&) { return std::optional<double>(); }},
                    fact.value);
}

// A fact as the label of an `_info` series: a name without its number.
std::optional<std::string> LabelValue(const Value& value) {
  if (const auto* text = std::get_if<std::string>(&value)) {
    return *text;
  }
  if (const auto* named = std::get_if<Named>(&value)) {
    return std::string(named->name);
  }
  return std::nullopt;
}

// What a check of several is about, as a label's name and value: its
// interface or its socket; none for the checks of the host.
std::optional<std::pair<std::string, std::string>> Subject(const CheckResult& result) {
  if (!result.interface.empty()) {
    return std::pair<std::string, std::string>("interface", result.interface);
  }
  if (!result.socket.empty()) {
    return std::pair<std::string, std::string>("socket", result.socket);
  }
  return std::nullopt;
}

std::string CheckLabel(const CheckResult& result) {
  const auto subject = Subject(result);
  return subject ? result.check + ' ' + tools::Printable(subject->second) : result.check;
}

// "2 critical (tai-offset, interface lo), 1 warning (leap-list), 2 OK".
std::string Summary(const Report& report) {
  std::string summary = report.failure.empty() ? "" : tools::Printable(report.failure) + "; ";
  std::vector<std::string> groups;
  for (const auto& [state, name] : SUMMARY_STATES) {
    std::string labels;
    std::size_t count = 0;
    for (const auto& result : report.results) {
      if (result.state == state) {
        labels += (count++ == 0 ? "" : ", ") + CheckLabel(result);
      }
    }
    if (count > 0) {
      groups.push_back(fmt::format("{} {} ({})", count, name, labels));
    }
  }
  const auto ok = static_cast<std::size_t>(
      std::count_if(report.results.begin(), report.results.end(),
                    [](const CheckResult& result) { return result.state == State::OK; }));
  if (report.results.empty()) {
    return summary + "no checks run";
  }
  if (groups.empty()) {
    return summary + fmt::format("{} check{} OK", ok, ok == 1 ? "" : "s");
  }
  if (ok > 0) {
    groups.push_back(fmt::format("{} OK", ok));
  }
  for (std::size_t i = 0; i < groups.size(); ++i) {
    summary += (i == 0 ? "" : ", ") + groups[i];
  }
  return summary;
}

}  // namespace

// Plugin values allow neither exponents nor more than the digits that matter.
std::string PlainNumber(double value) {
  if (value == 0) {
    return "0";
  }
  if (std::nearbyint(value) == value && std::fabs(value) < 1e15) {
    return fmt::format("{:.0f}", value);
  }
  std::string number = fmt::format("{:.9f}", value);
  number.erase(number.find_last_not_of('0') + 1);
  if (number.back() == '.') {
    number.pop_back();
  }
  return number;
}

namespace {

// "label=value[UOM];warn;crit;min;max" for every fact with performance data;
// the unit suffix of the metric's name becomes the unit of measure.
std::string Perfdata(const Report& report) {
  std::string data;
  for (const auto& result : report.results) {
    for (const auto& fact : result.facts) {
      if (!fact.series || !fact.series->perf) {
        continue;
      }
      const auto value = SampleValue(fact);
      if (!value) {
        continue;
      }
      std::string_view label = fact.series->name;
      const bool seconds = label.ends_with("_seconds");
      label.remove_suffix(seconds ? std::string_view("_seconds").size() : 0);
      const Perf& perf = *fact.series->perf;
      std::string datum = fmt::format(
          "{}={}{};{};{};{};{}",
          !Subject(result)
              ? std::string(label)
              : fmt::format("'{} {}'", label, tools::Printable(Subject(result)->second, "'=")),
          PlainNumber(*value), seconds ? "s" : "", perf.warn, perf.crit, perf.min, perf.max);
      datum.erase(datum.find_last_not_of(';') + 1);
      data += ' ' + datum;
    }
  }
  return data;
}

// The first line is what a monitoring system shows: the overall state, a
// summary and, after '|', the performance data. One line per check follows.
std::string RenderText(const Report& report, bool quiet) {
  const std::string perfdata = Perfdata(report);
  std::string text = fmt::format("{} - {}{}{}\n", StateName(report.state), Summary(report),
                                 perfdata.empty() ? "" : " |", perfdata);
  std::vector<const CheckResult*> shown;
  std::size_t width = 0;
  for (const auto& result : report.results) {
    if (!quiet || result.state != State::OK) {
      shown.push_back(&result);
      width = std::max(width, CheckLabel(result).size());
    }
  }
  for (const auto* result : shown) {
    text += fmt::format("{:<8}  {:<{}}  {}\n", StateName(result->state), CheckLabel(*result), width,
                        result->message);
  }
  return text;
}

std::string RenderJson(const Report& report) {
  auto checks = nlohmann::ordered_json::array();
  for (const auto& result : report.results) {
    nlohmann::ordered_json check;
    check["check"] = result.check;
    if (const auto subject = Subject(result)) {
      check[subject->first] = subject->second;
    }
    check["state"] = StateName(result.state);
    check["message"] = result.message;
    auto values = nlohmann::ordered_json::object();
    for (const auto& fact : result.facts) {
      if (!fact.key.empty()) {
        values[nlohmann::ordered_json::json_pointer('/' + fact.key)] = ToJson(fact.value);
      }
    }
    check["values"] = std::move(values);
    checks.push_back(std::move(check));
  }
  nlohmann::ordered_json json = {{"state", StateName(report.state)}};
  if (!report.failure.empty()) {
    json["failure"] = report.failure;
  }
  json["checks"] = std::move(checks);
  // The daemon's text and interface names may hold bytes that are not UTF-8:
  // replace them rather than fail the whole report.
  return json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';
}

using Labels = std::vector<std::pair<std::string, std::string>>;

struct Sample {
  std::string_view name;
  std::string_view help;
  Labels labels;
  double value;
};

std::string LabelSet(const Labels& labels) {
  std::string text;
  for (const auto& [name, value] : labels) {
    std::string escaped;
    for (const char c : tools::Printable(value)) {
      escaped += c == '\\' || c == '"' ? std::string{'\\', c} : std::string{c};
    }
    text += fmt::format("{}{}=\"{}\"", text.empty() ? "" : ",", name, escaped);
  }
  return text.empty() ? text : '{' + text + '}';
}

// Every sample the facts give, in their order; the facts that label an
// `_info` series of one check share its one sample.
std::vector<Sample> Samples(const std::vector<CheckResult>& results) {
  std::vector<Sample> samples;
  for (const auto& result : results) {
    const std::size_t first = samples.size();
    for (const auto& fact : result.facts) {
      if (!fact.series) {
        continue;
      }
      const Series& series = *fact.series;
      Labels labels;
      if (const auto subject = Subject(result)) {
        labels.push_back(*subject);
      }
      labels.insert(labels.end(), series.labels.begin(), series.labels.end());
      if (!series.infoLabel.empty()) {
        auto info =
            std::find_if(samples.begin() + static_cast<std::ptrdiff_t>(first), samples.end(),
                         [&series](const Sample& s) { return s.name == series.name; });
        if (info == samples.end()) {
          samples.push_back({series.name, series.help, std::move(labels), 1});
          info = samples.end() - 1;
        }
        if (const auto label = LabelValue(fact.value)) {
          info->labels.emplace_back(series.infoLabel, *label);
        }
      } else if (const auto value = SampleValue(fact)) {
        samples.push_back({series.name, series.help, std::move(labels), *value});
      }
    }
  }
  return samples;
}

std::string Family(std::string_view name, std::string_view help) {
  std::string escaped;
  for (const char c : help) {
    escaped += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : std::string{c};
  }
  return fmt::format("# HELP orvkit_{} {}\n# TYPE orvkit_{} gauge\n", name, escaped, name);
}

// OpenMetrics 1.0, all gauges, so that node_exporter's textfile collector,
// which reads the Prometheus text format, takes it as well: it reads the
// closing "# EOF" as a comment. Every sample follows its family's HELP and
// TYPE lines, the families in the order the facts first give them.
std::string RenderOpenMetrics(const Report& report) {
  std::string text =
      Family("build_info", "The orvkit version that wrote these metrics") +
      fmt::format("orvkit_build_info{} 1\n", LabelSet({{"version", std::string(tools::VERSION)}}));
  text += Family("check_state", "State of each check: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN");
  for (const auto& result : report.results) {
    Labels labels = {{"check", result.check}};
    if (const auto subject = Subject(result)) {
      labels.push_back(*subject);
    }
    text +=
        fmt::format("orvkit_check_state{} {}\n", LabelSet(labels), static_cast<int>(result.state));
  }
  const auto samples = Samples(report.results);
  std::vector<std::string_view> names;
  for (const auto& sample : samples) {
    if (std::find(names.begin(), names.end(), sample.name) == names.end()) {
      names.push_back(sample.name);
    }
  }
  for (const auto name : names) {
    bool described = false;
    for (const auto& sample : samples) {
      if (sample.name != name) {
        continue;
      }
      if (!described) {
        text += Family(sample.name, sample.help);
        described = true;
      }
      text += fmt::format("orvkit_{}{} {}\n", sample.name, LabelSet(sample.labels), sample.value);
    }
  }
  return text + "# EOF\n";
}

}  // namespace

std::string Day(std::chrono::sys_seconds time) {
  const std::chrono::year_month_day day{std::chrono::floor<std::chrono::days>(time)};
  return fmt::format("{:04}-{:02}-{:02}", static_cast<int>(day.year()),
                     static_cast<unsigned>(day.month()), static_cast<unsigned>(day.day()));
}

std::string NamedText(const Named& named) {
  return fmt::format("{}({})", named.name, named.value);
}

std::string NamedList(const std::vector<Named>& list) {
  std::string joined;
  for (const auto& named : list) {
    if (!joined.empty()) {
      joined += ' ';
    }
    joined += NamedText(named);
  }
  return joined.empty() ? "none" : joined;
}

std::string_view StateName(State state) {
  return STATE_NAMES[static_cast<std::size_t>(state)];
}

State Worse(State a, State b) {
  return Severity(a) >= Severity(b) ? a : b;
}

State Overall(const std::vector<CheckResult>& results) {
  State overall = State::OK;
  for (const auto& result : results) {
    overall = Worse(overall, result.state);
  }
  return overall;
}

std::string Render(Format format, const Report& report, bool quiet) {
  if (quiet && report.state == State::OK) {
    return "";
  }
  switch (format) {
    case Format::JSON:
      return RenderJson(report);
    case Format::OPENMETRICS:
      return RenderOpenMetrics(report);
    case Format::TEXT:
      break;
  }
  return RenderText(report, quiet);
}

}  // namespace orvcheck
