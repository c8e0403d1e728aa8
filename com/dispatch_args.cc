// Argument readers for IDispatch::Invoke.
#include "com/dispatch_args.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace kiv::com {

namespace {

bool FitsLong(std::int64_t value) {
  return value >= std::numeric_limits<LONG>::min() && value <= std::numeric_limits<LONG>::max();
}

// The value behind one level of VT_BYREF|VT_VARIANT; null when it points
// nowhere.
const VARIANT* Followed(const VARIANT& argument) {
  if (argument.vt == (VT_BYREF | VT_VARIANT)) return argument.pvarVal;
  return &argument;
}

}  // namespace

VARIANT& DispatchArgs::At(UINT position) const {
  return params_->rgvarg[params_->cArgs - 1 - position];
}

HRESULT DispatchArgs::Refuse(UINT position, HRESULT code) const {
  if (argErr_ != nullptr) *argErr_ = params_->cArgs - 1 - position;
  return code;
}

HRESULT DispatchArgs::Expect(UINT count) const {
  if (params_ == nullptr) return E_POINTER;
  if (params_->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
  if (params_->cArgs != count) return DISP_E_BADPARAMCOUNT;
  if (count > 0 && params_->rgvarg == nullptr) return E_INVALIDARG;
  return S_OK;
}

HRESULT DispatchArgs::Long(UINT position, LONG* value) const {
  const VARIANT* v = Followed(At(position));
  if (v == nullptr) return Refuse(position, E_POINTER);
  const bool byRef = (v->vt & VT_BYREF) != 0;
  if (byRef && v->byref == nullptr) return Refuse(position, E_POINTER);
  std::int64_t number = 0;
  switch (v->vt & ~VT_BYREF) {
    case VT_I1:
      number = byRef ? *v->pcVal : v->cVal;
      break;
    case VT_UI1:
      number = byRef ? *v->pbVal : v->bVal;
      break;
    case VT_I2:
      number = byRef ? *v->piVal : v->iVal;
      break;
    case VT_UI2:
      number = byRef ? *v->puiVal : v->uiVal;
      break;
    case VT_I4:
    case VT_INT:
      number = byRef ? *v->plVal : v->lVal;
      break;
    case VT_UI4:
    case VT_UINT:
      number = byRef ? *v->pulVal : v->ulVal;
      break;
    case VT_I8:
      number = byRef ? *v->pllVal : v->llVal;
      break;
    case VT_UI8: {
      const ULONGLONG u = byRef ? *v->pullVal : v->ullVal;
      if (u > static_cast<ULONGLONG>(std::numeric_limits<LONG>::max())) {
        return Refuse(position, DISP_E_OVERFLOW);
      }
      number = static_cast<std::int64_t>(u);
      break;
    }
    case VT_R8:
    case VT_R4: {
      const double d = (v->vt & ~VT_BYREF) == VT_R8 ? (byRef ? *v->pdblVal : v->dblVal)
                                                    : (byRef ? *v->pfltVal : v->fltVal);
      if (!std::isfinite(d) || std::trunc(d) != d) return Refuse(position, DISP_E_TYPEMISMATCH);
      if (d < std::numeric_limits<LONG>::min() || d > std::numeric_limits<LONG>::max()) {
        return Refuse(position, DISP_E_OVERFLOW);
      }
      number = static_cast<std::int64_t>(d);
      break;
    }
    default:
      return Refuse(position, DISP_E_TYPEMISMATCH);
  }
  if (!FitsLong(number)) return Refuse(position, DISP_E_OVERFLOW);
  *value = static_cast<LONG>(number);
  return S_OK;
}

HRESULT DispatchArgs::String(UINT position, BSTR* value) const {
  const VARIANT* v = Followed(At(position));
  if (v == nullptr) return Refuse(position, E_POINTER);
  switch (v->vt) {
    case VT_BSTR:
      *value = v->bstrVal;
      return S_OK;
    case VT_BYREF | VT_BSTR:
      if (v->pbstrVal == nullptr) return Refuse(position, E_POINTER);
      *value = *v->pbstrVal;
      return S_OK;
    case VT_EMPTY:
    case VT_NULL:
      *value = nullptr;
      return S_OK;
    default:
      return Refuse(position, DISP_E_TYPEMISMATCH);
  }
}

HRESULT DispatchArgs::Value(UINT position, VARIANT* value) const {
  const VARIANT* v = Followed(At(position));
  if (v == nullptr) return Refuse(position, E_POINTER);
  // Borrowed, not copied: the callee takes it by value and copies what it keeps.
  *value = *v;
  return S_OK;
}

HRESULT DispatchArgs::VariantRef(UINT position, bool byValueAllowed, VARIANT** target) const {
  VARIANT& argument = At(position);
  if (argument.vt == (VT_BYREF | VT_VARIANT)) {
    if (argument.pvarVal == nullptr) return Refuse(position, E_POINTER);
    *target = argument.pvarVal;
    return S_OK;
  }
  if (!byValueAllowed || (argument.vt & VT_BYREF) != 0) {
    return Refuse(position, DISP_E_TYPEMISMATCH);
  }
  *target = &argument;
  return S_OK;
}

HRESULT DispatchArgs::LongRef(UINT position, VARIANT** target) const {
  VARIANT& argument = At(position);
  if (argument.vt != (VT_BYREF | VT_I4) && argument.vt != (VT_BYREF | VT_VARIANT)) {
    return Refuse(position, DISP_E_TYPEMISMATCH);
  }
  if (argument.byref == nullptr) return Refuse(position, E_POINTER);
  *target = &argument;
  return S_OK;
}

void StoreLong(VARIANT* target, LONG value) {
  if (target->vt == (VT_BYREF | VT_I4)) {
    *target->plVal = value;
    return;
  }
  VARIANT* out = target->pvarVal;
  VariantClear(out);
  out->vt = VT_I4;
  out->lVal = value;
}

}  // namespace kiv::com
