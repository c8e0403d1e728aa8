// The service table of a satellite: entries keyed by service name in
// caseless order, each with its description, its handler and its
// registration state, and the services array that registration sends.
// Plain data and functions with no locking of their own: the owner guards
// the table (KivSatelliteImpl::servicesLock).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/delegates.h"
#include "kiv/value.h"

namespace kiv::satellite {

// Registration states of an entry.
enum ServiceState : std::int32_t {
  SERVICE_TO_REGISTER = 0,
  SERVICE_REGISTERING = 1,
  SERVICE_REGISTERED = 2,
  SERVICE_TO_UNREGISTER = 3,
  SERVICE_UNREGISTERING = 4,
  SERVICE_NEW = 5,
};

// Unit by unit, each UTF-16 unit lowered by the classic locale (which maps
// only A-Z); the first differing pair decides as unsigned values, and a
// name that ends first is smaller.
struct CaselessLess {
  using is_transparent = void;
  bool operator()(std::u16string_view a, std::u16string_view b) const;
};

struct ServiceEntry {
  std::u16string description;
  // May be null. Shared only so that a call in progress keeps the handler
  // it runs; the table is its owner.
  std::shared_ptr<KivSatelliteDelegateGeneric> handler;
  std::int32_t state = SERVICE_NEW;
};

using ServiceTable = std::map<std::u16string, ServiceEntry, CaselessLess>;
// Handlers taken out of the table, destroyed when the caller drops them
// (after releasing the table's lock).
using RetiredHandlers = std::vector<std::shared_ptr<KivSatelliteDelegateGeneric>>;

// Finds or creates the entry (a new one keeps the first spelling of the
// name), replaces its handler and description and marks it to register.
// The replaced handler goes to `retired`.
void DeclareService(ServiceTable& table, std::u16string_view name, std::u16string_view description,
                    std::shared_ptr<KivSatelliteDelegateGeneric> handler, RetiredHandlers& retired);
// Marks an existing entry to unregister; false for an unknown name.
bool MarkForRemoval(ServiceTable& table, std::u16string_view name);
void MoveState(ServiceTable& table, std::int32_t from, std::int32_t to);
// Erases the entries in `state`; their handlers go to `retired`.
void EraseInState(ServiceTable& table, std::int32_t state, RetiredHandlers& retired);

// The array registration sends: one element per entry of the whole table;
// the entries in `state`, in table order, fill it from index 0 with
// [name, description]; the rest stay VT_EMPTY. Throws
// KivInvalidParameterException (or std::bad_alloc) when it cannot be built.
kiv::Variant CollectServices(const ServiceTable& table, std::int32_t state);

}  // namespace kiv::satellite
