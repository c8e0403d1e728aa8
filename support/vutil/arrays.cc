// Creating, resizing and measuring arrays; byte arrays.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kiv/value.h"
#include "kiv/vutil.h"
#include "support/vutil/vutil_internal.h"

namespace VUtil {

using kiv::vutil::ArrayIn;
using kiv::vutil::ArrayOf;
using kiv::vutil::Fail;

namespace {

LONG LengthOf(const VARIANT& v, const char16_t* notAnArray) {
  if ((v.vt & VT_ARRAY) == 0) Fail(notAnArray);
  SAFEARRAY* psa = ArrayIn(v);
  LONG lower = 0;
  if (SafeArrayGetLBound(psa, 1, &lower) != S_OK) {
    Fail(u"SafeArrayGetLBound failed in VUtil::GetArrayLength");
  }
  if (lower != 0) Fail(u"Array is not zero indexed! (VUtil::GetArrayLength)");
  LONG upper = 0;
  if (SafeArrayGetUBound(psa, 1, &upper) != S_OK) {
    Fail(u"SafeArrayGetLBound failed in VUtil::GetArrayLength");
  }
  return static_cast<LONG>(std::int64_t{upper} + 1);  // no overflow at 2^31 - 1
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

}  // namespace

void CreateArray(VARIANT& v, VARTYPE elementType, ULONG count) {
  SAFEARRAY* psa = SafeArrayCreateVector(elementType, 0, count);
  if (psa == nullptr) Fail(u"Could not create safe array");
  v.vt = ArrayOf(elementType);
  v.parray = psa;
}

void ResizeArray(VARIANT& v, ULONG count) {
  SAFEARRAYBOUND bound{count, 0};
  SAFEARRAY* psa = ArrayIn(v);
  if (psa == nullptr || SafeArrayRedim(psa, &bound) != S_OK) {
    Fail(u"Could not redimension safe array");
  }
}

LONG GetArrayLength(const VARIANT& v) {
  return LengthOf(v, u"Variant passed to VUtil::GetArrayLength is not an array");
}

LONG GetArrayLengthEmpty(const VARIANT& v) {
  if (v.vt == VT_EMPTY) return 0;
  return LengthOf(v, u"Variant passed to VUtil::GetArrayLengthEmpty is not an array");
}

void PutBinaryIntoVariant(VARIANT& v, const void* data, int size) {
  // Built aside and swapped in, so that a failure leaves v as it was.
  kiv::SafeArrayPtr bytes;
  if (size >= 0 && (data != nullptr || size == 0)) {
    bytes.reset(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size)));
  }
  if (!bytes) Fail(u"PutBinaryIntoVariant: could not create safe array");
  if (size > 0) {
    kiv::SafeArrayAccess access(bytes.get());
    if (!access.ok()) Fail(u"PutBinaryIntoVariant: could not create safe array");
    std::memcpy(access.data(), data, static_cast<std::size_t>(size));
  }
  VariantClear(&v);
  v.vt = ArrayOf(VT_UI1);
  v.parray = bytes.release();
}

int GetBinaryElement(const VARIANT& array, LONG index, BYTE** data) {
  if (array.vt != ArrayOf(VT_VARIANT)) Fail(u"Not an array of variant");
  kiv::Variant element;
  GetElement(array, index, element.get());
  if (element.vt() != ArrayOf(VT_UI1) || !kiv::vutil::HoldsVector(*element, VT_UI1)) {
    Fail(u"Element is not an unsigned char array");
  }
  const LONG size = GetArrayLength(*element);
  // malloc(0) may answer null, which is no failure.
  std::unique_ptr<BYTE, FreeDeleter> buffer(
      static_cast<BYTE*>(std::malloc(std::max<std::size_t>(static_cast<std::size_t>(size), 1))));
  if (!buffer) Fail(u"Could not allocate data buffer");
  if (size > 0) {
    kiv::SafeArrayAccess access(element->parray);
    if (!access.ok()) Fail(u"Element is not an unsigned char array");
    std::memcpy(buffer.get(), access.data(), static_cast<std::size_t>(size));
  }
  *data = buffer.release();
  return size;
}

}  // namespace VUtil
