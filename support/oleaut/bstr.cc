// A BSTR block: a u32 byte length, the bytes, then zero bytes up to and
// including one whole zero unit. The BSTR points just past the length.
#include <cstdlib>
#include <cstring>
#include <string>

#include "kiv/oleaut.h"

namespace {

constexpr std::size_t kPrefixBytes = sizeof(std::uint32_t);
// The byte length must fit the u32 prefix.
constexpr UINT kMaxUnits = 0x7FFFFFFF;

unsigned char* BlockOf(BSTR text) {
  return reinterpret_cast<unsigned char*>(text) - kPrefixBytes;
}

// bytes may be null: the string is then zero-filled.
BSTR AllocateBstr(const void* bytes, UINT byteCount) {
  // Round up to whole units, then add the terminating unit.
  const std::size_t tail = (byteCount % 2 == 0 ? 0 : 1) + sizeof(OLECHAR);
  auto* block = static_cast<unsigned char*>(std::malloc(kPrefixBytes + byteCount + tail));
  if (block == nullptr) return nullptr;
  const std::uint32_t length = byteCount;
  std::memcpy(block, &length, kPrefixBytes);
  unsigned char* body = block + kPrefixBytes;
  if (bytes != nullptr) {
    std::memcpy(body, bytes, byteCount);
  } else {
    std::memset(body, 0, byteCount);
  }
  std::memset(body + byteCount, 0, tail);
  return reinterpret_cast<BSTR>(body);
}

}  // namespace

extern "C" {

BSTR SysAllocString(const OLECHAR* text) {
  if (text == nullptr) return nullptr;
  const std::size_t units = std::char_traits<OLECHAR>::length(text);
  if (units > kMaxUnits) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(units));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT units) {
  if (units > kMaxUnits) return nullptr;
  return AllocateBstr(text, units * static_cast<UINT>(sizeof(OLECHAR)));
}

BSTR SysAllocStringByteLen(const char* bytes, UINT byteCount) {
  return AllocateBstr(bytes, byteCount);
}

void SysFreeString(BSTR text) {
  if (text != nullptr) std::free(BlockOf(text));
}

UINT SysStringByteLen(BSTR text) {
  if (text == nullptr) return 0;
  std::uint32_t length;
  std::memcpy(&length, BlockOf(text), kPrefixBytes);
  return length;
}

UINT SysStringLen(BSTR text) {
  return SysStringByteLen(text) / sizeof(OLECHAR);
}

}  // extern "C"
