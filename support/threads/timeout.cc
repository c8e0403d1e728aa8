#include "support/threads/timeout.h"

namespace {
constexpr long kNanosPerSecond = 1000000000L;
constexpr long kNanosPerMilli = 1000000L;
}  // namespace

timespec AbsoluteTimeout(int milliseconds) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return AbsoluteTimeout(milliseconds, now.tv_sec, now.tv_nsec / kNanosPerMilli);
}

timespec AbsoluteTimeout(int milliseconds, time_t nowSeconds, long nowMillis) {
  timespec t{};
  t.tv_sec = nowSeconds;
  t.tv_nsec = nowMillis * kNanosPerMilli;
  if (t.tv_nsec >= kNanosPerSecond) {
    t.tv_sec += 1;
    t.tv_nsec -= kNanosPerSecond;
  }
  // Both parts truncate toward zero, so a negative delay has a negative
  // remainder.
  t.tv_sec += milliseconds / 1000;
  t.tv_nsec += static_cast<long>(milliseconds % 1000) * kNanosPerMilli;
  if (t.tv_nsec >= kNanosPerSecond) {
    t.tv_nsec -= kNanosPerSecond;
    t.tv_sec += 1;
  } else if (t.tv_nsec < 0) {
    // A timed wait rejects a negative tv_nsec (EINVAL) instead of timing out.
    t.tv_nsec += kNanosPerSecond;
    t.tv_sec -= 1;
  }
  return t;
}
