#include "support/oleaut/safearray_layout.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "support/oleaut/value_ops.h"

namespace kiv::oleaut {
namespace {

// Keeps the descriptor 16-byte aligned behind the header.
constexpr std::size_t kHiddenHeaderBytes = 16;
constexpr std::uint64_t kMaxElements = 0xFFFFFFFF;

unsigned char* BlockOf(SAFEARRAY* psa) {
  return reinterpret_cast<unsigned char*>(psa) - kHiddenHeaderBytes;
}

}  // namespace

ULONG ElementSize(VARTYPE vt) {
  switch (vt) {
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
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
      return 4;
    case VT_R8:
    case VT_DATE:
    case VT_CY:
    case VT_I8:
    case VT_UI8:
      return 8;
    case VT_BSTR:
      return sizeof(BSTR);
    case VT_UNKNOWN:
      return sizeof(IUnknown*);
    case VT_DISPATCH:
      return sizeof(IDispatch*);
    case VT_VARIANT:
      return sizeof(VARIANT);
    case VT_DECIMAL:
      return sizeof(DECIMAL);
    default:
      return 0;
  }
}

USHORT ElementFeatures(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR:
      return FADF_BSTR;
    case VT_VARIANT:
      return FADF_VARIANT;
    case VT_UNKNOWN:
      return FADF_UNKNOWN;
    case VT_DISPATCH:
      return FADF_DISPATCH;
    default:
      return 0;
  }
}

bool CountElements(const SAFEARRAYBOUND* bounds, UINT cDims, std::uint64_t& total) {
  total = 1;
  for (UINT i = 0; i < cDims; ++i) {
    if (bounds[i].cElements == 0) {
      total = 0;
      return true;
    }
  }
  for (UINT i = 0; i < cDims; ++i) {
    // Both factors are below 2^32, so the product fits before the check.
    total *= bounds[i].cElements;
    if (total > kMaxElements) return false;
  }
  return true;
}

std::uint64_t ElementCount(const SAFEARRAY* psa) {
  std::uint64_t total;
  return CountElements(psa->rgsabound, psa->cDims, total) ? total : 0;
}

SAFEARRAY* AllocateDescriptor(UINT cDims) {
  const std::size_t bytes =
      kHiddenHeaderBytes + sizeof(SAFEARRAY) + (cDims - 1) * sizeof(SAFEARRAYBOUND);
  auto* block = static_cast<unsigned char*>(std::calloc(1, bytes));
  if (block == nullptr) return nullptr;
  return reinterpret_cast<SAFEARRAY*>(block + kHiddenHeaderBytes);
}

void FreeDescriptor(SAFEARRAY* psa) {
  if (psa != nullptr) std::free(BlockOf(psa));
}

void StoreVartype(SAFEARRAY* psa, VARTYPE vt) {
  const DWORD word = vt;
  std::memcpy(reinterpret_cast<unsigned char*>(psa) - sizeof(DWORD), &word, sizeof(DWORD));
}

void StoreDataShift(SAFEARRAY* psa, std::size_t shift) {
  const auto word = static_cast<std::uint32_t>(shift);
  std::memcpy(reinterpret_cast<unsigned char*>(psa) - 2 * sizeof(DWORD), &word, sizeof word);
}

std::size_t LoadDataShift(const SAFEARRAY* psa) {
  std::uint32_t word;
  std::memcpy(&word, reinterpret_cast<const unsigned char*>(psa) - 2 * sizeof(DWORD), sizeof word);
  return word;
}

VARTYPE LoadVartype(const SAFEARRAY* psa) {
  DWORD word;
  std::memcpy(&word, reinterpret_cast<const unsigned char*>(psa) - sizeof(DWORD), sizeof(DWORD));
  return static_cast<VARTYPE>(word);
}

bool OwnsStorage(const SAFEARRAY* psa) {
  return (psa->fFeatures & (FADF_AUTO | FADF_STATIC | FADF_EMBEDDED)) == 0;
}

void ReleaseElements(SAFEARRAY* psa, std::size_t first, std::size_t count, bool zero) {
  if (psa->pvData == nullptr || count == 0) return;
  unsigned char* begin = static_cast<unsigned char*>(psa->pvData) + first * psa->cbElements;
  const USHORT features = psa->fFeatures;
  if ((features & FADF_BSTR) != 0) {
    BSTR* strings = reinterpret_cast<BSTR*>(begin);
    for (std::size_t i = 0; i < count; ++i) SysFreeString(strings[i]);
  } else if ((features & FADF_VARIANT) != 0) {
    VARIANT* values = reinterpret_cast<VARIANT*>(begin);
    for (std::size_t i = 0; i < count; ++i) VariantClear(&values[i]);
  } else if ((features & (FADF_UNKNOWN | FADF_DISPATCH)) != 0) {
    IUnknown** objects = reinterpret_cast<IUnknown**>(begin);
    for (std::size_t i = 0; i < count; ++i) ReleaseInterface(objects[i]);
  }
  if (zero) std::memset(begin, 0, count * psa->cbElements);
}

bool ElementOffset(const SAFEARRAY* psa, const LONG* rgIndices, std::size_t& offset) {
  const UINT dims = psa->cDims;
  std::size_t linear = 0;
  std::size_t stride = 1;
  // Dimension 1 varies fastest and is described by the last bound.
  for (UINT d = 0; d < dims; ++d) {
    const SAFEARRAYBOUND& bound = psa->rgsabound[dims - 1 - d];
    const std::int64_t relative = std::int64_t{rgIndices[d]} - bound.lLbound;
    if (relative < 0 || relative >= std::int64_t{bound.cElements}) return false;
    linear += static_cast<std::size_t>(relative) * stride;
    stride *= bound.cElements;
  }
  offset = linear * psa->cbElements;
  return true;
}

bool IsLocked(SAFEARRAY* psa) {
  return std::atomic_ref<ULONG>(psa->cLocks).load() != 0;
}

}  // namespace kiv::oleaut
