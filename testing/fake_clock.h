// A wall clock the test moves, installed through the library's clock seam
// for the life of the object; the monotonic tick stays real. One at a time.
#pragma once

#include <atomic>
#include <cstdint>

#include "support/time/wall_clock.h"

namespace kiv::testing {

class FakeWallClock {
 public:
  explicit FakeWallClock(std::int64_t start = 1'000'000) : now_(start) {
    SetClockForTesting([this] { return now_.load(); }, {});
  }
  ~FakeWallClock() { SetClockForTesting({}, {}); }
  FakeWallClock(const FakeWallClock&) = delete;
  FakeWallClock& operator=(const FakeWallClock&) = delete;

  void Set(std::int64_t seconds) { now_ = seconds; }

 private:
  std::atomic<std::int64_t> now_;
};

}  // namespace kiv::testing
