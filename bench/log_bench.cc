// Cost of logging: 8 threads writing lines through the process-wide logger
// (what the caller pays per call, and how fast the writer thread gets the
// lines onto the disk), and the price of a message below the threshold,
// which code on hot paths pays all the time. Runs in a temporary data
// folder with "LogLevel" 3 (INFO written, DEBUG not).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <boost/shared_ptr.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/log/log.h"

namespace {

using Clock = std::chrono::steady_clock;

// Shared by the threads of one run; set up and torn down by thread 0.
boost::shared_ptr<CBBLog> gLogger;
Clock::time_point gStart;

void StartLogger() {
  gLogger = InitLogger();
  LogDebug(u"warm-up");  // reads the threshold once, outside the timing
}

void WrittenLines(benchmark::State& state) {
  if (state.thread_index() == 0) {
    StartLogger();
    gStart = Clock::now();
  }
  const int thread = state.thread_index();
  int line = 0;
  for (auto _ : state) {
    LogInfo(u"bench thread %d line %d value %s", thread, line++, u"abcdef");
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    const Clock::time_point callersDone = Clock::now();
    gLogger.reset();  // joins the writer thread once every line is on disk
    const double drain = std::chrono::duration<double>(Clock::now() - callersDone).count();
    const double total = std::chrono::duration<double>(Clock::now() - gStart).count();
    const double lines = static_cast<double>(state.iterations()) * state.threads();
    state.counters["drain_s"] = drain;
    state.counters["disk_lines_per_s"] = lines / total;
  }
}

void BelowThreshold(benchmark::State& state) {
  if (state.thread_index() == 0) StartLogger();
  int value = 0;
  for (auto _ : state) LogDebug(u"not written %d", value++);
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) gLogger.reset();
}

BENCHMARK(WrittenLines)
    ->Threads(1)
    ->Threads(8)
    ->Iterations(100000)
    ->UseRealTime()
    ->Unit(benchmark::kNanosecond);
BENCHMARK(BelowThreshold)->Threads(1)->Threads(8)->UseRealTime()->Unit(benchmark::kNanosecond);

// A temporary data folder and registry file for the whole run.
class Sandbox {
 public:
  Sandbox() {
    char pattern[] = "/tmp/kiv-log-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) std::abort();
    root_ = pattern;
    const std::string registry = root_ + "/registry.reg";
    std::ofstream(registry) << "Windows Registry Editor Version 5.00\n\n"
                            << "[HKEY_LOCAL_MACHINE\\Software\\ZIB Networks\\Zib]\n"
                            << "\"LogLevel\"=dword:00000003\n";
    ::setenv("KIV_REGISTRY", registry.c_str(), 1);
    ::setenv("KIV_DATA_DIR", root_.c_str(), 1);
  }
  ~Sandbox() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

 private:
  std::string root_;
};

}  // namespace

int main(int argc, char** argv) {
  Sandbox sandbox;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
