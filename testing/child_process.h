// A built program running in the background, for black-box tests of
// servers: output read line by line, waits with deadlines, signals. The
// destructor stops it (SIGTERM, then SIGKILL) and reaps it, so no test
// leaves a process behind. One thread uses an object at a time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::testing {

class ChildProcess {
 public:
  // Starts path with args; the environment is the test's plus `environment`.
  // Check started().
  ChildProcess(const std::string& path, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& environment = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // The next unread output line that starts with prefix (lines before it
  // are passed over); nothing when the time runs out or the output ends.
  std::optional<std::string> WaitForLine(std::string_view prefix,
                                         std::chrono::milliseconds timeout);
  // Every output line read so far, and the standard error written so far.
  const std::vector<std::string>& lines() const { return lines_; }
  std::string Errors() const;

  void Signal(int signal);
  // The exit status once the program ended (-1 when a signal ended it), or
  // nothing when it still runs after the time-out.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  // SIGKILL and reap.
  void Kill();

 private:
  // Reads what the program wrote, waiting at most until the deadline;
  // false when the output has ended.
  bool ReadMore(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int pidFd_ = -1;
  int outFd_ = -1;
  std::string errPath_;
  std::string pending_;  // output after the last complete line
  std::vector<std::string> lines_;
  std::size_t nextLine_ = 0;  // first line not yet matched by WaitForLine
  std::optional<int> status_;
};

}  // namespace kiv::testing
