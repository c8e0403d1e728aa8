// KivSatelliteImpl: the state behind one KivSatellite and the algorithms of
// its operations (connection, registration, requests, dispatch, listeners).
// Private to satellite/. The owner KivSatellite creates and destroys it; the
// engine holds it as the context of its two callbacks while connected.
//
// Locks, always taken in this order: lifecycleLock (Connect/Disconnect),
// listenerLock, inFlight, servicesLock; servicesLock is never held across an
// engine call or a handler. The discovery thread enters at listenerLock
// (StatusCallback), engine workers at servicesLock (dispatch).
#pragma once

#include <atomic>
#include <cstdint>
#include <set>
#include <string>

#include "kiv/engine.h"
#include "kiv/satellite.h"
#include "kiv/value.h"
#include "satellite/service_table.h"
#include "support/threads/cond.h"
#include "support/threads/mutex.h"

struct KivSatelliteImpl {
  explicit KivSatelliteImpl(KivSatellite* ownerObject) : owner(ownerObject) {}

  // --- connection (connection.cc) ---

  // Connect's steps: log, split "host[:port]", ConnectTo.
  std::int32_t ConnectSteps(const char16_t* directory, const char16_t* satName);
  std::int32_t ConnectUser(const char16_t* user, const char16_t* satName);
  std::int32_t ConnectTo(const std::u16string& host, std::uint16_t port,
                         const std::u16string& name);
  // Takes lifecycleLock and runs DisconnectLocked.
  void Disconnect();
  // The caller holds lifecycleLock.
  void DisconnectLocked();
  // Disconnect's steps from taking the engine out of the object on: wait
  // for operations in flight, then remove and destroy the engine. Also the
  // way out when the first steps of a disconnection throw.
  void ShutDownEngine();

  // --- service table and registration (registration.cc) ---

  // AddService's steps; takes ownership of handler (may be null).
  void DeclareService(const char16_t* name, const char16_t* description,
                      KivSatelliteDelegateGeneric* handler);
  void RemoveService(const char16_t* name);
  // Registers the entries waiting; the caller makes sure the engine stays
  // (holds lifecycleLock or an in-flight entry).
  std::int32_t RegisterPending();
  std::int32_t RegisterServices();
  std::int32_t UnregisterServices(bool all);
  std::int32_t Request(const char16_t* destination, const char16_t* serviceName,
                       const VARIANT& inParams, VARIANT& outParams, std::int32_t flags,
                       VARIANT& retCode);

  // --- incoming calls (dispatch.cc) ---

  static std::int32_t ServiceCallback(KIV* engine, void* context, int sd, BSTR source,
                                      BSTR serviceName, VARIANT inParams, VARIANT* outParams,
                                      std::int32_t* retCode);
  // The default OnServiceRequested.
  std::int32_t Dispatch(std::int32_t sd, const char16_t* source, const char16_t* serviceName,
                        const VARIANT& inParams, VARIANT& outParams, std::int32_t& retCode);

  // --- availability and status (availability.cc) ---

  static std::int32_t StatusCallback(KIV* engine, void* context, std::int32_t satId,
                                     std::int32_t status);
  void AddListener(const char16_t* name);
  void RemoveListener(const char16_t* name);
  // Send one listener request for `names` (nothing when empty) through
  // Request. Add returns the request's result when it failed, else the
  // directory's answer (throwing KivInvalidParameterException when that is
  // no integer array); remove returns the request's result.
  std::int32_t SendAddListeners(const std::set<std::u16string>& names);
  std::int32_t SendRemoveListeners(const std::set<std::u16string>& names);
  // A notice of the directory; throws KivInvalidParameterException when its
  // values cannot be read.
  void OnAvailabilityNotice(const VARIANT& inParams);

  // The fields of the interface, in its order.
  KivSatellite* const owner;
  // Connected means not null. Written under inFlight's mutex (and
  // lifecycleLock); readers outside those locks only test it.
  std::atomic<KIV*> engine{nullptr};
  // Read by engine workers; set before the engine listens.
  std::atomic<bool> isDirectory{false};
  std::u16string directoryHost;
  std::uint16_t directoryPort = 0;
  std::u16string satelliteName;
  kiv::satellite::ServiceTable services;  // guarded by servicesLock
  std::set<std::u16string> listeners;     // guarded by listenerLock
  PMutex listenerLock;
  PIntCondMutex inFlight;  // value: operations using the engine

  // Our additions. Dispatch reads the table on worker threads while
  // registration moves states and Disconnect erases entries, so the table
  // has a lock of its own; handlers are shared so that a running call keeps
  // its handler alive after its entry is gone.
  PMutex servicesLock;
  // Serialises Connect, ConnectUser and Disconnect (and the destructor), so
  // two threads never build or tear down an engine at once.
  PMutex lifecycleLock;
};

namespace kiv::satellite {

// Counts one operation in flight while it uses the engine, and gives the
// count back (waking Disconnect) on every way out, exceptions included.
class InFlightEntry {
 public:
  explicit InFlightEntry(KivSatelliteImpl& impl);
  ~InFlightEntry();
  InFlightEntry(const InFlightEntry&) = delete;
  InFlightEntry& operator=(const InFlightEntry&) = delete;

  // The engine, or null when the object was disconnected (nothing counted).
  KIV* engine() const { return engine_; }

 private:
  KivSatelliteImpl& impl_;
  KIV* engine_;
};

// The directory's code in the return-code value of KivRegister and
// KivUnRegister: a VT_I4, or element 0 of the one-element array an absent
// engine gets; -1 for any other shape.
std::int32_t RegistrationCode(const VARIANT& returnCode);

// A null text reads as the empty one.
inline const char16_t* TextOrEmpty(const char16_t* text) {
  return text != nullptr ? text : u"";
}

}  // namespace kiv::satellite
