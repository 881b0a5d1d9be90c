// libvexa: the asynchronous client of the PTP monitor daemon vexad.
#pragma once

#include <vexa/boost_abi.hpp>
#include <vexa/protocol.hpp>

#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/asio/steady_timer.hpp>

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vexa {

// Implemented by the program: receives every status, connection event and
// fatal error of a Client. The message is the client's temporary.
class VEXA_EXPORT StatusNotifier {
 public:
  virtual ~StatusNotifier();
  virtual void Notify(const StatusMessage& message) = 0;
};

// The daemon that a client accepts: one whose socket was made by a process of
// this user (the peer credentials of the connection). Any local user can take
// an abstract name while the daemon is absent.
struct PeerRequirement {
  uid_t uid;
};

// Connects to the daemon, subscribes, asks once for the status and then hands
// every message to the notifier; retries and reconnects on its own. A refused
// or busy daemon (connection refused, no socket file, a full accept queue) is
// tried again every 2 seconds; a connection that ends within 2 seconds of
// being made is followed by the next attempt only once those 2 seconds have
// passed, a longer one at once. All its steps run on the thread that runs `io`
// (one thread at a time: it takes no lock).
//
// Every completion and every expiry belongs to one connection attempt: one
// that Asio had already queued when a later attempt began changes nothing. So
// the daemon sees, per connection, one subscribe request and one status
// request, and every status it sends is notified once, in order.
//
// It has no stop operation: destroy it. On the thread that runs `io` that is
// allowed at any moment, inside Notify included (the client then notifies
// nothing more and none of its steps runs again, also when a new client is
// built in the same storage); elsewhere only while `io` is not running.
//
// An exception thrown by Notify is not caught: it leaves the step, and so
// `run()` (or the constructor). The client stops for good before it lets the
// exception pass: it closes its connection, none of its steps runs again,
// also after `restart()`, and Stopped() is true. So it does when the kernel
// refuses to shut down or close a connection (boost::system::system_error,
// "shutdown" or "close"). Destroying it afterwards is safe.
class VEXA_EXPORT Client {
 public:
  // Notifies "Internal: Disconnected" and starts the first connect before it
  // returns. Throws boost::system::system_error when the socket cannot be
  // opened, when `socketPath` is longer than 107 bytes, or, notifying nothing,
  // with invalid_argument when a file-system path (no leading NUL) holds a NUL.
  Client(boost::asio::io_context& io, std::string_view socketPath, StatusNotifier& notifier);
  // As above, but a daemon that fails `peer` is refused: the connection is
  // closed, a fatal error "Internal fatal error: untrusted daemon: ..." is
  // notified instead of "Connected", and the client stays stopped for good.
  Client(boost::asio::io_context& io, std::string_view socketPath, StatusNotifier& notifier,
         PeerRequirement peer);
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // True once the client will start nothing more by itself: after a fatal
  // error with no send or answer still awaited whose time-out would reconnect
  // it (a refused daemon, a connect error, a malformed message in the steady
  // state, ...), or after an exception left one of its steps. False while it
  // connects, waits to retry, or will reconnect. Already true inside the
  // Notify of the fatal error that stops it. A stopped client stays stopped:
  // build a new one to try again.
  bool Stopped() const noexcept;

 private:
  // One more than the largest valid message, so that a longer one shows up
  // as truncated.
  static constexpr std::size_t RECEIVE_BUFFER_SIZE = 259;

  void Connect();
  void ConnectCb(const boost::system::error_code& error);
  void SendSubscribeRequest();
  void SendSubcribeRequestCb(const boost::system::error_code& error, std::size_t bytes);
  void SendStatusRequest();
  void SendStatusRequestCb(const boost::system::error_code& error, std::size_t bytes);
  void Receive();
  void ReceiveCb(const boost::system::error_code& error, std::size_t bytes);
  void Timeout(std::chrono::steady_clock::duration period);
  void TimeoutCb(const boost::system::error_code& error);
  void CloseSocket();
  void RefusePeer(std::string_view reason);
  void Fail(const StatusMessage& message);
  void Halt();
  bool NotifyAndSurvive(const StatusMessage& message);

  std::string socketPath;  // raw bytes; a leading NUL names an abstract socket
  boost::asio::generic::seq_packet_protocol::socket socket;
  boost::asio::generic::seq_packet_protocol::endpoint endpoint;
  boost::asio::socket_base::message_flags receiveFlags = 0;
  std::array<unsigned char, RECEIVE_BUFFER_SIZE> receiveBuffer{};
  StatusNotifier& notifier;
  boost::asio::steady_timer timer;
  // Which step the timer guards, in the current connection attempt.
  bool reconnectPending : 1 = false;
  bool subscribeSendPending : 1 = false;
  bool subscribeReplyPending : 1 = false;
  bool statusSendPending : 1 = false;
  bool statusReplyPending : 1 = false;
  bool stopped : 1 = false;
  // The current connection attempt, which the socket's completions must
  // belong to, and the newest wait, the only one whose expiry may act: Asio
  // cannot take back a completion or an expiry that it has already queued.
  std::uint64_t attemptNumber = 0;
  std::uint64_t waitNumber = 0;
  std::optional<PeerRequirement> requiredPeer;  // none: any daemon is accepted
  // When the current connection was made.
  std::chrono::steady_clock::time_point connectedAt;
  // Expires with the client: every completion step and every step that
  // notified checks it before it touches the client again.
  const std::shared_ptr<const int> liveness = std::make_shared<const int>(0);
};

}  // namespace vexa
