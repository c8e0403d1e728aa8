// The directory on the discovery group: NOTIFY at start, on every SEARCH
// and every interval, BYEBYE at stop. The texts are pure; Announcer owns a
// UDP socket on the discovery port (shared through address reuse) and one
// thread. The owner's thread starts and stops it; counters read anywhere.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/net/net.h"
#include "support/net/network_fence.h"
#include "support/threads/thread.h"

namespace kiv::directory {

struct Announcement {
  std::string serverId;  // no CR, LF, and no white space at either end
  std::uint16_t port = 0;
  std::vector<std::string> aliases;  // each without commas and blanks
  std::vector<std::string> users;    // the same
};

// "NOTIFY 1.0\r\nServerID: ...\r\nPort: ...\r\nAliases: a,b\r\nUsers: u,v\r\n\r\n"
std::string NotifyText(const Announcement& announcement);
// "BYEBYE 1.0\r\nServerID: ...\r\n\r\n"
std::string ByeByeText(std::string_view serverId);
// Whether a datagram's text is a SEARCH (its first 10 bytes).
bool IsSearch(std::string_view text);

class Announcer {
 public:
  Announcer(Announcement announcement, std::chrono::milliseconds interval);
  // Stops first when running.
  ~Announcer();
  Announcer(const Announcer&) = delete;
  Announcer& operator=(const Announcer&) = delete;

  // Binds the discovery port, joins the group on every local interface,
  // sends the first NOTIFY and starts the thread. false when the port cannot
  // be bound or the thread cannot start (nothing is left running).
  bool Start();
  // Ends the thread and sends BYEBYE. Does nothing when not running.
  void Stop();

  std::uint64_t NotifiesSent() const { return notifiesSent_.load(); }
  std::uint64_t SearchesAnswered() const { return searchesAnswered_.load(); }

 private:
  void* Run(void*);
  // The text once on every local interface.
  void SendToGroup(std::string_view text);
  void SendNotify();
  // Reads every waiting datagram; true when one was a SEARCH.
  bool DrainSearches();

  const Announcement announcement_;
  const std::string notifyText_;
  const std::chrono::milliseconds interval_;
  IPv4Address group_ = 0;
  std::optional<NetworkFence> fence_;  // read at Start
  SOCKET socket_ = INVALID_SOCKET;
  int wakeFd_ = -1;  // eventfd that ends the thread's wait
  std::atomic<bool> stopping_{false};
  std::unique_ptr<PThread> thread_;
  std::atomic<std::uint64_t> notifiesSent_{0};
  std::atomic<std::uint64_t> searchesAnswered_{0};
};

}  // namespace kiv::directory
