// CKivIn: identity, interfaces, type information and the IKivIn methods
// that forward to the sink. The array methods are in kivin_arrays.cc, event
// firing in event_firing.cc, Invoke's argument handling in kivin_invoke.cc.
#include "com/ckivin.h"

#include <new>

#include "com/kivin_codes.h"
#include "com/kivin_factory.h"
#include "com/type_library.h"
#include "kiv/engine.h"
#include "kiv/kiv_exception.h"
#include "kiv/result_codes.h"

namespace kiv::com {

namespace {

// The result of a method whose helpers may throw: exceptions never cross
// the COM boundary.
template <class F>
HRESULT Shielded(F&& body) {
  try {
    return body();
  } catch (const KivException&) {
    return E_INVALIDARG;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace

CKivIn::CKivIn(IUnknown* outer)
    : inner_(this),
      outer_(outer != nullptr ? outer : &inner_),
      events_(static_cast<IConnectionPointContainer*>(this), DIID__IKivInEvents),
      sink_(std::make_unique<CKivSink>(this)) {}

CKivIn::~CKivIn() {
  sink_.reset();
  events_.DisconnectAll();
}

HRESULT CKivIn::Inner::QueryInterface(REFIID riid, void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  CKivIn* o = object_;
  void* found = nullptr;
  if (IsEqualIID(riid, IID_IUnknown)) {
    found = static_cast<IUnknown*>(this);
  } else if (IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID_IKivIn)) {
    found = static_cast<IKivIn*>(o);
  } else if (IsEqualIID(riid, IID_IConnectionPointContainer)) {
    found = static_cast<IConnectionPointContainer*>(o);
  } else if (IsEqualIID(riid, IID_IProvideClassInfo) || IsEqualIID(riid, IID_IProvideClassInfo2)) {
    found = static_cast<IProvideClassInfo2*>(o);
  } else if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
    found = static_cast<ISupportErrorInfo*>(o);
  }
  *ppvObject = found;
  if (found == nullptr) return E_NOINTERFACE;
  // The reference goes through the interface handed out, so an aggregate's
  // outer unknown counts it.
  static_cast<IUnknown*>(found)->AddRef();
  return S_OK;
}

ULONG CKivIn::Inner::AddRef() {
  return object_->refs_.Add();
}

ULONG CKivIn::Inner::Release() {
  const ULONG left = object_->refs_.Drop();
  if (left == 0) delete object_;
  return left;
}

HRESULT CKivIn::QueryInterface(REFIID riid, void** ppvObject) {
  return outer_->QueryInterface(riid, ppvObject);
}

ULONG CKivIn::AddRef() {
  return outer_->AddRef();
}

ULONG CKivIn::Release() {
  return outer_->Release();
}

HRESULT CKivIn::GetTypeInfoCount(UINT* pctinfo) {
  if (pctinfo == nullptr) return E_POINTER;
  *pctinfo = 1;
  return S_OK;
}

HRESULT CKivIn::GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) {
  if (ppTInfo == nullptr) return E_POINTER;
  *ppTInfo = nullptr;
  if (iTInfo != 0) return DISP_E_BADINDEX;
  return Shielded([&] { return TypeLibGetTypeInfo(IID_IKivIn, ppTInfo); });
}

HRESULT CKivIn::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                              DISPID* rgDispId) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (cNames == 0) return S_OK;
  if (rgszNames == nullptr || rgDispId == nullptr) return E_POINTER;
  return Shielded([&] { return TypeLibGetIDsOfNames(IID_IKivIn, rgszNames, cNames, rgDispId); });
}

HRESULT CKivIn::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                       VARIANT* pVarResult, EXCEPINFO*, UINT* puArgErr) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  return Shielded(
      [&] { return InvokeKivIn(this, dispIdMember, wFlags, pDispParams, pVarResult, puArgErr); });
}

HRESULT CKivIn::CreateServices(VARIANT* pVarServs, LONG NbServices) {
  if (pVarServs == nullptr) return E_POINTER;
  return Shielded([&] { return KivCreateServices(pVarServs, NbServices); });
}

HRESULT CKivIn::SetService(VARIANT* pVarServs, LONG Index, BSTR Name, BSTR Description) {
  if (pVarServs == nullptr) return E_POINTER;
  // Only an array held by value is written through.
  if ((pVarServs->vt & VT_ARRAY) == 0 || (pVarServs->vt & VT_BYREF) != 0 ||
      pVarServs->parray == nullptr) {
    return E_INVALIDARG;
  }
  return Shielded([&] { return KivSetService(pVarServs, Index, Name, Description); });
}

HRESULT CKivIn::UnRegister(VARIANT* Service, VARIANT* RetCode) {
  if (Service == nullptr || RetCode == nullptr) return E_POINTER;
  return Shielded([&] { return sink_->RegisterMode(1, 0, Service, RetCode); });
}

HRESULT CKivIn::Request(BSTR Destination, BSTR ServiceName, VARIANT InParams, VARIANT* OutParams,
                        KIVFLAGS Flags, VARIANT* RetCode) {
  if (OutParams == nullptr || RetCode == nullptr) return E_POINTER;
  return Shielded([&] {
    return sink_->Request(Destination, ServiceName, InParams, OutParams, Flags, RetCode);
  });
}

HRESULT CKivIn::Register(BSTR Directory, BSTR SatName, VARIANT* Service, VARIANT* RetCode) {
  if (Service == nullptr || RetCode == nullptr) return E_POINTER;
  return Shielded([&] {
    sink_->SetHostName(Directory);
    sink_->SetSatName(SatName);
    return sink_->RegisterMode(0, 0, Service, RetCode);
  });
}

HRESULT CKivIn::DirectoryRegister(BSTR Directory, LONG Port, BSTR SatName, VARIANT* Service,
                                  VARIANT* RetCode) {
  if (Service == nullptr || RetCode == nullptr) return E_POINTER;
  return Shielded([&] {
    sink_->SetHostName(Directory);
    sink_->SetSatName(SatName);
    return sink_->RegisterMode(2, Port, Service, RetCode);
  });
}

HRESULT CKivIn::GetSatelliteId(LONG* SatId) {
  if (SatId == nullptr) return E_POINTER;
  std::int32_t id = 0;
  if (sink_->GetSatelliteId(&id) == KIV_OK) *SatId = id;
  return S_OK;
}

HRESULT CKivIn::PingSatellite(BSTR SatName, LONG SatId, KIVSTATUS* Status) {
  if (Status == nullptr) return E_POINTER;
  return sink_->Ping(SatName, SatId, Status);
}

HRESULT CKivIn::TerminateSatellite() {
  return sink_->Terminate();
}

HRESULT CKivIn::DirectoryPingSatellite(BSTR SatName, BSTR HostName, LONG PortNumber, LONG SatId,
                                       KIVSTATUS* Status) {
  if (Status == nullptr) return E_POINTER;
  if (PortNumber < 0 || PortNumber > 0xFFFF) return E_INVALIDARG;
  return sink_->DirectoryPing(SatName, HostName, PortNumber, SatId, Status);
}

HRESULT CKivIn::SetLog(BYTE*) {
  return S_OK;
}

HRESULT CKivIn::AddUser(BSTR user) {
  return sink_->AddUser(user);
}

HRESULT CKivIn::RemoveUser(BSTR user) {
  return sink_->RemoveUser(user);
}

HRESULT CKivIn::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
  return Shielded([&] { return CreateConnectionPointEnum({&events_}, ppEnum); });
}

HRESULT CKivIn::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
  if (ppCP == nullptr) return E_POINTER;
  *ppCP = nullptr;
  if (!IsEqualIID(riid, DIID__IKivInEvents)) return CONNECT_E_NOCONNECTION;
  events_.AddRef();
  *ppCP = &events_;
  return S_OK;
}

HRESULT CKivIn::GetClassInfo(ITypeInfo** ppTI) {
  if (ppTI == nullptr) return E_POINTER;
  *ppTI = nullptr;
  return Shielded([&] { return TypeLibGetTypeInfo(CLSID_KivIn, ppTI); });
}

HRESULT CKivIn::GetGUID(DWORD dwGuidKind, GUID* pGUID) {
  if (pGUID == nullptr) return E_POINTER;
  if (dwGuidKind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
    *pGUID = IID_NULL;
    return E_INVALIDARG;
  }
  *pGUID = DIID__IKivInEvents;
  return S_OK;
}

HRESULT CKivIn::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, IID_IKivIn) ? S_OK : S_FALSE;
}

HRESULT CreateKivInInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (outer != nullptr && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  CKivIn* object = nullptr;
  try {
    object = new CKivIn(outer);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  // Hold the object while asking for the interface, so a refused query
  // destroys it again.
  IUnknown* inner = object->inner();
  inner->AddRef();
  const HRESULT hr = inner->QueryInterface(riid, ppv);
  inner->Release();
  return hr;
}

}  // namespace kiv::com
