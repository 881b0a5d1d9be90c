// Whole-process latency of one run of each program against the closest peer
// tool, spawned alternately so that both see the same machine load.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Command = std::vector<std::string>;

// Where the programs under test are installed (in bin or sbin); --prefix
// replaces the build tree, so that an installed copy can be measured as a
// user would run it.
std::string prefix;

std::string Program(const char* buildPath, const char* name) {
  if (prefix.empty()) {
    return buildPath;
  }
  const auto program = prefix + "/bin/" + name;
  return access(program.c_str(), X_OK) == 0 ? program : prefix + "/sbin/" + name;
}

// Runs `command` with all three standard streams on /dev/null and returns
// the wall time from spawn to reaped exit, or a negative time when it could
// not be run.
double RunOnceMs(const Command& command) {
  std::vector<char*> argv;
  for (const auto& word : command) {
    argv.push_back(const_cast<char*>(word.c_str()));
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (const int fd : {0, 1, 2}) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  const auto start = Clock::now();
  pid_t pid = 0;
  const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  if (error != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) == 127) {
    return -1;
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> samples) {
  const auto middle = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
  std::nth_element(samples.begin(), middle, samples.end());
  return *middle;
}

// Each iteration runs both commands, swapping which goes first, so that
// neither profits from a warmer cache or a quieter moment. Reports the median
// of each and their ratio.
void Compare(benchmark::State& state, const Command& ours, const Command& peer) {
  // An untimed first run of each shows that it can run and warms the caches.
  for (const auto* command : {&ours, &peer}) {
    if (RunOnceMs(*command) < 0) {
      state.SkipWithError(
          (command->front() + " cannot be run (scripts/install-deps --bench)").c_str());
      return;
    }
  }
  std::vector<double> oursMs;
  std::vector<double> peerMs;
  bool oursFirst = true;
  for (auto _ : state) {
    if (oursFirst) {
      oursMs.push_back(RunOnceMs(ours));
      peerMs.push_back(RunOnceMs(peer));
    } else {
      peerMs.push_back(RunOnceMs(peer));
      oursMs.push_back(RunOnceMs(ours));
    }
    oursFirst = !oursFirst;
  }
  const double oursMedian = Median(oursMs);
  const double peerMedian = Median(peerMs);
  state.counters["ours_ms"] = oursMedian;
  state.counters["peer_ms"] = peerMedian;
  state.counters["ratio"] = oursMedian / peerMedian;
}

void Timepeek(benchmark::State& state) {
  Compare(state, {Program(TIMEPEEK_PATH, "timepeek")}, {"phc_ctl", "CLOCK_REALTIME", "get"});
}

void Leapset(benchmark::State& state) {
  Compare(state, {Program(LEAPSET_PATH, "leapset")}, {"adjtimex", "-p"});
}

// What every program of this toolkit pays before its first line of work.
void Floor(benchmark::State& state) {
  Compare(state, {FLOOR_PATH}, {"phc_ctl", "CLOCK_REALTIME", "get"});
}

void Nicmark(benchmark::State& state) {
  Compare(state, {Program(NICMARK_PATH, "nicmark"), "lo"}, {"hwstamp_ctl", "-i", "lo"});
}

constexpr int PAIRS = 400;

BENCHMARK(Timepeek)
    ->Name("Startup/timepeek_vs_phc_ctl")
    ->Iterations(PAIRS)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Leapset)
    ->Name("Startup/leapset_vs_adjtimex")
    ->Iterations(PAIRS)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Nicmark)
    ->Name("Startup/nicmark_vs_hwstamp_ctl")
    ->Iterations(PAIRS)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Floor)
    ->Name("Startup/floor_vs_phc_ctl")
    ->Iterations(PAIRS)
    ->Unit(benchmark::kMillisecond);

// Takes --prefix=DIR out of the arguments that Google Benchmark left.
void TakePrefix(int& argc, char** argv) {
  constexpr std::string_view PREFIX = "--prefix=";
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]).starts_with(PREFIX)) {
      prefix = argv[i] + PREFIX.size();
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  TakePrefix(argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
