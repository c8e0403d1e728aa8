// The directory's memory: satellites with their services in registration
// order, ids, availability listeners and missed pings. Plain data, no I/O.
// Every member takes the table's lock (any thread; only std::bad_alloc is
// thrown); changes return the notices they cause, for the caller to send.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "support/threads/mutex.h"

namespace kiv::directory {

// A satellite that misses this many pings in a row is dropped.
constexpr int kMaxFailedPings = 3;

// Which holder of a name a registration of another id may replace.
constexpr std::int32_t kReplaceAnyHolder = -1;
constexpr std::int32_t kReplaceNoHolder = 0;  // ids start at 1

struct ServiceOffer {
  std::u16string name;
  std::u16string description;
};

// What one "Register" says.
struct Registration {
  std::u16string name;
  std::u16string computer;
  std::string host;  // the registering connection's peer address
  std::uint16_t port = 0;
  std::int32_t knownId = 0;  // the id the satellite believes it has, 0 if none
  std::vector<ServiceOffer> services;
};

struct SatelliteRecord {
  std::int32_t id = 0;
  std::u16string name;
  std::u16string computer;
  std::string host;
  std::uint16_t port = 0;
  std::vector<ServiceOffer> services;  // registration order, no caseless duplicates
  int failedPings = 0;                 // pings missed in a row
};

// One call of a listener's "OnServiceAvailabilityChanged".
struct AvailabilityNotice {
  std::u16string listener;
  std::u16string service;
  std::u16string satellite;
  std::int32_t available = 0;  // 1 offered now, 0 gone

  bool operator==(const AvailabilityNotice&) const = default;
};

// One satellite offering a service, as "GetServiceReg" lists it.
struct ServiceEntry {
  std::u16string service;  // the name as the satellite registered it
  std::u16string satellite;
  std::u16string description;
  std::string host;
  std::uint16_t port = 0;
  std::u16string computer;
  std::int32_t id = 0;
};

struct RegisterOutcome {
  std::int32_t id = 0;
  bool created = false;               // a new record (also when it replaced another)
  bool replaced = false;              // an older satellite of the same name was dropped
  std::vector<std::u16string> added;  // services it did not offer before
  std::vector<AvailabilityNotice> notices;
  // Set, and nothing changed, when a satellite the caller may not replace
  // holds the name.
  std::optional<SatelliteRecord> heldBy;
};

struct RemoveOutcome {
  SatelliteRecord record;
  std::vector<AvailabilityNotice> notices;
};

// What the directory keeps across a restart.
struct TableImage {
  std::vector<SatelliteRecord> satellites;  // registration order
  // Folded service name -> its listeners.
  std::map<std::u16string, std::set<std::u16string>> listeners;
};

class DirectoryTable {
 public:
  DirectoryTable() = default;
  DirectoryTable(const DirectoryTable&) = delete;
  DirectoryTable& operator=(const DirectoryTable&) = delete;

  // A registration from the satellite that holds the name and id (or from a
  // satellite that knows no id yet while none holds the name) adds the new
  // services to its record and refreshes its address. A satellite of
  // another id replaces the holder of its name (dropped with its
  // subscriptions) when `replaceable` is kReplaceAnyHolder or the holder's
  // id, and is refused with outcome.heldBy otherwise. A new record keeps the
  // id the satellite brings when no one else holds it (so ids survive a
  // directory restart), else gets the next free one from 1 up.
  RegisterOutcome Register(const Registration& registration,
                           std::int32_t replaceable = kReplaceAnyHolder);
  // Withdraws the named services (caseless; unknown ones are ignored).
  // Nothing when no satellite of that name and id is registered.
  std::optional<std::vector<AvailabilityNotice>> Withdraw(
      const std::u16string& name, std::int32_t id, const std::vector<std::u16string>& services);
  // Drops the satellite with its services and subscriptions. Name and id
  // must both match (0 matches nothing), so no one removes a satellite by
  // name alone, nor a replaced satellite its successor.
  std::optional<RemoveOutcome> Remove(const std::u16string& name, std::int32_t id);

  // Everything but the pings' counts, for the table file.
  TableImage Image() const;
  // Adds remembered satellites with their ids and subscriptions; one whose
  // name or id is taken is left out. New ids then take the free ones from 1
  // up. Answers those added.
  std::vector<SatelliteRecord> Restore(const TableImage& image);

  // For destination "ALL" every satellite offering the service (caseless),
  // in registration order; otherwise the named satellite, if it offers it.
  std::vector<ServiceEntry> Offers(const std::u16string& destination,
                                   const std::u16string& service) const;
  std::optional<SatelliteRecord> Find(const std::u16string& name) const;
  // Every satellite in registration order.
  std::vector<SatelliteRecord> Satellites() const;
  std::size_t Size() const;

  // Subscriptions of a listener (a satellite name) to service names.
  void AddListener(const std::u16string& listener, const std::vector<std::u16string>& services);
  void RemoveListener(const std::u16string& listener, const std::vector<std::u16string>& services);
  // The listeners of a service, in name order.
  std::vector<std::u16string> ListenersOf(const std::u16string& service) const;

  // The outcome of pinging the satellite with this id. An answer clears its
  // count; the kMaxFailedPings-th miss in a row drops it as Remove does. A
  // result for an id no longer registered is ignored.
  std::optional<RemoveOutcome> RecordPing(std::int32_t id, bool answered);

  // Service names compare without regard to ASCII case.
  static std::u16string FoldCase(std::u16string_view name);

 private:
  using Sequence = std::uint64_t;  // registration order

  // All private members expect lock_ to be held.
  RemoveOutcome DropLocked(Sequence sequence);
  std::int32_t ChooseIdLocked(std::int32_t wanted);
  // Notices to the listeners of the folded name; `service` is the name as
  // the satellite registered it.
  void NoticesLocked(const std::u16string& folded, const std::u16string& service,
                     const std::u16string& satellite, std::int32_t available,
                     std::vector<AvailabilityNotice>& out) const;

  mutable PMutex lock_;
  Sequence nextSequence_ = 1;
  std::int32_t nextId_ = 1;
  std::map<Sequence, SatelliteRecord> records_;
  std::unordered_map<std::u16string, Sequence> byName_;
  std::unordered_map<std::int32_t, Sequence> byId_;
  // Folded service name -> the satellites offering it.
  std::unordered_map<std::u16string, std::set<Sequence>> offers_;
  // Folded service name -> its listeners.
  std::unordered_map<std::u16string, std::set<std::u16string>> listeners_;
};

}  // namespace kiv::directory
