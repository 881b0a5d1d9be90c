#include "daemon_client.hpp"

#include <string_view>

namespace tools {

namespace {

// The client puts the daemon's text between these, so that no daemon can pass
// for the client, and names a refused peer after REFUSAL.
constexpr std::string_view DAEMON_STATUS = "vexad: \"";
constexpr std::string_view REFUSAL = "Internal fatal error: untrusted daemon: ";

}  // namespace

void StartClient(std::optional<vexa::Client>& client, boost::asio::io_context& io,
                 const DaemonTarget& target, vexa::StatusNotifier& notifier) {
  if (target.daemonUid) {
    client.emplace(io, target.address, notifier, vexa::PeerRequirement{*target.daemonUid});
  } else {
    client.emplace(io, target.address, notifier);
  }
}

NotificationKind Classify(const vexa::StatusMessage& message) {
  const std::string_view text = message.text;
  if (text.starts_with(DAEMON_STATUS)) {
    return NotificationKind::DAEMON_STATUS;
  }
  return text.starts_with(REFUSAL) ? NotificationKind::REFUSAL : NotificationKind::CLIENT_EVENT;
}

}  // namespace tools
