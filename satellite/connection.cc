// Connecting and disconnecting a satellite: the engine's creation, the bare
// registration, the declared services' registration and the listeners'
// subscription, and the orderly teardown that waits for calls in flight.
#include <boost/shared_ptr.hpp>
#include <string>

#include "discovery/discover_client.h"
#include "engine/engine_state.h"
#include "kiv/engine.h"
#include "kiv/utf8.h"
#include "kiv/value.h"
#include "satellite/directory_address.h"
#include "satellite/satellite_impl.h"
#include "support/log/log.h"
#include "support/time/time_limits.h"

using kiv::satellite::TextOrEmpty;

namespace {

constexpr char16_t kDirectoryName[] = u"MainRegister";
constexpr char16_t kAvailabilityService[] = u"OnServiceAvailabilityChanged";
constexpr std::int32_t kUserNotFound = 404;
constexpr std::int32_t kConnectedElsewhere = 1;

}  // namespace

std::int32_t KivSatelliteImpl::ConnectSteps(const char16_t* directory, const char16_t* satName) {
  LogDebug(u"connecting satellite %s to %s", TextOrEmpty(satName), TextOrEmpty(directory));
  const kiv::satellite::DirectoryAddress address =
      kiv::satellite::ParseDirectoryAddress(TextOrEmpty(directory));
  return ConnectTo(address.host, address.port, TextOrEmpty(satName));
}

std::int32_t KivSatelliteImpl::ConnectUser(const char16_t* user, const char16_t* satName) {
  std::u16string address;
  {
    // Held for the wait only; the engine takes its own reference.
    const boost::shared_ptr<KivDiscoverClient> discovery = GetDiscoverClient();
    if (discovery->WaitForUser(TextOrEmpty(user), kiv::LimitMs(kiv::TimeLimit::kUserWait),
                               address) != KivDiscoverClient::kUserFound) {
      return kUserNotFound;
    }
  }
  return ConnectSteps(address.c_str(), satName);
}

std::int32_t KivSatelliteImpl::ConnectTo(const std::u16string& host, std::uint16_t port,
                                         const std::u16string& name) {
  PScopedLock lifecycle(&lifecycleLock);
  if (engine.load() != nullptr) {
    const bool same = name == satelliteName && host == directoryHost && port == directoryPort;
    return same ? 0 : kConnectedElsewhere;
  }

  KIV* created = nullptr;
  std::int32_t result = KivCreate(&created, &ServiceCallback, &StatusCallback, this);
  if (result != 0) return result;
  isDirectory = name == kDirectoryName;

  if (!isDirectory) {
    // The bare satellite first: the directory must know it before its
    // services can be registered.
    std::int32_t code = 0;
    try {
      const std::string host8 = kiv::ToUtf8(host);
      const kiv::Bstr bstrName(name);
      kiv::Variant noServices;
      kiv::Variant returnCode;
      result = KivRegister(created, host8.c_str(), port, bstrName.get(), noServices.get(),
                           returnCode.get());
      code = kiv::satellite::RegistrationCode(*returnCode);
    } catch (...) {
      KivRemoveSatellite(created);
      KivDestroy(created);
      throw;
    }
    if (result < 0 || code != 0) {
      KivRemoveSatellite(created);
      KivDestroy(created);
      if (result < 0) {
        LogDebug(u"Registration failed: hr = %d (0x%x)", result, result);
        return result;
      }
      LogDebug(u"Registration failed: retcode = %d (0x%x)", code, code);
      return code;
    }
  }

  directoryHost = host;
  directoryPort = port;
  satelliteName = name;
  {
    PScopedLock guard(&inFlight);
    engine = created;
  }

  owner->InitServices();
  DeclareService(kAvailabilityService, u"", nullptr);
  result = RegisterPending();
  if (result != 0) {
    DisconnectLocked();
    return result;
  }
  PScopedLock listenersGuard(&listenerLock);
  SendAddListeners(listeners);
  return 0;
}

void KivSatelliteImpl::Disconnect() {
  PScopedLock lifecycle(&lifecycleLock);
  DisconnectLocked();
}

void KivSatelliteImpl::DisconnectLocked() {
  if (engine.load() == nullptr) return;
  UnregisterServices(true);
  {
    PScopedLock guard(&listenerLock);
    SendRemoveListeners(listeners);
  }
  ShutDownEngine();
}

void KivSatelliteImpl::ShutDownEngine() {
  KIV* taken = nullptr;
  {
    // From here on every operation finds the object disconnected; those
    // already counted finish before the engine goes.
    PScopedLock guard(&inFlight);
    taken = engine.exchange(nullptr);
    while (inFlight.value != 0) inFlight.Wait();
  }
  if (taken == nullptr) return;
  try {
    const kiv::Bstr registeredName = kiv::engine::SatelliteNameOf(taken);
    const kiv::engine::DirectoryLink link = kiv::engine::DirectoryLinkOf(taken);
    LogDebug(u"disconnected satellite %s from %hs", TextOrEmpty(registeredName.get()),
             link.address.c_str());
  } catch (const std::bad_alloc&) {
    // Only the log line is lost; the engine must still go.
  }
  KivRemoveSatellite(taken);
  KivDestroy(taken);
}
