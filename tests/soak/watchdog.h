// Ends a run that hangs: a call in flight for longer than the hang bound,
// or the whole run past its hard deadline. A hung thread cannot be joined,
// so the watchdog reports and hands over to `fatal`, which ends the process
// and must not return. Start and Stop belong to the owner's thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/threads/cond.h"
#include "support/threads/thread.h"
#include "tests/soak/caller.h"

namespace kiv::soak {

class Watchdog {
 public:
  using Fatal = std::function<void(const std::string& why)>;

  Watchdog(std::vector<const Caller*> callers, Clock::duration hangBound,
           Clock::time_point deadline, Fatal fatal);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  void Start();
  void Stop();

 private:
  void* Run(void*);

  const std::vector<const Caller*> callers_;
  const Clock::duration hangBound_;
  const Clock::time_point deadline_;
  const Fatal fatal_;
  PCondFlag stop_;
  std::unique_ptr<PThread> thread_;
};

}  // namespace kiv::soak
