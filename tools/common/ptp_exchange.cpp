#include "ptp_exchange.hpp"

#include <fmt/format.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <type_traits>
#include <utility>

namespace ptp {

namespace {

using Clock = std::chrono::steady_clock;

// ptp4l's largest message.
constexpr std::size_t MAX_MESSAGE = 1500;

// Every GET of one reading; the last two are answered once per port.
constexpr std::array<ManagementId, 7> READ = {
    ManagementId::DEFAULT_DATA_SET,  ManagementId::CURRENT_DATA_SET,
    ManagementId::PARENT_DATA_SET,   ManagementId::TIME_PROPERTIES_DATA_SET,
    ManagementId::TIME_STATUS_NP,    ManagementId::PORT_DATA_SET,
    ManagementId::PORT_PROPERTIES_NP};

class Socket {
 public:
  Socket() : fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() {
    if (fd >= 0) {
      close(fd);
    }
  }
  int Fd() const { return fd; }

 private:
  int fd;
};

Ptp4lFailure Fail(Ptp4lFailure::Kind kind, std::string reason) {
  return {kind, std::move(reason)};
}

Ptp4lFailure SocketFailure(int error, const std::string& path, const char* what) {
  switch (error) {
    case ENOENT:
    case ECONNREFUSED:
      return Fail(Ptp4lFailure::Kind::NOT_RUNNING, fmt::format("ptp4l not running at {}", path));
    case EACCES:
    case EPERM:
      return Fail(Ptp4lFailure::Kind::PERMISSION_DENIED,
                  fmt::format("permission denied on ptp4l's socket {}", path));
    default:
      return Fail(Ptp4lFailure::Kind::SYSTEM,
                  fmt::format("cannot {} ptp4l at {}: {}", what, path, std::strerror(error)));
  }
}

// The answers gathered so far; complete when every data set is in and both
// per-port ones for each of the clock's ports.
struct Answers {
  std::optional<DefaultDataSet> defaults;
  std::optional<CurrentDataSet> current;
  std::optional<ParentDataSet> parent;
  std::optional<TimePropertiesDataSet> timeProperties;
  std::optional<TimeStatusNp> timeStatus;
  std::map<std::uint16_t, PortDataSet> portData;
  std::map<std::uint16_t, PortPropertiesNp> portProperties;
  std::size_t count = 0;

  void Add(DefaultDataSet set) { defaults = set; }
  void Add(CurrentDataSet set) { current = set; }
  void Add(ParentDataSet set) { parent = set; }
  void Add(TimePropertiesDataSet set) { timeProperties = set; }
  void Add(TimeStatusNp set) { timeStatus = set; }
  void Add(PortDataSet set) { portData.insert_or_assign(set.portIdentity.port, set); }
  void Add(PortPropertiesNp set) {
    portProperties.insert_or_assign(set.portIdentity.port, std::move(set));
  }

  bool Complete() const {
    if (!defaults || !current || !parent || !timeProperties || !timeStatus) {
      return false;
    }
    for (std::uint16_t port = 1; port <= defaults->numberPorts; ++port) {
      if (!portData.contains(port) || !portProperties.contains(port)) {
        return false;
      }
    }
    return true;
  }

  Ptp4lReading Reading() const {
    Ptp4lReading reading{*defaults, {}, *current, *parent, *timeProperties, *timeStatus};
    for (std::uint16_t port = 1; port <= defaults->numberPorts; ++port) {
      const auto& properties = portProperties.at(port);
      reading.ports.push_back(
          {port, portData.at(port).portState, properties.interfaceName, properties.timestamping});
    }
    return reading;
  }
};

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// A send blocks while ptp4l's queue is full; not past the deadline.
bool LimitSend(int fd, Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now());
  if (left.count() <= 0) {
    return false;
  }
  const timeval limit{static_cast<time_t>(left.count() / 1000000),
                      static_cast<suseconds_t>(left.count() % 1000000)};
  return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0;
}

}  // namespace

std::variant<Ptp4lReading, Ptp4lFailure> ReadPtp4l(const std::string& socketPath,
                                                   std::chrono::milliseconds timeout,
                                                   std::uint8_t domainNumber) {
  const auto deadline = Clock::now() + timeout;
  const auto timedOut = [&](std::size_t answers) {
    return Fail(Ptp4lFailure::Kind::TIMEOUT,
                answers == 0 ? fmt::format("no answer from ptp4l at {} within {} ms", socketPath,
                                           timeout.count())
                             : fmt::format("incomplete answer from ptp4l at {} within {} ms "
                                           "({} messages)",
                                           socketPath, timeout.count(), answers));
  };

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) {
    return Fail(Ptp4lFailure::Kind::SYSTEM, fmt::format("not a socket path: {}", socketPath));
  }
  std::memcpy(address.sun_path, socketPath.data(), socketPath.size());

  // Bound by the address family alone, the kernel picks an unused abstract
  // name. Once connected, it delivers datagrams from ptp4l's socket only.
  const Socket socket;
  const sockaddr_un autobind{AF_UNIX, {}};
  if (socket.Fd() < 0 ||
      bind(socket.Fd(), reinterpret_cast<const sockaddr*>(&autobind), sizeof(sa_family_t)) != 0) {
    return SocketFailure(errno, socketPath, "open a socket for");
  }
  if (connect(socket.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return SocketFailure(errno, socketPath, "connect to");
  }

  std::array<Request, READ.size()> requests;
  const PortIdentity self{{}, static_cast<std::uint16_t>(getpid())};
  for (std::size_t i = 0; i < READ.size(); ++i) {
    requests[i] = {READ[i], static_cast<std::uint16_t>(i), self, domainNumber};
    const auto message = EncodeGet(requests[i]);
    if (!LimitSend(socket.Fd(), deadline)) {
      return timedOut(0);
    }
    if (send(socket.Fd(), message.data(), message.size(), MSG_NOSIGNAL) < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return timedOut(0);
      }
      return SocketFailure(errno, socketPath, "send to");
    }
  }

  Answers answers;
  std::array<unsigned char, MAX_MESSAGE> buffer;
  while (!answers.Complete()) {
    pollfd ready{socket.Fd(), POLLIN, 0};
    const int polled = poll(&ready, 1, RemainingMs(deadline));
    if (polled == 0) {
      return timedOut(answers.count);
    }
    const auto received =
        polled < 0 ? -1 : recv(socket.Fd(), buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (received < 0) {
      if (errno == EINTR || errno == EAGAIN) {
        continue;
      }
      return SocketFailure(errno, socketPath, "receive from");
    }
    if (static_cast<std::size_t>(received) > buffer.size()) {
      return Fail(Ptp4lFailure::Kind::MALFORMED,
                  fmt::format("malformed answer from ptp4l at {}: {} bytes, more than a message",
                              socketPath, received));
    }
    try {
      auto answer =
          ParseAnswer(std::span(buffer.data(), static_cast<std::size_t>(received)), requests);
      ++answers.count;
      if (const auto* error = std::get_if<ManagementErrorStatus>(&answer.content)) {
        return Fail(Ptp4lFailure::Kind::ERROR_STATUS,
                    fmt::format("ptp4l at {} answered GET {} with {}{}{}", socketPath,
                                ManagementIdName(error->id), ManagementErrorName(error->error),
                                error->displayData.empty() ? "" : ": ", error->displayData));
      }
      std::visit(
          [&](auto&& set) {
            if constexpr (!std::is_same_v<std::decay_t<decltype(set)>, ManagementErrorStatus>) {
              answers.Add(std::forward<decltype(set)>(set));
            }
          },
          std::move(answer.content));
    } catch (const MessageError& error) {
      if (error.GetKind() == MessageError::Kind::MALFORMED) {
        return Fail(Ptp4lFailure::Kind::MALFORMED,
                    fmt::format("malformed answer from ptp4l at {}: {}", socketPath, error.what()));
      }
    }
  }
  return answers.Reading();
}

}  // namespace ptp
