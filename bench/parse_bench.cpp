// vexa::Parse against its floor: a minimal hand-written check of the same
// rules, in the same order, that copies the text into a buffer that already
// exists. What Parse must cost beyond the floor is its result, a std::string
// that owns a heap copy once the text outgrows the string's inline 15 bytes:
// the owning floor makes the same check and copies the text into a new
// std::string, the least that any parser returning that type can do.
#include <vexa/protocol.hpp>

#include "status_event.hpp"

#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace {

using bench::Packet;

using bench::StatusEvent;

const Packet SUBSCRIBE_REPLY{0x03};

struct FloorResult {
  bool isStatus = false;
  unsigned char status = 0;
  std::size_t textSize = 0;
  std::array<unsigned char, 255> text{};
};

// Out of line, as Parse is behind the library boundary. Returns false where
// Parse throws.
[[gnu::noinline]] bool FloorParse(const unsigned char* message, std::size_t size,
                                  FloorResult& result) {
  if (size == 0) {
    return false;
  }
  switch (message[0]) {
    case 0x03:
      result.isStatus = false;
      return size == 1;
    case 0x01:
    case 0x04:
      if (size < 3 || size - 3 != message[2] || message[1] > 3) {
        return false;
      }
      std::memcpy(result.text.data(), message + 3, size - 3);
      result.textSize = size - 3;
      result.status = message[1];
      result.isStatus = true;
      return true;
    default:
      return false;
  }
}

// The same check, and the text in a string of its own as the result holds it.
[[gnu::noinline]] bool FloorParseOwned(const unsigned char* message, std::size_t size,
                                       std::string& text) {
  if (size < 3 || (message[0] != 0x01 && message[0] != 0x04) || size - 3 != message[2] ||
      message[1] > 3) {
    return false;
  }
  text.assign(reinterpret_cast<const char*>(message) + 3, size - 3);
  return true;
}

void RunParse(benchmark::State& state, const Packet& packet) {
  const gsl::span<const unsigned char> message(packet.data(), packet.size());
  for (auto _ : state) {
    auto result = vexa::Parse(message);
    benchmark::DoNotOptimize(result);
  }
}

void RunFloor(benchmark::State& state, const Packet& packet) {
  FloorResult result;
  for (auto _ : state) {
    benchmark::DoNotOptimize(FloorParse(packet.data(), packet.size(), result));
    benchmark::ClobberMemory();
  }
}

void ParseStatus(benchmark::State& state) {
  RunParse(state, StatusEvent(static_cast<std::size_t>(state.range(0))));
}

void FloorStatus(benchmark::State& state) {
  RunFloor(state, StatusEvent(static_cast<std::size_t>(state.range(0))));
}

void FloorOwnedStatus(benchmark::State& state) {
  const auto packet = StatusEvent(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::string text;
    benchmark::DoNotOptimize(FloorParseOwned(packet.data(), packet.size(), text));
    benchmark::DoNotOptimize(text);
  }
}

void ParseSubscribeReply(benchmark::State& state) {
  RunParse(state, SUBSCRIBE_REPLY);
}

void FloorSubscribeReply(benchmark::State& state) {
  RunFloor(state, SUBSCRIBE_REPLY);
}

// 15 text bytes still fit a std::string's inline buffer, 16 do not.
#define TEXT_SIZES ->ArgName("text")->Arg(0)->Arg(15)->Arg(16)->Arg(64)->Arg(255)

BENCHMARK(ParseSubscribeReply)->Name("Parse/subscribe_reply");
BENCHMARK(FloorSubscribeReply)->Name("Floor/subscribe_reply");
BENCHMARK(ParseStatus)->Name("Parse/status") TEXT_SIZES;
BENCHMARK(FloorStatus)->Name("Floor/status") TEXT_SIZES;
BENCHMARK(FloorOwnedStatus)->Name("FloorOwned/status") TEXT_SIZES;

}  // namespace

BENCHMARK_MAIN();
