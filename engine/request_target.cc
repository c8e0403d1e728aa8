// The per-target worker of KivRequest and the hand-off that decides which
// side frees the target.
#include <atomic>
#include <memory>
#include <new>
#include <string>

#include "engine/call.h"
#include "engine/engine_object.h"
#include "engine/engine_state.h"
#include "engine/request.h"
#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "kiv/status.h"
#include "kiv/utf8.h"

namespace kiv::request {
namespace {

std::atomic<std::int32_t> liveTargets{0};

}  // namespace

std::int32_t LiveTargets() {
  return liveTargets.load(std::memory_order_acquire);
}

}  // namespace kiv::request

KivRequestTarget::KivRequestTarget() {
  kiv::request::liveTargets.fetch_add(1, std::memory_order_relaxed);
}

KivRequestTarget::~KivRequestTarget() {
  // Counted out before the engine learns it is free, so that whoever waited
  // for the engine finds no target left.
  kiv::request::liveTargets.fetch_sub(1, std::memory_order_release);
  if (engineUsers) {
    // The engine is no longer touched; the count outlives it.
    PScopedLock guard(engineUsers.get());
    --engineUsers->value;
    engineUsers->Broadcast();
  }
}

void KivRequestTargetExchange(KivRequestTarget& target) {
  try {
    const std::string host = kiv::ToUtf8(target.host);
    const std::string requestName = kiv::ToUtf8(target.requestName);
    // The directory's own services are bounded like every exchange with it.
    const std::int32_t answerWithinMs =
        kiv::engine::IsDirectoryName(target.entry2) ? target.engine->directoryTimeoutMs : 0;
    const std::int32_t result = kiv::engine::CallWithin(
        target.engine, host.c_str(), target.port, requestName.c_str(),
        target.borrowed != nullptr ? const_cast<VARIANT*>(target.borrowed) : target.argument.get(),
        target.value.get(), &target.status, answerWithinMs);
    // A failed exchange, or a handler's non-zero result, replaces the return code.
    if (result != 0) target.status = result;
  } catch (const std::bad_alloc&) {
    target.status = kiv::KIV_RC_OUT_OF_MEMORY;  // nothing was sent
  }
}

void* KivRequestTargetWorker(void* arg) {
  auto* target = static_cast<KivRequestTarget*>(arg);
  KivRequestTargetExchange(*target);

  const bool asynchronous = (target->flags & KIV_ASYNCHRONOUS) != 0;
  const bool bounded = (target->flags & kiv::request::kBoundedWaitFlag) != 0;
  // Freed after the lock is released, since the target holds the lock.
  std::unique_ptr<KivRequestTarget> owned;
  {
    PScopedLock guard(&target->doneLock);
    if (asynchronous || (bounded && target->done.IsSet())) {
      owned.reset(target);  // nobody waits for this target any more
    } else if (bounded) {
      target->done.Set();  // the waiter collects it
    }
    // Otherwise the waiter joins this thread and then collects the target.
  }
  return nullptr;
}

bool KivRequestTargetGiveUp(KivRequestTarget& target) {
  PScopedLock guard(&target.doneLock);
  // The worker may have finished between the timed wait and this lock.
  if (target.done.IsSet()) return true;
  target.done.Set();
  return false;
}
