#include "frame.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <streambuf>

namespace po = boost::program_options;

namespace tools {

namespace {

// Standard output's buffer, which keeps the error of the write that failed:
// by the time a program reports the failure, errno has long moved on.
class StdoutBuffer : public std::streambuf {
 public:
  StdoutBuffer() : original(std::cout.rdbuf(this)) { setp(buffer, buffer + sizeof buffer); }
  StdoutBuffer(const StdoutBuffer&) = delete;
  StdoutBuffer& operator=(const StdoutBuffer&) = delete;
  ~StdoutBuffer() override {
    Drain();
    std::cout.rdbuf(original);
  }

  int WriteError() const { return writeError; }

 protected:
  int_type overflow(int_type ch) override {
    if (!Drain()) {
      return traits_type::eof();
    }
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(ch);
      pbump(1);
    }
    return traits_type::not_eof(ch);
  }

  int sync() override { return Drain() ? 0 : -1; }

 private:
  bool Drain() {
    const char* next = pbase();
    bool written = true;
    while (next < pptr()) {
      const ssize_t n = ::write(STDOUT_FILENO, next, static_cast<std::size_t>(pptr() - next));
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0) {
        writeError = errno;
        written = false;
        break;
      }
      next += n;
    }
    setp(buffer, buffer + sizeof buffer);
    return written;
  }

  char buffer[4096];
  std::streambuf* original;
  int writeError = 0;
};

StdoutBuffer stdoutBuffer;

}  // namespace

std::optional<int> ParseCommandLine(int argc, const char* const argv[],
                                    const po::options_description& options, std::string_view usage,
                                    po::variables_map& vm, StrayWords strayWords) {
  try {
    if (strayWords == STRAY_WORDS_REJECTED) {
      // With no positional option declared, the parser refuses every word.
      po::store(po::command_line_parser(argc, argv)
                    .options(options)
                    .positional(po::positional_options_description())
                    .run(),
                vm);
    } else {
      po::store(po::parse_command_line(argc, argv, options), vm);
    }
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

bool StdoutIntact() {
  return static_cast<bool>(std::cout.flush());
}

int Finish(int status, int failureStatus) {
  if (StdoutIntact()) {
    return status;
  }
  std::cerr << "ERROR: writing to standard output failed: "
            << std::strerror(stdoutBuffer.WriteError()) << std::endl;
  return failureStatus;
}

}  // namespace tools
