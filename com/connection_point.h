// ConnectionPoint: an IConnectionPoint embedded in the object that offers
// it. It holds the connected sinks by cookie, in connection order.
//
//   ConnectionPoint(container, iid)  `container` is the owning object's
//       IConnectionPointContainer; not owned. AddRef/Release of the
//       connection point go to the container, so a client holding the
//       connection point keeps the object alive; the object must outlive it,
//       which embedding as a member gives.
//   Advise(sink, &cookie)  queries the sink for `iid` (CONNECT_E_CANNOTCONNECT
//       when it lacks it) and keeps that reference; cookies start at 1 and are
//       never reused. Unadvise(cookie) releases it (CONNECT_E_NOCONNECTION when
//       unknown).
//   ForEachSink(fn)  calls fn(IUnknown* sink) for every sink in connection
//       order; each sink is taken with a reference of its own under the lock,
//       and fn runs outside the lock, so fn may Advise/Unadvise freely.
//       For a dispatch interface the sink pointer is an IDispatch.
//   DisconnectAll()  releases every sink (for the owner's destruction).
// Any thread may call any member.
#pragma once

#include <functional>
#include <vector>

#include "com/ref_counted.h"
#include "kiv/com.h"
#include "support/threads/mutex.h"

namespace kiv::com {

class ConnectionPoint final : public IConnectionPoint {
 public:
  ConnectionPoint(IConnectionPointContainer* container, REFIID iid);
  ~ConnectionPoint();
  ConnectionPoint(const ConnectionPoint&) = delete;
  ConnectionPoint& operator=(const ConnectionPoint&) = delete;

  HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG AddRef() override;
  ULONG Release() override;

  HRESULT GetConnectionInterface(IID* pIID) override;
  HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
  HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
  HRESULT Unadvise(DWORD dwCookie) override;
  HRESULT EnumConnections(IEnumConnections** ppEnum) override;

  void ForEachSink(const std::function<void(IUnknown* sink)>& fn);
  size_t SinkCount() const;
  void DisconnectAll();

 private:
  struct Slot {
    DWORD cookie;
    ComPtr<IUnknown> sink;
  };

  IConnectionPointContainer* container_;
  IID iid_;
  mutable PMutex lock_;
  std::vector<Slot> slots_;
  DWORD nextCookie_ = 1;
};

// An IEnumConnectionPoints over the given connection points (each gets a
// reference of the enumerator's own), for EnumConnectionPoints.
HRESULT CreateConnectionPointEnum(const std::vector<IConnectionPoint*>& points,
                                  IEnumConnectionPoints** ppEnum);

}  // namespace kiv::com
