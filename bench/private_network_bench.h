// main() of a benchmark that runs in a private network namespace of its own:
// enters it, starts the benchmark's peers with `start`, runs the selected
// benchmarks and stops the peers with `stop` (after a failed start too).
// Call once, from main on the only thread; the answer is main's exit status.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "testing/private_network.h"

namespace kiv::bench {

inline int RunInPrivateNetwork(int argc, char** argv, bool (*start)(), void (*stop)(),
                               const char* startFailure) {
  std::string error;
  if (!kiv::testing::EnterPrivateNetwork(&error)) {
    std::fprintf(stderr, "private network: %s\n", error.c_str());
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!start()) {
    std::fprintf(stderr, "%s\n", startFailure);
    stop();
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  stop();
  return 0;
}

}  // namespace kiv::bench
