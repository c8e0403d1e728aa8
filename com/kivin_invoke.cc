// IDispatch::Invoke for IKivIn: reads each method's arguments from
// DISPPARAMS by position, calls the method through the interface and puts
// its result code into *pVarResult. Methods take no named arguments and
// have no properties.
#include <limits>

#include "com/ckivin.h"
#include "com/dispatch_args.h"

namespace kiv::com {

namespace {

// An integer output that the method may leave unwritten: the caller's
// current 32-bit value goes in, and only a changed value is stored back, so
// an untouched output stays as the caller had it.
class LongOut {
 public:
  explicit LongOut(VARIANT* target) : target_(target) {
    if (target->vt == (VT_BYREF | VT_I4)) {
      value_ = *target->plVal;
    } else if (target->pvarVal->vt == VT_I4) {
      value_ = target->pvarVal->lVal;
    }
    initial_ = value_;
  }
  LONG* get() { return &value_; }
  void Store() {
    if (value_ != initial_) StoreLong(target_, value_);
  }

 private:
  VARIANT* target_;
  // No satellite id or status takes this value, so it marks "not written"
  // for an output that held no integer.
  LONG value_ = std::numeric_limits<LONG>::min();
  LONG initial_;
};

// Reads the arguments of method `id` and calls it; the method's own result
// goes into *ran. Returns the refusal of an argument, or S_OK.
HRESULT Call(IKivIn* o, DISPID id, const DispatchArgs& a, HRESULT* ran) {
  HRESULT hr = S_OK;
  switch (id) {
    case kDispCreateServices: {
      VARIANT* services;
      LONG count;
      if (FAILED(hr = a.Expect(2)) || FAILED(hr = a.VariantRef(0, false, &services)) ||
          FAILED(hr = a.Long(1, &count))) {
        return hr;
      }
      *ran = o->CreateServices(services, count);
      return S_OK;
    }
    case kDispSetService: {
      VARIANT* services;
      LONG index;
      BSTR name;
      BSTR description;
      if (FAILED(hr = a.Expect(4)) || FAILED(hr = a.VariantRef(0, true, &services)) ||
          FAILED(hr = a.Long(1, &index)) || FAILED(hr = a.String(2, &name)) ||
          FAILED(hr = a.String(3, &description))) {
        return hr;
      }
      *ran = o->SetService(services, index, name, description);
      return S_OK;
    }
    case kDispVarArrayCreate: {
      VARIANT* array;
      LONG size;
      if (FAILED(hr = a.Expect(2)) || FAILED(hr = a.VariantRef(0, false, &array)) ||
          FAILED(hr = a.Long(1, &size))) {
        return hr;
      }
      // The caller's variant is replaced, so what it held is freed first.
      VariantClear(array);
      *ran = o->VarArrayCreate(array, size);
      return S_OK;
    }
    case kDispVarArrayGetElement: {
      VARIANT* array;
      LONG index;
      VARIANT* element;
      if (FAILED(hr = a.Expect(3)) || FAILED(hr = a.VariantRef(0, true, &array)) ||
          FAILED(hr = a.Long(1, &index)) || FAILED(hr = a.VariantRef(2, false, &element))) {
        return hr;
      }
      *ran = o->VarArrayGetElement(array, index, element);
      return S_OK;
    }
    case kDispVarArraySetElement: {
      VARIANT* array;
      LONG index;
      VARIANT element;
      if (FAILED(hr = a.Expect(3)) || FAILED(hr = a.VariantRef(0, true, &array)) ||
          FAILED(hr = a.Long(1, &index)) || FAILED(hr = a.Value(2, &element))) {
        return hr;
      }
      *ran = o->VarArraySetElement(array, index, element);
      return S_OK;
    }
    case kDispUnRegister: {
      VARIANT* services;
      VARIANT* retCode;
      if (FAILED(hr = a.Expect(2)) || FAILED(hr = a.VariantRef(0, true, &services)) ||
          FAILED(hr = a.VariantRef(1, false, &retCode))) {
        return hr;
      }
      *ran = o->UnRegister(services, retCode);
      return S_OK;
    }
    case kDispRequest: {
      BSTR destination;
      BSTR service;
      VARIANT in;
      VARIANT* out;
      LONG flags;
      VARIANT* retCode;
      if (FAILED(hr = a.Expect(6)) || FAILED(hr = a.String(0, &destination)) ||
          FAILED(hr = a.String(1, &service)) || FAILED(hr = a.Value(2, &in)) ||
          FAILED(hr = a.VariantRef(3, false, &out)) || FAILED(hr = a.Long(4, &flags)) ||
          FAILED(hr = a.VariantRef(5, false, &retCode))) {
        return hr;
      }
      *ran = o->Request(destination, service, in, out, static_cast<KIVFLAGS>(flags), retCode);
      return S_OK;
    }
    case kDispRegister: {
      BSTR directory;
      BSTR name;
      VARIANT* services;
      VARIANT* retCode;
      if (FAILED(hr = a.Expect(4)) || FAILED(hr = a.String(0, &directory)) ||
          FAILED(hr = a.String(1, &name)) || FAILED(hr = a.VariantRef(2, true, &services)) ||
          FAILED(hr = a.VariantRef(3, false, &retCode))) {
        return hr;
      }
      *ran = o->Register(directory, name, services, retCode);
      return S_OK;
    }
    case kDispGetSatelliteId: {
      VARIANT* target;
      if (FAILED(hr = a.Expect(1)) || FAILED(hr = a.LongRef(0, &target))) return hr;
      LongOut id(target);
      *ran = o->GetSatelliteId(id.get());
      id.Store();
      return S_OK;
    }
    case kDispPingSatellite: {
      BSTR name;
      LONG satId;
      VARIANT* target;
      if (FAILED(hr = a.Expect(3)) || FAILED(hr = a.String(0, &name)) ||
          FAILED(hr = a.Long(1, &satId)) || FAILED(hr = a.LongRef(2, &target))) {
        return hr;
      }
      LongOut status(target);
      *ran = o->PingSatellite(name, satId, reinterpret_cast<KIVSTATUS*>(status.get()));
      status.Store();
      return S_OK;
    }
    case kDispTerminateSatellite:
      if (FAILED(hr = a.Expect(0))) return hr;
      *ran = o->TerminateSatellite();
      return S_OK;
    case kDispDirectoryPingSatellite: {
      BSTR name;
      BSTR host;
      LONG port;
      LONG satId;
      VARIANT* target;
      if (FAILED(hr = a.Expect(5)) || FAILED(hr = a.String(0, &name)) ||
          FAILED(hr = a.String(1, &host)) || FAILED(hr = a.Long(2, &port)) ||
          FAILED(hr = a.Long(3, &satId)) || FAILED(hr = a.LongRef(4, &target))) {
        return hr;
      }
      LongOut status(target);
      *ran = o->DirectoryPingSatellite(name, host, port, satId,
                                       reinterpret_cast<KIVSTATUS*>(status.get()));
      status.Store();
      return S_OK;
    }
    case kDispDirectoryRegister: {
      BSTR directory;
      LONG port;
      BSTR name;
      VARIANT* services;
      VARIANT* retCode;
      if (FAILED(hr = a.Expect(5)) || FAILED(hr = a.String(0, &directory)) ||
          FAILED(hr = a.Long(1, &port)) || FAILED(hr = a.String(2, &name)) ||
          FAILED(hr = a.VariantRef(3, true, &services)) ||
          FAILED(hr = a.VariantRef(4, false, &retCode))) {
        return hr;
      }
      *ran = o->DirectoryRegister(directory, port, name, services, retCode);
      return S_OK;
    }
    case kDispSetLog:
      // The argument is ignored, whatever it holds.
      if (FAILED(hr = a.Expect(1))) return hr;
      *ran = o->SetLog(nullptr);
      return S_OK;
    case kDispAddUser:
    case kDispRemoveUser: {
      BSTR user;
      if (FAILED(hr = a.Expect(1)) || FAILED(hr = a.String(0, &user))) return hr;
      *ran = id == kDispAddUser ? o->AddUser(user) : o->RemoveUser(user);
      return S_OK;
    }
    default:
      return DISP_E_MEMBERNOTFOUND;
  }
}

bool KnownMember(DISPID id) {
  return id >= kDispCreateServices && id <= kDispRemoveUser && id != 12;
}

}  // namespace

HRESULT InvokeKivIn(IKivIn* object, DISPID dispIdMember, WORD wFlags, DISPPARAMS* pDispParams,
                    VARIANT* pVarResult, UINT* puArgErr) {
  if (!KnownMember(dispIdMember)) return DISP_E_MEMBERNOTFOUND;
  // Script hosts call a method without parentheses as a property get.
  if ((wFlags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0 ||
      (wFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0) {
    return DISP_E_MEMBERNOTFOUND;
  }
  if (pDispParams == nullptr) return E_POINTER;
  const DispatchArgs args(pDispParams, puArgErr);
  HRESULT result = S_OK;
  const HRESULT refusal = Call(object, dispIdMember, args, &result);
  if (FAILED(refusal)) return refusal;
  // The object's own refusals of a value are dispatch failures too; every
  // other answer (0, engine codes, -1) is the method's result code.
  if (result == E_POINTER || result == E_INVALIDARG || result == E_OUTOFMEMORY ||
      result == E_UNEXPECTED) {
    return result;
  }
  if (pVarResult != nullptr) {
    VariantClear(pVarResult);
    pVarResult->vt = VT_I4;
    pVarResult->lVal = result;
  }
  return S_OK;
}

}  // namespace kiv::com
