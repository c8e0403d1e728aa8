#include "tests/soak/outage_log.h"

namespace kiv::soak {

std::size_t OutageLog::Open(const std::string& process, Clock::time_point at) {
  PScopedLock hold(&lock_);
  windows_.push_back({process, at, std::nullopt});
  return windows_.size() - 1;
}

void OutageLog::Close(std::size_t window, Clock::time_point at) {
  PScopedLock hold(&lock_);
  if (window < windows_.size()) windows_[window].end = at;
}

bool OutageLog::Excuses(const std::string& destination, Clock::time_point start,
                        Clock::time_point end) const {
  PScopedLock hold(&lock_);
  for (const Window& window : windows_) {
    const bool concerns = window.process == kDirectoryProcess || destination == kAllSatellites ||
                          window.process == destination;
    const bool overlaps = window.begin <= end && (!window.end || *window.end >= start);
    if (concerns && overlaps) return true;
  }
  return false;
}

}  // namespace kiv::soak
