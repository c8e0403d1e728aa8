// EventRecorder: a client event sink for tests. It records every
// _IKivInEvents event it receives and answers service events through the
// handler it was created with. Events arrive on engine threads; every member
// is safe to call from any thread. Created with new, destroyed by Release.
#pragma once

#include <functional>
#include <vector>

#include "com/ref_counted.h"
#include "kiv/com.h"
#include "kiv/value.h"
#include "support/threads/mutex.h"

namespace kiv::com::testing {

struct RecordedEvent {
  DISPID id = 0;
  std::vector<kiv::Variant> args;  // copies, first parameter first; by-reference ones followed
};

class EventRecorder final : public IDispatch {
 public:
  // Called for ServiceRequested and ServiceRequested2 with the outputs that
  // the event passes by reference.
  using Handler =
      std::function<void(const RecordedEvent& event, VARIANT* outParams, LONG* retCode)>;

  static ComPtr<EventRecorder> Create(Handler handler = {});

  std::vector<RecordedEvent> Events() const;
  std::vector<RecordedEvent> EventsWithId(DISPID id) const;

  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override { return refs_.Add(); }
  ULONG Release() override;
  HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excepInfo, UINT* argErr) override;

 private:
  explicit EventRecorder(Handler handler) : handler_(std::move(handler)) {}
  ~EventRecorder() = default;

  RefCount refs_;
  const Handler handler_;
  mutable PMutex lock_;  // guards events_
  std::vector<RecordedEvent> events_;
};

// Connects a sink to an object's _IKivInEvents point; 0 on failure.
DWORD Connect(IUnknown* object, IUnknown* sink);

}  // namespace kiv::com::testing
