// KivGetServiceReg and KivRequest: ask the directory which satellites offer
// a service, then run one exchange per target in parallel and collect one
// value and one status per target.
#include "engine/request.h"

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/call.h"
#include "engine/engine_state.h"
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

// Fills the target from registration entry `index`; false when the entry
// does not have the expected shape.
bool ReadEntry(const VARIANT& entries, LONG index, KivRequestTarget& target) {
  try {
    kiv::Variant entry;
    VUtil::GetElement(entries, index, entry.get());
    target.requestName = VUtil::GetStringElement(*entry, 0);
    target.entry2 = VUtil::GetStringElement(*entry, 2);
    target.host = VUtil::GetStringElement(*entry, 3);
    target.port = static_cast<std::uint16_t>(VUtil::GetLongElement(*entry, 4) & 0xFFFF);
    target.entry5 = VUtil::GetStringElement(*entry, 5);
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
TargetSlots PrepareTargets(KIV* engine, const VARIANT& entries, LONG n, const VARIANT& argument,
                           std::int32_t flags) {
  TargetSlots targets(static_cast<std::size_t>(n));
  for (LONG i = 0; i < n; ++i) {
    auto target = std::make_unique<KivRequestTarget>();
    if (!ReadEntry(entries, i, *target)) continue;
    target->argument = kiv::Variant::CopyOf(argument);
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

// Collects the targets strictly in entry order. Nothing here may throw:
// targets still running hold raw pointers into the slots.
void Collect(TargetSlots& targets, ThreadSlots& threads, std::int32_t flags, VARIANT* values,
             VARIANT* statuses) {
  const ULONG n = static_cast<ULONG>(threads.size());
  kiv::SafeArrayPtr valueArray(SafeArrayCreateVector(VT_VARIANT, 0, n));
  kiv::SafeArrayPtr statusArray(SafeArrayCreateVector(VT_I4, 0, n));
  VARIANT* valueData = nullptr;
  LONG* statusData = nullptr;
  if (valueArray &&
      SafeArrayAccessData(valueArray.get(), reinterpret_cast<void**>(&valueData)) != S_OK) {
    valueArray.reset();
    valueData = nullptr;
  }
  if (statusArray &&
      SafeArrayAccessData(statusArray.get(), reinterpret_cast<void**>(&statusData)) != S_OK) {
    statusArray.reset();
    statusData = nullptr;
  }

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
        // The target goes away now, so its answer moves instead of copying.
        if (valueData != nullptr) valueData[i] = target->value.Detach();
      }
      thread.reset();
    }
    target.reset();
    if (statusData != nullptr) statusData[i] = status;
  }

  if (valueData != nullptr) SafeArrayUnaccessData(valueArray.get());
  if (statusData != nullptr) SafeArrayUnaccessData(statusArray.get());
  if (values != nullptr && valueArray) {
    *values = kiv::Variant::Adopt(valueArray.release(), VT_VARIANT).Detach();
  }
  if (statuses != nullptr && statusArray) {
    *statuses = kiv::Variant::Adopt(statusArray.release(), VT_I4).Detach();
  }
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

  kiv::Variant entries;
  const std::int32_t code = KivGetServiceReg(engine, destination, service, flags, entries.get());
  if (code != 0) {
    SetSingleStatus(statuses, code);
    return 0;
  }
  LONG n = EntryCount(*entries);
  if (n <= 0) {
    SetSingleStatus(statuses, kiv::KIV_RC_NOT_FOUND);
    return 0;
  }
  // Only the exact word "ALL" reaches every entry; "all" names a satellite.
  const std::u16string_view destinationText(destination != nullptr ? destination : u"",
                                            SysStringLen(destination));
  if (destinationText != u"ALL") n = 1;

  const bool asynchronous = (flags & KIV_ASYNCHRONOUS) != 0;
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
