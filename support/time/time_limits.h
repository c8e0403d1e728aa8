// The waits the library measures in seconds, named in one place: the one
// time seam beside the clock (wall_clock.h). Tests shorten a limit instead
// of waiting it out; programs started by tests shorten them all through
// KIV_TIME_SCALE, a divisor read once from the environment (default 1).
// Any thread may read; tests set limits while no call that uses them runs.
#pragma once

#include <cstdint>

namespace kiv {

enum class TimeLimit : int {
  kBoundedWait,      // a bounded request's wait for its answer (30 s)
  kMessageDeadline,  // reading one incoming message, and socket time-outs (30 s)
  kPingSocket,       // a ping's send and receive time-outs (30 s)
  kConnect,          // connecting for a call or a ping (3 s)
  kLoopbackConnect,  // a ping's connect to 127.0.0.1 (1 s)
  kRemovalConnect,   // connecting for "RemoveSatellite" (1 s)
  kUserWait,         // KivSatellite waiting for discovery to find a user (5 s)
  kSearchInterval,   // between two SEARCH datagrams while waiting for a user (1 s)
  kDirectoryAnswer,  // the directory's answer to one request (10 s; DirectoryTimeout)
  kIdleConnection,   // a served connection's silence before it is closed (120 s)
  kLookupAge,        // how long a request reuses the directory's answer (10 s)
  kParkedWorker,     // a message worker's wait for its next message before it ends (2 s)
  kCount
};

// The limit in force, in milliseconds, never below 1.
std::int32_t LimitMs(TimeLimit which);
// Replaces one limit; 0 restores its default (scaled by KIV_TIME_SCALE).
void SetLimitMsForTesting(TimeLimit which, std::int32_t milliseconds);

// Sets a limit for one scope and restores the default after it.
class ScopedLimitForTesting {
 public:
  ScopedLimitForTesting(TimeLimit which, std::int32_t milliseconds) : which_(which) {
    SetLimitMsForTesting(which, milliseconds);
  }
  ~ScopedLimitForTesting() { SetLimitMsForTesting(which_, 0); }
  ScopedLimitForTesting(const ScopedLimitForTesting&) = delete;
  ScopedLimitForTesting& operator=(const ScopedLimitForTesting&) = delete;

 private:
  TimeLimit which_;
};

}  // namespace kiv
