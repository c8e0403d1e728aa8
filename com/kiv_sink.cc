// CKivSink: guarded engine operations, termination and the engine callbacks.
#include "com/kiv_sink.h"

#include <string>

#include "com/kivin_codes.h"
#include "kiv/result_codes.h"
#include "kiv/utf8.h"
#include "kiv/value.h"

namespace kiv::com {

AbstractCSinkKiv::~AbstractCSinkKiv() {
  SysFreeString(satName_);
  SysFreeString(hostName_);
}

void AbstractCSinkKiv::Replace(BSTR& field, BSTR value) {
  if (field == value) return;
  BSTR copy = value != nullptr ? SysAllocStringLen(value, SysStringLen(value)) : nullptr;
  SysFreeString(field);
  field = copy;
}

void AbstractCSinkKiv::SetHostName(BSTR hostName) {
  PScopedLock guard(&namesLock_);
  Replace(hostName_, hostName);
}

void AbstractCSinkKiv::SetSatName(BSTR satName) {
  PScopedLock guard(&namesLock_);
  Replace(satName_, satName);
}

BSTR AbstractCSinkKiv::GetHostName() {
  PScopedLock guard(&namesLock_);
  return hostName_ != nullptr ? SysAllocStringLen(hostName_, SysStringLen(hostName_)) : nullptr;
}

BSTR AbstractCSinkKiv::GetSatName() {
  PScopedLock guard(&namesLock_);
  return satName_ != nullptr ? SysAllocStringLen(satName_, SysStringLen(satName_)) : nullptr;
}

CKivSink::CKivSink(KivInEventTarget* ownerObject) : ownerObject_(ownerObject) {
  KIV* engine = nullptr;
  if (KivCreate(&engine, &CKivSink::OnRequest, &CKivSink::OnStatus, this) != KIV_OK) {
    engine = nullptr;
  }
  engine_.store(engine);
}

CKivSink::~CKivSink() {
  ShutDown();
}

bool CKivSink::Enter() {
  PScopedLock guard(&busyLock_);
  if (closing_.load()) return false;
  ++busy_;
  return true;
}

void CKivSink::Leave() {
  PScopedLock guard(&busyLock_);
  // Close waits on the condition rather than polling every millisecond.
  if (--busy_ == 0) busyLock_.Broadcast();
}

void CKivSink::Close() {
  closing_.store(true);
  PScopedLock guard(&busyLock_);
  while (busy_ > 0) busyLock_.Wait();
}

void CKivSink::ShutDown() {
  KIV* engine = engine_.exchange(nullptr);
  if (engine == nullptr) {
    // Termination is final even when the engine could not be created.
    Close();
    return;
  }
  // Stop accepting calls before waiting, so the wait ends.
  KivRemoveSatellite(engine);
  Close();
  KivDestroy(engine);
}

std::int32_t CKivSink::RegisterMode(std::int32_t mode, std::int32_t port, VARIANT* services,
                                    VARIANT* retCode) {
  if (!Enter()) return KIVIN_RC_TERMINATED;
  std::int32_t result = KIVIN_RC_BAD_MODE;
  try {
    switch (mode) {
      case 2:
        withSocketId_.store(true);
        [[fallthrough]];
      case 0: {
        const Bstr host = Bstr::Attach(GetHostName());
        const Bstr name = Bstr::Attach(GetSatName());
        const std::string hostText = ToUtf8(host.view());
        result = KivRegister(engine_.load(), hostText.c_str(), port, name.get(), services, retCode);
        break;
      }
      case 1:
        result = KivUnRegister(engine_.load(), services, retCode);
        break;
      default:
        break;
    }
  } catch (const std::bad_alloc&) {
    result = KIV_E_OUT_OF_MEMORY;
  }
  Leave();
  return result;
}

std::int32_t CKivSink::Request(BSTR destination, BSTR serviceName, VARIANT inParams,
                               VARIANT* outParams, KIVFLAGS flags, VARIANT* retCode) {
  if (!Enter()) return KIVIN_RC_TERMINATED;
  const std::int32_t result =
      KivRequest(engine_.load(), destination, serviceName, inParams, outParams, flags, retCode);
  Leave();
  return result;
}

std::int32_t CKivSink::Ping(BSTR satName, std::int32_t satId, KIVSTATUS* status) {
  if (!Enter()) return KIVIN_RC_TERMINATED;
  std::int32_t value = KIV_UNKNOWN;
  const std::int32_t result = KivPingSatellite(engine_.load(), satName, satId, &value);
  *status = static_cast<KIVSTATUS>(value);
  Leave();
  return result;
}

std::int32_t CKivSink::DirectoryPing(BSTR satName, BSTR hostName, std::int32_t port,
                                     std::int32_t satId, KIVSTATUS* status) {
  if (!Enter()) return KIVIN_RC_TERMINATED;
  std::int32_t value = KIV_UNKNOWN;
  const std::int32_t result =
      KivDirectoryPingSatellite(engine_.load(), satName, hostName != nullptr ? hostName : u"",
                                static_cast<std::uint16_t>(port), satId, &value);
  *status = static_cast<KIVSTATUS>(value);
  Leave();
  return result;
}

std::int32_t CKivSink::Terminate() {
  ShutDown();
  return KIV_OK;
}

std::int32_t CKivSink::GetSatelliteId(std::int32_t* satId) {
  return KivGetSatelliteId(engine_.load(), satId);
}

std::int32_t CKivSink::AddUser(BSTR) {
  return KIVIN_RC_NOT_SUPPORTED;
}

std::int32_t CKivSink::RemoveUser(BSTR) {
  return KIVIN_RC_NOT_SUPPORTED;
}

std::int32_t CKivSink::OnRequest(KIV*, void* context, int socket, BSTR caller, BSTR service,
                                 VARIANT argument, VARIANT* value, std::int32_t* returnCode) {
  auto* sink = static_cast<CKivSink*>(context);
  if (!sink->Enter()) return KIVIN_RC_TERMINATED;
  const std::int32_t result = sink->ownerObject_->FireServiceRequested(
      sink->withSocketId_.load(), socket, caller, service, argument, value, returnCode);
  sink->Leave();
  return result;
}

std::int32_t CKivSink::OnStatus(KIV*, void* context, std::int32_t satelliteId,
                                std::int32_t status) {
  auto* sink = static_cast<CKivSink*>(context);
  if (!sink->Enter()) return KIVIN_RC_TERMINATED;
  sink->ownerObject_->FireOnlineStatusUpdate(satelliteId, status);
  sink->Leave();
  return KIV_OK;
}

}  // namespace kiv::com
