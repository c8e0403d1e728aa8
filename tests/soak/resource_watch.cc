#include "tests/soak/resource_watch.h"

#include <algorithm>

namespace kiv::soak {

void ResourceWatch::Record(const std::string& kindName, const std::string& name,
                           const testing::ProcessStats& stats, Clock::duration processAge,
                           Clock::duration runAge) {
  {
    PScopedLock hold(&lock_);
    KindResources& kind = kinds_[kindName];
    ++kind.samples;
    kind.peak.residentKiB = std::max(kind.peak.residentKiB, stats.residentKiB);
    kind.peak.threads = std::max(kind.peak.threads, stats.threads);
    kind.peak.descriptors = std::max(kind.peak.descriptors, stats.descriptors);
    kind.peak.cpuSeconds = std::max(kind.peak.cpuSeconds, stats.cpuSeconds);
    if (processAge < bounds_.warmUp || runAge < bounds_.warmUp) return;
    if (!kind.baseline) {
      kind.baseline = stats;
      kind.baselineFrom = name;
      return;
    }
    const testing::ProcessStats& base = *kind.baseline;
    Check(kind, kindName, name, "resident KiB", stats.residentKiB, base.residentKiB,
          bounds_.residentKiB);
    Check(kind, kindName, name, "threads", stats.threads, base.threads, bounds_.threads);
    Check(kind, kindName, name, "descriptors", stats.descriptors, base.descriptors,
          bounds_.descriptors);
  }
}

void ResourceWatch::Check(KindResources& kind, const std::string& kindName, const std::string& name,
                          const char* measure, std::int64_t value, std::int64_t baseline,
                          std::int64_t bound) {
  if (value - baseline <= bound) return;
  const std::string key = kindName + "/" + measure;
  if (reported_[key]) return;
  reported_[key] = true;
  // The verdict prints and may abort; it takes no lock of ours.
  verdict_.Violation(name + " (" + kindName + ") grew to " + std::to_string(value) + " " + measure +
                     ", " + std::to_string(value - baseline) + " over the baseline " +
                     std::to_string(baseline) + " (taken from " + kind.baselineFrom +
                     "); the bound is " + std::to_string(bound));
}

std::map<std::string, KindResources> ResourceWatch::Kinds() const {
  PScopedLock hold(&lock_);
  return kinds_;
}

}  // namespace kiv::soak
