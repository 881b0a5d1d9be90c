// vexawatch: prints every notification of the PTP monitor daemon's client,
// one line each with the local time and the status value, until SIGINT or
// SIGTERM, or until the client has stopped for good.
#include <daemon_client.hpp>
#include <daemon_options.hpp>
#include <frame.hpp>
#include <printable.hpp>
#include <vexa/client.hpp>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/program_options.hpp>

#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace po = boost::program_options;

namespace {

constexpr std::string_view USAGE =
    "Print the PTP monitor daemon's status notifications until interrupted";

po::options_description DescribeOptions() {
  po::options_description options("Options");
  // clang-format off
  options.add_options()
      ("help,h", "Print help messages")
      ("version", "Print version and exit")
      ("socket", po::value<tools::DaemonSocket>(),
       "daemon socket, @NAME for abstract (default @orvmon)")
      ("daemon-uid", po::value<tools::UserId>(),
       "accept only a daemon run by this user (name or id)");
  // clang-format on
  return options;
}

std::string SocketAddress(const po::variables_map& vm) {
  if (vm.count("socket") == 0) {
    return std::string(vexa::DEFAULT_SOCKET_PATH);
  }
  return vm["socket"].as<tools::DaemonSocket>().address;
}

// "2026-12-08T14:50:01.123+0000": local time to the millisecond.
std::string LocalTimestamp() {
  timeval now{};
  ::gettimeofday(&now, nullptr);
  tm local{};
  ::localtime_r(&now.tv_sec, &local);
  char seconds[32];
  char zone[8];
  std::strftime(seconds, sizeof seconds, "%Y-%m-%dT%H:%M:%S", &local);
  std::strftime(zone, sizeof zone, "%z", &local);
  char line[64];
  std::snprintf(line, sizeof line, "%s.%03ld%s", seconds, static_cast<long>(now.tv_usec / 1000),
                zone);
  return line;
}

class Printer : public vexa::StatusNotifier {
 public:
  explicit Printer(boost::asio::io_context& io) : io(io) {}

  // The client whose notifications these are.
  void Watch(const vexa::Client& watched) { client = &watched; }

  void Notify(const vexa::StatusMessage& message) override {
    std::cout << LocalTimestamp() << " status=" << static_cast<unsigned>(message.status) << ' '
              << tools::Printable(message.text) << std::endl;
    // Nobody reads what follows: stop, and let Finish report it.
    if (!tools::StdoutIntact()) {
      io.stop();
    }
    // The client will do nothing more: a live process watching nothing would
    // hide that from a service manager. After a fatal error that it recovers
    // from, it reconnects, and the watch goes on.
    if (client != nullptr && client->Stopped()) {
      io.stop();
    }
  }

 private:
  boost::asio::io_context& io;
  const vexa::Client* client = nullptr;
};

// SIGINT and SIGTERM reach the context through this eventfd: a handler may
// only write to a descriptor.
volatile std::sig_atomic_t stopEvent = -1;

void RequestStop(int /*signal*/) {
  const std::uint64_t one = 1;
  (void)!::write(stopEvent, &one, sizeof one);
}

int OpenStopEvent() {
  const int fd = ::eventfd(0, EFD_CLOEXEC);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), "eventfd");
  }
  return fd;
}

// A mistyped path looks just like a daemon that has not started yet: say so.
void NoteMissingSocket(const std::string& address) {
  struct stat status {};
  if (!address.empty() && address.front() != '\0' && ::stat(address.c_str(), &status) != 0 &&
      errno == ENOENT) {
    std::cerr << "no socket at " << address << " yet; waiting for the daemon" << std::endl;
  }
}

tools::DaemonTarget Target(const po::variables_map& vm) {
  tools::DaemonTarget target{SocketAddress(vm), std::nullopt};
  if (vm.count("daemon-uid") != 0) {
    target.daemonUid = vm["daemon-uid"].as<tools::UserId>().value;
  }
  return target;
}

// Everything that needs descriptors is built here, where running out of them
// is reported like any other failure.
int Watch(const tools::DaemonTarget& target) {
  try {
    boost::asio::io_context io;
    boost::asio::posix::stream_descriptor stopEvents(io, OpenStopEvent());
    stopEvents.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                          [&io](const boost::system::error_code&) { io.stop(); });
    stopEvent = stopEvents.native_handle();
    // Destroyed before the eventfd is closed.
    const tools::StopSignals stopSignals({SIGINT, SIGTERM}, RequestStop);
    Printer printer(io);
    std::optional<vexa::Client> client;
    tools::StartClient(client, io, target, printer);
    printer.Watch(*client);
    NoteMissingSocket(target.address);
    io.run();
    return client->Stopped() ? 1 : 0;
  } catch (const std::exception& e) {
    std::cerr << "ERROR: " << e.what() << std::endl;
    return 1;
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  const auto options = DescribeOptions();
  po::variables_map vm;
  if (const auto status = tools::ParseCommandLine(argc, argv, options, USAGE, vm)) {
    return tools::Finish(*status);
  }
  return tools::Finish(Watch(Target(vm)));
}
