#include "discovery/directory_catalog.h"

#include <algorithm>
#include <boost/make_shared.hpp>
#include <iterator>

#include "support/log/log.h"

namespace kiv::discovery {
namespace {

// A directory silent for this many seconds is still kept; one more and the
// next expiry check drops it.
constexpr std::int64_t kSilenceKept = 41;

// Notes a newcomer ignored at `now`; true when it starts a new flood.
bool StartsFlood(std::optional<std::int64_t>& lastIgnored, std::int64_t now) {
  const bool starts = !lastIgnored || now - *lastIgnored > kFloodQuietSeconds;
  lastIgnored = now;
  return starts;
}

}  // namespace

DirectoryUpdate DirectoryCatalog::Update(const std::string& serverId, const std::string& host,
                                         const std::set<std::string>& aliases,
                                         const std::set<std::string>& users, std::int64_t now) {
  DirectoryUpdate update;
  auto known = directories_.find(serverId);
  if (known != directories_.end() && aliases.count(known->second->host) == 0) {
    LogDebug(u"directory %hs (%hs) changed hostname (%hs)", serverId.c_str(), host.c_str(),
             known->second->host.c_str());
    // The entry exists afterwards even when the directory had no users: it
    // is what reports the directory down.
    Remove(serverId, update.pending[serverId]);
    update.hostChanged = true;
  }

  known = directories_.find(serverId);
  if (known == directories_.end() && directories_.size() >= kMaxDirectories) {
    if (StartsFlood(lastIgnoredDirectory_, now)) {
      LogWarn(u"discovery: %d directories known, new ones ignored (first: %hs from %hs)",
              static_cast<int>(kMaxDirectories), serverId.c_str(), host.c_str());
    }
    update.ignored = true;
    return update;
  }
  if (known == directories_.end()) {
    known = directories_.emplace(serverId, boost::make_shared<KivLocation>(serverId, host)).first;
    update.status = KIV_ALIVE;
  } else {
    update.status = KIV_ADDUSER;
  }
  const boost::shared_ptr<KivLocation>& record = known->second;
  record->lastSeen = now;

  if (!record->users.empty()) {
    std::vector<std::string> gone;
    std::set_difference(record->users.begin(), record->users.end(), users.begin(), users.end(),
                        std::back_inserter(gone));
    for (const std::string& user : gone) {
      update.pending[serverId].insert(user);
      record->users.erase(user);
      userDirectories_.erase(user);
    }
  }

  for (const std::string& user : users) {
    auto assigned = userDirectories_.find(user);
    const bool listed = assigned != userDirectories_.end() && assigned->second == record;
    if (!listed && (record->users.size() >= kMaxUsersPerDirectory ||
                    (assigned == userDirectories_.end() && userDirectories_.size() >= kMaxUsers))) {
      if (StartsFlood(lastIgnoredUser_, now)) {
        LogWarn(
            u"discovery: user limit reached (%d in all, %d per directory), new users "
            u"ignored (first: %hs of %hs)",
            static_cast<int>(kMaxUsers), static_cast<int>(kMaxUsersPerDirectory), user.c_str(),
            serverId.c_str());
      }
      continue;
    }
    if (assigned == userDirectories_.end()) {
      record->users.insert(user);
      userDirectories_.emplace(user, record);
      update.added.insert(user);
    } else if (assigned->second->serverId != serverId) {
      update.pending[assigned->second->serverId].insert(user);
      assigned->second->users.erase(user);
      record->users.insert(user);
      assigned->second = record;
      update.added.insert(user);
    }
  }
  return update;
}

bool DirectoryCatalog::Remove(const std::string& serverId, std::set<std::string>& users) {
  const auto known = directories_.find(serverId);
  if (known == directories_.end()) return false;
  for (const std::string& user : known->second->users) {
    users.insert(user);
    userDirectories_.erase(user);
  }
  directories_.erase(known);
  return true;
}

bool DirectoryCatalog::Contains(const std::string& serverId) const {
  return directories_.count(serverId) != 0;
}

void DirectoryCatalog::Touch(const std::string& serverId, std::int64_t now) {
  const auto known = directories_.find(serverId);
  if (known != directories_.end()) known->second->lastSeen = now;
}

std::string DirectoryCatalog::Host(const std::string& serverId) const {
  const auto known = directories_.find(serverId);
  return known == directories_.end() ? std::string() : known->second->host;
}

std::optional<std::string> DirectoryCatalog::UserHost(const std::string& user) const {
  const auto assigned = userDirectories_.find(user);
  if (assigned == userDirectories_.end()) return std::nullopt;
  return assigned->second->host;
}

std::vector<std::string> DirectoryCatalog::Expired(std::int64_t now) const {
  std::vector<std::string> ids;
  for (const auto& [id, record] : directories_) {
    if (now > record->lastSeen + kSilenceKept) ids.push_back(id);
  }
  return ids;
}

bool DirectoryCatalog::Consistent() const {
  std::size_t listed = 0;
  for (const auto& [id, record] : directories_) {
    if (record->serverId != id) return false;
    for (const std::string& user : record->users) {
      const auto assigned = userDirectories_.find(user);
      if (assigned == userDirectories_.end() || assigned->second != record) return false;
    }
    listed += record->users.size();
  }
  // Every mapped user was found above through its record, so equal counts
  // leave no stray mapping.
  return listed == userDirectories_.size();
}

}  // namespace kiv::discovery
