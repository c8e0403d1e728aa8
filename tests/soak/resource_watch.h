// Bounds the growth of long-lived processes: per kind (kivd, satellite,
// driver) the first sample after warm-up is the baseline, and any later one
// over it by more than the bound is a violation, once per kind and measure.
// Keeps peaks for the summary. Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "support/threads/mutex.h"
#include "testing/process_stats.h"
#include "tests/soak/journal.h"
#include "tests/soak/verdict.h"

namespace kiv::soak {

struct ResourceBounds {
  std::int64_t residentKiB = 0;  // growth allowed over the baseline
  int threads = 0;
  int descriptors = 0;
  Clock::duration warmUp{};  // of the process and of the run, before the baseline
};

struct KindResources {
  std::optional<testing::ProcessStats> baseline;
  std::string baselineFrom;    // the process the baseline came from
  testing::ProcessStats peak;  // of each measure separately
  std::uint64_t samples = 0;
};

class ResourceWatch {
 public:
  ResourceWatch(ResourceBounds bounds, Verdict& verdict) : bounds_(bounds), verdict_(verdict) {}

  // One sample of the process `name` of that kind, `processAge` after it
  // became ready and `runAge` after the run began.
  void Record(const std::string& kind, const std::string& name, const testing::ProcessStats& stats,
              Clock::duration processAge, Clock::duration runAge);
  std::map<std::string, KindResources> Kinds() const;

 private:
  // Reports once per kind and measure; lock_ held.
  void Check(KindResources& kind, const std::string& kindName, const std::string& name,
             const char* measure, std::int64_t value, std::int64_t baseline, std::int64_t bound);

  const ResourceBounds bounds_;
  Verdict& verdict_;
  mutable PMutex lock_;
  std::map<std::string, KindResources> kinds_;
  std::map<std::string, bool> reported_;  // "kind/measure"
};

}  // namespace kiv::soak
