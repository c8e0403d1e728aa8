// Built programs for black-box tests, run to completion or in the
// background. The environment of the test process is inherited.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::testing {

struct ProgramOutcome {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs path to completion with standard input `input`.
ProgramOutcome RunProgram(const std::string& path, const std::vector<std::string>& args,
                          const std::string& input = "",
                          const std::map<std::string, std::string>& environment = {});

// Runs in the background, its output read line by line. The destructor
// stops it (SIGTERM, then SIGKILL) and reaps it, so no test leaves a process
// behind. One thread uses an object at a time.
class ChildProcess {
 public:
  // Starts path with args; the environment is the test's plus `environment`.
  ChildProcess(const std::string& path, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& environment = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // The next unread output line that starts with prefix (lines before it
  // are passed over); nothing when the time runs out or the output ends.
  std::optional<std::string> WaitForLine(std::string_view prefix,
                                         std::chrono::milliseconds timeout);
  std::string Errors() const;  // the standard error so far
  void Signal(int signal);
  // The exit status once the program ended (-1 when a signal ended it), or
  // nothing when it still runs after the time-out.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  void Kill();

 private:
  // False when nothing arrived before the deadline or the output ended.
  bool ReadMore(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::string pending_;  // output after the last complete line
  std::deque<std::string> unread_;
  std::optional<int> status_;
};

}  // namespace kiv::testing
