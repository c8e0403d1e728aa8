#include "support/time/wall_clock.h"

#include <atomic>
#include <chrono>

#include "support/threads/mutex.h"

namespace kiv {

namespace {

struct Overrides {
  std::atomic<bool> active{false};  // the common path reads only this
  PMutex lock;
  std::function<std::int64_t()> wallSeconds;
  std::function<std::int64_t()> tickMilliseconds;
};

Overrides& TheOverrides() {
  static Overrides overrides;
  return overrides;
}

}  // namespace

std::int64_t WallSeconds() {
  Overrides& o = TheOverrides();
  if (o.active.load(std::memory_order_acquire)) {
    PScopedLock guard(&o.lock);
    if (o.wallSeconds) return o.wallSeconds();
  }
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::int64_t TickMilliseconds() {
  Overrides& o = TheOverrides();
  if (o.active.load(std::memory_order_acquire)) {
    PScopedLock guard(&o.lock);
    if (o.tickMilliseconds) return o.tickMilliseconds();
  }
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SetClockForTesting(std::function<std::int64_t()> wallSeconds,
                        std::function<std::int64_t()> tickMilliseconds) {
  Overrides& o = TheOverrides();
  PScopedLock guard(&o.lock);
  o.wallSeconds = std::move(wallSeconds);
  o.tickMilliseconds = std::move(tickMilliseconds);
  o.active.store(o.wallSeconds || o.tickMilliseconds, std::memory_order_release);
}

}  // namespace kiv
