#include "support/time/time_limits.h"

#include <array>
#include <atomic>
#include <cstdlib>

namespace kiv {
namespace {

constexpr std::array<std::int32_t, static_cast<int>(TimeLimit::kCount)> kDefaultsMs = {
    30000,   // kBoundedWait
    30000,   // kMessageDeadline
    30000,   // kPingSocket
    3000,    // kConnect
    1000,    // kLoopbackConnect
    1000,    // kRemovalConnect
    5000,    // kUserWait
    1000,    // kSearchInterval
    10000,   // kDirectoryAnswer
    120000,  // kIdleConnection
    10000,   // kLookupAge
    2000,    // kParkedWorker
};

// KIV_TIME_SCALE as a divisor; anything but a whole number from 1 to 1000
// leaves the limits as they are.
std::int32_t Scale() {
  static const std::int32_t scale = [] {
    const char* text = std::getenv("KIV_TIME_SCALE");
    if (text == nullptr) return 1;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (*end == '\0' && value >= 1 && value <= 1000) ? static_cast<std::int32_t>(value) : 1;
  }();
  return scale;
}

std::int32_t ScaledDefault(TimeLimit which) {
  const std::int32_t ms = kDefaultsMs[static_cast<int>(which)] / Scale();
  return ms > 0 ? ms : 1;
}

std::array<std::atomic<std::int32_t>, kDefaultsMs.size()>& Overrides() {
  static std::array<std::atomic<std::int32_t>, kDefaultsMs.size()> overrides{};
  return overrides;
}

}  // namespace

std::int32_t LimitMs(TimeLimit which) {
  const std::int32_t set = Overrides()[static_cast<int>(which)].load(std::memory_order_relaxed);
  return set > 0 ? set : ScaledDefault(which);
}

void SetLimitMsForTesting(TimeLimit which, std::int32_t milliseconds) {
  Overrides()[static_cast<int>(which)].store(milliseconds > 0 ? milliseconds : 0,
                                             std::memory_order_relaxed);
}

}  // namespace kiv
