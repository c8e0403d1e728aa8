// What changed in the directory, as it happened: each registration,
// withdrawal, removal and drop becomes one DirectoryEvent, kept in a ring of
// the last kRecentEvents and sent to the satellites that follow the
// directory ("AddDirectoryEventListener"). Any thread; EventLog takes its
// own lock and throws only std::bad_alloc.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "support/threads/mutex.h"

namespace kiv::directory {

// The directory's requests for followers of every change, and the service a
// follower offers to hear them: its argument is ToJson(event) as JSON text
// in a BSTR, so that fields can be added without breaking followers.
inline constexpr char16_t kAddEventListener[] = u"AddDirectoryEventListener";
inline constexpr char16_t kRemoveEventListener[] = u"RemoveDirectoryEventListener";
inline constexpr char16_t kEventService[] = u"OnDirectoryEvent";
constexpr std::size_t kRecentEvents = 100;

struct DirectoryEvent {
  std::chrono::system_clock::time_point time;
  // "registered": a name the directory did not hold, or new services of the
  // satellite holding it (services: the new ones). "reregistered": the name
  // registered again with nothing new (the satellite after a directory
  // restart), or by a new process that replaced its holder (services: all
  // it offers). "withdrew" (services: those withdrawn), "removed" (it left),
  // "dropped" (it missed three pings in a row; services: all it offered).
  std::string kind;
  std::string satellite;
  std::int32_t id = 0;
  std::string address;
  std::uint16_t port = 0;
  std::vector<std::string> services;
};

// {"time": ISO 8601 UTC with milliseconds, "kind", "satellite", "id",
// "address", "port", "services": [names]}.
nlohmann::json ToJson(const DirectoryEvent& event);

// One event on its way to one follower, as the text sent.
struct EventNotice {
  std::u16string follower;
  std::string text;
};

class EventLog {
 public:
  // Keeps the event and answers the notices for its followers. A satellite
  // removed or dropped stops following. The caller holds the lock that
  // orders the directory's changes, so that followers hear them in order.
  std::vector<EventNotice> Record(const DirectoryEvent& event);
  // The last `max` events (at most kRecentEvents), newest last.
  std::vector<DirectoryEvent> Recent(std::size_t max) const;

  void Follow(const std::u16string& follower);
  // False when it was not following.
  bool Unfollow(const std::u16string& follower);
  bool Follows(const std::u16string& follower) const;

 private:
  mutable PMutex lock_;  // guards the members below
  std::deque<DirectoryEvent> recent_;
  std::set<std::u16string> followers_;
};

}  // namespace kiv::directory
