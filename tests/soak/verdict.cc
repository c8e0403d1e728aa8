#include "tests/soak/verdict.h"

namespace kiv::soak {

void Verdict::Violation(const std::string& text) {
  journal_.Print("VIOLATION: " + text);
  {
    PScopedLock hold(&lock_);
    texts_.push_back(text);
  }
  if (!keepGoing_) aborted_.Set();
}

std::size_t Verdict::Count() const {
  PScopedLock hold(&lock_);
  return texts_.size();
}

std::vector<std::string> Verdict::Texts() const {
  PScopedLock hold(&lock_);
  return texts_;
}

bool Verdict::WaitForAbort(std::chrono::milliseconds timeout) {
  return aborted_.TimedWaitSet(static_cast<int>(timeout.count()));
}

}  // namespace kiv::soak
