// The discovery client's picture of the network: every known directory with
// its address, users and last sign of life, and for every user the directory
// that hosts it. Not thread-safe: the client holds its table lock around
// every call. Updates answer what changed, so that callers can report it
// after the lock is released. Bounded: anyone on the group can announce
// directories and users, so newcomers beyond the limits below are ignored
// (one WARN per flood) while those already known are kept up to date.
#pragma once

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kiv/status.h"

// One known directory.
struct KivLocation {
  KivLocation(std::string id, std::string address)
      : serverId(std::move(id)), host(std::move(address)) {}

  std::string serverId;
  std::string host;  // ip:port the directory's NOTIFY came from
  std::set<std::string> users;
  std::int64_t lastSeen = 0;  // wall-clock seconds
};

namespace kiv::discovery {

// Far above any real network, far below what a flood of fake NOTIFYs would
// otherwise fill in the 41 seconds before they expire.
constexpr std::size_t kMaxDirectories = 1024;
constexpr std::size_t kMaxUsersPerDirectory = 4096;
constexpr std::size_t kMaxUsers = 65536;
// Newcomers ignored with no more than this many seconds between them belong
// to one flood, which is logged once.
constexpr std::int64_t kFloodQuietSeconds = 60;

// What one NOTIFY changed.
struct DirectoryUpdate {
  // Users that left each directory (the announcing one included), by id.
  std::map<std::string, std::set<std::string>> pending;
  // Users newly assigned to the announcing directory.
  std::set<std::string> added;
  // The announcing directory was known under a host not among its aliases.
  bool hostChanged = false;
  // KIV_ALIVE when the announcing directory's record is new, else KIV_ADDUSER.
  KIVSTATUS status = KIV_ALIVE;
  // The directory is new and the table full: nothing changed at all.
  bool ignored = false;
};

class DirectoryCatalog {
 public:
  // Merges a NOTIFY of serverId sent from host, seen at `now`. A user listed
  // by two directories belongs to the one announced last. Logs a host
  // change at DEBUG. A new directory or user beyond the limits is ignored.
  DirectoryUpdate Update(const std::string& serverId, const std::string& host,
                         const std::set<std::string>& aliases, const std::set<std::string>& users,
                         std::int64_t now);
  // Drops the directory and its users' assignments; its users go into
  // `users` (which the call does not clear). False when it is unknown.
  bool Remove(const std::string& serverId, std::set<std::string>& users);

  bool Contains(const std::string& serverId) const;
  // Sets lastSeen to now when the directory is known.
  void Touch(const std::string& serverId, std::int64_t now);
  // The directory's host, or "" when it is unknown.
  std::string Host(const std::string& serverId) const;
  // The host of the directory that hosts the user, if one does.
  std::optional<std::string> UserHost(const std::string& user) const;
  // Ids, in order, of the directories silent for more than 41 seconds.
  std::vector<std::string> Expired(std::int64_t now) const;

  std::size_t size() const { return directories_.size(); }
  std::size_t userCount() const { return userDirectories_.size(); }
  // Users map to exactly the records that list them, and those records are
  // the known directories. For tests and the fuzz target.
  bool Consistent() const;

 private:
  std::map<std::string, boost::shared_ptr<KivLocation>> directories_;
  std::map<std::string, boost::shared_ptr<KivLocation>> userDirectories_;
  // When a newcomer was last ignored for want of room, if ever.
  std::optional<std::int64_t> lastIgnoredDirectory_;
  std::optional<std::int64_t> lastIgnoredUser_;
};

}  // namespace kiv::discovery
