// The process-wide discovery client: follows directories and the users they
// host from datagrams on the multicast group, expires silent directories and
// reports changes to the engine (KivOnDirectoryStatus) and to every
// KivDiscover in the process. Shared: it lives while some holder does.
//
// Threads: its own discovery thread receives, expires and makes every report
// and callback. Any thread may call the public operations above the
// "discovery thread" line; tests also drive the ones below directly. The
// table lock is never held while listeners are called or the engine is told.
// Never drop the last reference on the discovery thread (it joins itself).
#pragma once

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/directory_catalog.h"
#include "kiv/status.h"
#include "support/log/cbblog.h"
#include "support/net/net.h"
#include "support/net/network_fence.h"
#include "support/net/socket.h"
#include "support/threads/mutex.h"
#include "support/threads/thread.h"

class KivDiscover;

class KivDiscoverClient {
 public:
  // WaitForUser's results.
  static constexpr int kUserFound = 0;
  static constexpr int kUserNotFound = 404;

  // Binds the socket (a failure leaves it without one, logged at WARN),
  // joins the group and starts the thread. Throws std::exception when the
  // thread cannot start.
  KivDiscoverClient();
  // Stops and joins the thread, then closes the socket.
  ~KivDiscoverClient();

  KivDiscoverClient(const KivDiscoverClient&) = delete;
  KivDiscoverClient& operator=(const KivDiscoverClient&) = delete;

  // Registered listeners get every callback; removal waits for a callback
  // in progress.
  void AddListener(KivDiscover* listener);
  void RemoveListener(KivDiscover* listener);
  // The directory's ip:port, or "" when it is unknown.
  std::string GetDirectoryHost(const std::string& serverId);
  // Marks the directory as heard from now, when it is known.
  void TouchDirectory(const std::string& serverId);
  // Waits up to timeoutMs (a little more: one poll of 20 ms) for a directory
  // to host the user, sending SEARCH at once and then at most once a second.
  // kUserFound with host = its ip:port, or kUserNotFound.
  int WaitForUser(const std::u16string& user, unsigned timeoutMs, std::u16string& host);

  // --- discovery thread ---

  // SEARCH twice on every interface. Also called by WaitForUser's thread.
  void SendSearch();
  // Receives and handles one datagram; true when a NOTIFY or BYEBYE was
  // accepted.
  bool ProcessNotify(kiv::SOCKET socket);
  // An accepted datagram updates the tables, calls back and tells the
  // engine. `text` ends at the datagram's first NUL.
  bool ParseNotify(const std::string& source, std::string_view text);
  bool ParseByeBye(std::string_view text);
  // Re-reads the local interfaces; true (and the list replaced) on a change.
  bool RefreshInterfaces();
  // Drops every directory silent for more than 41 seconds.
  void ExpireDirectories();
  void UpdateDirectory(const std::string& serverId, const std::string& host,
                       const std::set<std::string>& aliases, const std::set<std::string>& users);
  bool RemoveDirectory(const std::string& serverId, std::set<std::string>& users);
  void DirectoryDown(const std::string& serverId, bool shutdown);
  void NotifyListeners(const std::string& serverId, const std::set<std::string>& users,
                       KIVSTATUS status);

  // --- observations for tests ---

  bool Bound() const { return socket_ != kiv::INVALID_SOCKET; }
  kiv::IPv4Address Group() const { return group_; }
  std::vector<kiv::IPv4Address> Interfaces();
  // Turns of the thread's loop, and runs of its 4-second work.
  std::uint64_t LoopTurns() const { return loopTurns_.load(); }
  std::uint64_t PeriodicRuns() const { return periodicRuns_.load(); }
  bool TablesConsistent();
  // Directories and users known (bounded by the table's limits).
  std::size_t DirectoryCount();
  std::size_t UserCount();

 private:
  void* ThreadLoop(void*);
  // True when the socket has a datagram; returns after at most
  // `milliseconds`, at once when the client is stopping.
  bool WaitForDatagram(int milliseconds);

  boost::shared_ptr<CBBLog> logger_;  // keeps the process logger while we may log
  kiv::SOCKET socket_ = kiv::INVALID_SOCKET;
  const kiv::IPv4Address group_;
  // Datagrams from outside it are ignored, like connections; none are taken
  // while the configured fence is malformed.
  const std::optional<kiv::NetworkFence> fence_;
  // Guards interfaces_ and the socket's outgoing multicast interface, so a
  // SEARCH goes out the interface chosen for it.
  PMutex interfacesLock_;
  std::vector<kiv::IPv4Address> interfaces_;
  std::atomic<bool> stopping_{false};
  int wakeFd_ = -1;  // eventfd that ends the thread's wait at shutdown
  // Recursive: an update removes a directory while holding it.
  PMutex tableLock_{true};
  kiv::discovery::DirectoryCatalog table_;
  PLocker<std::set<KivDiscover*>> listeners_;
  std::unique_ptr<PThread> thread_;
  std::atomic<std::uint64_t> loopTurns_{0};
  std::atomic<std::uint64_t> periodicRuns_{0};
};

// The process's client, created when none lives. Throws what the client's
// constructor throws.
boost::shared_ptr<KivDiscoverClient> GetDiscoverClient();

namespace kiv::discovery {

// Where directory statuses go. Discovery sits below the engine and cannot
// call it: the engine installs its receiver when an engine is created, and
// until then statuses are dropped (no engine could use them). Any thread.
using DirectoryStatusReport = void (*)(const char* serverId, std::int32_t status);
// Installs `report` only when no receiver is installed yet.
void InstallDirectoryStatusReport(DirectoryStatusReport report);
// Replaces the receiver (null removes it) and returns the previous one.
DirectoryStatusReport ReplaceDirectoryStatusReportForTesting(DirectoryStatusReport report);

// Work the engine leaves to the discovery thread, run at every turn of its
// loop: the re-registrations it put off. It says whether some are still
// waiting; the loop then turns every 50 ms, otherwise at least once a
// second. Installed like the status report, only when none is yet.
using PeriodicWork = bool (*)();
void InstallPeriodicWork(PeriodicWork work);

}  // namespace kiv::discovery
