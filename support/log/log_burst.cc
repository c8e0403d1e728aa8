#include "support/log/log_burst.h"

namespace kiv {

bool LogBurst::Admit(std::string& note, Clock::time_point now) {
  PScopedLock hold(&lock_);
  if (now - periodStart_ >= period_) {
    periodStart_ = now;
    passed_ = 0;
  }
  if (passed_ >= lines_) {
    ++leftOut_;
    return false;
  }
  ++passed_;
  note = leftOut_ == 0 ? "" : " (" + std::to_string(leftOut_) + " more like it not logged)";
  leftOut_ = 0;
  return true;
}

}  // namespace kiv
