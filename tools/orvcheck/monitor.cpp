#include "checks.hpp"

#include <daemon_options.hpp>
#include <vexa/client.hpp>

#include <boost/asio/steady_timer.hpp>

#include <fmt/format.h>

#include <exception>
#include <optional>
#include <string_view>

namespace orvcheck {

namespace {

constexpr std::string_view DAEMON_STATUS = "vexad: \"";

// Keeps the client's last notification and stops the context at the first
// that settles the check: a status from the daemon, or a fatal error after
// which the client will not reconnect.
class Listener : public vexa::StatusNotifier {
 public:
  explicit Listener(boost::asio::io_context& io) : io(io) {}

  void Listen(const vexa::Client& listened) { client = &listened; }

  void Notify(const vexa::StatusMessage& message) override {
    last = message;
    if (message.text.starts_with(DAEMON_STATUS) || (client != nullptr && client->Stopped())) {
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
std::string Printable(const std::string& address) {
  if (!address.empty() && address.front() == '\0') {
    return '@' + tools::OneLine(address.substr(1));
  }
  return tools::OneLine(address);
}

CheckResult Result(const MonitorTarget& target, State state, std::string message) {
  CheckResult result;
  result.check = "monitor";
  result.state = state;
  result.message = std::move(message);
  result.values["address"] = Printable(target.address);
  return result;
}

}  // namespace

CheckResult CheckMonitor(const MonitorTarget& target) {
  std::optional<vexa::StatusMessage> last;
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
    // The context has stopped, so none of the client's steps can run again:
    // only now may it go.
    client.reset();
    last = listener.Last();
  } catch (const std::exception& e) {
    return Result(target, State::UNKNOWN, fmt::format("cannot start the client: {}", e.what()));
  }
  const std::string lastText = last ? tools::OneLine(last->text) : std::string();
  const bool status = last && std::string_view(last->text).starts_with(DAEMON_STATUS);
  CheckResult result =
      status ? Result(target, State::OK,
                      fmt::format("status {} {}", static_cast<unsigned>(last->status), lastText))
             : Result(target, State::CRITICAL,
                      fmt::format("no status from the daemon at {} within {:g} s; last: {}",
                                  Printable(target.address),
                                  std::chrono::duration<double>(target.timeout).count(),
                                  last ? lastText : "none"));
  result.values["status"] =
      status ? nlohmann::ordered_json(static_cast<unsigned>(last->status)) : nullptr;
  result.values["last_notification"] = last ? nlohmann::ordered_json(last->text) : nullptr;
  result.metrics.push_back(
      {"monitor_up", "1 when the monitor daemon answered with its status", status ? 1 : 0});
  if (status) {
    result.metrics.push_back({"monitor_status", "The monitor daemon's status value",
                              static_cast<std::int64_t>(last->status)});
  }
  return result;
}

}  // namespace orvcheck
