// CKivIn, the automation object "Kiv.KivIn": one satellite per object. It
// implements IKivIn (dual), IConnectionPointContainer with the one
// _IKivInEvents connection point, IProvideClassInfo2 and ISupportErrorInfo,
// and can be aggregated. It owns one CKivSink, which owns the engine; events
// are fired on engine threads straight into the connected sinks. Threading
// model "Free": every method may be called from any thread at once, and no
// C++ exception leaves a COM method. Created only by CreateKivInInstance.
#pragma once

#include <cstdint>
#include <memory>

#include "com/connection_point.h"
#include "com/ikivin.h"
#include "com/kiv_sink.h"
#include "com/ref_counted.h"
#include "kiv/com.h"

namespace kiv::com {

class CKivIn final : public IKivIn,
                     public IConnectionPointContainer,
                     public IProvideClassInfo2,
                     public ISupportErrorInfo,
                     public KivInEventTarget {
 public:
  // `outer` is the controlling unknown of an aggregate, or null. The object
  // starts with no reference; the creator takes one through inner().
  explicit CKivIn(IUnknown* outer);
  CKivIn(const CKivIn&) = delete;
  CKivIn& operator=(const CKivIn&) = delete;

  // The non-delegating IUnknown (the object's identity when aggregated).
  IUnknown* inner() { return &inner_; }

  // IUnknown: delegates to the controlling unknown.
  HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IDispatch: names and type information from the type library; Invoke by
  // dispatch id. A method that ran answers S_OK and puts its result code
  // (VT_I4) into *pVarResult; refused arguments answer DISP_E_* codes.
  HRESULT GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                        DISPID* rgDispId) override;
  HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                 VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

  // IKivIn.
  HRESULT CreateServices(VARIANT* pVarServs, LONG NbServices) override;
  HRESULT SetService(VARIANT* pVarServs, LONG Index, BSTR Name, BSTR Description) override;
  HRESULT VarArrayCreate(VARIANT* pArray, LONG Size) override;
  HRESULT VarArrayGetElement(VARIANT* pArray, LONG Index, VARIANT* Element) override;
  HRESULT VarArraySetElement(VARIANT* pArray, LONG Index, VARIANT Element) override;
  HRESULT UnRegister(VARIANT* Service, VARIANT* RetCode) override;
  HRESULT Request(BSTR Destination, BSTR ServiceName, VARIANT InParams, VARIANT* OutParams,
                  KIVFLAGS Flags, VARIANT* RetCode) override;
  HRESULT Register(BSTR Directory, BSTR SatName, VARIANT* Service, VARIANT* RetCode) override;
  HRESULT GetSatelliteId(LONG* SatId) override;
  HRESULT PingSatellite(BSTR SatName, LONG SatId, KIVSTATUS* Status) override;
  HRESULT TerminateSatellite() override;
  HRESULT DirectoryPingSatellite(BSTR SatName, BSTR HostName, LONG PortNumber, LONG SatId,
                                 KIVSTATUS* Status) override;
  HRESULT DirectoryRegister(BSTR Directory, LONG Port, BSTR SatName, VARIANT* Service,
                            VARIANT* RetCode) override;
  HRESULT SetLog(BYTE* log) override;
  HRESULT AddUser(BSTR user) override;
  HRESULT RemoveUser(BSTR user) override;

  // IConnectionPointContainer.
  HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
  HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

  // IProvideClassInfo2.
  HRESULT GetClassInfo(ITypeInfo** ppTI) override;
  HRESULT GetGUID(DWORD dwGuidKind, GUID* pGUID) override;

  // ISupportErrorInfo: S_OK for IKivIn only.
  HRESULT InterfaceSupportsErrorInfo(REFIID riid) override;

  // KivInEventTarget (event_firing.cc).
  std::int32_t FireServiceRequested(bool withSocketId, std::int32_t sd, BSTR source,
                                    BSTR serviceName, const VARIANT& inParams, VARIANT* outParams,
                                    std::int32_t* retCode) override;
  void FireOnlineStatusUpdate(std::int32_t satId, std::int32_t status) override;

 private:
  // The identity of the object: never delegates.
  class Inner final : public IUnknown {
   public:
    explicit Inner(CKivIn* object) : object_(object) {}
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG AddRef() override;
    ULONG Release() override;

   private:
    CKivIn* object_;
  };

  // Only Release of the inner unknown deletes the object.
  ~CKivIn();

  ModuleLock moduleLock_;
  RefCount refs_;
  Inner inner_;
  IUnknown* const outer_;  // the controlling unknown: `outer` or &inner_
  ConnectionPoint events_;
  // Declared last and reset first in the destructor: the sink's shutdown
  // waits for events still being fired through events_.
  std::unique_ptr<CKivSink> sink_;
};

// Invokes an IKivIn method by dispatch id with arguments from DISPPARAMS
// (last argument first, as COM passes them). See CKivIn::Invoke.
HRESULT InvokeKivIn(IKivIn* object, DISPID dispIdMember, WORD wFlags, DISPPARAMS* pDispParams,
                    VARIANT* pVarResult, UINT* puArgErr);

}  // namespace kiv::com
