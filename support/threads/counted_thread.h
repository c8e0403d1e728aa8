// Detached threads that may outlive the object that started them only as
// long as its owner lets them: each counts in a count it shares with its
// starter, and its last step is on that count, so once the owner has seen
// the count reach zero it may destroy everything the threads used.
#pragma once

#include <functional>
#include <memory>

#include "support/threads/cond.h"

// Runs `body` on a detached thread counted in `count`; the count drops, and
// its waiters wake, after `body` returns. False, with the count as before,
// when no thread could be started.
bool StartCountedThread(const std::shared_ptr<PIntCondMutex>& count, std::function<void()> body);

// Returns once no thread counted in `count` is left.
void WaitForCountedThreads(PIntCondMutex& count);
