// VUtil: reading and building the VARIANT values that travel as service
// arguments and results (one-dimensional zero-based arrays, key/value pairs,
// return codes) and dumping any value as readable XML-like text.
// Every operation reports a value of the wrong shape, or a failing platform
// call, by throwing KivInvalidParameterException with a fixed message, and
// frees its temporaries first; outputs of a failed call stay as they were
// (except GetElement into a VARIANT, which has cleared it). The caller keeps
// ownership of what it passes in. Stateless: safe on any thread as long as
// no other thread changes the values passed in.
#pragma once

#include <ctime>
#include <string>

#include "kiv/export.h"
#include "kiv/kiv_exception.h"
#include "kiv/oleaut.h"

// `long` and `unsigned long` stand for the 32-bit VT_I4 and VT_UI4 values,
// as in OLE Automation; on this platform they are wider and are filled
// from the 32-bit value.
namespace VUtil {

// Arrays. An "array of T" is a VARIANT of type VT_ARRAY | T holding a
// one-dimensional SAFEARRAY with lower bound 0.

// Stores a new array of count elements in v without clearing what v held.
KIV_API void CreateArray(VARIANT& v, VARTYPE elementType, ULONG count);
KIV_API void ResizeArray(VARIANT& v, ULONG count);
// Throws when v is no array or its lower bound is not 0.
KIV_API LONG GetArrayLength(const VARIANT& v);
// As GetArrayLength, but VT_EMPTY counts as an empty array.
KIV_API LONG GetArrayLengthEmpty(const VARIANT& v);

// Strict reads: the array must be exactly an array of the element type.
KIV_API void GetElement(const VARIANT& array, LONG index, VARIANT* out);  // clears *out first
KIV_API void GetElement(const VARIANT& array, LONG index, std::u16string* out);
KIV_API void GetElement(const VARIANT& array, LONG index, long* out);
KIV_API void GetElement(const VARIANT& array, LONG index, int* out);
KIV_API void GetElement(const VARIANT& array, LONG index, double* out);
KIV_API void GetElement(const VARIANT& array, LONG index, float* out);
KIV_API void GetElement(const VARIANT& array, LONG index, unsigned long* out);
KIV_API void GetElement(const VARIANT& array, LONG index, short* out);
KIV_API void GetElement(const VARIANT& array, LONG index, unsigned short* out);
KIV_API void GetElementBool(const VARIANT& array, LONG index, VARIANT_BOOL* out);

// Lenient reads: an array of the type itself, or an array of variants whose
// element holds a scalar of the type. Strings are taken up to their first
// zero unit.
KIV_API std::u16string GetStringElement(const VARIANT& array, LONG index);  // VT_EMPTY: ""
KIV_API bool GetBoolElement(const VARIANT& array, LONG index);
KIV_API long GetLongElement(const VARIANT& array, LONG index);
KIV_API int GetIntElement(const VARIANT& array, LONG index);
KIV_API short GetShortElement(const VARIANT& array, LONG index);
KIV_API unsigned short GetUShortElement(const VARIANT& array, LONG index);
KIV_API double GetDoubleElement(const VARIANT& array, LONG index);
KIV_API float GetFloatElement(const VARIANT& array, LONG index);  // R4 or R8, narrowed
KIV_API std::time_t GetDateElement(const VARIANT& array, LONG index);
// VT_EMPTY elements read as 0.
KIV_API long GetLongElementEmpty(const VARIANT& array, LONG index);
// VT_EMPTY and VT_NULL read as false; I2, BOOL, UI2, I4 and UI4 as value != 0.
KIV_API bool GetBoolElementEmpty(const VARIANT& array, LONG index);

// Writes. The untyped form copies *value with the platform's element write
// (for a BSTR array, value is the BSTR itself). The typed forms write into
// an array of their own type or, as a VARIANT of that type, into an array
// of variants; the array copies the value.
KIV_API void PutElement(VARIANT& array, LONG index, void* value);
KIV_API void PutElement(VARIANT& array, LONG index, unsigned char value);
KIV_API void PutElement(VARIANT& array, LONG index, bool value);
KIV_API void PutElement(VARIANT& array, LONG index, const std::u16string& value);
KIV_API void PutElement(VARIANT& array, LONG index, const char16_t* value);  // null: ""
KIV_API void PutElement(VARIANT& array, LONG index, short value);
KIV_API void PutElement(VARIANT& array, LONG index, unsigned short value);
KIV_API void PutElement(VARIANT& array, LONG index, int value);
// Throws when value does not fit the 32 bits of VT_I4.
KIV_API void PutElement(VARIANT& array, LONG index, long value);
KIV_API void PutElement(VARIANT& array, LONG index, double value);
KIV_API void PutElement(VARIANT& array, LONG index, float value);
// A date given as time_t seconds. Named apart from PutElement because
// time_t is `long` here and would collide with the VT_I4 form.
KIV_API void PutDateElement(VARIANT& array, LONG index, std::time_t value);

// Byte arrays. PutBinaryIntoVariant replaces v with an array of VT_UI1
// holding a copy of the bytes. GetBinaryElement reads such an array from an
// array of variants into a malloc'ed buffer that the caller frees with
// free(); it returns the byte count.
KIV_API void PutBinaryIntoVariant(VARIANT& v, const void* data, int size);
KIV_API int GetBinaryElement(const VARIANT& array, LONG index, BYTE** data);

// Type checks; context (may be null) prefixes the message as "context: ".
KIV_API void checkType(const VARIANT& v, VARTYPE expected, const char16_t* context);
// An array of elementType with exactly length elements, or at least length
// when orLonger is set.
KIV_API void checkArrayType(const VARIANT& v, VARTYPE elementType, int length, bool orLonger,
                            const char16_t* context);
KIV_API void checkArrayType(const VARIANT& v, VARTYPE elementType, int length,
                            const char16_t* context);

// Return codes: a VT_I4, or an array whose element 0 is a 32-bit integer.
KIV_API long GetSingleRetcode(const VARIANT& v);
// Throws unless the code is 0; a value of another type counts as -1.
KIV_API void CheckSingleRetcode(const VARIANT& v, const char16_t* context);
// Element 0 of an array of variants, which must be a VT_BSTR.
KIV_API void GetSingleOutParamString(const VARIANT& v, std::u16string& out);

// Pairs: an element of an array of variants that is a two-element array of
// variants, key (VT_BSTR) at 0 and value at 1.
KIV_API void PutPair(VARIANT& array, LONG index, const std::u16string& key,
                     const std::u16string& value);
KIV_API void PutPair(VARIANT& array, LONG index, const std::u16string& key, int value);
KIV_API void PutPair(VARIANT& array, LONG index, const std::u16string& key, const VARIANT& value);
KIV_API void GetPair(const VARIANT& array, LONG index, std::u16string& key, std::u16string& value);
// The first pair whose key matches exactly; VT_EMPTY elements are skipped.
KIV_API bool FindPair(const VARIANT& array, std::u16string key, std::u16string& value);
// As FindPair, keys compared after lowering each unit by the global
// locale's rule. The int form reads a string value as a number (leading
// blanks and sign, then decimal digits; 0 when there are none) and
// VT_EMPTY as 0.
KIV_API bool FindPairNoCase(const VARIANT& array, std::u16string key, std::u16string& value);
KIV_API bool FindPairNoCase(const VARIANT& array, std::u16string key, int& value);
KIV_API bool FindPairNoCase(const VARIANT& array, std::u16string key, VARIANT& value);

// Dates: DATE days since 1899-12-30 <-> time_t seconds since 1970-01-01,
// no time-zone shift, rounded to the nearest second. DateToTime throws for
// a DATE that is not finite or lies past the time_t range.
KIV_API std::time_t DateToTime(DATE date);
KIV_API DATE TimeToDate(std::time_t seconds);

// "Dumping " + title + ": " and the value's lines, "<var vt=...>" elements
// indented two blanks per level and ended by "\r\n". A value that cannot be
// read is shown as an "<Error>message</Error>" line. Throws only bad_alloc.
KIV_API std::u16string DumpVariant(const VARIANT& v, const std::u16string& title);

}  // namespace VUtil
