// Blocks SIGINT and SIGTERM for the object's scope, so that threads started
// meanwhile (the engine's) inherit the mask and the signals wait for Wait
// or WaitFor.
// Make it on the main thread before starting any other; not copyable.
#pragma once

#include <signal.h>

#include <chrono>

namespace kiv::cli {

class StopSignals {
 public:
  StopSignals();
  ~StopSignals();  // restores the earlier mask
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Returns the signal once one of the two arrives.
  int Wait();
  // The signal if one arrives within `timeout`, else 0.
  int WaitFor(std::chrono::nanoseconds timeout);

 private:
  sigset_t set_;
  sigset_t previous_;
};

}  // namespace kiv::cli
