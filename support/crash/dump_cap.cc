#include "support/crash/dump_cap.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>
#include <vector>

#include "support/crash/guid.h"
#include "support/registry/registry.h"

namespace kiv {
namespace fs = std::filesystem;

std::uint32_t ConfiguredMaxCrashDumps() {
  std::uint32_t value = 0;
  const boost::shared_ptr<CRegistry> registry = GetRegistry();
  if (registry &&
      registry->GetDwordValue(u"Software\\ZIB Networks\\Zib", u"MaxCrashDumps", value)) {
    return value;
  }
  return kDefaultMaxCrashDumps;
}

std::size_t PruneCrashDumps(const std::string& folder, std::uint32_t keep,
                            const std::string& keepId) {
  if (keep == 0) return 0;
  struct Crash {
    fs::file_time_type newest = fs::file_time_type::min();
    std::vector<fs::path> files;
  };
  std::map<std::string, Crash> crashes;  // by GUID
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const fs::path& path = it->path();
    const std::string extension = path.extension().string();
    const std::string id = path.stem().string();
    if ((extension != ".dmp" && extension != ".txt") || !IsGuidText(id)) continue;
    Crash& crash = crashes[id];
    std::error_code timeError;
    const fs::file_time_type written = fs::last_write_time(path, timeError);
    if (!timeError) crash.newest = std::max(crash.newest, written);
    crash.files.push_back(path);
  }
  if (crashes.size() <= keep) return 0;
  std::vector<std::pair<std::string, const Crash*>> newestFirst;
  for (const auto& [id, crash] : crashes) newestFirst.emplace_back(id, &crash);
  std::sort(newestFirst.begin(), newestFirst.end(), [&](const auto& a, const auto& b) {
    if ((a.first == keepId) != (b.first == keepId)) return a.first == keepId;
    return a.second->newest > b.second->newest;
  });
  std::size_t removed = 0;
  for (std::size_t i = keep; i < newestFirst.size(); ++i) {
    for (const fs::path& file : newestFirst[i].second->files) fs::remove(file, error);
    ++removed;
  }
  return removed;
}

}  // namespace kiv
