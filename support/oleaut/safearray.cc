// Array lifetime: creation, adoption of a filled block, destruction, deep
// copy and resizing of the last dimension. Data blocks come from std::malloc
// (large ones placed in their page, see array_placement.h) and are never
// null for arrays created here, even when empty, so callers may hand pvData
// to memcpy without a special case.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kiv/oleaut.h"
#include "support/oleaut/array_placement.h"
#include "support/oleaut/safearray_internal.h"
#include "support/oleaut/safearray_layout.h"
#include "support/oleaut/value_ops.h"

namespace {

using namespace kiv::oleaut;

constexpr UINT kMaxDims = 10;
constexpr USHORT kStorageFeatures = FADF_AUTO | FADF_STATIC | FADF_EMBEDDED;

struct DescriptorFree {
  void operator()(SAFEARRAY* psa) const { FreeDescriptor(psa); }
};
using DescriptorPtr = std::unique_ptr<SAFEARRAY, DescriptorFree>;

struct ArrayDestroy {
  void operator()(SAFEARRAY* psa) const { SafeArrayDestroy(psa); }
};
using ArrayPtr = std::unique_ptr<SAFEARRAY, ArrayDestroy>;

std::size_t DataBytes(const SAFEARRAY* psa, std::uint64_t count) {
  return static_cast<std::size_t>(count) * psa->cbElements;
}

// Gives psa a data block of `bytes` (at least 1), zeroed when asked.
bool AllocateData(SAFEARRAY* psa, std::size_t bytes, bool zero) {
  bytes = std::max<std::size_t>(bytes, 1);
  const std::size_t allocation = AllocationBytes(bytes);
  auto* block =
      static_cast<unsigned char*>(zero ? std::calloc(allocation, 1) : std::malloc(allocation));
  if (block == nullptr) return false;
  const std::size_t shift = PlacementShift(block, bytes);
  StoreDataShift(psa, shift);
  psa->pvData = block + shift;
  return true;
}

unsigned char* DataBlock(const SAFEARRAY* psa) {
  return static_cast<unsigned char*>(psa->pvData) - LoadDataShift(psa);
}

// Resizes psa's block to `bytes` of elements; they keep their shift into the
// block, so they move with it. False, with the block as it was, on failure.
bool ReallocateData(SAFEARRAY* psa, std::size_t bytes) {
  const std::size_t shift = LoadDataShift(psa);
  auto* block = static_cast<unsigned char*>(std::realloc(DataBlock(psa), shift + bytes));
  if (block == nullptr) return false;
  psa->pvData = block + shift;
  return true;
}

// A descriptor for vt and rgsabound without data; null when the arguments
// are refused. count receives the element count.
DescriptorPtr MakeDescriptor(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* rgsabound,
                             std::uint64_t& count) {
  const ULONG elementSize = ElementSize(vt);
  if (elementSize == 0 || cDims == 0 || cDims > kMaxDims || rgsabound == nullptr) return nullptr;
  if (!CountElements(rgsabound, cDims, count)) return nullptr;
  DescriptorPtr psa(AllocateDescriptor(cDims));
  if (!psa) return nullptr;
  psa->cDims = static_cast<USHORT>(cDims);
  psa->fFeatures = FADF_HAVEVARTYPE | ElementFeatures(vt);
  psa->cbElements = elementSize;
  for (UINT i = 0; i < cDims; ++i) psa->rgsabound[cDims - 1 - i] = rgsabound[i];
  StoreVartype(psa.get(), vt);
  return psa;
}

// Copies count elements from source into the zeroed block target; on
// failure the elements copied so far stay in target for its owner to free.
HRESULT CopyElements(const SAFEARRAY* source, void* target, std::uint64_t count) {
  const USHORT features = source->fFeatures;
  if ((features & FADF_BSTR) != 0) {
    const BSTR* from = static_cast<const BSTR*>(source->pvData);
    BSTR* to = static_cast<BSTR*>(target);
    for (std::uint64_t i = 0; i < count; ++i) {
      to[i] = CopyBstr(from[i]);
      if (to[i] == nullptr && from[i] != nullptr) return E_OUTOFMEMORY;
    }
  } else if ((features & FADF_VARIANT) != 0) {
    const VARIANT* from = static_cast<const VARIANT*>(source->pvData);
    VARIANT* to = static_cast<VARIANT*>(target);
    for (std::uint64_t i = 0; i < count; ++i) {
      const HRESULT hr = VariantCopy(&to[i], &from[i]);
      if (hr != S_OK) return hr;
    }
  } else {
    std::memcpy(target, source->pvData, DataBytes(source, count));
    if ((features & (FADF_UNKNOWN | FADF_DISPATCH)) != 0) {
      IUnknown* const* objects = static_cast<IUnknown* const*>(target);
      for (std::uint64_t i = 0; i < count; ++i) AddRefInterface(objects[i]);
    }
  }
  return S_OK;
}

}  // namespace

SAFEARRAY* SafeArrayCreateAdopting(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* rgsabound,
                                   void* block, std::size_t shift) {
  std::uint64_t count;
  DescriptorPtr psa = MakeDescriptor(vt, cDims, rgsabound, count);
  if (!psa) return nullptr;
  if (block == nullptr) {
    if (count != 0) return nullptr;
    return AllocateData(psa.get(), 1, false) ? psa.release() : nullptr;
  }
  StoreDataShift(psa.get(), shift);
  psa->pvData = static_cast<unsigned char*>(block) + shift;
  return psa.release();
}

extern "C" {

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* rgsabound) {
  std::uint64_t count;
  DescriptorPtr psa = MakeDescriptor(vt, cDims, rgsabound, count);
  if (!psa) return nullptr;
  // Zeroed elements are valid: null strings, VT_EMPTY variants, null objects.
  if (!AllocateData(psa.get(), DataBytes(psa.get(), count), true)) return nullptr;
  return psa.release();
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  const SAFEARRAYBOUND bound{cElements, lLbound};
  return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
  if (psa == nullptr) return S_OK;
  if (IsLocked(psa)) return DISP_E_ARRAYISLOCKED;
  const bool owned = OwnsStorage(psa);
  ReleaseElements(psa, 0, ElementCount(psa), !owned);
  if (owned) {
    std::free(DataBlock(psa));
    FreeDescriptor(psa);
  }
  return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
  if (ppsaOut == nullptr) return E_INVALIDARG;
  *ppsaOut = nullptr;
  if (psa == nullptr) return S_OK;
  if (psa->cDims == 0) return E_INVALIDARG;
  DescriptorPtr descriptor(AllocateDescriptor(psa->cDims));
  if (!descriptor) return E_OUTOFMEMORY;
  descriptor->cDims = psa->cDims;
  // The copy lives on the heap whatever storage the original had.
  descriptor->fFeatures = psa->fFeatures & ~kStorageFeatures;
  descriptor->cbElements = psa->cbElements;
  std::memcpy(descriptor->rgsabound, psa->rgsabound, psa->cDims * sizeof(SAFEARRAYBOUND));
  if ((psa->fFeatures & FADF_HAVEVARTYPE) != 0) StoreVartype(descriptor.get(), LoadVartype(psa));
  if (psa->pvData == nullptr) {
    *ppsaOut = descriptor.release();
    return S_OK;
  }
  const std::uint64_t count = ElementCount(psa);
  // Plain elements are all overwritten; the others must read as empty until
  // copied, for a copy that fails half-way is destroyed as it stands.
  const bool plain =
      (psa->fFeatures & (FADF_BSTR | FADF_VARIANT | FADF_UNKNOWN | FADF_DISPATCH)) == 0;
  if (!AllocateData(descriptor.get(), DataBytes(psa, count), !plain)) return E_OUTOFMEMORY;
  // From here the copy is a complete array whose unfilled elements are zero.
  ArrayPtr copy(descriptor.release());
  const HRESULT hr = CopyElements(psa, copy->pvData, count);
  if (hr != S_OK) return hr;
  *ppsaOut = copy.release();
  return S_OK;
}

HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew) {
  if (psa == nullptr || psaboundNew == nullptr || psa->cDims == 0) return E_INVALIDARG;
  if (!OwnsStorage(psa) || (psa->fFeatures & FADF_FIXEDSIZE) != 0) return E_INVALIDARG;
  if (IsLocked(psa)) return DISP_E_ARRAYISLOCKED;
  const std::uint64_t oldCount = ElementCount(psa);
  // rgsabound[0] is the last dimension, the one that varies slowest, so a
  // new count adds or removes elements at the end of the block.
  SAFEARRAYBOUND bounds[kMaxDims];
  std::memcpy(bounds, psa->rgsabound, std::min<UINT>(psa->cDims, kMaxDims) * sizeof(bounds[0]));
  bounds[0] = *psaboundNew;
  std::uint64_t newCount;
  if (psa->cDims > kMaxDims || !CountElements(bounds, psa->cDims, newCount)) return E_INVALIDARG;

  const std::size_t newBytes = std::max<std::size_t>(DataBytes(psa, newCount), 1);
  if (newCount < oldCount) {
    ReleaseElements(psa, newCount, oldCount - newCount);
    // A failed shrink keeps the larger block, which is still valid.
    ReallocateData(psa, newBytes);
  } else if (newCount > oldCount) {
    if (!ReallocateData(psa, newBytes)) return E_OUTOFMEMORY;
    const std::size_t oldBytes = DataBytes(psa, oldCount);
    std::memset(static_cast<unsigned char*>(psa->pvData) + oldBytes, 0,
                DataBytes(psa, newCount) - oldBytes);
  }
  psa->rgsabound[0] = *psaboundNew;
  return S_OK;
}

}  // extern "C"
