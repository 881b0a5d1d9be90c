// nicmark: shows and changes the hardware timestamping configuration of one
// network interface.
#include <frame.hpp>
#include <orv/orv.hpp>

#include <boost/program_options.hpp>

#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

namespace po = boost::program_options;

namespace {

constexpr std::string_view USAGE = "Get/set timestamping options <interface> [options]";

struct Request {
  std::string interface;
  HwTstampOpts opts{-1, -1};  // -1: leave unchanged
};

po::options_description DescribeOptions() {
  po::options_description options("Options");
  // clang-format off
  options.add_options()
      ("help", "Print help messages")
      ("setrx", po::value<int>(), "set RX options")
      ("settx", po::value<int>(), "set TX options");
  // clang-format on
  return options;
}

po::options_description DescribeHiddenOptions() {
  po::options_description hidden("Hidden options");
  hidden.add_options()("interface", po::value<std::string>(), "interface");
  return hidden;
}

void PrintHelp(const po::options_description& options) {
  std::cout << USAGE << '\n' << options << std::endl;
}

po::variables_map Parse(int argc, const char* const argv[],
                        const po::options_description& options) {
  po::options_description all;
  all.add(options).add(DescribeHiddenOptions());
  po::positional_options_description positional;
  positional.add("interface", 1);
  po::variables_map vm;
  po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(), vm);
  return vm;
}

// Reads the command line into `request`. Returns the exit status when the run
// ends here (help, or no interface); nullopt when the kernel call follows.
std::optional<int> ReadCommandLine(int argc, const char* const argv[],
                                   const po::options_description& options, Request& request) {
  auto vm = Parse(argc, argv, options);
  if (vm.count("help") != 0) {
    PrintHelp(options);
    return 0;
  }
  po::notify(vm);
  if (vm.count("setrx") != 0) {
    request.opts.rx_filter = vm["setrx"].as<int>();
  }
  if (vm.count("settx") != 0) {
    request.opts.tx_type = vm["settx"].as<int>();
  }
  if (vm.count("interface") == 0) {
    std::cerr << "ERROR: no interface specified" << std::endl;
    PrintHelp(options);
    return -1;
  }
  request.interface = vm["interface"].as<std::string>();
  return std::nullopt;
}

int GetSetConfig(Request& request) {
  std::cout << "Interface: " << request.interface << std::endl;
  if (GetSetHwTstampOpts(request.interface.c_str(), &request.opts) != 0) {
    std::cerr << "Get/Set HW timestamping options failed" << std::endl;
    // A start-up script must not take a refused change for success.
    return 1;
  }
  std::cout << "Current config: tx_type=" << request.opts.tx_type
            << "  rx_filter=" << request.opts.rx_filter << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  const auto options = DescribeOptions();
  Request request;
  try {
    if (const auto status = ReadCommandLine(argc, argv, options, request)) {
      return tools::Finish(*status);
    }
  } catch (const std::exception& e) {
    std::cerr << "ERROR: " << e.what() << std::endl;
    return tools::Finish(-1);
  }
  return tools::Finish(GetSetConfig(request));
}
