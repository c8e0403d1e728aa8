// Drives one call from one or several client threads and reports the
// figures of the single calls: median and 99th percentile latency (us),
// calls per second over the timed batches, process CPU time per call (us,
// every thread of the process counted) and the part of it not spent on the
// client threads: the server's, when the server runs in this process.
// Header-only; call from the benchmark's own thread, with UseManualTime on
// the benchmark.
#pragma once

#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "bench/latency_stats.h"

namespace kiv::bench {

// One call of client `client`; `sequence` counts that client's calls from
// 0. Answers nullptr on success, else a static text saying what went wrong.
using ClientCall = std::function<const char*(int client, std::uint64_t sequence)>;

// User plus system time of the whole process, in microseconds.
inline double ProcessCpuMicros() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto micros = [](const timeval& t) {
    return t.tv_sec * 1e6 + static_cast<double>(t.tv_usec);
  };
  return micros(usage.ru_utime) + micros(usage.ru_stime);
}

// CPU time of the calling thread, in microseconds.
inline double ThreadCpuMicros() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

namespace detail {

// What one client did: its latencies, the CPU time its timed calls took
// on its own thread, and its first failure.
struct ClientLog {
  std::vector<double> micros;
  double cpuMicros = 0;
  std::uint64_t sequence = 0;
  const char* failure = nullptr;

  void Run(int client, int calls, bool timed, const ClientCall& call) {
    const double cpuBefore = ThreadCpuMicros();
    for (int i = 0; i < calls && failure == nullptr; ++i) {
      const LatencyClock::time_point before = LatencyClock::now();
      failure = call(client, sequence++);
      if (timed && failure == nullptr) micros.push_back(MicrosSince(before));
    }
    if (timed) cpuMicros += ThreadCpuMicros() - cpuBefore;
  }
};

// Client threads started once and run one batch each per Round, so a round
// costs two barrier crossings rather than thread starts.
class ClientCrew {
 public:
  ClientCrew(int clients, std::function<void(int)> batch)
      : sync_(clients + 1), batch_(std::move(batch)) {
    for (int c = 0; c < clients; ++c) threads_.emplace_back([this, c] { Work(c); });
  }
  ~ClientCrew() {
    stopping_ = true;
    sync_.arrive_and_wait();
    for (std::thread& thread : threads_) thread.join();
  }
  ClientCrew(const ClientCrew&) = delete;
  ClientCrew& operator=(const ClientCrew&) = delete;

  // Returns once every client has run its batch.
  void Round() {
    sync_.arrive_and_wait();
    sync_.arrive_and_wait();
  }

 private:
  void Work(int client) {
    for (;;) {
      sync_.arrive_and_wait();
      if (stopping_) return;
      batch_(client);
      sync_.arrive_and_wait();
    }
  }

  std::barrier<> sync_;
  std::function<void(int)> batch_;
  std::atomic<bool> stopping_{false};
  std::vector<std::thread> threads_;
};

}  // namespace detail

// Runs `call` for `clients` clients, each on a thread of its own (a single
// client runs on the benchmark's thread): first `warmUpCalls` untimed calls
// per client, then `batch` calls per client in every benchmark iteration,
// whose time is the batch's wall time. A client's first failure stops its
// calls and fails the benchmark with that text.
inline void RunClientCalls(benchmark::State& state, int clients, int batch, int warmUpCalls,
                           const ClientCall& call) {
  std::vector<detail::ClientLog> logs(static_cast<std::size_t>(clients));
  int roundCalls = warmUpCalls;
  bool timed = false;
  const auto runBatch = [&](int client) {
    logs[static_cast<std::size_t>(client)].Run(client, roundCalls, timed, call);
  };
  std::optional<detail::ClientCrew> crew;
  if (clients > 1) crew.emplace(clients, runBatch);
  const auto round = [&] { crew ? crew->Round() : runBatch(0); };
  const auto firstFailure = [&]() -> const char* {
    for (const detail::ClientLog& log : logs) {
      if (log.failure != nullptr) return log.failure;
    }
    return nullptr;
  };

  round();
  roundCalls = batch;
  timed = true;
  const double cpuBefore = ProcessCpuMicros();
  for (auto _ : state) {
    if (firstFailure() != nullptr) break;
    const LatencyClock::time_point start = LatencyClock::now();
    round();
    state.SetIterationTime(std::chrono::duration<double>(LatencyClock::now() - start).count());
  }
  const double cpuMicros = ProcessCpuMicros() - cpuBefore;
  crew.reset();
  if (const char* failure = firstFailure()) {
    state.SkipWithError(failure);
    return;
  }
  std::vector<double> all;
  double clientCpuMicros = 0;
  for (const detail::ClientLog& log : logs) {
    all.insert(all.end(), log.micros.begin(), log.micros.end());
    clientCpuMicros += log.cpuMicros;
  }
  if (all.empty()) return;
  const auto calls = static_cast<double>(all.size());
  state.counters["cpu_us_per_call"] = cpuMicros / calls;
  state.counters["server_cpu_us_per_call"] = (cpuMicros - clientCpuMicros) / calls;
  ReportCallFigures(state, all);
}

}  // namespace kiv::bench
