// The --timeout of a kiv command: if the command has not finished when it
// runs out, says what the command was waiting for and ends the process with
// exit status 4. Whatever hangs (a stopped directory, a target that never
// answers) cannot hold a person's terminal longer than asked.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "tools/kiv/cli.h"

namespace kiv::cli {

class CommandDeadline {
 public:
  // Starts watching unless context.options.timeoutSeconds is 0 (no limit).
  CommandDeadline(Context& context, std::string_view command);
  // Stops watching; the command finished in time.
  ~CommandDeadline();
  CommandDeadline(const CommandDeadline&) = delete;
  CommandDeadline& operator=(const CommandDeadline&) = delete;

  // What the command waits for from now on, for the time-out message
  // ("the directory at 127.0.0.1:29831 to list its satellites").
  void Waiting(std::string what);

 private:
  void Watch();

  Context& context_;
  const std::string command_;
  const double seconds_;
  std::mutex lock_;
  std::condition_variable finished_;
  bool done_ = false;
  std::string waitingFor_ = "the command to finish";
  std::thread watcher_;
};

}  // namespace kiv::cli
