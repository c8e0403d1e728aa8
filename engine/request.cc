// KivGetServiceReg and KivRequest: ask the directory which satellites offer
// a service (or reuse its recent answer for a named satellite), then run one
// exchange per target in parallel and collect one value and one status per
// target. A synchronous request to one satellite runs its exchange on the
// caller's thread unless its wait is bounded.
#include "engine/request.h"

#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "engine/call.h"
#include "engine/engine_object.h"
#include "engine/engine_state.h"
#include "engine/lookup_cache.h"
#include "kiv/engine.h"
#include "kiv/kiv_exception.h"
#include "kiv/result_codes.h"
#include "kiv/status.h"
#include "kiv/value.h"
#include "kiv/vutil.h"
#include "support/threads/thread.h"

namespace {

// statuses = a one-element VT_I4 array holding code (failures before any
// target was contacted). Left empty when even that cannot be allocated.
void SetSingleStatus(VARIANT* statuses, std::int32_t code) {
  if (statuses == nullptr) return;
  VariantClear(statuses);
  kiv::SafeArrayPtr array(SafeArrayCreateVector(VT_I4, 0, 1));
  if (!array) return;
  {
    kiv::SafeArrayAccess access(array.get());
    if (!access.ok()) return;
    access.as<LONG>()[0] = code;
  }
  *statuses = kiv::Variant::Adopt(array.release(), VT_I4).Detach();
}

// The number of elements of the directory's answer; 0 for anything that is
// not an array.
LONG EntryCount(const VARIANT& entries) {
  if ((entries.vt & VT_ARRAY) == 0 || entries.parray == nullptr) return 0;
  LONG lower = 0;
  LONG upper = -1;
  if (SafeArrayGetLBound(entries.parray, 1, &lower) != S_OK ||
      SafeArrayGetUBound(entries.parray, 1, &upper) != S_OK) {
    return 0;
  }
  return upper - lower + 1;
}

// Element `index` of a one-dimensional variant array where it lies, or null
// for another shape or an index outside it. Reading a registration entry in
// place spares a request to a named satellite a dozen allocations.
const VARIANT* ElementInPlace(const VARIANT& array, LONG index) {
  void* element = nullptr;
  if (array.vt != (VT_ARRAY | VT_VARIANT) || SafeArrayGetDim(array.parray) != 1 ||
      SafeArrayPtrOfIndex(array.parray, &index, &element) != S_OK) {
    return nullptr;
  }
  return static_cast<const VARIANT*>(element);
}

// Element `index` of the entry as text, up to its first NUL as VUtil reads
// it; what is not a string in place goes through VUtil, which converts or
// throws. The entry may be a cached answer other threads read too: nothing
// here writes to it.
std::u16string TextAt(const VARIANT& entry, LONG index) {
  const VARIANT* element = ElementInPlace(entry, index);
  if (element == nullptr || element->vt != VT_BSTR) return VUtil::GetStringElement(entry, index);
  const BSTR text = element->bstrVal;
  return text != nullptr ? std::u16string(text) : std::u16string();
}

// Fills the target from registration entry `index`; false when the entry
// does not have the expected shape.
bool ReadEntry(const VARIANT& entries, LONG index, KivRequestTarget& target) {
  try {
    kiv::Variant copied;
    const VARIANT* entry = ElementInPlace(entries, index);
    if (entry == nullptr) {
      VUtil::GetElement(entries, index, copied.get());
      entry = copied.get();
    }
    target.requestName = TextAt(*entry, 0);
    target.entry2 = TextAt(*entry, 2);
    target.host = TextAt(*entry, 3);
    target.port = static_cast<std::uint16_t>(VUtil::GetLongElement(*entry, 4) & 0xFFFF);
    target.entry5 = TextAt(*entry, 5);
    target.entry6 = static_cast<std::int32_t>(VUtil::GetLongElement(*entry, 6));
    return true;
  } catch (const KivException&) {
    return false;
  }
}

// Targets prepared for the request, one slot per entry served; an empty
// slot is an entry whose fields could not be read.
using TargetSlots = std::vector<std::unique_ptr<KivRequestTarget>>;
using ThreadSlots = std::vector<std::unique_ptr<PThread>>;

// Makes every target before any thread starts, so that running out of
// memory half-way leaves no thread behind to clean up.
// A borrowing target uses the caller's argument instead of a copy.
TargetSlots PrepareTargets(KIV* engine, const VARIANT& entries, LONG n, const VARIANT& argument,
                           std::int32_t flags, bool borrow = false) {
  TargetSlots targets(static_cast<std::size_t>(n));
  for (LONG i = 0; i < n; ++i) {
    auto target = std::make_unique<KivRequestTarget>();
    if (!ReadEntry(entries, i, *target)) continue;
    if (borrow) {
      target->borrowed = &argument;
    } else {
      target->argument = kiv::Variant::CopyOf(argument);
    }
    target->flags = flags;
    target->engine = engine;
    target->engineUsers = engine->workers;
    {
      PScopedLock guard(target->engineUsers.get());
      ++target->engineUsers->value;
    }
    targets[static_cast<std::size_t>(i)] = std::move(target);
  }
  return targets;
}

// Starts one worker per prepared target; a slot stays empty when its target
// is missing or its thread cannot be started. Throws only before the first
// thread starts. An asynchronous worker owns its target from its start; a
// target that got no thread stays in its slot, to be freed by the caller.
ThreadSlots StartWorkers(TargetSlots& targets, bool asynchronous) {
  ThreadSlots threads(targets.size());
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (!targets[i]) continue;
    try {
      threads[i] = std::make_unique<PThread>(nullptr, &KivRequestTargetWorker, targets[i].get());
    } catch (const std::exception&) {
      continue;  // no thread: a synchronous waiter reports -1 for this target
    }
    if (asynchronous) targets[i].release();
  }
  return threads;
}

void RunAsynchronous(ThreadSlots& threads, VARIANT* statuses) {
  for (std::unique_ptr<PThread>& thread : threads) {
    if (!thread) continue;
    thread->Detach();
    thread.reset();
  }
  kiv::SafeArrayPtr zeros(SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(threads.size())));
  if (statuses != nullptr && zeros) {
    *statuses = kiv::Variant::Adopt(zeros.release(), VT_I4).Detach();
  }
}

// The caller's value and status arrays, one slot per target. Nothing here
// throws: an array that cannot be made or filled is left out.
class ResultArrays {
 public:
  explicit ResultArrays(ULONG n)
      : values_(SafeArrayCreateVector(VT_VARIANT, 0, n)),
        statuses_(SafeArrayCreateVector(VT_I4, 0, n)) {
    if (values_ &&
        SafeArrayAccessData(values_.get(), reinterpret_cast<void**>(&valueData_)) != S_OK) {
      values_.reset();
      valueData_ = nullptr;
    }
    if (statuses_ &&
        SafeArrayAccessData(statuses_.get(), reinterpret_cast<void**>(&statusData_)) != S_OK) {
      statuses_.reset();
      statusData_ = nullptr;
    }
  }
  ResultArrays(const ResultArrays&) = delete;
  ResultArrays& operator=(const ResultArrays&) = delete;

  // The value moves out of the target, which goes away next.
  void PutValue(ULONG index, kiv::Variant& value) {
    if (valueData_ != nullptr) valueData_[index] = value.Detach();
  }
  void PutStatus(ULONG index, std::int32_t status) {
    if (statusData_ != nullptr) statusData_[index] = status;
  }
  void Deliver(VARIANT* values, VARIANT* statuses) {
    if (valueData_ != nullptr) SafeArrayUnaccessData(values_.get());
    if (statusData_ != nullptr) SafeArrayUnaccessData(statuses_.get());
    valueData_ = nullptr;
    statusData_ = nullptr;
    if (values != nullptr && values_) {
      *values = kiv::Variant::Adopt(values_.release(), VT_VARIANT).Detach();
    }
    if (statuses != nullptr && statuses_) {
      *statuses = kiv::Variant::Adopt(statuses_.release(), VT_I4).Detach();
    }
  }

 private:
  kiv::SafeArrayPtr values_;
  kiv::SafeArrayPtr statuses_;
  VARIANT* valueData_ = nullptr;
  LONG* statusData_ = nullptr;
};

// Collects the targets strictly in entry order. Nothing here may throw:
// targets still running hold raw pointers into the slots.
void Collect(TargetSlots& targets, ThreadSlots& threads, std::int32_t flags, VARIANT* values,
             VARIANT* statuses) {
  const ULONG n = static_cast<ULONG>(threads.size());
  ResultArrays results(n);
  const bool bounded = (flags & kiv::request::kBoundedWaitFlag) != 0;
  for (ULONG i = 0; i < n; ++i) {
    std::int32_t status = kiv::KIV_RC_NO_THREAD;
    std::unique_ptr<PThread>& thread = threads[i];
    std::unique_ptr<KivRequestTarget>& target = targets[i];
    if (thread) {
      if (bounded && !target->done.TimedWaitSet(kiv::request::BoundedWaitMs()) &&
          !KivRequestTargetGiveUp(*target)) {
        // The worker frees the target when its late answer arrives.
        target.release();
        thread->Detach();
        status = kiv::KIV_RC_TIMED_OUT;
      } else {
        thread->Join(nullptr);
        status = target->status;
        results.PutValue(i, target->value);
      }
      thread.reset();
    }
    target.reset();
    results.PutStatus(i, status);
  }
  results.Deliver(values, statuses);
}

// The directory's entries for the request into `entries`; 0, or the code
// that is the request's only status (KIV_RC_NOT_FOUND for an empty answer).
std::int32_t LookUp(KIV* engine, BSTR destination, BSTR service, std::int32_t flags,
                    kiv::Variant& entries) {
  const std::int32_t code = KivGetServiceReg(engine, destination, service, flags, entries.get());
  if (code != 0) return code;
  return EntryCount(*entries) > 0 ? 0 : kiv::KIV_RC_NOT_FOUND;
}

// The target of a named request, from the first entry; null when that
// entry cannot be read. Throws std::bad_alloc.
std::unique_ptr<KivRequestTarget> PrepareOne(KIV* engine, const VARIANT& entries,
                                             const VARIANT& argument, std::int32_t flags) {
  // Only a bounded wait lets the exchange outlive the caller's request
  // (see RunOne); otherwise it runs on the caller's thread and may borrow.
  const bool borrow = (flags & kiv::request::kBoundedWaitFlag) == 0;
  return std::move(PrepareTargets(engine, entries, 1, argument, flags, borrow).front());
}

// Keeps the answer for the next request; a cache that cannot take it only
// costs that request a look-up.
void Remember(KIV* engine, const kiv::engine::LookupKey& key, const VARIANT& entries) {
  try {
    engine->lookups.Store(key, entries);
  } catch (const std::bad_alloc&) {
  }
}

// Runs the exchange of a synchronous request's only target; returns its
// status. Without a bound it runs on the caller's thread, saving a thread's
// start and join. A bounded wait keeps the worker, whose exchange goes on
// after the waiter gives up; the slot is then left empty (the worker owns
// the target).
std::int32_t RunOne(std::unique_ptr<KivRequestTarget>& target, std::int32_t flags) {
  if (!target) return kiv::KIV_RC_NO_THREAD;
  if ((flags & kiv::request::kBoundedWaitFlag) == 0) {
    KivRequestTargetExchange(*target);
    return target->status;
  }
  std::unique_ptr<PThread> thread;
  try {
    thread = std::make_unique<PThread>(nullptr, &KivRequestTargetWorker, target.get());
  } catch (const std::exception&) {
    return kiv::KIV_RC_NO_THREAD;
  }
  if (!target->done.TimedWaitSet(kiv::request::BoundedWaitMs()) &&
      !KivRequestTargetGiveUp(*target)) {
    target.release();  // the worker frees it when its late answer arrives
    thread->Detach();
    return kiv::KIV_RC_TIMED_OUT;
  }
  thread->Join(nullptr);
  return target->status;
}

// Outcomes that mean the directory's answer no longer leads to the service:
// nothing answered at that address, or what answered does not offer it.
// None of them ran a handler.
bool LooksStale(std::int32_t status) {
  return status == kiv::KIV_E_CONNECT_FAILED || status == kiv::KIV_E_RESOLVE_FAILED ||
         status == kiv::engine::kServiceNotOffered;
}

bool SameTarget(const KivRequestTarget& a, const KivRequestTarget& b) {
  return a.host == b.host && a.port == b.port && a.requestName == b.requestName &&
         a.entry2 == b.entry2;
}

// A synchronous request to one named satellite. A cached answer saves the
// look-up; when its target shows it was stale, the directory is asked once
// more and the request goes to the satellite it names now. When that is the
// same target, the outcome already in hand is the one a fresh look-up would
// have led to, so nothing is sent twice. Throws std::bad_alloc.
void RequestOne(KIV* engine, BSTR destination, BSTR service, const kiv::engine::LookupKey& key,
                const VARIANT& argument, std::int32_t flags, VARIANT* values, VARIANT* statuses) {
  std::shared_ptr<const kiv::Variant> kept;
  const bool cached = engine->lookups.Find(key, kept);
  kiv::Variant asked;
  if (!cached) {
    const std::int32_t code = LookUp(engine, destination, service, flags, asked);
    if (code != 0) {
      SetSingleStatus(statuses, code);
      return;
    }
  }
  const VARIANT& entries = cached ? **kept : *asked;
  std::unique_ptr<KivRequestTarget> target = PrepareOne(engine, entries, argument, flags);
  if (!cached && target) Remember(engine, key, entries);
  std::int32_t status = RunOne(target, flags);

  if (cached && target && LooksStale(status)) {
    engine->lookups.Forget(key);
    kiv::Variant fresh;
    const std::int32_t code = LookUp(engine, destination, service, flags, fresh);
    if (code != 0) {
      SetSingleStatus(statuses, code);
      return;
    }
    std::unique_ptr<KivRequestTarget> retry = PrepareOne(engine, *fresh, argument, flags);
    if (retry) Remember(engine, key, *fresh);
    if (!retry || !SameTarget(*retry, *target)) {
      target = std::move(retry);
      status = RunOne(target, flags);
    }
  }

  ResultArrays results(1);
  if (target) results.PutValue(0, target->value);
  results.PutStatus(0, status);
  results.Deliver(values, statuses);
}

}  // namespace

std::int32_t KivGetServiceReg(KIV* engine, BSTR destination, BSTR service, std::int32_t flags,
                              VARIANT* entries) {
  // KivCall answers an absent engine this way; the argument needs the engine.
  if (engine == nullptr) return kiv::KIV_RC_NOT_FOUND;
  kiv::Variant argument;
  kiv::engine::DirectoryLink directory;
  try {
    const kiv::Bstr ownName = kiv::engine::SatelliteNameOf(engine);
    VUtil::CreateArray(*argument, VT_VARIANT, 4);
    VUtil::PutElement(*argument, 0, static_cast<const char16_t*>(destination));
    VUtil::PutElement(*argument, 1, static_cast<const char16_t*>(service));
    VUtil::PutElement(*argument, 2, static_cast<const char16_t*>(ownName.get()));
    VUtil::PutElement(*argument, 3, static_cast<int>(flags));
    directory = kiv::engine::DirectoryLinkOf(engine);
  } catch (const std::exception&) {
    return kiv::KIV_E_LOOKUP_ARGUMENT;
  }
  std::int32_t returnCode = 0;
  kiv::Variant scratch;
  VARIANT* answer = entries != nullptr ? entries : scratch.get();
  const std::int32_t result =
      kiv::engine::CallWithin(engine, directory.address.c_str(), directory.port, "GetServiceReg",
                              argument.get(), answer, &returnCode, engine->directoryTimeoutMs);
  return result < 0 ? result : returnCode;
}

std::int32_t KivRequest(KIV* engine, BSTR destination, BSTR service, VARIANT argument,
                        VARIANT* values, std::int32_t flags, VARIANT* statuses) {
  if (engine == nullptr) {
    SetSingleStatus(statuses, kiv::KIV_RC_NOT_FOUND);
    return 0;
  }
  if (values != nullptr) VariantClear(values);
  if (statuses != nullptr) VariantClear(statuses);

  // Only the exact word "ALL" reaches every entry; "all" names a satellite.
  const std::u16string_view destinationText(destination != nullptr ? destination : u"",
                                            SysStringLen(destination));
  const bool everyProvider = destinationText == u"ALL";
  const bool asynchronous = (flags & KIV_ASYNCHRONOUS) != 0;
  // An asynchronous request reports its look-up's outcome and nothing else,
  // so it always asks the directory: a cached answer could hide a satellite
  // that is gone.
  if (!everyProvider && !asynchronous) {
    const std::u16string_view serviceText(service != nullptr ? service : u"",
                                          SysStringLen(service));
    try {
      RequestOne(engine, destination, service, {destinationText, serviceText, flags}, argument,
                 flags, values, statuses);
    } catch (const std::bad_alloc&) {
      SetSingleStatus(statuses, kiv::KIV_RC_OUT_OF_MEMORY);
    }
    return 0;
  }

  kiv::Variant entries;
  const std::int32_t code = LookUp(engine, destination, service, flags, entries);
  if (code != 0) {
    SetSingleStatus(statuses, code);
    return 0;
  }
  const LONG n = everyProvider ? EntryCount(*entries) : 1;

  TargetSlots targets;
  ThreadSlots threads;
  try {
    targets = PrepareTargets(engine, *entries, n, argument, flags);
    threads = StartWorkers(targets, asynchronous);
  } catch (const std::bad_alloc&) {
    // Both throw only before the first thread starts.
    SetSingleStatus(statuses, kiv::KIV_RC_OUT_OF_MEMORY);
    return 0;
  }

  if (asynchronous) {
    RunAsynchronous(threads, statuses);
  } else {
    Collect(targets, threads, flags, values, statuses);
  }
  return 0;
}
