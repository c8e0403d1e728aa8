// Helpers for the discovery tests, which run in a private network namespace:
// a peer socket on the group (sends datagrams as a directory would, counts
// SEARCH), a KivDiscover that records its callbacks, a recorder of the
// statuses reported to the engine, a movable wall clock and a registry file
// of the test's own. Waits take deadlines; nothing sleeps blindly.
#pragma once

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kiv/discover.h"
#include "support/log/cbblog.h"
#include "support/threads/cond.h"

namespace kiv::discoverytest {

// A UDP socket on the discovery group over loopback. `bindPort` 1901 makes it
// a member that receives what is sent to the group; `source` picks the
// address its datagrams come from.
class GroupPeer {
 public:
  explicit GroupPeer(std::uint16_t bindPort = 0, const char* source = "127.0.0.1");
  ~GroupPeer();
  GroupPeer(const GroupPeer&) = delete;
  GroupPeer& operator=(const GroupPeer&) = delete;

  bool valid() const { return fd_ >= 0; }
  bool Send(const std::string& datagram, const char* group = "239.255.255.251");
  // The next datagram within the deadline (false on time-out), and when the
  // kernel received it (wall clock): queueing in the socket does not move it.
  bool Receive(std::string& datagram, int timeoutMs, std::chrono::nanoseconds* arrival = nullptr);
  // SEARCH datagrams received until `quietMs` pass without any datagram.
  int CountSearches(int quietMs);

 private:
  int fd_ = -1;
};

// A NOTIFY as a directory sends it.
std::string Notify(const std::string& serverId, int port, const std::string& aliases,
                   const std::string& users);
std::string ByeBye(const std::string& serverId);

// Records every callback as one line, e.g. "up dir1 [alice,bob]",
// "down dir1 [] shutdown", "add dir1 [carol]", "remove dir2 [bob]".
class RecordingDiscover : public KivDiscover {
 public:
  // Registered again once built and withdrawn before being taken apart, so
  // no callback meets a half-built object.
  RecordingDiscover();
  ~RecordingDiscover() override;

  int OnKivDirectoryUp(const char* serverId, const char* const* users, unsigned count) override;
  int OnKivDirectoryDown(const char* serverId, const char* const* users, unsigned count,
                         bool shutdown) override;
  int OnAddUser(const char* serverId, const char* const* users, unsigned count) override;
  int OnRemoveUser(const char* serverId, const char* const* users, unsigned count) override;

  // Waits until at least `count` events arrived; answers all of them.
  std::vector<std::string> WaitForEvents(std::size_t count, int timeoutMs = 5000);
  std::vector<std::string> Events();
  void Clear();

 private:
  void Record(std::string event);

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
