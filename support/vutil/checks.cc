// Type checks and the return-code result shapes.
#include "kiv/value.h"
#include "kiv/vutil.h"
#include "support/text/wide_format.h"
#include "support/vutil/vutil_internal.h"

namespace VUtil {

using kiv::WideFormat;
using kiv::vutil::ArrayOf;
using kiv::vutil::Fail;
using kiv::vutil::Prefix;

void checkType(const VARIANT& v, VARTYPE expected, const char16_t* context) {
  if (v.vt == expected) return;
  Fail(Prefix(context) +
       WideFormat(u"checkType failed, got %d, expected %d", int{v.vt}, int{expected}));
}

void checkArrayType(const VARIANT& v, VARTYPE elementType, int length, bool orLonger,
                    const char16_t* context) {
  const VARTYPE expected = ArrayOf(elementType);
  if (v.vt != expected) {
    Fail(Prefix(context) +
         WideFormat(u"checkArrayType failed, got %d, expected %d", int{v.vt}, int{expected}));
  }
  const LONG actual = GetArrayLength(v);
  if (actual < length || (!orLonger && actual > length)) {
    Fail(Prefix(context) + WideFormat(u"checkArrayType failed, got length %d, expect %d%s", actual,
                                      length, orLonger ? u"+" : u""));
  }
}

void checkArrayType(const VARIANT& v, VARTYPE elementType, int length, const char16_t* context) {
  checkArrayType(v, elementType, length, false, context);
}

namespace {

// Element 0 of an array as a 32-bit code; a failure is rethrown with its
// message quoted inside `wrapper` (one %s).
long FirstCode(const VARIANT& v, const std::u16string& prefix, const char16_t* wrapper) {
  try {
    return GetLongElement(v, 0);
  } catch (const KivException& e) {
    Fail(prefix + WideFormat(wrapper, e.getMessage()));
  }
}

}  // namespace

long GetSingleRetcode(const VARIANT& v) {
  if ((v.vt & VT_ARRAY) != 0) {
    return FirstCode(v, {}, u"safeArrayGetElement failed in VUtil::GetSingleRetcode : '%s'");
  }
  if (v.vt != VT_I4) Fail(u"VUtil::GetSingleRetcode wrong type");
  return v.lVal;
}

void CheckSingleRetcode(const VARIANT& v, const char16_t* context) {
  long code = -1;
  if ((v.vt & VT_ARRAY) != 0) {
    code = FirstCode(v, Prefix(context),
                     u"safeArrayGetElement failed in VUtil::CheckSingleRetcode : '%s'");
  } else if (v.vt == VT_I4) {
    code = v.lVal;
  }
  if (code == 0) return;
  // 'l' is 32 bits in the wide format, so both print the 32-bit code.
  const auto code32 = static_cast<LONG>(code);
  Fail(Prefix(context) +
       WideFormat(u"Kiv error detected in VUtil::CheckSingleRetcode : hr = %ld - 0x%lx", code32,
                  code32));
}

void GetSingleOutParamString(const VARIANT& v, std::u16string& out) {
  kiv::Variant element;
  // Only an array of variants holds a VARIANT at index 0.
  if (v.vt != ArrayOf(VT_VARIANT) || !kiv::vutil::ReadElement(v, 0, VT_VARIANT, element.get())) {
    Fail(u"SafeArrayGetElement failed in VUtil::GetSingleOutParamString");
  }
  if (element.vt() != VT_BSTR) Fail(u"outParam is not a BSTR in VUtil::GetSingleOutParamString");
  out = kiv::vutil::TextOf(element->bstrVal);
}

}  // namespace VUtil
