// How vexawatch and orvcheck meet the monitor daemon: the client, built one
// way, and its notifications, read one way.
#pragma once

#include <vexa/client.hpp>

#include <sys/types.h>

#include <boost/asio/io_context.hpp>

#include <optional>
#include <string>

namespace tools {

struct DaemonTarget {
  std::string address;             // a leading NUL names an abstract socket
  std::optional<uid_t> daemonUid;  // none: any daemon is accepted
};

// Builds the client for `target` in `client`, where it stays put: a client
// cannot be moved. Throws what the client's constructor throws.
void StartClient(std::optional<vexa::Client>& client, boost::asio::io_context& io,
                 const DaemonTarget& target, vexa::StatusNotifier& notifier);

enum class NotificationKind {
  DAEMON_STATUS,  // the daemon's own status and words
  REFUSAL,        // a daemon answered, but not one run by the required user
  CLIENT_EVENT,   // the client's word on the connection or an error
};

NotificationKind Classify(const vexa::StatusMessage& message);

}  // namespace tools
