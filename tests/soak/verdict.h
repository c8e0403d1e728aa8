// The run's verdict: invariant violations reported from any thread. Each
// one is printed at once; unless the run keeps going, the first also aborts
// the run, which every loop of the driver watches. Thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "support/threads/cond.h"
#include "tests/soak/journal.h"

namespace kiv::soak {

class Verdict {
 public:
  Verdict(Journal& journal, bool keepGoing) : journal_(journal), keepGoing_(keepGoing) {}
  Verdict(const Verdict&) = delete;
  Verdict& operator=(const Verdict&) = delete;

  void Violation(const std::string& text);
  std::size_t Count() const;
  std::vector<std::string> Texts() const;

  bool Aborted() const { return aborted_.IsSet(); }
  // Waits at most `timeout` for an abort; true when the run is aborted.
  // The driver's pauses go through here, so an abort cuts them short.
  bool WaitForAbort(std::chrono::milliseconds timeout);

 private:
  Journal& journal_;
  const bool keepGoing_;
  mutable PMutex lock_;
  std::vector<std::string> texts_;
  PCondFlag aborted_;
};

}  // namespace kiv::soak
