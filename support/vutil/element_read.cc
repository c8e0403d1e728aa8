// Strict and lenient element reads.
#include "kiv/value.h"
#include "kiv/vutil.h"
#include "support/vutil/vutil_internal.h"

namespace VUtil {

using kiv::vutil::ArrayOf;
using kiv::vutil::Fail;
using kiv::vutil::ReadElement;

namespace {

// Reads the element into a Raw of the platform's element layout; *out is
// only written once the read has succeeded.
template <typename Raw>
Raw ReadStrict(const VARIANT& array, LONG index, VARTYPE elementType, const char16_t* wrongType) {
  if (array.vt != ArrayOf(elementType)) Fail(wrongType);
  Raw raw{};
  if (!ReadElement(array, index, elementType, &raw)) {
    Fail(u"SafeArrayGetElement failed in VUtil::GetElement");
  }
  return raw;
}

// The lenient pattern: an array of the type itself goes to `typed`; an
// element of an array of variants goes to `scalar`, which throws for a type
// it does not take. The temporary element is cleared on every path.
template <typename Typed, typename Scalar>
auto ReadLenient(const VARIANT& array, LONG index, VARTYPE ownType, const char16_t* notAnArray,
                 Typed typed, Scalar scalar) {
  if (array.vt == ArrayOf(ownType)) return typed();
  if (array.vt != ArrayOf(VT_VARIANT)) Fail(notAnArray);
  kiv::Variant element;
  GetElement(array, index, element.get());
  return scalar(*element);
}

}  // namespace

void GetElement(const VARIANT& array, LONG index, VARIANT* out) {
  if (array.vt != ArrayOf(VT_VARIANT)) {
    Fail(u"Variant passed to VUtil::GetElement is not a variant array");
  }
  VariantClear(out);
  if (!ReadElement(array, index, VT_VARIANT, out)) {
    Fail(u"SafeArrayGetElement failed in VUtil::GetElement");
  }
}

void GetElement(const VARIANT& array, LONG index, std::u16string* out) {
  const kiv::Bstr text = kiv::Bstr::Attach(ReadStrict<BSTR>(
      array, index, VT_BSTR, u"Variant passed to VUtil::GetElement is not a string array"));
  *out = kiv::vutil::TextOf(text.get());
}

void GetElement(const VARIANT& array, LONG index, long* out) {
  *out = ReadStrict<LONG>(array, index, VT_I4,
                          u"Variant passed to VUtil::GetElement is not a long array");
}

void GetElement(const VARIANT& array, LONG index, int* out) {
  *out = ReadStrict<LONG>(array, index, VT_I4,
                          u"Variant passed to VUtil::GetElement is not an int array");
}

void GetElement(const VARIANT& array, LONG index, double* out) {
  *out = ReadStrict<DOUBLE>(array, index, VT_R8,
                            u"Variant passed to VUtil::GetElement is not a double array");
}

void GetElement(const VARIANT& array, LONG index, float* out) {
  *out = ReadStrict<FLOAT>(array, index, VT_R4,
                           u"Variant passed to VUtil::GetElement is not a float array");
}

void GetElement(const VARIANT& array, LONG index, unsigned long* out) {
  *out = ReadStrict<ULONG>(array, index, VT_UI4,
                           u"Variant passed to VUtil::GetElement is not a unsigned long array");
}

void GetElement(const VARIANT& array, LONG index, short* out) {
  *out = ReadStrict<SHORT>(array, index, VT_I2,
                           u"Variant passed to VUtil::GetElement is not a short array");
}

void GetElement(const VARIANT& array, LONG index, unsigned short* out) {
  *out = ReadStrict<USHORT>(array, index, VT_UI2,
                            u"Variant passed to VUtil::GetElement is not a unsigned short array");
}

void GetElementBool(const VARIANT& array, LONG index, VARIANT_BOOL* out) {
  // The message names "short": VARIANT_BOOL is a 16-bit integer.
  *out = ReadStrict<VARIANT_BOOL>(array, index, VT_BOOL,
                                  u"Variant passed to VUtil::GetElement is not a short array");
}

std::u16string GetStringElement(const VARIANT& array, LONG index) {
  return ReadLenient(
      array, index, VT_BSTR, u"Not an array of variant or string",
      [&] {
        std::u16string text;
        GetElement(array, index, &text);
        return text;
      },
      [](const VARIANT& e) {
        if (e.vt == VT_EMPTY) return std::u16string();
        if (e.vt != VT_BSTR) Fail(u"Element is not a string");
        return kiv::vutil::TextOf(e.bstrVal);
      });
}

bool GetBoolElement(const VARIANT& array, LONG index) {
  return ReadLenient(
      array, index, VT_BOOL, u"Not an array of variant or bool",
      [&] {
        VARIANT_BOOL value = VARIANT_FALSE;
        GetElementBool(array, index, &value);
        return value != VARIANT_FALSE;
      },
      [](const VARIANT& e) {
        if (e.vt != VT_BOOL) Fail(u"Element is not a bool");
        return e.boolVal != VARIANT_FALSE;
      });
}

namespace {

// GetLongElement and GetIntElement differ only in their messages.
long ReadI4(const VARIANT& array, LONG index, const char16_t* notAnArray,
            const char16_t* wrongElement, bool emptyIsZero) {
  return ReadLenient(
      array, index, VT_I4, notAnArray,
      [&] {
        long value = 0;
        GetElement(array, index, &value);
        return value;
      },
      [&](const VARIANT& e) -> long {
        if (emptyIsZero && e.vt == VT_EMPTY) return 0;
        if (e.vt != VT_I4) Fail(wrongElement);
        return e.lVal;
      });
}

}  // namespace

long GetLongElement(const VARIANT& array, LONG index) {
  return ReadI4(array, index, u"Not an array of variant or long", u"Element is not a long", false);
}

long GetLongElementEmpty(const VARIANT& array, LONG index) {
  return ReadI4(array, index, u"Not an array of variant or long", u"Element is not a long", true);
}

int GetIntElement(const VARIANT& array, LONG index) {
  return static_cast<int>(
      ReadI4(array, index, u"Not an array of variant or int", u"Element is not an int", false));
}

short GetShortElement(const VARIANT& array, LONG index) {
  return ReadLenient(
      array, index, VT_I2, u"Not an array of variant or short",
      [&] {
        short value = 0;
        GetElement(array, index, &value);
        return value;
      },
      [](const VARIANT& e) {
        if (e.vt != VT_I2) Fail(u"Element is not a short");
        return e.iVal;
      });
}

unsigned short GetUShortElement(const VARIANT& array, LONG index) {
  return ReadLenient(
      array, index, VT_UI2, u"Not an array of variant or unsigned short",
      [&] {
        unsigned short value = 0;
        GetElement(array, index, &value);
        return value;
      },
      [](const VARIANT& e) {
        if (e.vt != VT_UI2) Fail(u"Element is not an unsigned short");
        return e.uiVal;
      });
}

double GetDoubleElement(const VARIANT& array, LONG index) {
  return ReadLenient(
      array, index, VT_R8, u"Not an array of variant or double",
      [&] {
        double value = 0;
        GetElement(array, index, &value);
        return value;
      },
      [](const VARIANT& e) {
        if (e.vt != VT_R8) Fail(u"Element is not a double");
        return e.dblVal;
      });
}

float GetFloatElement(const VARIANT& array, LONG index) {
  if (array.vt == ArrayOf(VT_R8)) return static_cast<float>(GetDoubleElement(array, index));
  return ReadLenient(
      array, index, VT_R4, u"Not an array of variant, float or double",
      [&] {
        float value = 0;
        GetElement(array, index, &value);
        return value;
      },
      [](const VARIANT& e) {
        if (e.vt == VT_R8) return static_cast<float>(e.dblVal);
        if (e.vt != VT_R4) Fail(u"Element is not a float or a double");
        return e.fltVal;
      });
}

std::time_t GetDateElement(const VARIANT& array, LONG index) {
  return ReadLenient(
      array, index, VT_DATE, u"Not an array of variant or date",
      [&] {
        DATE date = 0;
        if (!ReadElement(array, index, VT_DATE, &date)) {
          Fail(u"SafeArrayGetElement failed in VUtil::GetDateElement");
        }
        return DateToTime(date);
      },
      [](const VARIANT& e) {
        if (e.vt != VT_DATE) Fail(u"Element is not a date");
        return DateToTime(e.date);
      });
}

bool GetBoolElementEmpty(const VARIANT& array, LONG index) {
  return ReadLenient(
      array, index, VT_BOOL, u"Not an array of variant or bool",
      [&] { return GetBoolElement(array, index); },
      [](const VARIANT& e) {
        switch (e.vt) {
          case VT_EMPTY:
          case VT_NULL:
            return false;
          case VT_I2:
          case VT_BOOL:
            return e.iVal != 0;
          case VT_UI2:
            return e.uiVal != 0;
          case VT_I4:
          case VT_UI4:
            return e.lVal != 0;
          default:
            Fail(u"Element is not a bool");
        }
      });
}

}  // namespace VUtil
