// What a running process holds, read from /proc; nothing when it is gone.
// For tests that bound a server's resources while it is abused or restarted.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace kiv::testing {

struct ProcessStats {
  std::int64_t residentKiB = 0;
  int threads = 0;
  int descriptors = 0;
};

std::optional<ProcessStats> ReadProcessStats(pid_t pid);

// Raises this process's descriptor limit to its hard limit; false when that
// stays below `wanted`. For tests that hold both ends of many connections.
bool RaiseDescriptorLimit(std::uint64_t wanted);

}  // namespace kiv::testing
