// What a running process holds, read from /proc: resident memory, threads,
// open descriptors and CPU time. For tests that bound a server's resources
// while it is abused or restarted. Nothing when the process is gone.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace kiv::testing {

struct ProcessStats {
  std::int64_t residentKiB = 0;
  int threads = 0;
  int descriptors = 0;
  double cpuSeconds = 0;  // user + system time since the process started
};

std::optional<ProcessStats> ReadProcessStats(pid_t pid);

}  // namespace kiv::testing
