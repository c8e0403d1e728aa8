// The array methods of IKivIn: a one-dimensional array of variants for
// scripts that cannot build SAFEARRAYs themselves, and element access by a
// zero-based index. An array held by reference is refused.
#include "com/ckivin.h"
#include "com/kivin_codes.h"
#include "kiv/value.h"

namespace kiv::com {

namespace {

// The array the value holds when it may be indexed with a single zero-based
// index up to its first dimension's upper bound; null otherwise.
SAFEARRAY* IndexableArray(const VARIANT* value, LONG index) {
  if (value == nullptr || (value->vt & VT_ARRAY) == 0 || (value->vt & VT_BYREF) != 0) {
    return nullptr;
  }
  SAFEARRAY* array = value->parray;
  LONG upper = 0;
  // One index reaches only a one-dimensional array.
  if (array == nullptr || SafeArrayGetDim(array) != 1 ||
      SafeArrayGetUBound(array, 1, &upper) != S_OK || index < 0 || index > upper) {
    return nullptr;
  }
  return array;
}

// Element types whose value fits the variant's 8-byte value field.
bool FitsValueField(VARTYPE type) {
  switch (type) {
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_I8:
    case VT_UI8:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BOOL:
    case VT_ERROR:
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return true;
    default:
      return false;
  }
}

}  // namespace

HRESULT CKivIn::VarArrayCreate(VARIANT* pArray, LONG Size) {
  if (pArray == nullptr) return E_POINTER;
  // As documented: what pArray held is overwritten, not freed.
  VariantInit(pArray);
  pArray->vt = VT_ARRAY | VT_VARIANT;
  pArray->parray =
      Size >= 0 ? SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(Size)) : nullptr;
  return pArray->parray != nullptr ? S_OK : KIVIN_RC_NO_ARRAY;
}

HRESULT CKivIn::VarArrayGetElement(VARIANT* pArray, LONG Index, VARIANT* Element) {
  SAFEARRAY* array = IndexableArray(pArray, Index);
  if (array == nullptr) return KIVIN_RC_NOT_AN_ARRAY;
  if (Element == nullptr) return E_POINTER;
  VARTYPE type = VT_EMPTY;
  if (SafeArrayGetVartype(array, &type) != S_OK) return KIVIN_RC_ELEMENT_FAILED;
  VARIANT read;
  VariantInit(&read);
  if (type == VT_VARIANT) {
    if (SafeArrayGetElement(array, &Index, &read) != S_OK) return KIVIN_RC_ELEMENT_FAILED;
  } else {
    if (!FitsValueField(type)) return KIVIN_RC_ELEMENT_FAILED;
    if (SafeArrayGetElement(array, &Index, &read.llVal) != S_OK) return KIVIN_RC_ELEMENT_FAILED;
    read.vt = type;
  }
  VariantClear(Element);
  *Element = read;
  return S_OK;
}

HRESULT CKivIn::VarArraySetElement(VARIANT* pArray, LONG Index, VARIANT Element) {
  SAFEARRAY* array = IndexableArray(pArray, Index);
  if (array == nullptr) return KIVIN_RC_NOT_AN_ARRAY;
  VARTYPE type = VT_EMPTY;
  if (SafeArrayGetVartype(array, &type) != S_OK) return KIVIN_RC_ELEMENT_FAILED;
  void* source = nullptr;
  if (type == VT_VARIANT) {
    source = &Element;
  } else if (Element.vt == type && FitsValueField(type)) {
    // Arrays of strings and interfaces take the pointer itself, the others
    // the value's bytes.
    const bool pointer = type == VT_BSTR || type == VT_UNKNOWN || type == VT_DISPATCH;
    source = pointer ? Element.byref : &Element.llVal;
  } else {
    return KIVIN_RC_ELEMENT_FAILED;
  }
  return SafeArrayPutElement(array, &Index, source) == S_OK ? S_OK : KIVIN_RC_ELEMENT_FAILED;
}

}  // namespace kiv::com
