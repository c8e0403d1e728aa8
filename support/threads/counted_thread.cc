#include "support/threads/counted_thread.h"

#include <exception>
#include <thread>
#include <utility>

namespace {

void Uncount(PIntCondMutex& count) {
  PScopedLock guard(&count);
  --count.value;
  count.Broadcast();
}

}  // namespace

bool StartCountedThread(const std::shared_ptr<PIntCondMutex>& count, std::function<void()> body) {
  {
    PScopedLock guard(count.get());
    ++count->value;
  }
  try {
    std::thread([count, body = std::move(body)] {
      body();
      Uncount(*count);
    }).detach();
  } catch (const std::exception&) {
    Uncount(*count);
    return false;
  }
  return true;
}

void WaitForCountedThreads(PIntCondMutex& count) {
  PScopedLock guard(&count);
  while (count.value > 0) count.Wait();
}
