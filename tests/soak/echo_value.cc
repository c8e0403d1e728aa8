#include "tests/soak/echo_value.h"

#include <cstring>
#include <new>
#include <vector>

#include "engine/wire/wire_types.h"
#include "kiv/utf8.h"
#include "kiv/vutil.h"

namespace kiv::soak {
namespace {

// Most values are small; one in kLargeOneIn fills several stream buffers.
constexpr int kLargeOneIn = 50;
constexpr std::size_t kSmallMax = 256;
constexpr std::size_t kLargeMax = 40000;

std::size_t RandomLength(std::mt19937_64& random) {
  const bool large = random() % kLargeOneIn == 0;
  return static_cast<std::size_t>(random() % ((large ? kLargeMax : kSmallMax) + 1));
}

Variant RandomText(std::mt19937_64& random) {
  std::u16string text(RandomLength(random), u'\0');
  for (char16_t& unit : text) {
    // Mostly ASCII, so that dumps stay readable; any unit travels as it is.
    unit = static_cast<char16_t>(random() % 4 == 0 ? random() % 0x10000 : 0x20 + random() % 0x5f);
  }
  return Variant::String(text);
}

Variant RandomBytes(std::mt19937_64& random) {
  std::vector<std::uint8_t> bytes(RandomLength(random));
  for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
  Variant value;
  VUtil::PutBinaryIntoVariant(*value, bytes.data(), static_cast<int>(bytes.size()));
  return value;
}

Variant RandomNumber(std::mt19937_64& random) {
  Variant value;
  value->vt = VT_R8;
  value->llVal = static_cast<LONGLONG>(random());  // any bits, NaNs included
  return value;
}

void Put(SAFEARRAY* array, LONG index, Variant element) {
  if (SafeArrayPutElement(array, &index, element.get()) != S_OK) throw std::bad_alloc();
}

bool SameBstr(BSTR a, BSTR b) {
  const UINT length = SysStringLen(a);
  return length == SysStringLen(b) &&
         (length == 0 || std::memcmp(a, b, length * sizeof(OLECHAR)) == 0);
}

// The bytes of a scalar's payload, or SIZE_MAX for types the wire does not
// carry as plain numbers.
std::size_t ScalarSize(VARTYPE vt) {
  if (vt == VT_EMPTY || vt == VT_NULL) return 0;
  const std::size_t size = kiv::wire::FixedElementSize(vt);
  return size != 0 ? size : SIZE_MAX;
}

bool SameArray(SAFEARRAY* a, SAFEARRAY* b, VARTYPE elementType) {
  if (a == nullptr || b == nullptr) return a == b;
  if (a->cDims != b->cDims || a->cbElements != b->cbElements) return false;
  std::size_t total = 1;
  for (USHORT d = 0; d < a->cDims; ++d) {
    if (a->rgsabound[d].cElements != b->rgsabound[d].cElements ||
        a->rgsabound[d].lLbound != b->rgsabound[d].lLbound) {
      return false;
    }
    total *= a->rgsabound[d].cElements;
  }
  SafeArrayAccess left(a);
  SafeArrayAccess right(b);
  if (!left.ok() || !right.ok()) return false;
  if (elementType == VT_VARIANT) {
    for (std::size_t i = 0; i < total; ++i) {
      if (!SameValue(left.as<VARIANT>()[i], right.as<VARIANT>()[i])) return false;
    }
    return true;
  }
  if (elementType == VT_BSTR) {
    for (std::size_t i = 0; i < total; ++i) {
      if (!SameBstr(left.as<BSTR>()[i], right.as<BSTR>()[i])) return false;
    }
    return true;
  }
  if (ScalarSize(elementType) == SIZE_MAX) return false;
  return total == 0 || std::memcmp(left.data(), right.data(), total * a->cbElements) == 0;
}

}  // namespace

Variant MakeEchoValue(std::int32_t caller, std::int64_t counter, std::mt19937_64& random) {
  constexpr LONG kElements = 5;
  SafeArrayPtr array(SafeArrayCreateVector(VT_VARIANT, 0, kElements));
  if (!array) throw std::bad_alloc();
  Put(array.get(), 0, Variant::I4(caller));
  Put(array.get(), 1, Variant::I8(counter));
  Put(array.get(), 2, RandomText(random));
  Put(array.get(), 3, RandomBytes(random));
  Put(array.get(), 4, RandomNumber(random));
  return Variant::Adopt(array.release(), VT_VARIANT);
}

bool SameValue(const VARIANT& a, const VARIANT& b) {
  if (a.vt != b.vt) return false;
  if ((a.vt & VT_BYREF) != 0) return false;  // never sent, never expected back
  if ((a.vt & VT_ARRAY) != 0) {
    return SameArray(a.parray, b.parray, static_cast<VARTYPE>(a.vt & VT_TYPEMASK));
  }
  if (a.vt == VT_BSTR) return SameBstr(a.bstrVal, b.bstrVal);
  const std::size_t size = ScalarSize(a.vt);
  return size != SIZE_MAX && std::memcmp(&a.llVal, &b.llVal, size) == 0;
}

std::string DescribeValue(const VARIANT& value) {
  return ToUtf8(VUtil::DumpVariant(value, u"value"));
}

}  // namespace kiv::soak
