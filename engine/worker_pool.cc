#include "engine/worker_pool.h"

#include <algorithm>
#include <chrono>

#include "engine/engine_object.h"
#include "engine/worker.h"
#include "support/threads/counted_thread.h"
#include "support/time/time_limits.h"

namespace kiv::engine {

bool WorkerPool::Serve(std::shared_ptr<KivConnection> connection) {
  {
    std::lock_guard guard(lock_);
    if (stopped_) return false;
    if (!parked_.empty()) {
      // The most recently parked thread: its stack and arena are warm, and
      // the others may reach their lifetime and end.
      Slot* slot = parked_.back();
      parked_.pop_back();
      slot->job = std::move(connection);
      slot->wake.notify_one();
      return true;
    }
  }
  // Counted in the engine's workers: the engine, and this pool, stay until
  // the count drops.
  return StartCountedThread(engine_->workers, [this, connection = std::move(connection)]() mutable {
    Run(std::move(connection));
  });
}

void WorkerPool::Run(std::shared_ptr<KivConnection> connection) {
  while (connection) {
    KivServeConnection(engine_, std::move(connection));
    connection = Park();
  }
}

std::shared_ptr<KivConnection> WorkerPool::Park() {
  Slot slot;
  std::unique_lock guard(lock_);
  if (stopped_) return nullptr;
  parked_.push_back(&slot);
  slot.wake.wait_for(guard, std::chrono::milliseconds(LimitMs(TimeLimit::kParkedWorker)),
                     [&] { return slot.job || stopped_; });
  if (!slot.job) parked_.erase(std::find(parked_.begin(), parked_.end(), &slot));
  return std::move(slot.job);
}

void WorkerPool::Stop() {
  std::lock_guard guard(lock_);
  stopped_ = true;
  for (Slot* slot : parked_) slot->wake.notify_one();
}

std::size_t WorkerPool::Parked() {
  std::lock_guard guard(lock_);
  return parked_.size();
}

}  // namespace kiv::engine
