// Incoming calls: from the engine's request callback through the owner's
// OnServiceRequested to the service's handler, with handler failures turned
// into result codes. Runs on engine worker threads, several at once.
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "engine/engine_object.h"
#include "kiv/utf8.h"
#include "kiv/vutil.h"
#include "satellite/satellite_impl.h"
#include "support/log/log.h"

using kiv::satellite::TextOrEmpty;

namespace {

constexpr std::int32_t kNoHandler = kiv::engine::kServiceNotOffered;
constexpr std::int32_t kHandlerFailed = -1;
constexpr char16_t kAvailabilityService[] = u"OnServiceAvailabilityChanged";

void LogServiceError(const char16_t* serviceName, const char16_t* message) {
  LogWarn(u"kiv service '%s' error: %s\n", serviceName, message);
}

// A notice names a satellite whose services came or went: the engine's
// cached look-ups for it may be stale. Here rather than in Dispatch, so that
// an owner with its own OnServiceRequested gets the same.
void ForgetNoticedSatellite(KIV* engine, BSTR serviceName, const VARIANT& inParams) {
  if (serviceName == nullptr || std::u16string_view(serviceName) != kAvailabilityService) return;
  try {
    engine->lookups.ForgetSatellite(VUtil::GetStringElement(inParams, 1));
  } catch (const std::exception&) {
    engine->lookups.Clear();  // unreadable: forget them all
  }
}

}  // namespace

std::int32_t KivSatelliteImpl::ServiceCallback(KIV* engine, void* context, int sd, BSTR source,
                                               BSTR serviceName, VARIANT inParams,
                                               VARIANT* outParams, std::int32_t* retCode) {
  auto* impl = static_cast<KivSatelliteImpl*>(context);
  ForgetNoticedSatellite(engine, serviceName, inParams);
  return impl->owner->OnServiceRequested(sd, TextOrEmpty(source), TextOrEmpty(serviceName),
                                         inParams, *outParams, *retCode);
}

std::int32_t KivSatelliteImpl::Dispatch(std::int32_t sd, const char16_t* source,
                                        const char16_t* serviceName, const VARIANT& inParams,
                                        VARIANT& outParams, std::int32_t& retCode) {
  source = TextOrEmpty(source);
  serviceName = TextOrEmpty(serviceName);
  try {
    if (std::u16string_view(serviceName) == kAvailabilityService) {
      OnAvailabilityNotice(inParams);
      return 0;
    }
    std::shared_ptr<KivSatelliteDelegateGeneric> handler;
    {
      // A copy keeps the handler alive should its entry be replaced or
      // erased while it runs.
      PScopedLock guard(&servicesLock);
      const auto found = services.find(std::u16string_view(serviceName));
      if (found != services.end()) handler = found->second.handler;
    }
    if (!handler) {
      retCode = kNoHandler;
      return 0;
    }
    // A directory's handlers take the connection's descriptor; one that
    // lacks InvokeWithId (a plain function's, say) is called as usual.
    auto* withId = isDirectory ? dynamic_cast<KivSatelliteDelegateWithId*>(handler.get()) : nullptr;
    retCode = withId != nullptr ? withId->InvokeWithId(sd, source, inParams, &outParams)
                                : handler->Invoke(source, inParams, &outParams);
    return 0;
  } catch (const KivException& e) {
    retCode = e.getCode();
    LogServiceError(serviceName, e.getMessage());
  } catch (const std::logic_error& e) {
    retCode = kHandlerFailed;
    LogServiceError(serviceName, kiv::FromUtf8(e.what()).c_str());
  } catch (const std::string& e) {
    retCode = kHandlerFailed;
    LogServiceError(serviceName, kiv::FromUtf8(e).c_str());
  }
  return 0;
}
