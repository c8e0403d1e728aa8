// Wall-clock seconds and a monotonic millisecond tick, behind one seam so
// tests of the 41-second directory rules can move time instead of waiting.
// Any thread may read the clock; tests install and remove an override from
// one thread while no other thread reads it.
#pragma once

#include <cstdint>
#include <functional>

namespace kiv {

// Seconds since the epoch (the override when one is installed).
std::int64_t WallSeconds();
// Milliseconds of a monotonic counter (the override when one is installed).
std::int64_t TickMilliseconds();

// Installs (or, with empty functions, removes) overrides for tests.
void SetClockForTesting(std::function<std::int64_t()> wallSeconds,
                        std::function<std::int64_t()> tickMilliseconds);

}  // namespace kiv
