#include "tests/soak/call_tally.h"

#include <algorithm>

namespace kiv::soak {

void CallTally::Succeeded(Clock::duration took) {
  PScopedLock hold(&lock_);
  ++counts_.made;
  ++counts_.ok;
  NoteDuration(took);
}

void CallTally::Failed(std::int32_t status, bool inOutage, Clock::duration took) {
  PScopedLock hold(&lock_);
  ++counts_.made;
  ++(inOutage ? counts_.failedInOutage : counts_.failedWhileUp)[status];
  NoteDuration(took);
}

CallCounts CallTally::Counts() const {
  PScopedLock hold(&lock_);
  return counts_;
}

void CallTally::NoteDuration(Clock::duration took) {
  counts_.longestSeconds =
      std::max(counts_.longestSeconds, std::chrono::duration<double>(took).count());
}

}  // namespace kiv::soak
