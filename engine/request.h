// Outgoing requests: one KivRequestTarget per satellite that a KivRequest
// contacts, and the worker thread that runs its exchange (none when a
// synchronous request without a bound has one target: its caller runs the
// exchange). A target is freed by exactly one side: the waiting KivRequest
// after it ran the exchange, joined the worker or saw its done flag, or the
// worker itself when the request is asynchronous or the waiter gave up on it
// (bounded wait). Private to engine/.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/engine_object.h"
#include "kiv/value.h"
#include "support/threads/cond.h"
#include "support/threads/mutex.h"
#include "support/time/time_limits.h"

namespace kiv::request {

// Request flag: wait at most BoundedWaitMs() for each target.
constexpr std::int32_t kBoundedWaitFlag = 0x2;
// The bound in force: TimeLimit::kBoundedWait (30 s unless a test lowered it).
inline std::int32_t BoundedWaitMs() {
  return LimitMs(TimeLimit::kBoundedWait);
}

// How many targets exist right now in the process, so tests can prove that
// an abandoned target was freed once its late answer came in.
std::int32_t LiveTargets();

}  // namespace kiv::request

struct KivRequestTarget {
  KivRequestTarget();
  ~KivRequestTarget();
  KivRequestTarget(const KivRequestTarget&) = delete;
  KivRequestTarget& operator=(const KivRequestTarget&) = delete;

  std::int32_t status = 0;
  std::u16string requestName;  // entry element 0: the name sent to the target
  std::uint16_t port = 0;
  KIV* engine = nullptr;
  kiv::Variant argument;  // the caller's argument, copied, unless borrowed
  // The caller's own argument, when the exchange ends before the caller's
  // KivRequest returns (a synchronous one on the caller's thread): a large
  // value is then neither copied nor allocated again.
  const VARIANT* borrowed = nullptr;
  kiv::Variant value;     // the target's answer
  std::u16string entry2;  // entry elements 2 and 5 and 6: kept, not used
  std::u16string host;
  std::u16string entry5;
  std::int32_t entry6 = 0;
  std::int32_t flags = 0;
  // Set by whichever side finishes first when the wait is bounded.
  PCondFlag done{false};
  // Makes "test done, then act" one step for the worker and for a waiter
  // that gives up, so both cannot decide to free (or to keep) the target.
  PMutex doneLock;
  // The engine's count of threads that still use it, held from preparation
  // to destruction: an abandoned or asynchronous target calls through the
  // engine after KivRequest has returned, so KivDestroy must wait for it.
  std::shared_ptr<PIntCondMutex> engineUsers;
};

// The exchange with the target: fills status and value. Any thread; the
// worker runs it, and so does a synchronous request to one satellite on
// its caller's thread.
void KivRequestTargetExchange(KivRequestTarget& target);

// The worker's thread body; arg is the KivRequestTarget.
void* KivRequestTargetWorker(void* arg);

// Under target.doneLock: true when the waiter may collect the target (its
// worker had finished), false when it gave up and the worker now owns it.
// Call only after done did not turn set within the bound.
bool KivRequestTargetGiveUp(KivRequestTarget& target);
