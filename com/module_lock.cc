// The module's count of live objects and server locks.
#include <atomic>

#include "com/ref_counted.h"

namespace kiv::com {
namespace {

std::atomic<LONG> gLocks{0};

}  // namespace

LONG ModuleLockCount() {
  return gLocks.load(std::memory_order_acquire);
}
void LockModule() {
  gLocks.fetch_add(1, std::memory_order_acq_rel);
}
void UnlockModule() {
  gLocks.fetch_sub(1, std::memory_order_acq_rel);
}

ModuleLock::ModuleLock() {
  LockModule();
}
ModuleLock::~ModuleLock() {
  UnlockModule();
}

}  // namespace kiv::com
