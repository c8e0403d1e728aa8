// Helpers shared by the VUtil sources: throwing the fixed messages and
// reading or writing one element of a one-dimensional array after checking
// that the array really holds elements of the expected type, so that a
// VARIANT whose type word disagrees with its array, or a multi-dimensional
// array, fails like a refused platform call instead of touching memory it
// should not. Stateless; any thread.
#pragma once

#include <string>
#include <string_view>

#include "kiv/oleaut.h"

namespace kiv::vutil {

[[noreturn]] void Fail(const char16_t* message);
[[noreturn]] void Fail(const std::u16string& message);

constexpr VARTYPE ArrayOf(VARTYPE elementType) {
  return static_cast<VARTYPE>(VT_ARRAY | elementType);
}

// The array a VARIANT holds (through the reference for VT_BYREF), or null
// when it holds none.
SAFEARRAY* ArrayIn(const VARIANT& v);

// Whether `v` holds a one-dimensional array of elementType elements.
bool HoldsVector(const VARIANT& v, VARTYPE elementType);

// Element access on the one-dimensional array in `array`, whose elements
// must be of elementType (VT_EMPTY: any type, for the untyped write).
// `out` and `value` follow SafeArrayGetElement / SafeArrayPutElement.
bool ReadElement(const VARIANT& array, LONG index, VARTYPE elementType, void* out);
bool WriteElement(const VARIANT& array, LONG index, VARTYPE elementType, void* value);

// The text of a string up to its first zero unit; null reads as "".
std::u16string TextOf(const char16_t* text);

// "context: " when a context is given, else nothing.
std::u16string Prefix(const char16_t* context);

}  // namespace kiv::vutil
