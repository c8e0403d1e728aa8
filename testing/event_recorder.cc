#include "testing/event_recorder.h"

namespace kiv::com::testing {

ComPtr<EventRecorder> EventRecorder::Create(Handler handler) {
  return ComPtr<EventRecorder>::Copy(new EventRecorder(std::move(handler)));
}

std::vector<RecordedEvent> EventRecorder::Events() const {
  PScopedLock guard(&lock_);
  return events_;
}

std::vector<RecordedEvent> EventRecorder::EventsWithId(DISPID id) const {
  std::vector<RecordedEvent> found = Events();
  std::erase_if(found, [&](const RecordedEvent& event) { return event.id != id; });
  return found;
}

HRESULT EventRecorder::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
      IsEqualIID(riid, DIID__IKivInEvents)) {
    *ppv = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG EventRecorder::Release() {
  const ULONG left = refs_.Drop();
  if (left == 0) delete this;
  return left;
}

HRESULT EventRecorder::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                              EXCEPINFO*, UINT*) {
  RecordedEvent event;
  event.id = id;
  VARIANT* outParams = nullptr;
  LONG* retCode = nullptr;
  for (UINT i = params->cArgs; i-- > 0;) {
    const VARIANT& arg = params->rgvarg[i];
    if (arg.vt == (VT_BYREF | VT_VARIANT)) {
      outParams = arg.pvarVal;
      event.args.push_back(Variant::CopyOf(*arg.pvarVal));
    } else if (arg.vt == (VT_BYREF | VT_I4)) {
      retCode = arg.plVal;
      event.args.push_back(Variant::I4(*arg.plVal));
    } else {
      event.args.push_back(Variant::CopyOf(arg));
    }
  }
  if (handler_ && outParams != nullptr && retCode != nullptr) handler_(event, outParams, retCode);
  PScopedLock guard(&lock_);
  events_.push_back(std::move(event));
  return S_OK;
}

DWORD Connect(IUnknown* object, IUnknown* sink) {
  ComPtr<IConnectionPointContainer> container;
  ComPtr<IConnectionPoint> point;
  DWORD cookie = 0;
  const bool ok =
      SUCCEEDED(object->QueryInterface(IID_IConnectionPointContainer, container.ReceiveVoid())) &&
      SUCCEEDED(container->FindConnectionPoint(DIID__IKivInEvents, point.Receive())) &&
      SUCCEEDED(point->Advise(sink, &cookie));
  return ok ? cookie : 0;
}

}  // namespace kiv::com::testing
