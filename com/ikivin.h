// IKivIn, the dual interface of the automation object, and the dispatch ids
// of its methods and of the _IKivInEvents events. The slot order after
// IDispatch is the interface's contract with compiled clients: never reorder.
// Every method returns a 32-bit result code in the HRESULT slot; methods may
// be called from any thread at once (threading model "Free").
#pragma once

#include "kiv/com.h"
#include "kiv/status.h"

struct IKivIn : IDispatch {
  virtual HRESULT CreateServices(VARIANT* pVarServs, LONG NbServices) = 0;
  virtual HRESULT SetService(VARIANT* pVarServs, LONG Index, BSTR Name, BSTR Description) = 0;
  virtual HRESULT VarArrayCreate(VARIANT* pArray, LONG Size) = 0;
  virtual HRESULT VarArrayGetElement(VARIANT* pArray, LONG Index, VARIANT* Element) = 0;
  virtual HRESULT VarArraySetElement(VARIANT* pArray, LONG Index, VARIANT Element) = 0;
  virtual HRESULT UnRegister(VARIANT* Service, VARIANT* RetCode) = 0;
  virtual HRESULT Request(BSTR Destination, BSTR ServiceName, VARIANT InParams, VARIANT* OutParams,
                          KIVFLAGS Flags, VARIANT* RetCode) = 0;
  virtual HRESULT Register(BSTR Directory, BSTR SatName, VARIANT* Service, VARIANT* RetCode) = 0;
  virtual HRESULT GetSatelliteId(LONG* SatId) = 0;
  virtual HRESULT PingSatellite(BSTR SatName, LONG SatId, KIVSTATUS* Status) = 0;
  virtual HRESULT TerminateSatellite() = 0;
  virtual HRESULT DirectoryPingSatellite(BSTR SatName, BSTR HostName, LONG PortNumber, LONG SatId,
                                         KIVSTATUS* Status) = 0;
  virtual HRESULT DirectoryRegister(BSTR Directory, LONG Port, BSTR SatName, VARIANT* Service,
                                    VARIANT* RetCode) = 0;
  virtual HRESULT SetLog(BYTE* log) = 0;
  virtual HRESULT AddUser(BSTR user) = 0;
  virtual HRESULT RemoveUser(BSTR user) = 0;
};

namespace kiv::com {

// IKivIn dispatch ids (12 is not used).
enum KivInDispId : DISPID {
  kDispCreateServices = 3,
  kDispSetService = 4,
  kDispVarArrayCreate = 5,
  kDispVarArrayGetElement = 6,
  kDispVarArraySetElement = 7,
  kDispUnRegister = 8,
  kDispRequest = 9,
  kDispRegister = 10,
  kDispGetSatelliteId = 11,
  kDispPingSatellite = 13,
  kDispTerminateSatellite = 14,
  kDispDirectoryPingSatellite = 15,
  kDispDirectoryRegister = 16,
  kDispSetLog = 17,
  kDispAddUser = 18,
  kDispRemoveUser = 19,
};

// _IKivInEvents dispatch ids.
enum KivInEventDispId : DISPID {
  kEventServiceRequested = 1,
  kEventStatusRequested = 2,  // declared, never fired
  kEventServiceRequested2 = 3,
  kEventOnlineStatusUpdate = 4,
};

}  // namespace kiv::com
