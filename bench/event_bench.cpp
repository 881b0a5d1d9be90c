// The client's event path against a plain blocking recv loop. A daemon thread
// pushes status events over a real SOCK_SEQPACKET connection as fast as the
// reader takes them; the client hands each to a counting notifier on a real
// io_context, the baseline only receives them. Both report events per second
// and heap allocations per event.
#include <vexa/client.hpp>

#include "status_event.hpp"

#include <boost/asio/io_context.hpp>

#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

// Every heap allocation of the process, libvexa's included, passes here. Out
// of line, so that the compiler pairs new with delete and not with free.
namespace {
std::atomic<std::uint64_t> allocations{0};
}  // namespace

[[gnu::noinline]] void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* block = std::malloc(size == 0 ? 1 : size)) {
    return block;
  }
  throw std::bad_alloc();
}

[[gnu::noinline]] void operator delete(void* block) noexcept {
  std::free(block);
}

[[gnu::noinline]] void operator delete(void* block, std::size_t /*size*/) noexcept {
  std::free(block);
}

namespace {

using bench::Packet;

// Events taken per round of the benchmark loop.
constexpr std::uint64_t BATCH = 1000;
// Packets per sendmmsg call: the sender must outrun any reader.
constexpr std::size_t SEND_BURST = 64;

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

using bench::StatusEvent;

sockaddr_un Address(const std::string& name, socklen_t& length) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, name.data(), name.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  return address;
}

// The daemon's side: listens on an abstract name, and on its own thread
// answers the client's two requests, then sends `event` until the reader
// hangs up.
class Daemon {
 public:
  Daemon(std::string name, Packet event) : name(std::move(name)), event(std::move(event)) {
    socklen_t length = 0;
    const auto address = Address(this->name, length);
    listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (listener < 0 ||
        ::bind(listener, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(listener, 1) != 0) {
      ThrowErrno("listen");
    }
  }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;
  ~Daemon() {
    if (thread.joinable()) {
      thread.join();
    }
    ::close(listener);
  }

  const std::string& Name() const { return name; }

  // `handshake`: answer the subscribe and status requests first.
  void Start(bool handshake) {
    thread = std::thread([this, handshake] { Serve(handshake); });
  }

 private:
  void Serve(bool handshake) {
    const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) {
      return;
    }
    if (!handshake || Answer(connection)) {
      Push(connection);
    }
    ::close(connection);
  }

  // Subscribe request, subscribe reply; status request, status message.
  bool Answer(int connection) const {
    unsigned char request = 0;
    const unsigned char reply = 0x03;
    return ::recv(connection, &request, 1, 0) == 1 && ::send(connection, &reply, 1, 0) == 1 &&
           ::recv(connection, &request, 1, 0) == 1 &&
           ::send(connection, event.data(), event.size(), 0) == static_cast<ssize_t>(event.size());
  }

  void Push(int connection) const {
    iovec data{const_cast<unsigned char*>(event.data()), event.size()};
    std::vector<mmsghdr> burst(SEND_BURST);
    for (auto& message : burst) {
      message.msg_hdr.msg_iov = &data;
      message.msg_hdr.msg_iovlen = 1;
    }
    // Ends with EPIPE or ECONNRESET once the reader has closed its end.
    while (::sendmmsg(connection, burst.data(), static_cast<unsigned>(burst.size()), MSG_NOSIGNAL) >
           0) {
    }
  }

  std::string name;
  Packet event;
  int listener = -1;
  std::thread thread;
};

std::string UniqueName(const char* what) {
  return std::string(1, '\0') + "orvkit-bench-" + what + "-" + std::to_string(::getpid());
}

// Counts the daemon's status events (the client's own notifications carry
// status 1, the events 2) and stops the loop once `target` have come, or at
// the first notification of the client's own after the answer: the stream
// has broken and no more events will come.
class CountingNotifier : public vexa::StatusNotifier {
 public:
  explicit CountingNotifier(boost::asio::io_context& io) : io(io) {}

  void Notify(const vexa::StatusMessage& message) override {
    if (message.status != vexa::Status::STATUS_2) {
      if (events != 0) {
        broken = true;
        io.stop();
      }
    } else if (++events == target) {
      io.stop();
    }
  }

  // Runs `io` until `count` more events have been delivered; false when the
  // stream broke first.
  bool Deliver(std::uint64_t count) {
    target = events + count;
    io.restart();
    io.run();
    return !broken;
  }

 private:
  boost::asio::io_context& io;
  std::uint64_t events = 0;
  std::uint64_t target = 0;
  bool broken = false;
};

void ReportPerEvent(benchmark::State& state, std::uint64_t events, std::uint64_t allocated) {
  state.SetItemsProcessed(static_cast<std::int64_t>(events));
  state.counters["allocs_per_event"] = static_cast<double>(allocated) / static_cast<double>(events);
}

void ClientEvents(benchmark::State& state) {
  Daemon daemon(UniqueName("client"), StatusEvent(static_cast<std::size_t>(state.range(0))));
  daemon.Start(true);
  boost::asio::io_context io;
  CountingNotifier notifier(io);
  {
    vexa::Client client(io, daemon.Name(), notifier);
    // Connected, subscribed and answered: from here on only events come.
    notifier.Deliver(1);
    const auto before = allocations.load();
    std::uint64_t events = 0;
    for (auto _ : state) {
      if (!notifier.Deliver(BATCH)) {
        state.SkipWithError("the client left the event stream");
        break;
      }
      events += BATCH;
    }
    ReportPerEvent(state, events, allocations.load() - before);
  }
  // The client is gone and its socket closed: the daemon stops sending.
}

void RecvLoop(benchmark::State& state) {
  const auto event = StatusEvent(static_cast<std::size_t>(state.range(0)));
  Daemon daemon(UniqueName("recv"), event);
  daemon.Start(false);
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  socklen_t length = 0;
  const auto address = Address(daemon.Name(), length);
  if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    ThrowErrno("connect");
  }
  unsigned char buffer[259];
  const auto before = allocations.load();
  std::uint64_t events = 0;
  for (auto _ : state) {
    for (std::uint64_t i = 0; i < BATCH; ++i) {
      if (::recv(fd, buffer, sizeof buffer, 0) != static_cast<ssize_t>(event.size())) {
        state.SkipWithError("short or failed recv");
        break;
      }
    }
    events += BATCH;
  }
  ReportPerEvent(state, events, allocations.load() - before);
  ::close(fd);
}

// 2 text bytes fit the strings' inline buffers, parsed and notified; 64 need
// one heap block each.
BENCHMARK(ClientEvents)->Name("Events/client")->ArgName("text")->Arg(2)->Arg(64)->UseRealTime();
BENCHMARK(RecvLoop)->Name("Events/recv_loop")->ArgName("text")->Arg(2)->Arg(64)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
