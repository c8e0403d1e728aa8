#include "testing/process_stats.h"

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace kiv::testing {
namespace {

int CountDescriptors(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

// utime and stime, fields 14 and 15 of /proc/PID/stat; the command name
// (field 2) may hold spaces, so fields are counted after its closing ')'.
std::optional<double> ReadCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long user = 0, system = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 14) user = std::stoull(field);
    if (index == 15) {
      system = std::stoull(field);
      return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<ProcessStats> ReadProcessStats(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  if (!status) return std::nullopt;
  ProcessStats stats;
  std::string line;
  bool sawThreads = false;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) stats.residentKiB = std::stoll(line.substr(6));
    if (line.rfind("Threads:", 0) == 0) {
      stats.threads = std::stoi(line.substr(8));
      sawThreads = true;
    }
  }
  const auto cpu = ReadCpuSeconds(pid);
  stats.descriptors = CountDescriptors(pid);
  if (!sawThreads || !cpu || stats.descriptors < 0) return std::nullopt;
  stats.cpuSeconds = *cpu;
  return stats;
}

}  // namespace kiv::testing
