#include "checks.hpp"

#include <vexa/client.hpp>

#include <boost/asio/steady_timer.hpp>

#include <fmt/format.h>

#include <exception>
#include <optional>
#include <string_view>

namespace orvcheck {

namespace {

constexpr std::string_view DAEMON_STATUS = "vexad: \"";
constexpr std::string_view REFUSAL = "Internal fatal error: untrusted daemon: ";

bool FromDaemon(const vexa::StatusMessage& message) {
  return std::string_view(message.text).starts_with(DAEMON_STATUS);
}

// Keeps the client's last notification and stops the context once the check
// is settled: at the daemon's first status, or when the client has stopped for
// good.
class Listener : public vexa::StatusNotifier {
 public:
  explicit Listener(boost::asio::io_context& io) : io(io) {}

  void Listen(const vexa::Client& listened) { client = &listened; }

  void Notify(const vexa::StatusMessage& message) override {
    last = message;
    if (FromDaemon(message) || (client != nullptr && client->Stopped())) {
      io.stop();
    }
  }

  const std::optional<vexa::StatusMessage>& Last() const { return last; }

 private:
  boost::asio::io_context& io;
  std::optional<vexa::StatusMessage> last;
  const vexa::Client* client = nullptr;
};

// "@name" for an abstract name, as it is typed.
std::string Typed(const std::string& address) {
  return !address.empty() && address.front() == '\0' ? '@' + address.substr(1) : address;
}

std::string HealthyList(const std::bitset<STATUS_VALUES>& healthy) {
  std::string list;
  for (std::size_t status = 0; status < healthy.size(); ++status) {
    if (healthy[status]) {
      list += fmt::format("{}{}", list.empty() ? "" : " ", status);
    }
  }
  return list;
}

}  // namespace

CheckResult CheckMonitor(const MonitorTarget& target) {
  CheckResult result{.check = "monitor"};
  std::optional<vexa::StatusMessage> last;
  bool stopped = false;
  const auto start = std::chrono::steady_clock::now();
  // The context too needs descriptors, and may find none left.
  try {
    boost::asio::io_context io;
    Listener listener(io);
    boost::asio::steady_timer deadline(io, target.timeout);
    deadline.async_wait([&io](const boost::system::error_code& error) {
      if (!error) {
        io.stop();
      }
    });
    std::optional<vexa::Client> client;
    if (target.daemonUid) {
      client.emplace(io, target.address, listener, vexa::PeerRequirement{*target.daemonUid});
    } else {
      client.emplace(io, target.address, listener);
    }
    listener.Listen(*client);
    io.run();
    stopped = client->Stopped();
    // The context has stopped, so none of the client's steps can run again:
    // only now may it go.
    client.reset();
    last = listener.Last();
  } catch (const std::exception& e) {
    result.state = State::UNKNOWN;
    result.Record({"", std::string(e.what()), "cannot start the client: {}"});
    result.Record({"address", Typed(target.address), ""});
    return result;
  }
  // To the millisecond, the resolution of --timeout.
  const std::chrono::duration<double> waited =
      std::chrono::round<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  const bool up = last && FromDaemon(*last);
  const auto status = up ? static_cast<std::size_t>(last->status) : 0;
  const bool healthy = up && status < target.healthy.size() && target.healthy[status];
  Fact healthyFact{"healthy", up ? Value(healthy) : Value(), "",
                   Series{.name = "monitor_status_healthy",
                          .help = "1 when the daemon's status is one counted healthy"}};
  Fact statusFact{"status", up ? Value(static_cast<std::int64_t>(status)) : Value(), "",
                  Series{.name = "monitor_status",
                         .help = "The monitor daemon's status value",
                         .perf = Perf{.min = "0", .max = "3"}}};
  Fact lastFact{"last_notification", last ? Value(last->text) : Value(), "{}"};
  Fact address{"address", Typed(target.address), ""};
  Fact waitedFact{"waited_seconds", waited.count(), ""};
  const bool refused = !up && stopped && last && last->text.starts_with(REFUSAL);
  const Fact upFact{
      "up", up, "",
      Series{.name = "monitor_up", .help = "1 when the monitor daemon answered with its status"}};
  const Fact refusedFact{"refused", refused, "",
                         Series{.name = "monitor_refused",
                                .help = "1 when a daemon answered but was refused: it does not "
                                        "run as --daemon-uid"}};
  if (up) {
    result.state = healthy ? State::OK : State::CRITICAL;
    healthyFact.text = healthy ? "" : "unhealthy ";
    statusFact.text = "status {} ";
    for (const auto& fact : {healthyFact, statusFact, lastFact}) {
      result.Record(fact);
    }
    if (!healthy) {
      result.Say(fmt::format(" (healthy: {})", HealthyList(target.healthy)));
    }
    for (const auto& fact : {address, waitedFact, upFact, refusedFact}) {
      result.Record(fact);
    }
    return result;
  }
  result.state = State::CRITICAL;
  if (refused) {
    address.text = "refused the daemon at {}: ";
  } else {
    address.text = "no status from the daemon at {}";
    waitedFact.text = stopped ? ": the client stopped for good after {} s" : " within {} s";
    lastFact.text = "; last: {}";
  }
  for (const auto& fact :
       {address, waitedFact, lastFact, statusFact, healthyFact, upFact, refusedFact}) {
    result.Record(fact);
  }
  return result;
}

}  // namespace orvcheck
