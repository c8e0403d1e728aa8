// Element writes, untyped and typed.
#include <limits>

#include "kiv/value.h"
#include "kiv/vutil.h"
#include "support/vutil/vutil_internal.h"

namespace VUtil {

using kiv::vutil::ArrayOf;
using kiv::vutil::Fail;
using kiv::vutil::WriteElement;

namespace {

constexpr const char16_t* kPutFailed = u"SafeArrayPutElement failed";

// Writes `raw` (the element's own layout) into an array of elementType, or
// `scalar` (a VARIANT of that type, which the caller still owns) into an
// array of variants.
void PutTyped(VARIANT& array, LONG index, VARTYPE elementType, void* raw, VARIANT& scalar,
              const char16_t* wrongArray) {
  void* value = nullptr;
  if (array.vt == ArrayOf(elementType)) {
    value = raw;
  } else if (array.vt == ArrayOf(VT_VARIANT)) {
    value = &scalar;
  } else {
    Fail(wrongArray);
  }
  if (!WriteElement(array, index, static_cast<VARTYPE>(array.vt & VT_TYPEMASK), value)) {
    Fail(kPutFailed);
  }
}

template <typename Field, typename T>
void PutScalar(VARIANT& array, LONG index, VARTYPE elementType, Field VARIANT::*field, T value,
               const char16_t* wrongArray) {
  kiv::Variant scalar;
  scalar->vt = elementType;
  (*scalar).*field = value;
  PutTyped(array, index, elementType, &((*scalar).*field), *scalar, wrongArray);
}

void PutString(VARIANT& array, LONG index, std::u16string_view text) {
  kiv::Variant scalar = kiv::Variant::String(text);
  // A BSTR array takes the BSTR itself, not its address.
  PutTyped(array, index, VT_BSTR, scalar->bstrVal, *scalar,
           u"PutElement failed: not an array of BSTR nor VARIANT");
}

}  // namespace

void PutElement(VARIANT& array, LONG index, void* value) {
  if (!WriteElement(array, index, VT_EMPTY, value)) Fail(kPutFailed);
}

void PutElement(VARIANT& array, LONG index, unsigned char value) {
  PutScalar(array, index, VT_UI1, &VARIANT::bVal, value,
            u"PutElement failed: not an array of UI1 nor VARIANT");
}

void PutElement(VARIANT& array, LONG index, bool value) {
  PutScalar(array, index, VT_BOOL, &VARIANT::boolVal, value ? VARIANT_TRUE : VARIANT_FALSE,
            u"PutElement failed: not an array of BOOL nor VARIANT");
}

void PutElement(VARIANT& array, LONG index, const std::u16string& value) {
  PutString(array, index, value);
}

void PutElement(VARIANT& array, LONG index, const char16_t* value) {
  PutString(array, index, value != nullptr ? std::u16string_view(value) : std::u16string_view());
}

void PutElement(VARIANT& array, LONG index, short value) {
  PutScalar(array, index, VT_I2, &VARIANT::iVal, value,
            u"PutElement failed: not an array of I2 nor VARIANT");
}

void PutElement(VARIANT& array, LONG index, unsigned short value) {
  PutScalar(array, index, VT_UI2, &VARIANT::uiVal, value,
            u"PutElement failed: not an array of UI2 nor VARIANT");
}

void PutElement(VARIANT& array, LONG index, int value) {
  PutScalar(array, index, VT_I4, &VARIANT::lVal, static_cast<LONG>(value),
            u"PutElement failed: not an array of I4 nor VARIANT");
}

void PutElement(VARIANT& array, LONG index, long value) {
  // long is 64 bits here; VT_I4 holds 32 and a silent cut would corrupt.
  const bool fits =
      value >= std::numeric_limits<LONG>::min() && value <= std::numeric_limits<LONG>::max();
  if (!fits && (array.vt == ArrayOf(VT_I4) || array.vt == ArrayOf(VT_VARIANT))) {
    Fail(u"PutElement failed: value out of the range of I4");
  }
  PutElement(array, index, static_cast<int>(value));
}

void PutElement(VARIANT& array, LONG index, double value) {
  PutScalar(array, index, VT_R8, &VARIANT::dblVal, value,
            u"PutElement failed: not an array of R8 nor VARIANT");
}

void PutElement(VARIANT& array, LONG index, float value) {
  PutScalar(array, index, VT_R4, &VARIANT::fltVal, value,
            u"PutElement failed: not an array of R4 nor VARIANT");
}

void PutDateElement(VARIANT& array, LONG index, std::time_t value) {
  PutScalar(array, index, VT_DATE, &VARIANT::date, TimeToDate(value),
            u"PutElement failed: not an array of DATE nor VARIANT");
}

}  // namespace VUtil
