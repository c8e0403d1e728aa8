#include "tools/kiv/command_deadline.h"

#include <chrono>
#include <cstdlib>
#include <iostream>

namespace kiv::cli {

CommandDeadline::CommandDeadline(Context& context, std::string_view command)
    : context_(context), command_(command), seconds_(context.options.timeoutSeconds) {
  if (seconds_ > 0) watcher_ = std::thread([this] { Watch(); });
}

CommandDeadline::~CommandDeadline() {
  {
    std::lock_guard hold(lock_);
    done_ = true;
  }
  finished_.notify_all();
  if (watcher_.joinable()) watcher_.join();
}

void CommandDeadline::Waiting(std::string what) {
  std::lock_guard hold(lock_);
  waitingFor_ = std::move(what);
}

void CommandDeadline::Watch() {
  std::unique_lock hold(lock_);
  const auto limit = std::chrono::duration<double>(seconds_);
  if (finished_.wait_for(hold, limit, [this] { return done_; })) return;
  context_.out.flush();
  context_.err << "kiv: " << command_ << ": timed out after " << seconds_ << " s waiting for "
               << waitingFor_ << " (see --timeout)\n";
  context_.err.flush();
  // The waiting thread may be inside a call that cannot be interrupted:
  // end the process without unwinding it.
  std::_Exit(kExitTimedOut);
}

}  // namespace kiv::cli
