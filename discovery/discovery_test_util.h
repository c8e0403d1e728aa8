// Helpers for the discovery tests, which run in a private network namespace:
// a peer socket on the group (group_peer.h), a KivDiscover that records its
// callbacks, a recorder of the statuses reported to the engine, a movable
// wall clock and a registry file of the test's own. Waits take deadlines;
// nothing sleeps blindly.
#pragma once

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "discovery/discover_client.h"
#include "kiv/discover.h"
#include "support/log/cbblog.h"
#include "support/threads/cond.h"
#include "testing/group_peer.h"

namespace kiv::discoverytest {

// Records every callback as one line, e.g. "up dir1 [alice,bob]",
// "down dir1 [] shutdown", "add dir1 [carol]", "remove dir2 [bob]".
class RecordingDiscover : public KivDiscover {
 public:
  // Registered again once built and withdrawn before being taken apart, so
  // no callback meets a half-built object.
  RecordingDiscover();
  ~RecordingDiscover() override;

  int OnKivDirectoryUp(const char* serverId, const char* const* users, unsigned count) override {
    return Record("up", serverId, users, count);
  }
  int OnKivDirectoryDown(const char* serverId, const char* const* users, unsigned count,
                         bool shutdown) override {
    return Record("down", serverId, users, count, shutdown ? " shutdown" : "");
  }
  int OnAddUser(const char* serverId, const char* const* users, unsigned count) override {
    return Record("add", serverId, users, count);
  }
  int OnRemoveUser(const char* serverId, const char* const* users, unsigned count) override {
    return Record("remove", serverId, users, count);
  }

  // Waits until at least `count` events arrived; answers all of them.
  std::vector<std::string> WaitForEvents(std::size_t count, int timeoutMs = 5000);
  std::vector<std::string> Events();
  void Clear();

 private:
  int Record(const char* kind, const char* serverId, const char* const* users, unsigned count,
             const char* suffix = "");

  PCondMutex lock_;
  std::vector<std::string> events_;
};

// Records what the client reports to the engine, as "dir1 ALIVE". Reports
// of the directory kFence are only counted.
class StatusRecorder {
 public:
  static constexpr char kFence[] = "fence";

  StatusRecorder();   // installs itself; one at a time
  ~StatusRecorder();  // gives the reports back to the engine
  std::vector<std::string> Reports();
  std::size_t Fences();
  void Clear();

 private:
  kiv::discovery::DirectoryStatusReport previous_ = nullptr;
};

// Replaces the wall clock by a number the test moves; the tick stays real.
class FakeWallClock {
 public:
  explicit FakeWallClock(std::int64_t start);
  ~FakeWallClock();
  void Set(std::int64_t seconds);
};

// Points KIV_REGISTRY at a file of its own holding "kiv.multicastGroup" =
// group, or no such value.
class GroupRegistry {
 public:
  explicit GroupRegistry(std::optional<std::string> group);
  ~GroupRegistry();

 private:
  std::string folder_;
};

// Logs of the test: a logger of its own writing DEBUG and up into a fresh
// data folder (KIV_DATA_DIR). Needs a GroupRegistry, which sets LogLevel 4.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  // Stops the logger (every holder of it must be gone) and answers its file.
  std::string Finish();

 private:
  std::string folder_;
  boost::shared_ptr<CBBLog> logger_;
};

// Waits until predicate() holds, polling every few milliseconds.
template <class Predicate>
bool WaitUntil(Predicate predicate, int timeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() >= deadline) return predicate();
    PCondFlag never;
    never.TimedWaitSet(5);
  }
  return true;
}

}  // namespace kiv::discoverytest
