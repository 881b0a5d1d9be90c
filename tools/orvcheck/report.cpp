#include "report.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>

namespace orvcheck {

namespace {

constexpr std::array<std::string_view, 4> STATE_NAMES = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
constexpr std::array<int, 4> SEVERITY = {0, 1, 3, 2};  // by State value

int Severity(State state) {
  return SEVERITY[static_cast<std::size_t>(state)];
}

std::string Label(const CheckResult& result) {
  return result.interface.empty() ? result.check : result.check + ' ' + result.interface;
}

std::string RenderText(const std::vector<CheckResult>& results) {
  std::size_t width = 0;
  for (const auto& result : results) {
    width = std::max(width, Label(result).size());
  }
  std::string text;
  for (const auto& result : results) {
    text += fmt::format("{:<8}  {:<{}}  {}\n", StateName(result.state), Label(result), width,
                        result.message);
  }
  return text;
}

std::string RenderJson(const std::vector<CheckResult>& results, State overall) {
  auto checks = nlohmann::ordered_json::array();
  for (const auto& result : results) {
    nlohmann::ordered_json check;
    check["check"] = result.check;
    if (!result.interface.empty()) {
      check["interface"] = result.interface;
    }
    check["state"] = StateName(result.state);
    check["message"] = result.message;
    check["values"] = result.values;
    checks.push_back(std::move(check));
  }
  const nlohmann::ordered_json report = {{"state", StateName(overall)}, {"checks", checks}};
  // The daemon's text may hold bytes that are not UTF-8: replace them rather
  // than fail the whole report.
  return report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';
}

std::string Escaped(std::string_view text, bool quote) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (c == '"' && quote) {
      escaped += "\\\"";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string Labels(const std::vector<std::pair<std::string_view, std::string_view>>& labels) {
  std::string text;
  for (const auto& [name, value] : labels) {
    if (!value.empty()) {
      text += fmt::format("{}{}=\"{}\"", text.empty() ? "" : ",", name, Escaped(value, true));
    }
  }
  return text.empty() ? text : '{' + text + '}';
}

std::string Family(std::string_view name, std::string_view help) {
  return fmt::format("# HELP orvkit_{} {}\n# TYPE orvkit_{} gauge\n", name, Escaped(help, false),
                     name);
}

// Every sample of a metric follows its HELP and TYPE lines, as the format
// requires, in the order the checks first report it.
std::string RenderOpenMetrics(const std::vector<CheckResult>& results) {
  std::string text =
      Family("check_state", "State of each check: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN");
  for (const auto& result : results) {
    text += fmt::format("orvkit_check_state{} {}\n",
                        Labels({{"check", result.check}, {"interface", result.interface}}),
                        static_cast<int>(result.state));
  }
  std::vector<std::string_view> names;
  for (const auto& result : results) {
    for (const auto& metric : result.metrics) {
      if (std::find(names.begin(), names.end(), metric.name) == names.end()) {
        names.push_back(metric.name);
      }
    }
  }
  for (const auto name : names) {
    bool described = false;
    for (const auto& result : results) {
      for (const auto& metric : result.metrics) {
        if (metric.name != name) {
          continue;
        }
        if (!described) {
          text += Family(metric.name, metric.help);
          described = true;
        }
        text += fmt::format("orvkit_{}{} {}\n", metric.name,
                            Labels({{"interface", result.interface}}), metric.value);
      }
    }
  }
  return text;
}

}  // namespace

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

std::string Render(Format format, const std::vector<CheckResult>& results, State overall) {
  switch (format) {
    case Format::JSON:
      return RenderJson(results, overall);
    case Format::OPENMETRICS:
      return RenderOpenMetrics(results);
    case Format::TEXT:
      break;
  }
  return RenderText(results);
}

}  // namespace orvcheck
