// The service table's declarations and the registration, unregistration
// and requests that use the engine inside the in-flight count.
#include <memory>
#include <string>

#include "kiv/engine.h"
#include "kiv/utf8.h"
#include "kiv/value.h"
#include "kiv/vutil.h"
#include "satellite/satellite_impl.h"

namespace kiv::satellite {

InFlightEntry::InFlightEntry(KivSatelliteImpl& impl) : impl_(impl) {
  PScopedLock guard(&impl_.inFlight);
  engine_ = impl_.engine.load();
  if (engine_ != nullptr) ++impl_.inFlight.value;
}

InFlightEntry::~InFlightEntry() {
  if (engine_ == nullptr) return;
  PScopedLock guard(&impl_.inFlight);
  --impl_.inFlight.value;
  impl_.inFlight.Broadcast();
}

std::int32_t RegistrationCode(const VARIANT& returnCode) {
  if (returnCode.vt == VT_I4) return returnCode.lVal;
  try {
    return static_cast<std::int32_t>(VUtil::GetSingleRetcode(returnCode));
  } catch (const KivException&) {
    return -1;
  }
}

}  // namespace kiv::satellite

using kiv::satellite::InFlightEntry;
using kiv::satellite::RegistrationCode;
using kiv::satellite::RetiredHandlers;
using kiv::satellite::TextOrEmpty;

namespace {

constexpr std::int32_t kDisconnected = 1;

}  // namespace

void KivSatelliteImpl::DeclareService(const char16_t* name, const char16_t* description,
                                      KivSatelliteDelegateGeneric* handler) {
  // Owned from here on, also when what follows throws.
  std::shared_ptr<KivSatelliteDelegateGeneric> owned(handler);
  RetiredHandlers retired;  // destroyed after the lock is released
  PScopedLock guard(&servicesLock);
  kiv::satellite::DeclareService(services, TextOrEmpty(name), TextOrEmpty(description),
                                 std::move(owned), retired);
}

void KivSatelliteImpl::RemoveService(const char16_t* name) {
  PScopedLock guard(&servicesLock);
  kiv::satellite::MarkForRemoval(services, TextOrEmpty(name));
}

std::int32_t KivSatelliteImpl::RegisterPending() {
  using namespace kiv::satellite;
  const std::string host8 = kiv::ToUtf8(directoryHost);
  const kiv::Bstr name(satelliteName);
  kiv::Variant array;
  {
    PScopedLock guard(&servicesLock);
    array = CollectServices(services, SERVICE_TO_REGISTER);
    MoveState(services, SERVICE_TO_REGISTER, SERVICE_REGISTERING);
  }
  kiv::Variant returnCode;
  const std::int32_t result = KivRegister(engine.load(), host8.c_str(), directoryPort, name.get(),
                                          array.get(), returnCode.get());
  const std::int32_t code = result < 0 ? result : RegistrationCode(*returnCode);
  PScopedLock guard(&servicesLock);
  MoveState(services, SERVICE_REGISTERING, code == 0 ? SERVICE_REGISTERED : SERVICE_TO_REGISTER);
  return code;
}

std::int32_t KivSatelliteImpl::RegisterServices() {
  const InFlightEntry entry(*this);
  if (entry.engine() == nullptr) return kDisconnected;
  return RegisterPending();
}

std::int32_t KivSatelliteImpl::UnregisterServices(bool all) {
  using namespace kiv::satellite;
  const InFlightEntry entry(*this);
  if (entry.engine() == nullptr) return kDisconnected;
  kiv::Variant array;
  {
    PScopedLock guard(&servicesLock);
    if (all) MoveState(services, SERVICE_REGISTERED, SERVICE_TO_UNREGISTER);
    array = CollectServices(services, SERVICE_TO_UNREGISTER);
    MoveState(services, SERVICE_TO_UNREGISTER, SERVICE_UNREGISTERING);
  }
  kiv::Variant returnCode;
  std::int32_t result = KivUnRegister(entry.engine(), array.get(), returnCode.get());
  bool accepted = false;
  if (result >= 0) {
    const std::int32_t code = RegistrationCode(*returnCode);
    accepted = code == 0;
    if (!accepted) result = code;
  }
  RetiredHandlers retired;  // destroyed after the lock is released
  PScopedLock guard(&servicesLock);
  if (accepted) {
    EraseInState(services, SERVICE_UNREGISTERING, retired);
  } else {
    MoveState(services, SERVICE_UNREGISTERING, SERVICE_TO_UNREGISTER);
  }
  return result;
}

std::int32_t KivSatelliteImpl::Request(const char16_t* destination, const char16_t* serviceName,
                                       const VARIANT& inParams, VARIANT& outParams,
                                       std::int32_t flags, VARIANT& retCode) {
  const InFlightEntry entry(*this);
  if (entry.engine() == nullptr) return kDisconnected;
  const kiv::Bstr bstrDestination(TextOrEmpty(destination));
  const kiv::Bstr bstrService(TextOrEmpty(serviceName));
  // The engine takes the input by value: a bitwise copy that it only reads,
  // so the caller keeps ownership.
  return KivRequest(entry.engine(), bstrDestination.get(), bstrService.get(), inParams, &outParams,
                    flags, &retCode);
}
