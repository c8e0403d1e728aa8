// The discovery client's picture of the network: every known directory with
// its address, users and last sign of life, and for every user the directory
// that hosts it. Not thread-safe: the client holds its table lock around
// every call. Updates answer what changed, so that callers can report it
// after the lock is released.
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
};

class DirectoryTable {
 public:
  // Merges a NOTIFY of serverId sent from host, seen at `now`. A user listed
  // by two directories belongs to the one announced last. Logs a host
  // change at DEBUG.
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
  // Users map to exactly the records that list them, and those records are
  // the known directories. For tests and the fuzz target.
  bool Consistent() const;

 private:
  std::map<std::string, boost::shared_ptr<KivLocation>> directories_;
  std::map<std::string, boost::shared_ptr<KivLocation>> userDirectories_;
};

}  // namespace kiv::discovery
