// The run's processes: kivd and satellites sat1..satN (`kiv serve`), started,
// stopped with a chosen signal and restarted by one thread at a time; what
// goes wrong with them (late start, unclean exit, an unasked end, sanitizer
// output) is a violation. Snapshot and EmergencyKill: any thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/threads/mutex.h"
#include "testing/child_process.h"
#include "tests/soak/journal.h"
#include "tests/soak/verdict.h"

namespace kiv::soak {

struct FleetConfig {
  std::string kivdPath;
  std::string kivPath;
  std::vector<std::string> kivdArgs;
  std::size_t satellites = 0;
};

// A running process as the resource watch sees it.
struct ProcessView {
  std::string kind;  // "kivd" or "satellite"
  std::string name;
  pid_t pid = 0;
  Clock::time_point readyAt;
};

class Fleet {
 public:
  Fleet(FleetConfig config, Journal& journal, Verdict& verdict);
  // Whatever still runs gets SIGTERM, then SIGKILL (ChildProcess).
  ~Fleet();
  Fleet(const Fleet&) = delete;
  Fleet& operator=(const Fleet&) = delete;

  // Member 0 is the directory, members 1..N the satellites.
  static constexpr std::size_t kDirectory = 0;
  std::size_t size() const { return members_.size(); }
  const std::string& Name(std::size_t member) const;

  // Starts the member and waits for its "ready" line; true when it came.
  // Does nothing (true) when it already runs.
  bool Start(std::size_t member);
  // Sends the signal and waits for the end; true when the member ended as
  // it should (after SIGTERM: exit status 0). Does nothing when it is down.
  bool Stop(std::size_t member, int signal);
  bool Running(std::size_t member) const;
  // How long the last Stop waited for the end, in seconds.
  double lastStopSeconds() const { return lastStopSeconds_; }

  // Running satellites and the port each listens on.
  std::map<std::string, std::uint32_t> ListeningSatellites() const;
  // Reaps members that ended unasked and reports each one.
  void CheckHealth();

  std::vector<ProcessView> Snapshot() const;
  // SIGKILL to every member, for a run that must end at once.
  void EmergencyKill();

 private:
  struct Member {
    std::string kind;
    std::string name;
    std::string path;
    std::vector<std::string> args;
    std::string readyPrefix;
    std::unique_ptr<testing::ChildProcess> process;
    std::uint32_t port = 0;
    Clock::time_point readyAt;
    std::atomic<pid_t> pid{0};
  };

  // Reports sanitizer output in the member's standard error, then forgets
  // the process.
  void Retire(Member& member);
  void Publish();

  Journal& journal_;
  Verdict& verdict_;
  std::vector<std::unique_ptr<Member>> members_;
  double lastStopSeconds_ = 0;
  mutable PMutex snapshotLock_;
  std::vector<ProcessView> snapshot_;
};

}  // namespace kiv::soak
