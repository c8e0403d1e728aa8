// VARIANT lifetime. A variant owns its string, its array and one reference
// on its interface; by-reference variants own nothing.
#include <cstring>

#include "kiv/oleaut.h"
#include "support/oleaut/safearray_layout.h"
#include "support/oleaut/value_ops.h"

namespace {

constexpr VARTYPE kModifierBits = VT_ARRAY | VT_BYREF;

bool IsValidVariantType(VARTYPE vt) {
  if ((vt & ~(kModifierBits | VT_TYPEMASK)) != 0) return false;
  const VARTYPE base = vt & VT_TYPEMASK;
  const bool byRef = (vt & VT_BYREF) != 0;
  if ((vt & VT_ARRAY) != 0) return kiv::oleaut::ElementSize(base) != 0;
  switch (base) {
    case VT_EMPTY:
    case VT_NULL:
      return !byRef;
    // A variant holds another variant only through a pointer.
    case VT_VARIANT:
      return byRef;
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_ERROR:
    case VT_BOOL:
    case VT_UNKNOWN:
    case VT_DECIMAL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
      return true;
    // VT_RECORD needs IRecordInfo, which this layer does not know.
    default:
      return false;
  }
}

void Reset(VARIANT* value) {
  std::memset(value, 0, sizeof(VARIANT));
}

}  // namespace

extern "C" {

void VariantInit(VARIANT* value) {
  if (value != nullptr) Reset(value);
}

HRESULT VariantClear(VARIANT* value) {
  if (value == nullptr) return E_INVALIDARG;
  const VARTYPE vt = value->vt;
  if (!IsValidVariantType(vt)) return DISP_E_BADVARTYPE;
  if ((vt & VT_BYREF) == 0) {
    if ((vt & VT_ARRAY) != 0) {
      // A locked array stays where it is, still owned by the variant.
      const HRESULT hr = SafeArrayDestroy(value->parray);
      if (hr != S_OK) return hr;
    } else if (vt == VT_BSTR) {
      SysFreeString(value->bstrVal);
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
      kiv::oleaut::ReleaseInterface(value->punkVal);
    }
  }
  Reset(value);
  return S_OK;
}

HRESULT VariantCopy(VARIANT* destination, const VARIANT* source) {
  if (destination == nullptr || source == nullptr) return E_INVALIDARG;
  if (destination == source) return S_OK;
  const VARTYPE vt = source->vt;
  if (!IsValidVariantType(vt)) return DISP_E_BADVARTYPE;

  // Copy before clearing: the source may live inside what the destination
  // owns (an element of its array), and clearing first would free it.
  VARIANT copy;
  std::memcpy(&copy, source, sizeof(VARIANT));
  if ((vt & VT_BYREF) == 0) {
    if ((vt & VT_ARRAY) != 0) {
      const HRESULT hr = SafeArrayCopy(source->parray, &copy.parray);
      if (hr != S_OK) return hr;
    } else if (vt == VT_BSTR) {
      copy.bstrVal = kiv::oleaut::CopyBstr(source->bstrVal);
      if (copy.bstrVal == nullptr && source->bstrVal != nullptr) return E_OUTOFMEMORY;
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
      kiv::oleaut::AddRefInterface(copy.punkVal);
    }
  }
  const HRESULT hr = VariantClear(destination);
  if (hr != S_OK) {
    VariantClear(&copy);
    return hr;
  }
  std::memcpy(destination, &copy, sizeof(VARIANT));
  return S_OK;
}

}  // extern "C"
