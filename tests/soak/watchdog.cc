#include "tests/soak/watchdog.h"

namespace kiv::soak {
namespace {

constexpr int kLookIntervalMs = 200;

}  // namespace

Watchdog::Watchdog(std::vector<const Caller*> callers, Clock::duration hangBound,
                   Clock::time_point deadline, Fatal fatal)
    : callers_(std::move(callers)),
      hangBound_(hangBound),
      deadline_(deadline),
      fatal_(std::move(fatal)) {}

Watchdog::~Watchdog() {
  Stop();
}

void Watchdog::Start() {
  thread_ = std::make_unique<PThread>(nullptr, this, &Watchdog::Run, nullptr);
}

void Watchdog::Stop() {
  if (!thread_) return;
  stop_.Set();
  thread_->Join(nullptr);
  thread_.reset();
}

void* Watchdog::Run(void*) {
  while (!stop_.TimedWaitSet(kLookIntervalMs)) {
    const Clock::time_point now = Clock::now();
    for (const Caller* caller : callers_) {
      const auto call = caller->InFlight();
      if (call && now - call->started > hangBound_) {
        fatal_(call->caller + ": Echo to " + call->destination + " (call " +
               std::to_string(call->counter) + ") has not returned after " +
               Seconds(std::chrono::duration<double>(now - call->started).count(), 1) +
               " s: a hang");
      }
    }
    if (now > deadline_) fatal_("the run passed its hard deadline");
  }
  return nullptr;
}

}  // namespace kiv::soak
