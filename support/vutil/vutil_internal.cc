#include "support/vutil/vutil_internal.h"

#include "kiv/kiv_exception.h"
#include "support/text/wide_format.h"

namespace kiv::vutil {
namespace {

// Only one-dimensional arrays: the element functions read one index per
// dimension, and VUtil passes exactly one.
bool Holds(SAFEARRAY* psa, VARTYPE elementType) {
  if (psa == nullptr || psa->cDims != 1) return false;
  if (elementType == VT_EMPTY) return true;
  VARTYPE actual = VT_EMPTY;
  return SafeArrayGetVartype(psa, &actual) == S_OK && actual == elementType;
}

}  // namespace

void Fail(const char16_t* message) {
  throw KivInvalidParameterException(message);
}

void Fail(const std::u16string& message) {
  throw KivInvalidParameterException(message.c_str());
}

SAFEARRAY* ArrayIn(const VARIANT& v) {
  if ((v.vt & VT_ARRAY) == 0) return nullptr;
  if ((v.vt & VT_BYREF) != 0) return v.pparray != nullptr ? *v.pparray : nullptr;
  return v.parray;
}

bool HoldsVector(const VARIANT& v, VARTYPE elementType) {
  return Holds(ArrayIn(v), elementType);
}

bool ReadElement(const VARIANT& array, LONG index, VARTYPE elementType, void* out) {
  SAFEARRAY* psa = ArrayIn(array);
  return Holds(psa, elementType) && SafeArrayGetElement(psa, &index, out) == S_OK;
}

bool WriteElement(const VARIANT& array, LONG index, VARTYPE elementType, void* value) {
  SAFEARRAY* psa = ArrayIn(array);
  return Holds(psa, elementType) && SafeArrayPutElement(psa, &index, value) == S_OK;
}

std::u16string TextOf(const char16_t* text) {
  return text != nullptr ? std::u16string(text) : std::u16string();
}

std::u16string Prefix(const char16_t* context) {
  return context != nullptr ? WideFormat(u"%s: ", context) : std::u16string();
}

}  // namespace kiv::vutil
