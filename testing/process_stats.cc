#include "testing/process_stats.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace kiv::testing {

std::optional<ProcessStats> ReadProcessStats(pid_t pid) {
  const std::string folder = "/proc/" + std::to_string(pid);
  std::ifstream status(folder + "/status");
  std::ifstream statFile(folder + "/stat");
  const std::string stat{std::istreambuf_iterator<char>(statFile), {}};
  std::error_code error;
  std::filesystem::directory_iterator descriptors(folder + "/fd", error);
  if (!status || error) return std::nullopt;
  ProcessStats stats;
  stats.descriptors = static_cast<int>(std::distance(descriptors, {}));
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) stats.residentKiB = std::stoll(line.substr(6));
    if (line.starts_with("Threads:")) stats.threads = std::stoi(line.substr(8));
  }
  // utime and stime are fields 14 and 15; the command name (field 2) may
  // hold spaces, so fields are counted after its closing ')'.
  unsigned long long user = 0, system = 0;
  const auto close = stat.rfind(')');
  if (stats.threads == 0 || close == std::string::npos ||
      std::sscanf(stat.c_str() + close + 1, "%*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu %llu",
                  &user, &system) != 2) {
    return std::nullopt;
  }
  stats.cpuSeconds = static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
  return stats;
}

}  // namespace kiv::testing
