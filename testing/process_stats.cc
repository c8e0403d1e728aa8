#include "testing/process_stats.h"

#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace kiv::testing {

std::optional<ProcessStats> ReadProcessStats(pid_t pid) {
  const std::string folder = "/proc/" + std::to_string(pid);
  std::ifstream status(folder + "/status");
  std::error_code error;
  std::filesystem::directory_iterator descriptors(folder + "/fd", error);
  if (!status || error) return std::nullopt;
  ProcessStats stats;
  stats.descriptors = static_cast<int>(std::distance(descriptors, {}));
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) stats.residentKiB = std::stoll(line.substr(6));
    if (line.starts_with("Threads:")) stats.threads = std::stoi(line.substr(8));
  }
  // A process that ended while it was read lists no thread.
  return stats.threads == 0 ? std::nullopt : std::optional(stats);
}

bool RaiseDescriptorLimit(std::uint64_t wanted) {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_max < wanted) return false;
  files.rlim_cur = files.rlim_max;
  return ::setrlimit(RLIMIT_NOFILE, &files) == 0;
}

}  // namespace kiv::testing
