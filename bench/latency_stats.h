// Per-call latency figures for the benchmarks that time single calls: the
// elapsed microseconds of one call, and the median, 99th percentile and call
// rate as counters of the benchmark. Header-only; one thread per State.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

namespace kiv::bench {

using LatencyClock = std::chrono::steady_clock;

// Microseconds since `before`, the unit every latency is recorded in.
inline double MicrosSince(LatencyClock::time_point before) {
  return std::chrono::duration<double, std::micro>(LatencyClock::now() - before).count();
}

// Median and 99th percentile of per-call latencies, in microseconds; sorts
// `micros`. Nothing when no call was timed.
inline void ReportLatencies(benchmark::State& state, std::vector<double>& micros) {
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}

// The latencies as above, plus calls per second over the timed iterations
// and the calls as items processed.
inline void ReportCallFigures(benchmark::State& state, std::vector<double>& micros) {
  ReportLatencies(state, micros);
  state.counters["calls_per_s"] =
      benchmark::Counter(static_cast<double>(micros.size()), benchmark::Counter::kIsRate);
  state.SetItemsProcessed(static_cast<std::int64_t>(micros.size()));
}

}  // namespace kiv::bench
