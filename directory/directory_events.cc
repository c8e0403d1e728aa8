#include "directory/directory_events.h"

#include <time.h>

#include <cstdio>
#include <ctime>

#include "kiv/utf8.h"

namespace kiv::directory {
namespace {

std::string IsoTime(std::chrono::system_clock::time_point time) {
  const auto millis = std::chrono::floor<std::chrono::milliseconds>(time.time_since_epoch());
  const auto seconds = std::chrono::floor<std::chrono::seconds>(millis);
  const time_t whole = seconds.count();
  tm utc{};
  ::gmtime_r(&whole, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, ".%03dZ", static_cast<int>((millis - seconds).count()));
  return std::string(stamp) + fraction;
}

}  // namespace

nlohmann::json ToJson(const DirectoryEvent& event) {
  return {{"time", IsoTime(event.time)},  {"kind", event.kind},
          {"satellite", event.satellite}, {"id", event.id},
          {"address", event.address},     {"port", event.port},
          {"services", event.services}};
}

std::vector<EventNotice> EventLog::Record(const DirectoryEvent& event) {
  const std::u16string satellite = FromUtf8(event.satellite);
  // Invalid UTF-16 in a name must not keep the event from being sent.
  const std::string text =
      ToJson(event).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  PScopedLock hold(&lock_);
  recent_.push_back(event);
  if (recent_.size() > kRecentEvents) recent_.pop_front();
  if (event.kind == "removed" || event.kind == "dropped") followers_.erase(satellite);
  std::vector<EventNotice> notices;
  notices.reserve(followers_.size());
  for (const std::u16string& follower : followers_) notices.push_back({follower, text});
  return notices;
}

std::vector<DirectoryEvent> EventLog::Recent(std::size_t max) const {
  PScopedLock hold(&lock_);
  const std::size_t count = std::min(max, recent_.size());
  return {recent_.end() - static_cast<std::ptrdiff_t>(count), recent_.end()};
}

void EventLog::Follow(const std::u16string& follower) {
  PScopedLock hold(&lock_);
  followers_.insert(follower);
}

bool EventLog::Unfollow(const std::u16string& follower) {
  PScopedLock hold(&lock_);
  return followers_.erase(follower) != 0;
}

bool EventLog::Follows(const std::u16string& follower) const {
  PScopedLock hold(&lock_);
  return followers_.contains(follower);
}

}  // namespace kiv::directory
