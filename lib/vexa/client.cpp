#include <vexa/client.hpp>

#include <orvkit/compat.hpp>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/error_code.hpp>

#include <sys/socket.h>

#include <cerrno>
#include <optional>
#include <string>
#include <variant>

// Every completion handler tests for operation_aborted before it calls into
// the client: a cancelled operation may complete after the client is gone.

namespace vexa {

namespace {

// One period serves as retry delay, send time-out and reply time-out.
constexpr std::chrono::seconds TIMEOUT_PERIOD{2};

// The client's own notifications all carry this value.
constexpr Status CLIENT_STATUS = Status::STATUS_1;

using boost::system::error_code;

bool Aborted(const error_code& error) {
  return error == boost::asio::error::operation_aborted;
}

StatusMessage FatalErrorMessage(std::string_view detail) {
  return {CLIENT_STATUS, compat::format("Internal fatal error: {:s}", detail)};
}

StatusMessage InternalFatalErrorMessage(const char* what, const error_code& error) {
  return FatalErrorMessage(compat::format("{:s}: {:s}", what, error.message()));
}

// Why the daemon at the other end of `fd` fails `peer`; nothing when it
// passes or when no requirement was given.
std::optional<std::string> PeerRefusal(int fd, const std::optional<PeerRequirement>& peer) {
  if (!peer) {
    return std::nullopt;
  }
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    const error_code error(errno, boost::system::system_category());
    return compat::format("getsockopt(SO_PEERCRED): {:s}", error.message());
  }
  if (credentials.uid != peer->uid) {
    return compat::format("untrusted daemon: peer uid {}, expected {}", credentials.uid, peer->uid);
  }
  return std::nullopt;
}

}  // namespace

StatusNotifier::~StatusNotifier() = default;

Client::Client(boost::asio::io_context& io, std::string_view socketPath, StatusNotifier& notifier)
    : socketPath(socketPath),
      socket(io, boost::asio::generic::seq_packet_protocol(AF_UNIX, 0)),
      notifier(notifier),
      timer(io) {
  Connect();
}

Client::Client(boost::asio::io_context& io, std::string_view socketPath, StatusNotifier& notifier,
               PeerRequirement peer)
    : socketPath(socketPath),
      socket(io, boost::asio::generic::seq_packet_protocol(AF_UNIX, 0)),
      notifier(notifier),
      timer(io),
      requiredPeer(peer) {
  Connect();
}

void Client::Connect() {
  notifier.Notify({CLIENT_STATUS, "Internal: Disconnected"});
  // Throws name_too_long for more than 107 bytes.
  endpoint = boost::asio::local::stream_protocol::endpoint(socketPath);
  // Reopens the socket first if a reconnect path closed it.
  socket.async_connect(endpoint, [this](const error_code& error) {
    if (!Aborted(error)) {
      ConnectCb(error);
    }
  });
}

void Client::ConnectCb(const error_code& error) {
  if (error == boost::asio::error::connection_refused ||
      error == boost::system::errc::no_such_file_or_directory) {
    // Nobody listens yet: try again later.
    reconnectPending = true;
    Timeout(TIMEOUT_PERIOD);
  } else if (error.failed()) {
    notifier.Notify(InternalFatalErrorMessage("connect", error));
  } else if (const auto refusal = PeerRefusal(socket.native_handle(), requiredPeer)) {
    RefusePeer(*refusal);
  } else {
    reconnectPending = false;
    notifier.Notify({CLIENT_STATUS, "Connected"});
    SendSubscribeRequest();
  }
}

void Client::SendSubscribeRequest() {
  socket.async_send(boost::asio::buffer(&SUBSCRIBE_REQUEST, 1), 0,
                    [this](const error_code& error, std::size_t bytes) {
                      if (!Aborted(error)) {
                        SendSubcribeRequestCb(error, bytes);
                      }
                    });
  subscribeSendPending = true;
  Timeout(TIMEOUT_PERIOD);
}

void Client::SendSubcribeRequestCb(const error_code& error, std::size_t /*bytes*/) {
  if (error.failed()) {
    notifier.Notify(InternalFatalErrorMessage("send(SUBSCRIBE_REQUEST)", error));
    return;
  }
  subscribeSendPending = false;
  SendStatusRequest();
}

void Client::SendStatusRequest() {
  socket.async_send(boost::asio::buffer(&STATUS_REQUEST, 1), 0,
                    [this](const error_code& error, std::size_t bytes) {
                      if (!Aborted(error)) {
                        SendStatusRequestCb(error, bytes);
                      }
                    });
  statusSendPending = true;
  // Replaces the wait armed for the subscribe send.
  Timeout(TIMEOUT_PERIOD);
}

void Client::SendStatusRequestCb(const error_code& error, std::size_t /*bytes*/) {
  if (error.failed()) {
    notifier.Notify(InternalFatalErrorMessage("send(STATUS_REQUEST)", error));
    return;
  }
  statusSendPending = false;
  subscribeReplyPending = true;
  statusReplyPending = true;
  Receive();
  Timeout(TIMEOUT_PERIOD);
}

void Client::Receive() {
  socket.async_receive(boost::asio::buffer(receiveBuffer), 0, receiveFlags,
                       [this](const error_code& error, std::size_t bytes) {
                         if (!Aborted(error)) {
                           ReceiveCb(error, bytes);
                         }
                       });
}

void Client::ReceiveCb(const error_code& error, std::size_t bytes) {
  // A sequenced-packet socket reports the daemon's close as an empty packet.
  if (error == boost::asio::error::connection_reset || error == boost::asio::error::eof ||
      (!error.failed() && bytes == 0)) {
    CloseSocket();
    Connect();
    return;
  }
  if (error.failed()) {
    notifier.Notify(InternalFatalErrorMessage("receive", error));
    return;
  }
  if ((receiveFlags & MSG_TRUNC) != 0) {
    notifier.Notify(FatalErrorMessage("Message truncated"));
    return;
  }
  std::variant<SubscribeReply, StatusMessage> message;
  try {
    message = Parse(gsl::span<const unsigned char>(receiveBuffer.data(), bytes));
  } catch (const ProtocolError& e) {
    notifier.Notify(FatalErrorMessage(compat::format("{:s}: {:s}", "Protocol error", e.what())));
    return;
  }
  if (auto* status = std::get_if<StatusMessage>(&message)) {
    // The answer to the request and an event count alike.
    statusReplyPending = false;
    status->text = compat::format("vexad: \"{:s}\"", status->text);
    notifier.Notify(*status);
  } else {
    subscribeReplyPending = false;
  }
  Receive();
}

void Client::Timeout(std::chrono::seconds period) {
  // Cancels a wait still pending; at most one is ever outstanding.
  timer.expires_after(period);
  timer.async_wait([this](const error_code& error) {
    if (!Aborted(error)) {
      TimeoutCb(error);
    }
  });
}

void Client::TimeoutCb(const error_code& error) {
  if (error.failed()) {
    notifier.Notify(InternalFatalErrorMessage("wait", error));
  } else if (reconnectPending) {
    // The refused socket is still open and is reused.
    reconnectPending = false;
    Connect();
  } else if (subscribeSendPending || statusSendPending) {
    CloseSocket();
    subscribeSendPending = false;
    statusSendPending = false;
    Connect();
  } else if (subscribeReplyPending || statusReplyPending) {
    CloseSocket();
    subscribeReplyPending = false;
    statusReplyPending = false;
    Connect();
  }
}

// Throws boost::system::system_error ("shutdown" or "close") on failure.
void Client::CloseSocket() {
  socket.shutdown(boost::asio::socket_base::shutdown_both);
  socket.close();
}

// An impostor may hold the address for good, so no wait still pending from an
// earlier connection may take the client back to it: it stays stopped.
void Client::RefusePeer(std::string_view reason) {
  timer.cancel();
  CloseSocket();
  notifier.Notify(FatalErrorMessage(reason));
}

}  // namespace vexa
