// Absolute wall-clock deadlines for timed condition waits. Pure arithmetic on
// a clock reading; the one-argument form reads CLOCK_REALTIME, truncated to
// whole milliseconds. The result is always a valid timespec (0 <= tv_nsec <
// 1e9), also for negative delays, which give a deadline in the past.
#pragma once

#include <time.h>

// The wall-clock time `milliseconds` from now.
timespec AbsoluteTimeout(int milliseconds);

// The same from an explicit clock reading of `nowSeconds` s and `nowMillis`
// ms (0..1000); the seam that lets tests fix the clock.
timespec AbsoluteTimeout(int milliseconds, time_t nowSeconds, long nowMillis);
