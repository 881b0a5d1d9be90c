#include "test_daemon.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace vexatest {

namespace {

constexpr unsigned char SUBSCRIBE_REQUEST = 0x02;
constexpr unsigned char STATUS_REQUEST = 0x00;
constexpr unsigned char SUBSCRIBE_REPLY = 0x03;

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

int Listen(const std::string& address, int backlog) {
  sockaddr_un name{};
  if (address.size() > sizeof name.sun_path) {
    throw std::length_error("socket address too long");
  }
  name.sun_family = AF_UNIX;
  std::memcpy(name.sun_path, address.data(), address.size());
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    ThrowErrno("socket");
  }
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&name), length) != 0 ||
      ::listen(fd, backlog) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    ThrowErrno("bind");
  }
  return fd;
}

}  // namespace

Packet StatusPacket(unsigned char type, unsigned char status, std::string_view text) {
  Packet packet(3 + text.size());
  packet[0] = type;
  packet[1] = status;
  packet[2] = static_cast<unsigned char>(text.size());
  std::copy(text.begin(), text.end(), packet.begin() + 3);
  return packet;
}

FullBacklog::FullBacklog(const std::string& abstractName) : listener(Listen(abstractName, 0)) {
  sockaddr_un name{};
  name.sun_family = AF_UNIX;
  std::memcpy(name.sun_path, abstractName.data(), abstractName.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + abstractName.size());
  while (waiting.size() < 64) {
    waiting.push_back(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (waiting.back() < 0) {
      ThrowErrno("socket");
    }
    if (::connect(waiting.back(), reinterpret_cast<const sockaddr*>(&name), length) != 0) {
      if (errno == EAGAIN) {
        return;
      }
      ThrowErrno("connect");
    }
  }
  throw std::runtime_error("the accept queue never filled");
}

FullBacklog::~FullBacklog() {
  for (const int fd : waiting) {
    ::close(fd);
  }
  ::close(listener);
}

TestDaemon::TestDaemon(std::string address) : address(std::move(address)) {
  listener = Listen(this->address, 8);
  wake = ::eventfd(0, EFD_CLOEXEC);
  if (wake < 0) {
    ThrowErrno("eventfd");
  }
  thread = std::thread([this] { Serve(); });
}

TestDaemon::~TestDaemon() {
  {
    std::lock_guard lock(mutex);
    stopping = true;
  }
  const std::uint64_t one = 1;
  (void)!::write(wake, &one, sizeof one);
  thread.join();
  Drop();
  ::close(wake);
  ::close(listener);
  if (!address.empty() && address.front() != '\0') {
    ::unlink(address.c_str());
  }
}

void TestDaemon::SetConduct(int number, Conduct newConduct) {
  std::lock_guard lock(mutex);
  conducts[number] = std::move(newConduct);
}

void TestDaemon::SetDefaultConduct(Conduct newConduct) {
  std::lock_guard lock(mutex);
  defaultConduct = std::move(newConduct);
}

bool TestDaemon::Send(const Packet& packet) {
  bool sent = false;
  Execute([&] { sent = SendNow(packet); });
  return sent;
}

void TestDaemon::Close() {
  Execute([this] { Drop(); });
}

int TestDaemon::Connections() const {
  std::lock_guard lock(mutex);
  return accepted;
}

std::vector<int> TestDaemon::Hangups() const {
  std::lock_guard lock(mutex);
  return log.hangups;
}

std::vector<Received> TestDaemon::Requests() const {
  std::lock_guard lock(mutex);
  return log.requests;
}

// On the daemon's thread, so that no send is half recorded.
Log TestDaemon::TakeLog() {
  Log taken;
  Execute([&] {
    std::lock_guard lock(mutex);
    taken = std::exchange(log, {});
  });
  return taken;
}

// Runs `command` on the daemon's thread and waits until it has run.
void TestDaemon::Execute(std::function<void()> command) {
  std::unique_lock lock(mutex);
  commands.push_back(std::move(command));
  const auto ticket = ++queued;
  const std::uint64_t one = 1;
  if (::write(wake, &one, sizeof one) != sizeof one) {
    ThrowErrno("write(eventfd)");
  }
  done.wait(lock, [&] { return executed >= ticket; });
}

void TestDaemon::Serve() {
  for (;;) {
    // The connection comes before the listener, so that a client's close is
    // seen before the connection that follows it.
    pollfd fds[3] = {{wake, POLLIN, 0},
                     {connection, static_cast<short>(conduct.read ? POLLIN : 0), 0},
                     {listener, POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      ThrowErrno("poll");
    }
    if (fds[0].revents != 0 && !RunCommands()) {
      return;
    }
    if (connection >= 0 && fds[1].fd == connection && fds[1].revents != 0) {
      Read();
    }
    if (fds[2].revents != 0) {
      Accept();
    }
  }
}

// Returns false once the daemon is to stop.
bool TestDaemon::RunCommands() {
  std::uint64_t count = 0;
  (void)!::read(wake, &count, sizeof count);
  std::unique_lock lock(mutex);
  if (stopping) {
    return false;
  }
  auto batch = std::move(commands);
  commands.clear();
  lock.unlock();
  for (auto& command : batch) {
    command();
  }
  lock.lock();
  executed += batch.size();
  done.notify_all();
  return true;
}

void TestDaemon::Accept() {
  const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    return;
  }
  // The client holds one connection at a time; an older one is dead to it.
  Drop();
  connection = fd;
  packetsRead = 0;
  {
    std::lock_guard lock(mutex);
    connectionNumber = ++accepted;
    const auto planned = conducts.find(connectionNumber);
    conduct = planned == conducts.end() ? defaultConduct : planned->second;
  }
  if (conduct.hangUpAfter == 0) {
    Drop();
  }
}

void TestDaemon::Read() {
  if (conduct.read) {
    unsigned char buffer[65536];
    const ssize_t length = ::recv(connection, buffer, sizeof buffer, MSG_DONTWAIT);
    if (length < 0 && errno == EAGAIN) {
      return;
    }
    if (length > 0) {
      Record(Packet(buffer, buffer + length));
      return;
    }
  }
  // An empty packet, an error or a hang-up: the client has gone.
  {
    std::lock_guard lock(mutex);
    log.hangups.push_back(connectionNumber);
  }
  Drop();
}

void TestDaemon::Record(const Packet& packet) {
  {
    std::lock_guard lock(mutex);
    log.requests.push_back({connectionNumber, packet, Clock::now()});
  }
  if (conduct.hangUpAfter == ++packetsRead) {
    Drop();
  } else if (packet == Packet{SUBSCRIBE_REQUEST} && conduct.subscribeReply) {
    SendNow(Packet{SUBSCRIBE_REPLY});
  } else if (packet == Packet{STATUS_REQUEST} && conduct.statusReply) {
    SendNow(*conduct.statusReply);
  }
}

bool TestDaemon::SendNow(const Packet& packet) {
  if (connection < 0 || ::send(connection, packet.data(), packet.size(), MSG_NOSIGNAL) !=
                            static_cast<ssize_t>(packet.size())) {
    return false;
  }
  std::lock_guard lock(mutex);
  log.sent.push_back(packet);
  return true;
}

void TestDaemon::Drop() {
  if (connection >= 0) {
    ::close(connection);
    connection = -1;
  }
}

}  // namespace vexatest
