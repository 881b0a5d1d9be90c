// vexawatch: prints every notification of the PTP monitor daemon's client,
// one line each with the local time and the status value, until SIGINT or
// SIGTERM, or until the client has stopped for good.
#include <daemon_options.hpp>
#include <frame.hpp>
#include <vexa/client.hpp>

#include <boost/asio/signal_set.hpp>
#include <boost/program_options.hpp>

#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>
#include <csignal>
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
      ("socket", po::value<std::string>(),
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
  return tools::DaemonAddress(vm["socket"].as<std::string>());
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

  void Notify(const vexa::StatusMessage& message) override {
    std::cout << LocalTimestamp() << " status=" << static_cast<unsigned>(message.status) << ' '
              << tools::OneLine(message.text) << std::endl;
    // Nobody reads what follows: stop, and let Finish report it.
    if (!tools::StdoutIntact()) {
      io.stop();
    }
    // The client does nothing more: a live process watching nothing would
    // hide that from a service manager.
    if (message.text.starts_with("Internal fatal error: ")) {
      clientStopped = true;
      io.stop();
    }
  }

  bool ClientStopped() const { return clientStopped; }

 private:
  boost::asio::io_context& io;
  bool clientStopped = false;
};

// A mistyped path looks just like a daemon that has not started yet: say so.
void NoteMissingSocket(const std::string& address) {
  struct stat status {};
  if (!address.empty() && address.front() != '\0' && ::stat(address.c_str(), &status) != 0 &&
      errno == ENOENT) {
    std::cerr << "no socket at " << address << " yet; waiting for the daemon" << std::endl;
  }
}

std::optional<vexa::PeerRequirement> RequiredPeer(const po::variables_map& vm) {
  if (vm.count("daemon-uid") == 0) {
    return std::nullopt;
  }
  return vexa::PeerRequirement{vm["daemon-uid"].as<tools::UserId>().value};
}

int Watch(const std::string& address, const std::optional<vexa::PeerRequirement>& peer) {
  boost::asio::io_context io;
  boost::asio::signal_set stopSignals(io, SIGINT, SIGTERM);
  stopSignals.async_wait([&io](const boost::system::error_code&, int) { io.stop(); });
  Printer printer(io);
  try {
    std::optional<vexa::Client> client;
    if (peer) {
      client.emplace(io, address, printer, *peer);
    } else {
      client.emplace(io, address, printer);
    }
    NoteMissingSocket(address);
    io.run();
  } catch (const std::exception& e) {
    std::cerr << "ERROR: " << e.what() << std::endl;
    return 1;
  }
  return printer.ClientStopped() ? 1 : 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  const auto options = DescribeOptions();
  po::variables_map vm;
  if (const auto status = tools::ParseCommandLine(argc, argv, options, USAGE, vm)) {
    return tools::Finish(*status);
  }
  return tools::Finish(Watch(SocketAddress(vm), RequiredPeer(vm)));
}
