// Soak test of vexa::Client against a hostile daemon: many clients, each in a
// slot of its own thread, meet a test daemon driven at random (random and
// malformed packets, hang-ups at any point, stalls, a daemon that vanishes and
// comes back). A client's run lasts until it stops on a fatal error or has
// reconnected; then the next client takes the slot. Every notification is
// checked against what the client may say and what the daemon sent, a client
// that says it has stopped must have nothing left to do, and the process's
// descriptors, heap and resident size must not grow after warm-up.
// Usage: vexa_soak --seconds N --seed S [--clients K]
#include "run_checker.hpp"

#include <test_daemon.hpp>
#include <vexa/client.hpp>

#include <boost/asio/io_context.hpp>

#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer's allocator replaces malloc's; g++ ships no header for it.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
// Its quarantine of freed memory makes the resident size grow by design.
constexpr bool RSS_CHECKED = false;
#else
constexpr bool RSS_CHECKED = true;
#endif

namespace {

using namespace std::chrono_literals;
using vexatest::Clock;
using vexatest::Conduct;
using vexatest::Packet;
using vexatest::TestDaemon;

// Beyond every time-out the client has (2 s), with room for a loaded machine.
constexpr auto SILENCE_LIMIT = 10s;
// Long enough for the client's send and reply time-outs to expire.
constexpr auto STALL = 2500ms;
constexpr int MAX_PACKET = 300;
// Violations kept per slot for the report; all are counted.
constexpr std::size_t VIOLATIONS_KEPT = 5;

struct Options {
  long seconds = 0;
  unsigned long seed = 0;
  int clients = 16;
};

struct Counts {
  long runs = 0;
  long connections = 0;
  long packets = 0;
  long notifications = 0;
  long fatalErrors = 0;  // runs that met one, by the last one's kind:
  long protocolErrors = 0;
  long truncations = 0;
  long failedSends = 0;
  long fatalStops = 0;       // the client said it had stopped
  long recoveredFatals = 0;  // followed until the client had reconnected
  long reconnects = 0;
  long stalls = 0;
  long vanishes = 0;
  long violations = 0;

  void Add(const Counts& other) {
    runs += other.runs;
    connections += other.connections;
    packets += other.packets;
    notifications += other.notifications;
    fatalErrors += other.fatalErrors;
    protocolErrors += other.protocolErrors;
    truncations += other.truncations;
    failedSends += other.failedSends;
    fatalStops += other.fatalStops;
    recoveredFatals += other.recoveredFatals;
    reconnects += other.reconnects;
    stalls += other.stalls;
    vanishes += other.vanishes;
    violations += other.violations;
  }
};

// Passes every notification to the run's checker, and stops the context once
// the run is over so that the slot can move on at once.
class Notifier : public vexa::StatusNotifier {
 public:
  Notifier(boost::asio::io_context& io, soak::RunChecker& checker, Counts& counts)
      : io(io), checker(checker), counts(counts) {}

  void Notify(const vexa::StatusMessage& message) override {
    ++counts.notifications;
    checker.Notify(message, client != nullptr && client->Stopped());
    if (checker.Ended()) {
      io.stop();
    }
  }

  const vexa::Client* client = nullptr;

 private:
  boost::asio::io_context& io;
  soak::RunChecker& checker;
  Counts& counts;
};

// One daemon and the clients that meet it one after another.
class Slot {
 public:
  Slot(int index, std::string address, unsigned long seed)
      : index(index), address(std::move(address)), random(seed) {
    daemon = std::make_unique<TestDaemon>(this->address);
  }

  void RunUntil(Clock::time_point end) {
    while (Clock::now() < end) {
      Run(end);
    }
    daemon->Close();
  }

  Counts Totals() const {
    Counts total = counts;
    total.connections += daemon->Connections();
    return total;
  }
  const std::vector<std::string>& Violations() const { return violations; }

 private:
  // One client, on a context of its own: a context that still holds
  // completed steps of a destroyed client must never run again.
  void Run(Clock::time_point end) {
    conduct = RandomConduct();
    daemon->SetDefaultConduct(conduct);
    soak::RunChecker checker;
    checker.FollowRecovery(Uniform(0, 3) == 0);
    try {
      boost::asio::io_context io;
      Notifier notifier(io, checker, counts);
      const auto client = MakeClient(io, notifier);
      notifier.client = client.get();
      PumpUntil(
          io, checker, [&] { return checker.Connects() > 0; }, SILENCE_LIMIT);
      for (int actions = Uniform(0, 6); actions > 0 && !checker.Ended() && Clock::now() < end;
           --actions) {
        Act(io, checker);
        Pump(io, checker, std::chrono::milliseconds(Uniform(0, 3)));
      }
      CloseUntilEnded(io, checker);
      if (checker.Stopped()) {
        io.restart();
        if (!RunOut(io)) {
          checker.Violation("said it had stopped, but still had work after " +
                            std::to_string(SILENCE_LIMIT.count()) + " s");
        }
      }
    } catch (const std::exception& error) {
      checker.Violation(std::string("exception: ") + error.what());
    }
    TakeLog(checker);
    checker.Finish();
    Account(checker);
  }

  // Half the clients also check that the daemon runs as this user, as it does.
  std::unique_ptr<vexa::Client> MakeClient(boost::asio::io_context& io, Notifier& notifier) {
    if (Uniform(0, 1) == 0) {
      return std::make_unique<vexa::Client>(io, daemon->Address(), notifier);
    }
    return std::make_unique<vexa::Client>(io, daemon->Address(), notifier,
                                          vexa::PeerRequirement{::geteuid()});
  }

  // Packets and hang-ups dominate; stalls and vanishing daemons cost the
  // client's 2-second waits, so they stay few.
  void Act(boost::asio::io_context& io, soak::RunChecker& checker) {
    const int pick = Uniform(0, 99);
    if (pick < 30) {
      daemon->Send(RandomStatus());
    } else if (pick < 50) {
      daemon->Send(RandomBytes(0, MAX_PACKET));
    } else if (pick < 65) {
      daemon->Send(Corrupted());
    } else if (pick < 72) {
      for (int burst = Uniform(2, 20); burst > 0; --burst) {
        daemon->Send(RandomStatus());
      }
    } else if (pick < 94) {
      daemon->Close();
    } else if (pick < 97) {
      ++counts.stalls;
      Pump(io, checker, STALL);
    } else {
      Vanish(io, checker);
    }
  }

  // The daemon goes away and, a moment later, another takes its address.
  void Vanish(boost::asio::io_context& io, soak::RunChecker& checker) {
    ++counts.vanishes;
    TakeLog(checker);
    counts.connections += daemon->Connections();
    daemon.reset();
    Pump(io, checker, std::chrono::milliseconds(Uniform(0, 30)));
    daemon = std::make_unique<TestDaemon>(address);
    daemon->SetDefaultConduct(conduct);
    requestChecker = {};
  }

  // A daemon hang-up must bring the client back, unless it reports a fatal
  // error; the first hang-up may meet a connection the daemon has not yet
  // accepted, so it is repeated.
  void CloseUntilEnded(boost::asio::io_context& io, soak::RunChecker& checker) {
    const auto deadline = Clock::now() + SILENCE_LIMIT;
    while (!checker.Ended() && Clock::now() < deadline) {
      daemon->Close();
      Pump(io, checker, 20ms);
    }
    if (!checker.Ended()) {
      checker.Violation("silent: no reconnect and no fatal error after the daemon hung up");
    }
  }

  // Runs `io` until it has nothing left to do; false if it still has work at
  // SILENCE_LIMIT.
  static bool RunOut(boost::asio::io_context& io) {
    io.run_for(SILENCE_LIMIT);
    return io.stopped();
  }

  static void Pump(boost::asio::io_context& io, const soak::RunChecker& checker,
                   Clock::duration period) {
    if (!checker.Ended()) {
      io.restart();
      io.run_for(period);
    }
  }

  template <typename Done>
  static void PumpUntil(boost::asio::io_context& io, const soak::RunChecker& checker, Done done,
                        Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    while (!done() && !checker.Ended() && Clock::now() < deadline) {
      io.restart();
      io.run_one_for(10ms);
    }
  }

  void TakeLog(soak::RunChecker& checker) {
    const auto log = daemon->TakeLog();
    counts.packets += static_cast<long>(log.sent.size());
    checker.AddSent(log.sent);
    for (auto& broken : requestChecker.Check(log.requests)) {
      checker.Violation(std::move(broken));
    }
  }

  void Account(const soak::RunChecker& checker) {
    ++counts.runs;
    const std::string_view fatal = checker.FatalDetail();
    counts.fatalErrors += checker.Fatal() ? 1 : 0;
    counts.fatalStops += checker.Stopped() ? 1 : 0;
    counts.protocolErrors += fatal.substr(0, 14) == "Protocol error" ? 1 : 0;
    counts.truncations += fatal == "Message truncated" ? 1 : 0;
    counts.failedSends += fatal.substr(0, 5) == "send(" ? 1 : 0;
    counts.recoveredFatals += checker.Fatal() && checker.Connects() >= 2 ? 1 : 0;
    counts.reconnects += checker.Connects() >= 2 ? 1 : 0;
    counts.violations += static_cast<long>(checker.Violations().size());
    for (const auto& violation : checker.Violations()) {
      if (violations.size() < VIOLATIONS_KEPT) {
        violations.push_back("slot " + std::to_string(index) + ", run " +
                             std::to_string(counts.runs) + ": " + violation);
      }
    }
  }

  Conduct RandomConduct() {
    Conduct planned;
    planned.read = Uniform(0, 99) >= 3;
    planned.subscribeReply = Uniform(0, 99) >= 10;
    const int reply = Uniform(0, 99);
    if (reply < 70) {
      planned.statusReply = RandomStatus();
    } else if (reply < 80) {
      planned.statusReply = Corrupted();
    } else if (reply < 90) {
      planned.statusReply = RandomBytes(0, MAX_PACKET);
    } else {
      planned.statusReply.reset();
    }
    const int hangUp = Uniform(0, 99);
    if (hangUp < 30) {
      planned.hangUpAfter = hangUp / 10;  // 0, 1 or 2 packets read
    }
    return planned;
  }

  Packet RandomStatus() {
    const auto type = static_cast<unsigned char>(Uniform(0, 1) == 0 ? 0x01 : 0x04);
    const auto status = static_cast<unsigned char>(Uniform(0, 3));
    const auto text = RandomBytes(0, Uniform(0, 1) == 0 ? 16 : 255);
    return vexatest::StatusPacket(type, status, std::string(text.begin(), text.end()));
  }

  // A status message with one thing wrong, or a type that the client must
  // not accept from a daemon.
  Packet Corrupted() {
    Packet packet = RandomStatus();
    switch (Uniform(0, 6)) {
      case 0:
        packet[1] = static_cast<unsigned char>(Uniform(4, 255));
        break;
      case 1:
        packet[2] = static_cast<unsigned char>(packet[2] + Uniform(1, 255));
        break;
      case 2:
        packet.resize(static_cast<std::size_t>(Uniform(1, 2)));
        break;
      case 3:
        packet.resize(packet.size() + static_cast<std::size_t>(Uniform(1, 40)), 'x');
        break;
      case 4:
        packet[0] =
            static_cast<unsigned char>(Uniform(0, 1) == 0 ? Uniform(5, 255) : 2 * Uniform(0, 1));
        break;
      case 5:
        packet = {0x03, static_cast<unsigned char>(Uniform(0, 255))};
        break;
      default:
        packet.resize(static_cast<std::size_t>(Uniform(259, MAX_PACKET)), 'L');
        break;
    }
    return packet;
  }

  Packet RandomBytes(int least, int most) {
    Packet packet(static_cast<std::size_t>(Uniform(least, most)));
    for (auto& byte : packet) {
      byte = static_cast<unsigned char>(Uniform(0, 255));
    }
    return packet;
  }

  int Uniform(int least, int most) { return std::uniform_int_distribution(least, most)(random); }

  int index;
  std::string address;
  std::mt19937_64 random;
  std::unique_ptr<TestDaemon> daemon;
  soak::RequestChecker requestChecker;  // of the current daemon
  Conduct conduct;
  Counts counts;
  std::vector<std::string> violations;
};

// A leak of a few bytes per connection stands out over thousands of them;
// the resident size also takes in the new threads of the second phase.
constexpr std::size_t HEAP_TOLERANCE = 64 * 1024;
constexpr long RSS_TOLERANCE_KIB = 2048;

struct Sample {
  long descriptors = 0;
  std::size_t heap = 0;  // bytes allocated and not freed
  long rssKiB = 0;
};

std::size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

long Descriptors() {
  const auto entries = std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                     std::filesystem::directory_iterator());
  return static_cast<long>(entries) - 1;  // the listing's own
}

long RssKiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0;
  long resident = 0;
  statm >> size >> resident;
  return resident * ::sysconf(_SC_PAGESIZE) / 1024;
}

// Daemons may still be reaping the last connections: take the quietest of a
// few samples.
Sample Measure() {
  Sample quietest{};
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(20ms);
    const Sample sample{Descriptors(), HeapInUse(), RssKiB()};
    if (i == 0 || sample.descriptors < quietest.descriptors) {
      quietest = sample;
    }
  }
  return quietest;
}

void RunPhase(std::vector<std::unique_ptr<Slot>>& slots, Clock::duration length) {
  const auto end = Clock::now() + length;
  std::vector<std::thread> threads;
  for (auto& slot : slots) {
    threads.emplace_back([&slot, end] { slot->RunUntil(end); });
  }
  for (auto& thread : threads) {
    thread.join();
  }
}

[[noreturn]] void Usage() {
  std::cerr << "usage: vexa_soak --seconds N --seed S [--clients K]" << std::endl;
  std::exit(2);
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view name = argv[i];
    char* end = nullptr;
    const unsigned long value = std::strtoul(argv[i + 1], &end, 10);
    if (*end != '\0' || end == argv[i + 1]) {
      Usage();
    }
    if (name == "--seconds") {
      options.seconds = static_cast<long>(value);
    } else if (name == "--seed") {
      options.seed = value;
    } else if (name == "--clients") {
      options.clients = static_cast<int>(value);
    } else {
      Usage();
    }
  }
  if (argc % 2 == 0 || options.seconds < 2 || options.clients < 1) {
    Usage();
  }
  return options;
}

// Abstract names for even slots; socket files for odd ones, where a vanished
// daemon leaves no file behind and the client meets "no such file".
std::vector<std::unique_ptr<Slot>> MakeSlots(const Options& options, const std::string& dir) {
  std::vector<std::unique_ptr<Slot>> slots;
  for (int i = 0; i < options.clients; ++i) {
    const auto name = "vexa-soak-" + std::to_string(::getpid()) + "-" + std::to_string(i);
    const auto address = i % 2 == 0 ? std::string(1, '\0') + name : dir + "/" + name;
    slots.push_back(
        std::make_unique<Slot>(i, address, options.seed * 1000 + static_cast<unsigned long>(i)));
  }
  return slots;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  char pattern[] = "/tmp/vexa-soak-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = pattern;
  auto slots = MakeSlots(options, dir);

  // A tenth of the run, at least a second, brings the allocator and the
  // daemons to their steady sizes before the first sample.
  const auto total = std::chrono::seconds(options.seconds);
  const auto warmUp = std::max<Clock::duration>(1s, total / 10);
  RunPhase(slots, warmUp);
  const Sample start = Measure();
  RunPhase(slots, total - warmUp);
  const Sample end = Measure();

  Counts counts;
  for (const auto& slot : slots) {
    counts.Add(slot->Totals());
    for (const auto& violation : slot->Violations()) {
      std::cerr << "vexa_soak: " << violation << "\n";
    }
  }
  slots.clear();
  std::filesystem::remove_all(dir);

  const bool flat = end.descriptors <= start.descriptors &&
                    end.heap <= start.heap + HEAP_TOLERANCE &&
                    (!RSS_CHECKED || end.rssKiB <= start.rssKiB + RSS_TOLERANCE_KIB);
  std::cout << "vexa_soak: seed " << options.seed << ", " << options.seconds << " s, "
            << options.clients << " clients: " << counts.runs << " runs, " << counts.connections
            << " connections, " << counts.packets << " packets, " << counts.notifications
            << " notifications, " << counts.fatalErrors << " fatal errors ("
            << counts.protocolErrors << " protocol errors, " << counts.truncations << " truncated, "
            << counts.failedSends << " failed sends; " << counts.fatalStops
            << " stopped the client, " << counts.recoveredFatals << " followed to a reconnect), "
            << counts.reconnects << " reconnects (" << counts.stalls << " stalls, "
            << counts.vanishes << " vanished daemons); fds " << start.descriptors << " -> "
            << end.descriptors << ", heap " << start.heap << " -> " << end.heap << " bytes, rss "
            << start.rssKiB << " -> " << end.rssKiB << " KiB; " << counts.violations
            << " violations" << std::endl;
  if (!flat) {
    std::cerr << "vexa_soak: descriptors or memory grew after warm-up" << std::endl;
  }
  return counts.violations == 0 && flat ? 0 : 1;
}
