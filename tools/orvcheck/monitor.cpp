#include "checks.hpp"

#include <printable.hpp>

#include <boost/asio/steady_timer.hpp>

#include <fmt/format.h>

#include <exception>
#include <optional>
#include <string_view>

namespace orvcheck {

namespace {

// Keeps the client's last notification and stops the context once the check
// is settled: at the daemon's first status, or when the client has stopped for
// good.
class Listener : public vexa::StatusNotifier {
 public:
  explicit Listener(boost::asio::io_context& io) : io(io) {}

  void Listen(const vexa::Client& listened) { client = &listened; }

  void Notify(const vexa::StatusMessage& message) override {
    last = message;
    if (tools::Classify(message) == tools::NotificationKind::DAEMON_STATUS ||
        (client != nullptr && client->Stopped())) {
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

// How the wait for the daemon ended.
struct Outcome {
  std::optional<vexa::StatusMessage> last;  // the client's last notification
  bool stopped = false;                     // the client had stopped for good
  std::chrono::duration<double> waited{};
  std::string failure;  // why the client could not even start; empty when it did
};

Outcome Listen(const MonitorTarget& target) {
  Outcome outcome;
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
    tools::StartClient(client, io, target.daemon, listener);
    listener.Listen(*client);
    io.run();
    outcome.stopped = client->Stopped();
    // The context has stopped, so none of the client's steps can run again:
    // only now may it go.
    client.reset();
    outcome.last = listener.Last();
  } catch (const std::exception& e) {
    outcome.failure = e.what();
  }
  // To the millisecond, the resolution of --timeout.
  outcome.waited =
      std::chrono::round<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  return outcome;
}

std::string MonitorMessage(const MonitorTarget& target, const Outcome& outcome, bool refused,
                           bool healthy) {
  const std::string address = tools::Printable(Typed(target.daemon.address));
  const std::string last = outcome.last ? tools::Printable(outcome.last->text) : "none";
  if (!outcome.failure.empty()) {
    return fmt::format("cannot start the client: {}", tools::Printable(outcome.failure));
  }
  if (outcome.last && tools::Classify(*outcome.last) == tools::NotificationKind::DAEMON_STATUS) {
    const auto status = static_cast<unsigned>(outcome.last->status);
    return healthy ? fmt::format("status {} {}", status, last)
                   : fmt::format("unhealthy status {} {} (healthy: {})", status, last,
                                 HealthyList(target.healthy));
  }
  if (refused) {
    return fmt::format("refused the daemon at {}: {}", address, last);
  }
  return fmt::format("no status from the daemon at {}{} {} s; last: {}", address,
                     outcome.stopped ? ": the client stopped for good after" : " within",
                     outcome.waited.count(), last);
}

}  // namespace

CheckResult CheckMonitor(const MonitorTarget& target) {
  const Outcome outcome = Listen(target);
  const bool up =
      outcome.last && tools::Classify(*outcome.last) == tools::NotificationKind::DAEMON_STATUS;
  const auto status = up ? static_cast<std::size_t>(outcome.last->status) : 0;
  const bool healthy = up && status < target.healthy.size() && target.healthy[status];
  const bool refused = !up && outcome.stopped && outcome.last &&
                       tools::Classify(*outcome.last) == tools::NotificationKind::REFUSAL;
  CheckResult result{.check = std::string(check::MONITOR)};
  result.state = !outcome.failure.empty() ? State::UNKNOWN : healthy ? State::OK : State::CRITICAL;
  result.message = MonitorMessage(target, outcome, refused, healthy);
  result.Record({"address", Typed(target.daemon.address)});
  if (!outcome.failure.empty()) {
    return result;
  }
  result.Record(
      {"up", up,
       Series{.name = "monitor_up", .help = "1 when the monitor daemon answered with its status"}});
  result.Record({"refused", refused,
                 Series{.name = "monitor_refused",
                        .help = "1 when a daemon answered but was refused: it does not run as "
                                "--daemon-uid"}});
  result.Record({"status", up ? Value(static_cast<std::int64_t>(status)) : Value(),
                 Series{.name = "monitor_status",
                        .help = "The monitor daemon's status value",
                        .perf = Perf{.min = "0", .max = "3"}}});
  result.Record({"healthy", up ? Value(healthy) : Value(),
                 Series{.name = "monitor_status_healthy",
                        .help = "1 when the daemon's status is one counted healthy"}});
  result.Record({"last_notification", outcome.last ? Value(outcome.last->text) : Value()});
  result.Record({"waited_seconds", outcome.waited.count()});
  return result;
}

}  // namespace orvcheck
