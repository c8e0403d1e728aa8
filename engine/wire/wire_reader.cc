// Decoder half of the wire codec. Nothing here trusts a count the peer
// announces: every buffer grows with the bytes that have actually arrived,
// to at most twice them. What a value costs in memory beyond its wire bytes
// (a 4-byte empty string takes a 32-byte block and an 8-byte slot) is
// charged to the source before it is allocated, so a size limit bounds
// memory, not just bytes received.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "engine/wire/wire_codec.h"
#include "engine/wire/wire_types.h"
#include "support/oleaut/array_placement.h"
#include "support/oleaut/safearray_internal.h"

namespace kiv {

namespace {

// First allocation for data whose announced size is not yet backed by bytes.
constexpr std::size_t kFirstStep = 64 * 1024;

// What the heap takes for a block of n bytes: the allocator's header,
// 16-byte steps, 32 bytes at least.
constexpr std::uint64_t HeapCost(std::uint64_t n) {
  return std::max<std::uint64_t>(32, (n + 8 + 15) & ~std::uint64_t{15});
}

// A string's block beyond its wire bytes: length prefix and terminator
// travel as 4 of the block's 6 extra bytes.
constexpr std::uint64_t StringOverhead(std::uint64_t bytes) {
  return HeapCost(bytes + 6) - (bytes + 4);
}

template <typename T>
bool ReadBig(ByteSource& in, T& value) {
  T wire;
  if (!in.ReadExact(&wire, sizeof wire)) return false;
  value = wire::SwapBigEndian(wire);
  return true;
}

// A malloc'd block that grows towards a limit; malloc so that an array
// descriptor can adopt it without a copy. Large contents are kept where the
// kernel copies them fast (array_placement.h), `shift_` bytes in.
class GrowingBlock {
 public:
  GrowingBlock() = default;
  GrowingBlock(const GrowingBlock&) = delete;
  GrowingBlock& operator=(const GrowingBlock&) = delete;
  ~GrowingBlock() { std::free(block_); }

  // Makes room for at least `need` bytes, never more than `limit`.
  bool Grow(std::size_t need, std::size_t limit) {
    if (capacity_ >= need) return true;
    return Resize(std::min(limit, std::max({need, kFirstStep, capacity_ * 2})));
  }
  // Reads exactly `bytes` bytes into the block. It takes at most twice the
  // bytes that have arrived (or the first step): a large value that is
  // mostly there gets its final size at once, so the bytes are received
  // straight into it and never moved, while a peer that announces much and
  // sends little still costs little.
  bool ReadFrom(ByteSource& in, std::size_t bytes) {
    std::size_t filled = 0;
    while (filled < bytes) {
      if (!GrowForArrival(in, filled, bytes)) return false;
      const std::size_t n = std::min(bytes, capacity_) - filled;
      if (!in.ReadExact(as<std::uint8_t>() + filled, n)) return false;
      filled += n;
    }
    return true;
  }

  template <typename T>
  T* as() const {
    return reinterpret_cast<T*>(static_cast<std::uint8_t*>(block_) + shift_);
  }
  void* base() const { return block_; }
  std::size_t shift() const { return shift_; }
  void* release() { return std::exchange(block_, nullptr); }

 private:
  // Room for what has arrived of `bytes` past the `filled` ones. Up to the
  // first step the announced size is taken at once, without asking the
  // socket what has arrived.
  bool GrowForArrival(ByteSource& in, std::size_t filled, std::size_t bytes) {
    if (bytes <= kFirstStep) return capacity_ >= bytes || Resize(bytes);
    const std::size_t arrived = filled + std::max<std::size_t>(in.Available(), 1);
    return capacity_ >= arrived ||
           Resize(std::min(bytes, std::max({kFirstStep, arrived * 2, capacity_ * 2})));
  }

  // Grows to `next` bytes; the contents move within the block when its
  // placement changes.
  bool Resize(std::size_t next) {
    auto* grown = static_cast<std::uint8_t*>(std::realloc(block_, oleaut::AllocationBytes(next)));
    if (grown == nullptr) return false;
    const std::size_t shift = oleaut::PlacementShift(grown, next);
    if (shift != shift_) std::memmove(grown + shift, grown + shift_, capacity_);
    block_ = grown;
    shift_ = shift;
    capacity_ = next;
    return true;
  }

  void* block_ = nullptr;
  std::size_t shift_ = 0;
  std::size_t capacity_ = 0;
};

// Elements arrive highest index first and big-endian; put them in index
// order and host byte order in one pass.
template <typename T>
void ReverseFromWire(T* elements, std::size_t n) {
  if (n == 0) return;
  std::size_t i = 0, j = n - 1;
  for (; i < j; ++i, --j) {
    const T low = wire::SwapBigEndian(elements[i]);
    elements[i] = wire::SwapBigEndian(elements[j]);
    elements[j] = low;
  }
  if (i == j) elements[i] = wire::SwapBigEndian(elements[i]);
}

bool ReadVariantAt(ByteSource& in, VARIANT* value, int depth);

bool ReadFixedElements(ByteSource& in, GrowingBlock& block, VARTYPE elementType,
                       std::uint32_t total) {
  const std::size_t size = wire::FixedElementSize(elementType);
  if (!in.Expect(std::uint64_t{size} * total) || !block.ReadFrom(in, size * total)) return false;
  switch (size) {
    case 1:
      if (elementType == VT_I1) ReverseFromWire(block.as<std::uint8_t>(), total);
      return true;  // VT_UI1 travels in index order
    case 2:
      ReverseFromWire(block.as<std::uint16_t>(), total);
      return true;
    case 4:
      ReverseFromWire(block.as<std::uint32_t>(), total);
      return true;
    case 8:
      ReverseFromWire(block.as<std::uint64_t>(), total);
      return true;
    default:
      return false;
  }
}

// Each string carries at least its u32 length, each variant its u16 type;
// in memory an array element takes its slot besides.
constexpr std::uint64_t kMinStringBytes = 4;
constexpr std::uint64_t kMinVariantBytes = 2;
constexpr std::uint64_t kMinStringCost = kMinStringBytes + sizeof(BSTR) + StringOverhead(0);
constexpr std::uint64_t kVariantSlotCharge = sizeof(VARIANT) - kMinVariantBytes;

bool ReadStringElements(ByteSource& in, GrowingBlock& block, std::uint32_t total) {
  if (!in.Expect(kMinStringCost * total)) return false;
  for (std::size_t i = 0; i < total; ++i) {
    if (!in.Charge(sizeof(BSTR)) ||
        !block.Grow((i + 1) * sizeof(BSTR), std::size_t{total} * sizeof(BSTR)) ||
        !ReadBstr(in, block.as<BSTR>() + i)) {
      for (std::size_t k = 0; k < i; ++k) SysFreeString(block.as<BSTR>()[k]);
      return false;
    }
  }
  std::reverse(block.as<BSTR>(), block.as<BSTR>() + total);
  return true;
}

bool ReadVariantElements(ByteSource& in, GrowingBlock& block, std::uint32_t total, int depth) {
  if (!in.Expect((kMinVariantBytes + kVariantSlotCharge) * total)) return false;
  for (std::size_t i = 0; i < total; ++i) {
    bool ok = in.Charge(kVariantSlotCharge) &&
              block.Grow((i + 1) * sizeof(VARIANT), std::size_t{total} * sizeof(VARIANT));
    if (ok) {
      VariantInit(block.as<VARIANT>() + i);
      ok = ReadVariantAt(in, block.as<VARIANT>() + i, depth);
    }
    if (!ok) {
      for (std::size_t k = 0; k < i; ++k) VariantClear(block.as<VARIANT>() + k);
      return false;
    }
  }
  std::reverse(block.as<VARIANT>(), block.as<VARIANT>() + total);
  return true;
}

void FreeElements(void* data, VARTYPE elementType, std::uint32_t total) {
  if (elementType == VT_BSTR) {
    for (std::size_t i = 0; i < total; ++i) SysFreeString(static_cast<BSTR*>(data)[i]);
  } else if (elementType == VT_VARIANT) {
    for (std::size_t i = 0; i < total; ++i) VariantClear(static_cast<VARIANT*>(data) + i);
  }
}

bool ReadArrayAt(ByteSource& in, SAFEARRAY** array, VARTYPE elementType, int depth) {
  *array = nullptr;
  if (depth > kMaxNesting) return false;
  std::uint32_t dims = 0;
  if (!ReadU32(in, dims) || dims == 0 || dims > kMaxDimensions) return false;
  // The wire lists the last dimension first; creation wants dimension 1 first.
  SAFEARRAYBOUND bounds[kMaxDimensions];
  std::uint32_t total = 1;
  for (std::uint32_t i = 0; i < dims; ++i) {
    std::uint32_t lowerBound = 0;
    SAFEARRAYBOUND& bound = bounds[dims - 1 - i];
    if (!ReadU32(in, lowerBound) || !ReadU32(in, bound.cElements)) return false;
    bound.lLbound = static_cast<LONG>(lowerBound);
    if (!wire::MultiplyCount(total, bound.cElements)) return false;
  }
  if (!wire::IsCarriedElementType(elementType)) return false;
  if (!in.Charge(HeapCost(sizeof(SAFEARRAY) + dims * sizeof(SAFEARRAYBOUND)))) return false;
  if (total == 0) {
    *array = SafeArrayCreate(elementType, dims, bounds);
    return *array != nullptr;
  }

  GrowingBlock block;
  bool ok = false;
  if (elementType == VT_BSTR) {
    ok = ReadStringElements(in, block, total);
  } else if (elementType == VT_VARIANT) {
    ok = ReadVariantElements(in, block, total, depth);
  } else {
    ok = ReadFixedElements(in, block, elementType, total);
  }
  if (!ok) return false;
  *array = SafeArrayCreateAdopting(elementType, dims, bounds, block.base(), block.shift());
  if (*array == nullptr) {
    FreeElements(block.as<void>(), elementType, total);
    return false;
  }
  block.release();
  return true;
}

bool ReadScalar(ByteSource& in, VARTYPE vt, VARIANT* value) {
  if (vt == VT_EMPTY || vt == VT_NULL) return true;
  if (vt == VT_BSTR) return ReadBstr(in, &value->bstrVal);
  // Every fixed-size member starts the union, so its width alone decides.
  switch (wire::FixedElementSize(vt)) {
    case 1:
      return ReadU8(in, value->bVal);
    case 2:
      return ReadU16(in, value->uiVal);
    case 4:
      return ReadU32(in, value->ulVal);
    case 8:
      return ReadU64(in, value->ullVal);
    default:
      return false;
  }
}

bool ReadVariantAt(ByteSource& in, VARIANT* value, int depth) {
  if (value->vt != VT_EMPTY) VariantClear(value);
  VariantInit(value);
  std::uint16_t tag = 0;
  if (!ReadU16(in, tag)) return false;
  // A by-reference bit from the peer means nothing here: the value arrives by value.
  const auto vt = static_cast<VARTYPE>(tag & ~VT_BYREF);
  if ((vt & wire::kForeignBits) != 0) return false;
  bool ok = false;
  if ((vt & VT_ARRAY) != 0) {
    ok = ReadArrayAt(in, &value->parray, vt & VT_TYPEMASK, depth + 1);
  } else {
    ok = ReadScalar(in, vt, value);
  }
  if (!ok) {
    value->llVal = 0;
    return false;
  }
  value->vt = vt;
  return true;
}

}  // namespace

bool ReadU8(ByteSource& in, std::uint8_t& value) {
  return in.ReadExact(&value, 1);
}
bool ReadU16(ByteSource& in, std::uint16_t& value) {
  return ReadBig(in, value);
}
bool ReadU32(ByteSource& in, std::uint32_t& value) {
  return ReadBig(in, value);
}
bool ReadU64(ByteSource& in, std::uint64_t& value) {
  return ReadBig(in, value);
}
bool ReadBytes(ByteSource& in, void* buffer, std::size_t n) {
  return in.ReadExact(buffer, n);
}

bool ReadBstr(ByteSource& in, BSTR* text) {
  std::uint32_t units = 0;
  if (!ReadU32(in, units) || units > kMaxStringUnits) return false;
  const std::size_t bytes = std::size_t{units} * 2;
  if (!in.Expect(bytes) || !in.Charge(StringOverhead(bytes))) return false;
  BSTR result = nullptr;
  if (bytes <= kFirstStep || bytes <= in.Available()) {
    // Short strings, and long ones that have arrived, are read straight
    // into their final allocation.
    result = SysAllocStringLen(nullptr, units);
    if (result == nullptr) return false;
    if (!in.ReadExact(result, bytes)) {
      SysFreeString(result);
      return false;
    }
    for (UINT i = 0; i < units; ++i) result[i] = wire::SwapBigEndian<std::uint16_t>(result[i]);
  } else {
    GrowingBlock scratch;
    if (!scratch.ReadFrom(in, bytes)) return false;
    result = SysAllocStringLen(nullptr, units);
    if (result == nullptr) return false;
    const auto* wire = scratch.as<std::uint16_t>();
    for (UINT i = 0; i < units; ++i) result[i] = wire::SwapBigEndian(wire[i]);
  }
  *text = result;
  return true;
}

bool ReadVariant(ByteSource& in, VARIANT* value) {
  return ReadVariantAt(in, value, 0);
}

bool ReadSafeArray(ByteSource& in, SAFEARRAY** array, VARTYPE elementType) {
  return ReadArrayAt(in, array, elementType, 1);
}

namespace {

// One source per call, committed before the answer is given, so that a
// success means the bytes are off the socket.
template <typename Read>
bool FromSocket(SOCKET socket, Read read) {
  SocketSource in(socket);
  const bool ok = read(in);
  return in.Commit() && ok;
}

}  // namespace

bool ReadU8(SOCKET socket, std::uint8_t& value) {
  return FromSocket(socket, [&](ByteSource& in) { return ReadU8(in, value); });
}
bool ReadU16(SOCKET socket, std::uint16_t& value) {
  return FromSocket(socket, [&](ByteSource& in) { return ReadU16(in, value); });
}
bool ReadU32(SOCKET socket, std::uint32_t& value) {
  return FromSocket(socket, [&](ByteSource& in) { return ReadU32(in, value); });
}
bool ReadU64(SOCKET socket, std::uint64_t& value) {
  return FromSocket(socket, [&](ByteSource& in) { return ReadU64(in, value); });
}
bool ReadBytes(SOCKET socket, void* buffer, std::size_t n) {
  return FromSocket(socket, [&](ByteSource& in) { return ReadBytes(in, buffer, n); });
}
bool ReadBstr(SOCKET socket, BSTR* text) {
  return FromSocket(socket, [&](ByteSource& in) { return ReadBstr(in, text); });
}
bool ReadVariant(SOCKET socket, VARIANT* value) {
  return FromSocket(socket, [&](ByteSource& in) { return ReadVariant(in, value); });
}
bool ReadSafeArray(SOCKET socket, SAFEARRAY** array, VARTYPE elementType) {
  return FromSocket(socket, [&](ByteSource& in) { return ReadSafeArray(in, array, elementType); });
}

}  // namespace kiv
