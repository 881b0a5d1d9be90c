#include <vexa/client.hpp>

#include <orvkit/compat.hpp>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace vexa {

namespace {

// One period serves as retry delay, send time-out and reply time-out.
constexpr std::chrono::seconds TIMEOUT_PERIOD{2};

// The client's own notifications all carry this value.
constexpr Status CLIENT_STATUS = Status::STATUS_1;

using boost::system::error_code;

using Liveness = std::weak_ptr<const int>;

// The completion handler of an operation that `client` started while
// `current` held its present number: runs `step` unless the operation was
// cancelled, the client was destroyed meanwhile, or `current` has moved on (a
// later connection attempt, a later wait). The program may destroy the client
// while the handler is already queued, and a new client may then live at the
// same address.
template <typename... Results>
auto Step(Client* client, Liveness liveness, const std::uint64_t& current,
          void (Client::*step)(const error_code&, Results...)) {
  return [client, liveness = std::move(liveness), &current, started = current, step](
             const error_code& error, Results... results) {
    if (!liveness.expired() && current == started &&
        error != boost::asio::error::operation_aborted) {
      (client->*step)(error, results...);
    }
  };
}

// A daemon that is absent or too busy to take the connection now.
bool TryAgainLater(const error_code& error) {
  return error == boost::asio::error::connection_refused ||
         error == boost::system::errc::no_such_file_or_directory ||
         error == boost::asio::error::no_buffer_space || error == boost::asio::error::try_again;
}

// A file-system path ends at its first NUL for the kernel; one further on
// would silently name another file. Abstract names may hold any byte.
std::string_view CheckedSocketPath(std::string_view socketPath) {
  if (!socketPath.empty() && socketPath.front() != '\0' &&
      socketPath.find('\0') != std::string_view::npos) {
    throw boost::system::system_error(make_error_code(boost::system::errc::invalid_argument),
                                      "socket path holds a NUL byte");
  }
  return socketPath;
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
    : socketPath(CheckedSocketPath(socketPath)),
      socket(io, boost::asio::generic::seq_packet_protocol(AF_UNIX, 0)),
      notifier(notifier),
      timer(io) {
  Connect();
}

Client::Client(boost::asio::io_context& io, std::string_view socketPath, StatusNotifier& notifier,
               PeerRequirement peer)
    : socketPath(CheckedSocketPath(socketPath)),
      socket(io, boost::asio::generic::seq_packet_protocol(AF_UNIX, 0)),
      notifier(notifier),
      timer(io),
      requiredPeer(peer) {
  Connect();
}

bool Client::Stopped() const noexcept {
  return stopped;
}

void Client::Connect() {
  // What the previous attempt started, and its wait, are over.
  ++attemptNumber;
  ++waitNumber;
  timer.cancel();
  reconnectPending = false;
  subscribeSendPending = false;
  statusSendPending = false;
  subscribeReplyPending = false;
  statusReplyPending = false;
  if (!NotifyAndSurvive({CLIENT_STATUS, "Internal: Disconnected"})) {
    return;
  }
  // Throws name_too_long for more than 107 bytes.
  endpoint = boost::asio::local::stream_protocol::endpoint(socketPath);
  // Reopens the socket first if a reconnect path closed it.
  socket.async_connect(endpoint, Step(this, liveness, attemptNumber, &Client::ConnectCb));
}

void Client::ConnectCb(const error_code& error) {
  if (TryAgainLater(error)) {
    reconnectPending = true;
    Timeout(TIMEOUT_PERIOD);
  } else if (error.failed()) {
    Fail(InternalFatalErrorMessage("connect", error));
  } else if (const auto refusal = PeerRefusal(socket.native_handle(), requiredPeer)) {
    RefusePeer(*refusal);
  } else {
    connectedAt = std::chrono::steady_clock::now();
    if (NotifyAndSurvive({CLIENT_STATUS, "Connected"})) {
      SendSubscribeRequest();
    }
  }
}

void Client::SendSubscribeRequest() {
  socket.async_send(boost::asio::buffer(&SUBSCRIBE_REQUEST, 1), 0,
                    Step(this, liveness, attemptNumber, &Client::SendSubcribeRequestCb));
  subscribeSendPending = true;
  Timeout(TIMEOUT_PERIOD);
}

void Client::SendSubcribeRequestCb(const error_code& error, std::size_t /*bytes*/) {
  if (error.failed()) {
    Fail(InternalFatalErrorMessage("send(SUBSCRIBE_REQUEST)", error));
    return;
  }
  subscribeSendPending = false;
  SendStatusRequest();
}

void Client::SendStatusRequest() {
  socket.async_send(boost::asio::buffer(&STATUS_REQUEST, 1), 0,
                    Step(this, liveness, attemptNumber, &Client::SendStatusRequestCb));
  statusSendPending = true;
  // Replaces the wait armed for the subscribe send.
  Timeout(TIMEOUT_PERIOD);
}

void Client::SendStatusRequestCb(const error_code& error, std::size_t /*bytes*/) {
  if (error.failed()) {
    Fail(InternalFatalErrorMessage("send(STATUS_REQUEST)", error));
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
                       Step(this, liveness, attemptNumber, &Client::ReceiveCb));
}

void Client::ReceiveCb(const error_code& error, std::size_t bytes) {
  // A sequenced-packet socket reports the daemon's close as an empty packet.
  if (error == boost::asio::error::connection_reset || error == boost::asio::error::eof ||
      (!error.failed() && bytes == 0)) {
    CloseSocket();
    // A daemon that takes connections only to drop them must not be
    // hammered: the next attempt comes no sooner than a period after this
    // connection was made.
    const auto lived = std::chrono::steady_clock::now() - connectedAt;
    if (lived < TIMEOUT_PERIOD) {
      reconnectPending = true;
      Timeout(TIMEOUT_PERIOD - lived);
    } else {
      Connect();
    }
    return;
  }
  if (error.failed()) {
    Fail(InternalFatalErrorMessage("receive", error));
    return;
  }
  if ((receiveFlags & MSG_TRUNC) != 0) {
    Fail(FatalErrorMessage("Message truncated"));
    return;
  }
  std::variant<SubscribeReply, StatusMessage> message;
  try {
    message = Parse(gsl::span<const unsigned char>(receiveBuffer.data(), bytes));
  } catch (const ProtocolError& e) {
    Fail(FatalErrorMessage(compat::format("{:s}: {:s}", "Protocol error", e.what())));
    return;
  }
  if (auto* status = std::get_if<StatusMessage>(&message)) {
    // The answer to the request and an event count alike.
    statusReplyPending = false;
    status->text = compat::format("vexad: \"{:s}\"", status->text);
    if (!NotifyAndSurvive(*status)) {
      return;
    }
  } else {
    subscribeReplyPending = false;
  }
  Receive();
}

void Client::Timeout(std::chrono::steady_clock::duration period) {
  // Cancels a wait still pending, and outdates one whose expiry is already
  // queued: only the newest wait acts.
  ++waitNumber;
  timer.expires_after(period);
  timer.async_wait(Step(this, liveness, waitNumber, &Client::TimeoutCb));
}

void Client::TimeoutCb(const error_code& error) {
  if (error.failed()) {
    // Nothing is left to act on what is still awaited.
    subscribeSendPending = false;
    statusSendPending = false;
    subscribeReplyPending = false;
    statusReplyPending = false;
    Fail(InternalFatalErrorMessage("wait", error));
  } else if (reconnectPending) {
    // A refused socket is still open and is reused; a closed one is reopened.
    Connect();
  } else if (subscribeSendPending || statusSendPending || subscribeReplyPending ||
             statusReplyPending) {
    // A send or an answer did not come in time.
    CloseSocket();
    Connect();
  }
}

// Throws boost::system::system_error ("shutdown" or "close") when the kernel
// refuses to end an open connection; the client then stops for good. A socket
// that a refusal or a reconnect path has closed already is left alone.
void Client::CloseSocket() {
  if (!socket.is_open()) {
    return;
  }
  try {
    socket.shutdown(boost::asio::socket_base::shutdown_both);
    socket.close();
  } catch (...) {
    Halt();
    throw;
  }
}

// An impostor may hold the address for good: the client stays stopped.
void Client::RefusePeer(std::string_view reason) {
  CloseSocket();
  Fail(FatalErrorMessage(reason));
}

// Reports an error that ends the current step. Only a send or an answer still
// awaited keeps the client going: the time-out armed for it reconnects. A
// stopped client leaves nothing behind in the context, not even a wait that
// would expire to no effect.
void Client::Fail(const StatusMessage& message) {
  stopped =
      !(subscribeSendPending || statusSendPending || subscribeReplyPending || statusReplyPending);
  if (stopped) {
    timer.cancel();
  }
  NotifyAndSurvive(message);
}

// An exception is leaving a step half done: nothing of the client may run
// again, whatever Asio has queued, and its connection goes.
void Client::Halt() {
  stopped = true;
  ++attemptNumber;
  ++waitNumber;
  timer.cancel();
  error_code ignored;
  socket.close(ignored);
}

// The notifier may destroy the client: then nothing of it may be touched.
bool Client::NotifyAndSurvive(const StatusMessage& message) {
  const Liveness alive = liveness;
  try {
    notifier.Notify(message);
  } catch (...) {
    if (!alive.expired()) {
      Halt();
    }
    throw;
  }
  return !alive.expired();
}

}  // namespace vexa
