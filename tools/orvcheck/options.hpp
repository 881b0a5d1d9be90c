// orvcheck's command line, read into a plain configuration before any check
// runs.
#pragma once

#include "checks.hpp"
#include "report.hpp"

#include <boost/program_options.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace orvcheck {

struct InterfaceTarget {
  std::string name;
  RequiredConfiguration required;
};

struct Configuration {
  Format format = Format::TEXT;
  std::optional<std::string> textfile;  // also write the metrics there
  bool quiet = false;                   // nothing when all is OK, else only what is not
  std::string leapSecondsList;
  std::vector<std::string_view> skipped;    // of SKIPPABLE_CHECKS
  std::vector<InterfaceTarget> interfaces;  // each name once, in the order given
  OffsetThresholds phcThresholds;
  std::optional<MonitorTarget> monitor;
  std::vector<Ptp4lTarget> ptp4l;  // each socket once, in the order given

  bool Runs(std::string_view check) const;
};

boost::program_options::options_description DescribeOptions();

// The configuration the parsed command line asks for, or why it is refused:
// options that mean nothing without another, or that contradict each other.
std::variant<Configuration, std::string> ReadConfiguration(
    const boost::program_options::variables_map& vm);

}  // namespace orvcheck
