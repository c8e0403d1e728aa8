// Encoder half of the wire codec. Elements of fixed size are converted to
// big-endian in chunks, so a large array costs one pass and a write per
// chunk rather than a call per element. A byte array leaves from its own
// storage; towards a socket, the chunks of a large array are big enough to
// pass the stream's buffer the same way.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "engine/wire/wire_codec.h"
#include "engine/wire/wire_types.h"
#include "kiv/value.h"

namespace kiv {

namespace {

constexpr std::size_t kChunkBytes = 8192;
// Chunks of a large array: few system calls, a bounded scratch block.
constexpr std::size_t kLargeChunkBytes = 64 * 1024;

template <typename T>
bool WriteBig(ByteSink& out, T value) {
  const T wire = wire::SwapBigEndian(value);
  return out.Write(&wire, sizeof wire) == static_cast<std::int32_t>(sizeof wire);
}

bool WriteAll(ByteSink& out, const void* bytes, std::size_t n) {
  // Write takes a signed 32-bit count; arrays may hold up to 4 GiB.
  constexpr std::size_t kMaxPiece = std::size_t{1} << 30;
  const auto* cursor = static_cast<const std::uint8_t*>(bytes);
  while (n > 0) {
    const std::size_t piece = std::min(n, kMaxPiece);
    if (out.Write(cursor, static_cast<std::int32_t>(piece)) != static_cast<std::int32_t>(piece)) {
      return false;
    }
    cursor += piece;
    n -= piece;
  }
  return true;
}

// to[i] is from[n - 1 - i] big-endian; the blocks never overlap, which
// __restrict tells the compiler.
template <typename T>
void SwapReversed(const T* __restrict from, T* __restrict to, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) to[i] = wire::SwapBigEndian(from[n - 1 - i]);
}

// Sends fixed-size elements from the highest index down, each big-endian.
template <typename T>
bool WriteFixedReversed(ByteSink& out, const void* data, std::uint32_t total) {
  const T* elements = static_cast<const T*>(data);
  T small[kChunkBytes / sizeof(T)];
  std::size_t chunkSize = std::size(small);
  std::unique_ptr<T[]> large;
  if (total > chunkSize && out.SendsLargeWritesDirectly()) {
    // Without the larger block the small one still does.
    const std::size_t count = std::min<std::size_t>(total, kLargeChunkBytes / sizeof(T));
    large.reset(new (std::nothrow) T[count]);
    if (large) chunkSize = count;
  }
  T* chunk = large ? large.get() : small;
  std::size_t next = total;
  while (next > 0) {
    const std::size_t n = std::min(next, chunkSize);
    SwapReversed(elements + (next - n), chunk, n);
    if (!WriteAll(out, chunk, n * sizeof(T))) return false;
    next -= n;
  }
  return true;
}

bool WriteFixedElements(ByteSink& out, const void* data, VARTYPE elementType, std::uint32_t total) {
  switch (wire::FixedElementSize(elementType)) {
    case 1:
      if (elementType == VT_UI1) return WriteAll(out, data, total);  // travels in index order
      return WriteFixedReversed<std::uint8_t>(out, data, total);
    case 2:
      return WriteFixedReversed<std::uint16_t>(out, data, total);
    case 4:
      return WriteFixedReversed<std::uint32_t>(out, data, total);
    case 8:
      return WriteFixedReversed<std::uint64_t>(out, data, total);
    default:
      return false;
  }
}

bool WriteVariantAt(ByteSink& out, const VARIANT& value, int depth);

bool WriteArrayAt(ByteSink& out, SAFEARRAY* array, VARTYPE elementType, int depth) {
  if (depth > kMaxNesting) return false;
  SafeArrayAccess access(array);
  if (!access.ok()) return false;
  const std::uint32_t dims = array->cDims;
  if (!WriteU32(out, dims) || dims > kMaxDimensions) return false;
  // A descriptor whose element size disagrees with the declared type would
  // make us read outside its data block.
  if (!wire::IsCarriedElementType(elementType) ||
      array->cbElements != wire::InMemoryElementSize(elementType)) {
    return false;
  }
  std::uint32_t total = 1;
  // rgsabound[0] describes the last dimension, which goes first.
  for (std::uint32_t i = 0; i < dims; ++i) {
    const SAFEARRAYBOUND& bound = array->rgsabound[i];
    if (!wire::MultiplyCount(total, bound.cElements)) return false;
    if (!WriteU32(out, static_cast<std::uint32_t>(bound.lLbound)) ||
        !WriteU32(out, bound.cElements)) {
      return false;
    }
  }
  const void* data = access.data();
  if (elementType == VT_BSTR) {
    const BSTR* strings = static_cast<const BSTR*>(data);
    for (std::size_t i = total; i > 0; --i) {
      if (!WriteBstr(out, strings[i - 1])) return false;
    }
    return true;
  }
  if (elementType == VT_VARIANT) {
    const VARIANT* values = static_cast<const VARIANT*>(data);
    for (std::size_t i = total; i > 0; --i) {
      if (!WriteVariantAt(out, values[i - 1], depth)) return false;
    }
    return true;
  }
  return WriteFixedElements(out, data, elementType, total);
}

bool WriteVariantAt(ByteSink& out, const VARIANT& value, int depth) {
  const VARTYPE vt = value.vt;
  if (!WriteU16(out, static_cast<std::uint16_t>(vt & ~VT_BYREF))) return false;
  // The tag is already out; the caller abandons the message.
  if ((vt & VT_BYREF) != 0 || (vt & wire::kForeignBits) != 0) return false;
  if ((vt & VT_ARRAY) != 0) return WriteArrayAt(out, value.parray, vt & VT_TYPEMASK, depth + 1);
  if (vt == VT_EMPTY || vt == VT_NULL) return true;
  if (vt == VT_BSTR) return WriteBstr(out, value.bstrVal);
  // Every fixed-size member starts the union, so its width alone decides.
  switch (wire::FixedElementSize(vt)) {
    case 1:
      return WriteU8(out, value.bVal);
    case 2:
      return WriteU16(out, value.uiVal);
    case 4:
      return WriteU32(out, value.ulVal);
    case 8:
      return WriteU64(out, value.ullVal);
    default:
      return false;
  }
}

}  // namespace

bool WriteU8(ByteSink& out, std::uint8_t value) {
  return out.Write(&value, 1) == 1;
}
bool WriteU16(ByteSink& out, std::uint16_t value) {
  return WriteBig(out, value);
}
bool WriteU32(ByteSink& out, std::uint32_t value) {
  return WriteBig(out, value);
}
bool WriteU64(ByteSink& out, std::uint64_t value) {
  return WriteBig(out, value);
}

bool WriteBstr(ByteSink& out, BSTR text) {
  const UINT units = SysStringLen(text);
  if (units > 0x7FFFFFFF || !WriteU32(out, units)) return false;
  // Units keep their order; only the two bytes of each unit swap.
  std::uint16_t chunk[kChunkBytes / 2];
  for (std::size_t done = 0; done < units;) {
    const std::size_t n = std::min<std::size_t>(units - done, std::size(chunk));
    for (std::size_t i = 0; i < n; ++i)
      chunk[i] = wire::SwapBigEndian<std::uint16_t>(text[done + i]);
    if (!WriteAll(out, chunk, n * 2)) return false;
    done += n;
  }
  return true;
}

bool WriteVariant(ByteSink& out, const VARIANT& value) {
  return WriteVariantAt(out, value, 0);
}

bool WriteSafeArray(ByteSink& out, SAFEARRAY* array, VARTYPE elementType) {
  return WriteArrayAt(out, array, elementType, 1);
}

bool IsCarriedType(VARTYPE vt) {
  vt &= static_cast<VARTYPE>(~VT_BYREF);
  if ((vt & wire::kForeignBits) != 0) return false;
  const VARTYPE base = vt & VT_TYPEMASK;
  if ((vt & VT_ARRAY) != 0) return wire::IsCarriedElementType(base);
  return base == VT_EMPTY || base == VT_NULL || base == VT_BSTR ||
         wire::FixedElementSize(base) != 0;
}

}  // namespace kiv
