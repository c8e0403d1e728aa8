// The soak run's running commentary: one line per event on standard output,
// stamped with the seconds since the run began, so that a failure can be
// laid beside the processes' logs. Thread-safe; lines never interleave.
#pragma once

#include <chrono>
#include <string>

#include "support/threads/mutex.h"

namespace kiv::soak {

using Clock = std::chrono::steady_clock;

class Journal {
 public:
  Journal() : start_(Clock::now()) {}
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  void Print(const std::string& line);
  // Seconds since the run began.
  double Elapsed() const;
  double SecondsAt(Clock::time_point when) const;
  Clock::time_point start() const { return start_; }

 private:
  const Clock::time_point start_;
  PMutex lock_;
};

// Seconds as text with a fixed number of decimals, e.g. "12.345".
std::string Seconds(double seconds, int decimals = 3);

}  // namespace kiv::soak
