// Connection point and the two enumerators. The enumerators are snapshots:
// changes after their creation do not show in them.
#include "com/connection_point.h"

#include <algorithm>
#include <new>

namespace kiv::com {
namespace {

// A snapshot enumerator; Element is CONNECTDATA or IConnectionPoint*, and
// the enumerator owns one reference per element.
template <class Interface, class Element>
class SnapshotEnum final : public SingleInterface<Interface> {
 public:
  explicit SnapshotEnum(std::vector<Element> items)
      : SingleInterface<Interface>(InterfaceId()), items_(std::move(items)) {
    for (auto& item : items_) Unknown(item)->AddRef();
  }

  HRESULT Next(ULONG count, Element* out, ULONG* fetched) override {
    if (out == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
    PScopedLock guard(&lock_);
    ULONG n = 0;
    while (n < count && position_ < items_.size()) {
      out[n] = items_[position_++];
      Unknown(out[n])->AddRef();
      ++n;
    }
    if (fetched != nullptr) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT Skip(ULONG count) override {
    PScopedLock guard(&lock_);
    size_t left = items_.size() - position_;
    position_ += std::min<size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    PScopedLock guard(&lock_);
    position_ = 0;
    return S_OK;
  }
  HRESULT Clone(Interface** ppEnum) override {
    if (ppEnum == nullptr) return E_POINTER;
    PScopedLock guard(&lock_);
    auto* clone = new (std::nothrow) SnapshotEnum(items_);
    if (clone == nullptr) return E_OUTOFMEMORY;
    clone->position_ = position_;
    clone->AddRef();
    *ppEnum = clone;
    return S_OK;
  }

 private:
  ~SnapshotEnum() {
    for (auto& item : items_) Unknown(item)->Release();
  }
  static IUnknown* Unknown(const CONNECTDATA& data) { return data.pUnk; }
  static IUnknown* Unknown(IConnectionPoint* point) { return point; }
  static const IID& InterfaceId() {
    if constexpr (std::is_same_v<Interface, IEnumConnections>) {
      return IID_IEnumConnections;
    } else {
      return IID_IEnumConnectionPoints;
    }
  }

  PMutex lock_;
  std::vector<Element> items_;
  size_t position_ = 0;
};

using ConnectionsEnum = SnapshotEnum<IEnumConnections, CONNECTDATA>;
using PointsEnum = SnapshotEnum<IEnumConnectionPoints, IConnectionPoint*>;

}  // namespace

ConnectionPoint::ConnectionPoint(IConnectionPointContainer* container, REFIID iid)
    : container_(container), iid_(iid) {}

ConnectionPoint::~ConnectionPoint() {
  DisconnectAll();
}

HRESULT ConnectionPoint::QueryInterface(REFIID riid, void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IConnectionPoint)) {
    *ppvObject = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *ppvObject = nullptr;
  return E_NOINTERFACE;
}

ULONG ConnectionPoint::AddRef() {
  return container_->AddRef();
}
ULONG ConnectionPoint::Release() {
  return container_->Release();
}

HRESULT ConnectionPoint::GetConnectionInterface(IID* pIID) {
  if (pIID == nullptr) return E_POINTER;
  *pIID = iid_;
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
  if (ppCPC == nullptr) return E_POINTER;
  container_->AddRef();
  *ppCPC = container_;
  return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
  if (pdwCookie == nullptr) return E_POINTER;
  *pdwCookie = 0;
  if (pUnkSink == nullptr) return E_POINTER;
  ComPtr<IUnknown> sink;
  if (FAILED(pUnkSink->QueryInterface(iid_, sink.ReceiveVoid())) || !sink) {
    return CONNECT_E_CANNOTCONNECT;
  }
  PScopedLock guard(&lock_);
  DWORD cookie = nextCookie_++;
  slots_.push_back(Slot{cookie, std::move(sink)});
  *pdwCookie = cookie;
  return S_OK;
}

HRESULT ConnectionPoint::Unadvise(DWORD dwCookie) {
  ComPtr<IUnknown> released;  // released after the lock, since Release may call back
  {
    PScopedLock guard(&lock_);
    auto it = std::find_if(slots_.begin(), slots_.end(),
                           [dwCookie](const Slot& slot) { return slot.cookie == dwCookie; });
    if (it == slots_.end()) return CONNECT_E_NOCONNECTION;
    released = std::move(it->sink);
    slots_.erase(it);
  }
  return S_OK;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
  if (ppEnum == nullptr) return E_POINTER;
  *ppEnum = nullptr;
  std::vector<CONNECTDATA> items;
  {
    PScopedLock guard(&lock_);
    for (const Slot& slot : slots_) items.push_back(CONNECTDATA{slot.sink.get(), slot.cookie});
    // The enumerator takes its references while the sinks are still held here.
    auto* result = new (std::nothrow) ConnectionsEnum(std::move(items));
    if (result == nullptr) return E_OUTOFMEMORY;
    result->AddRef();
    *ppEnum = result;
  }
  return S_OK;
}

void ConnectionPoint::ForEachSink(const std::function<void(IUnknown* sink)>& fn) {
  // Walk by cookie rather than by index, so that sinks connected or
  // disconnected meanwhile neither shift nor repeat the walk.
  DWORD after = 0;
  for (;;) {
    ComPtr<IUnknown> sink;
    {
      PScopedLock guard(&lock_);
      auto it = std::find_if(slots_.begin(), slots_.end(),
                             [after](const Slot& slot) { return slot.cookie > after; });
      if (it == slots_.end()) return;
      after = it->cookie;
      sink = it->sink;
    }
    fn(sink.get());
  }
}

size_t ConnectionPoint::SinkCount() const {
  PScopedLock guard(&lock_);
  return slots_.size();
}

void ConnectionPoint::DisconnectAll() {
  std::vector<Slot> released;
  {
    PScopedLock guard(&lock_);
    released.swap(slots_);
  }
}

HRESULT CreateConnectionPointEnum(const std::vector<IConnectionPoint*>& points,
                                  IEnumConnectionPoints** ppEnum) {
  if (ppEnum == nullptr) return E_POINTER;
  auto* result = new (std::nothrow) PointsEnum(points);
  if (result == nullptr) {
    *ppEnum = nullptr;
    return E_OUTOFMEMORY;
  }
  result->AddRef();
  *ppEnum = result;
  return S_OK;
}

}  // namespace kiv::com
