#include "tools/kiv/stop_signals.h"

#include <pthread.h>

namespace kiv::cli {

StopSignals::StopSignals() {
  sigemptyset(&set_);
  sigaddset(&set_, SIGINT);
  sigaddset(&set_, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set_, &previous_);
}

StopSignals::~StopSignals() {
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

int StopSignals::Wait() {
  int signal = 0;
  while (sigwait(&set_, &signal) != 0) {
  }
  return signal;
}

int StopSignals::WaitFor(std::chrono::nanoseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return 0;
    const timespec wait{static_cast<time_t>(left / 1000000000),
                        static_cast<long>(left % 1000000000)};
    const int signal = sigtimedwait(&set_, nullptr, &wait);
    if (signal > 0) return signal;  // else time-out or EINTR
  }
}

}  // namespace kiv::cli
