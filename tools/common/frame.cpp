#include "frame.hpp"

#include <cerrno>
#include <cstring>
#include <iostream>

namespace po = boost::program_options;

namespace tools {

std::optional<int> ParseCommandLine(int argc, const char* const argv[],
                                    const po::options_description& options,
                                    std::string_view usage, po::variables_map& vm) {
  try {
    po::store(po::parse_command_line(argc, argv, options), vm);
  } catch (const po::error& e) {
    // Every parse error, not only an unknown option, ends the run this way.
    std::cerr << "ERROR: " << e.what() << "\n\n" << options << std::endl;
    return -1;
  }
  if (vm.count("help") != 0) {
    std::cout << usage << "\n\n" << options << std::endl;
    return 0;
  }
  if (vm.count("version") != 0) {
    std::cout << VERSION << std::endl;
    return 0;
  }
  po::notify(vm);
  return std::nullopt;
}

bool StdoutIntact() { return static_cast<bool>(std::cout.flush()); }

int Finish(int status) {
  if (StdoutIntact()) {
    return status;
  }
  const int error = errno;
  std::cerr << "ERROR: writing to standard output failed";
  if (error != 0) {
    std::cerr << ": " << std::strerror(error);
  }
  std::cerr << std::endl;
  return 1;
}

}  // namespace tools
