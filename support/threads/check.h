// Internal to support/threads: debug-build check of a POSIX thread call.
// The wrappers never report these failures to their callers; a failure here
// means a caller broke a locking contract, so debug builds stop at once.
#pragma once

#include <cassert>

#define KIV_PTHREAD_CHECK(call)       \
  do {                                \
    [[maybe_unused]] int rc = (call); \
    assert(rc == 0);                  \
  } while (false)
