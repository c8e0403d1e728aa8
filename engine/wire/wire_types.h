// Facts about the carried types shared by the encoder and the decoder.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kiv/oleaut.h"

namespace kiv::wire {

// Type-word bits that no carried value may have: VT_VECTOR and VT_RESERVED.
constexpr VARTYPE kForeignBits = 0x1000 | 0x8000;

// Bytes one element of a fixed-size carried type occupies on the wire and in
// an array's data block; 0 for BSTR, VARIANT and types the wire does not carry.
constexpr std::size_t FixedElementSize(VARTYPE elementType) {
  switch (elementType) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_R4:
      return 4;
    case VT_R8:
    case VT_DATE:
    case VT_I8:
    case VT_UI8:
      return 8;
    default:
      return 0;
  }
}

constexpr bool IsCarriedElementType(VARTYPE elementType) {
  return FixedElementSize(elementType) != 0 || elementType == VT_BSTR || elementType == VT_VARIANT;
}

// In-memory size of one element, as the array's descriptor records it.
constexpr std::size_t InMemoryElementSize(VARTYPE elementType) {
  if (elementType == VT_BSTR) return sizeof(BSTR);
  if (elementType == VT_VARIANT) return sizeof(VARIANT);
  return FixedElementSize(elementType);
}

// The encoder's and decoder's shared overflow rule: the product of the
// dimension counts must fit in 32 bits (a zero count makes it zero).
inline bool MultiplyCount(std::uint32_t& total, std::uint32_t count) {
  if (total != 0) {
    if (0xFFFFFFFFu / total < count) return false;
    total *= count;
  }
  return true;
}

// Network byte order to host order and back (the same swap both ways).
template <typename T>
constexpr T SwapBigEndian(T value) {
  if constexpr (sizeof(T) == 1) return value;
  if constexpr (sizeof(T) == 2) return __builtin_bswap16(value);
  if constexpr (sizeof(T) == 4) return __builtin_bswap32(value);
  if constexpr (sizeof(T) == 8) return __builtin_bswap64(value);
}

}  // namespace kiv::wire
