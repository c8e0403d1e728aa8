// The exported KivSatellite: each operation forwards to its implementation
// object, which the engine also holds as its callbacks' context.
#include <memory>

#include "engine/engine_object.h"
#include "kiv/satellite.h"
#include "satellite/satellite_impl.h"
#include "support/log/log.h"

using kiv::satellite::InFlightEntry;
using kiv::satellite::TextOrEmpty;

KivSatellite::KivSatellite() : impl(std::make_unique<KivSatelliteImpl>(this)) {}

KivSatellite::~KivSatellite() {
  PScopedLock lifecycle(&impl->lifecycleLock);
  try {
    impl->DisconnectLocked();
  } catch (...) {
    // The unregistration could not even be built; the engine must go all
    // the same, since it calls back into this object.
    impl->ShutDownEngine();
  }
}

std::int32_t KivSatellite::Connect(const char16_t* Directory, const char16_t* SatName) {
  return impl->ConnectSteps(Directory, SatName);
}

std::int32_t KivSatellite::ConnectUser(const char16_t* User, const char16_t* SatName) {
  return impl->ConnectUser(User, SatName);
}

void KivSatellite::Disconnect() {
  impl->Disconnect();
}

std::int32_t KivSatellite::Request(const char16_t* Destination, const char16_t* ServiceName,
                                   const VARIANT& InParams, VARIANT& OutParams, KIVFLAGS Flags,
                                   VARIANT& RetCode) {
  return impl->Request(Destination, ServiceName, InParams, OutParams, Flags, RetCode);
}

// The ping and identifier operations are counted in flight as well, unlike
// the engine operations alone would need: a Disconnect on another thread
// then waits for them instead of destroying the engine under them.
std::int32_t KivSatellite::DirectoryPingSatellite(const char16_t* SatName, const char16_t* HostName,
                                                  std::uint16_t PortNumber, std::int32_t SatId,
                                                  KIVSTATUS& Status) {
  const InFlightEntry entry(*impl);
  const kiv::Bstr name(TextOrEmpty(SatName));
  std::int32_t status = Status;
  // Disconnected, the engine operation answers the absent engine itself.
  const std::int32_t result = KivDirectoryPingSatellite(
      entry.engine(), name.get(), TextOrEmpty(HostName), PortNumber, SatId, &status);
  Status = static_cast<KIVSTATUS>(status);
  return result;
}

std::int32_t KivSatellite::GetSatelliteId(std::int32_t& SatId) {
  const InFlightEntry entry(*impl);
  return KivGetSatelliteId(entry.engine(), &SatId);
}

void KivSatellite::AddServiceAvailabilityListener(const char16_t* Name) {
  impl->AddListener(Name);
}

void KivSatellite::RemoveServiceAvailabilityListener(const char16_t* Name) {
  impl->RemoveListener(Name);
}

std::int32_t KivSatellite::RegisterServices() {
  return impl->RegisterServices();
}

std::int32_t KivSatellite::UnregisterServices(bool all) {
  return impl->UnregisterServices(all);
}

void KivSatellite::AddService(const char16_t* name, const char16_t* description,
                              KivServiceFunction function) {
  // Ownership passes to the table with the call.
  std::unique_ptr<KivSatelliteDelegateFunction> handler;
  if (function != nullptr) handler = std::make_unique<KivSatelliteDelegateFunction>(function);
  AddService(name, description, handler.release());
}

void KivSatellite::AddService(const char16_t* name, const char16_t* description,
                              KivSatelliteDelegateGeneric* handler) {
  impl->DeclareService(name, description, handler);
}

void KivSatellite::RemoveService(const char16_t* name) {
  impl->RemoveService(name);
}

std::int32_t KivSatellite::OnServiceRequested(std::int32_t sd, const char16_t* Source,
                                              const char16_t* ServiceName, VARIANT InParams,
                                              VARIANT& OutParams, std::int32_t& RetCode) {
  return impl->Dispatch(sd, Source, ServiceName, InParams, OutParams, RetCode);
}

void KivSatellite::OnServiceAvailabilityChanged(const char16_t* /*service*/,
                                                const char16_t* /*satellite*/,
                                                std::int32_t /*state*/) {}

std::int32_t KivSatellite::OnStatusChange(std::int32_t /*SatId*/, KIVSTATUS /*Status*/) {
  return 0;
}

bool KivSatellite::isConnected() const {
  return impl->engine.load() != nullptr;
}

const char16_t* KivSatellite::getSatelliteName() const {
  return impl->satelliteName.c_str();
}

std::uint32_t KivSatellite::getSatellitePort() const {
  const InFlightEntry entry(*impl);
  if (entry.engine() == nullptr) return 0;
  PScopedLock guard(&entry.engine()->identityLock);
  return entry.engine()->listenPort;
}

boost::shared_ptr<CBBLog> KivSatellite::initLogger() {
  return InitLogger();
}
