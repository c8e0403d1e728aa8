// What the callers' calls came to: counts of calls, successes and failures
// by status code (apart: failures excused by an outage and failures while
// everything was up), and the longest call. Thread-safe.
#pragma once

#include <cstdint>
#include <map>

#include "support/threads/mutex.h"
#include "tests/soak/journal.h"

namespace kiv::soak {

struct CallCounts {
  std::uint64_t made = 0;
  std::uint64_t ok = 0;
  std::map<std::int32_t, std::uint64_t> failedInOutage;  // status code -> calls
  std::map<std::int32_t, std::uint64_t> failedWhileUp;
  double longestSeconds = 0;
};

class CallTally {
 public:
  void Succeeded(Clock::duration took);
  void Failed(std::int32_t status, bool inOutage, Clock::duration took);
  CallCounts Counts() const;

 private:
  void NoteDuration(Clock::duration took);  // lock_ held

  mutable PMutex lock_;
  CallCounts counts_;
};

}  // namespace kiv::soak
