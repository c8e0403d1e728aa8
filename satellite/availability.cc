// Following other services' availability: the set of followed names, the
// listener requests to the directory, the directory's notices, and the
// engine's status reports that subscribe the set again.
#include <exception>
#include <string>

#include "kiv/utf8.h"
#include "kiv/value.h"
#include "kiv/vutil.h"
#include "satellite/satellite_impl.h"
#include "support/log/log.h"

using kiv::satellite::TextOrEmpty;

namespace {

constexpr char16_t kDirectoryName[] = u"MainRegister";
constexpr char16_t kAddRequest[] = u"AddServiceAvailabilityListener";
constexpr char16_t kRemoveRequest[] = u"RemoveServiceAvailabilityListener";

kiv::Variant NamesArray(const std::set<std::u16string>& names) {
  kiv::Variant array;
  VUtil::CreateArray(*array, VT_BSTR, static_cast<ULONG>(names.size()));
  LONG index = 0;
  for (const std::u16string& name : names) VUtil::PutElement(*array, index++, name);
  return array;
}

}  // namespace

std::int32_t KivSatelliteImpl::SendAddListeners(const std::set<std::u16string>& names) {
  if (names.empty()) return 0;
  const kiv::Variant array = NamesArray(names);
  kiv::Variant outParams;
  kiv::Variant retCode;
  const std::int32_t result =
      Request(kDirectoryName, kAddRequest, *array, *outParams, KIV_NOFLAGS, *retCode);
  if (result != 0) {
    LogError(u"Failed to AddServiceAvailabilityListener : %X", result);
    return result;
  }
  return static_cast<std::int32_t>(VUtil::GetLongElement(*retCode, 0));
}

std::int32_t KivSatelliteImpl::SendRemoveListeners(const std::set<std::u16string>& names) {
  if (names.empty()) return 0;
  const kiv::Variant array = NamesArray(names);
  kiv::Variant outParams;
  kiv::Variant retCode;
  const std::int32_t result =
      Request(kDirectoryName, kRemoveRequest, *array, *outParams, KIV_NOFLAGS, *retCode);
  if (result != 0) LogError(u"Failed to RemoveServiceAvailabilityListener : %X", result);
  return result;
}

void KivSatelliteImpl::AddListener(const char16_t* name) {
  const std::u16string followed(TextOrEmpty(name));
  {
    PScopedLock guard(&listenerLock);
    listeners.insert(followed);
  }
  // Sent even when the name was followed already: the directory may have
  // lost it.
  if (engine.load() != nullptr) SendAddListeners({followed});
}

void KivSatelliteImpl::RemoveListener(const char16_t* name) {
  const std::u16string followed(TextOrEmpty(name));
  {
    PScopedLock guard(&listenerLock);
    listeners.erase(followed);
  }
  if (engine.load() != nullptr) SendRemoveListeners({followed});
}

std::int32_t KivSatelliteImpl::StatusCallback(KIV* /*engine*/, void* context, std::int32_t satId,
                                              std::int32_t status) {
  auto* impl = static_cast<KivSatelliteImpl*>(context);
  if (status == KIV_ALIVE) {
    LogDebug(u"KivOnlineStatusChanged alive, reregistering service availability listeners");
    PScopedLock guard(&impl->listenerLock);
    try {
      impl->SendAddListeners(impl->listeners);
    } catch (const KivException& e) {
      // This runs on the engine's threads, which have no one to pass a
      // failure to; the next report of the directory tries again.
      LogError(u"service availability listeners not subscribed: %s", e.getMessage());
    } catch (const std::exception& e) {
      LogError(u"service availability listeners not subscribed: %hs", e.what());
    }
  }
  return impl->owner->OnStatusChange(satId, static_cast<KIVSTATUS>(status));
}

void KivSatelliteImpl::OnAvailabilityNotice(const VARIANT& inParams) {
  const std::u16string first = VUtil::GetStringElement(inParams, 0);
  const std::u16string second = VUtil::GetStringElement(inParams, 1);
  const auto third = static_cast<std::int32_t>(VUtil::GetLongElement(inParams, 2));
  LogDebug(u"OnServiceAvailabilityChanged %s/%s/%d", first.c_str(), second.c_str(), third);
  owner->OnServiceAvailabilityChanged(first.c_str(), second.c_str(), third);
}
