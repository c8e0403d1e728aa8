// Array queries, locking and element access. Lock counts change atomically
// so that several threads may read one array at once (each sender of a
// request encodes the same argument); everything else only reads the
// descriptor or changes the one element addressed.
#include <atomic>
#include <cstring>

#include "kiv/oleaut.h"
#include "support/oleaut/safearray_layout.h"
#include "support/oleaut/value_ops.h"

namespace {

using namespace kiv::oleaut;

// The bound describing dimension nDim (1-based, dimension 1 first), or null.
const SAFEARRAYBOUND* BoundOf(const SAFEARRAY* psa, UINT nDim) {
  if (nDim == 0 || nDim > psa->cDims) return nullptr;
  return &psa->rgsabound[psa->cDims - nDim];
}

enum class ElementKind { kPlain, kString, kVariant, kInterface };

ElementKind KindOf(const SAFEARRAY* psa) {
  if ((psa->fFeatures & FADF_BSTR) != 0) return ElementKind::kString;
  if ((psa->fFeatures & FADF_VARIANT) != 0) return ElementKind::kVariant;
  if ((psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) != 0) return ElementKind::kInterface;
  return ElementKind::kPlain;
}

// The element at rgIndices, after checking the arguments common to
// SafeArrayGetElement and SafeArrayPutElement.
HRESULT LocateElement(SAFEARRAY* psa, const LONG* rgIndices, unsigned char*& element) {
  if (psa == nullptr || rgIndices == nullptr || psa->cDims == 0) return E_INVALIDARG;
  std::size_t offset;
  if (!ElementOffset(psa, rgIndices, offset)) return DISP_E_BADINDEX;
  element = static_cast<unsigned char*>(psa->pvData) + offset;
  return S_OK;
}

}  // namespace

extern "C" {

UINT SafeArrayGetDim(SAFEARRAY* psa) {
  return psa != nullptr ? psa->cDims : 0;
}

UINT SafeArrayGetElemsize(SAFEARRAY* psa) {
  return psa != nullptr ? psa->cbElements : 0;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
  if (psa == nullptr || pvt == nullptr) return E_INVALIDARG;
  const USHORT features = psa->fFeatures;
  if ((features & FADF_HAVEVARTYPE) != 0) {
    *pvt = LoadVartype(psa);
  } else if ((features & FADF_BSTR) != 0) {
    *pvt = VT_BSTR;
  } else if ((features & FADF_VARIANT) != 0) {
    *pvt = VT_VARIANT;
  } else if ((features & FADF_DISPATCH) != 0) {
    *pvt = VT_DISPATCH;
  } else if ((features & FADF_UNKNOWN) != 0) {
    *pvt = VT_UNKNOWN;
  } else {
    return E_INVALIDARG;
  }
  return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
  if (psa == nullptr || plLbound == nullptr) return E_INVALIDARG;
  const SAFEARRAYBOUND* bound = BoundOf(psa, nDim);
  if (bound == nullptr) return DISP_E_BADINDEX;
  *plLbound = bound->lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
  if (psa == nullptr || plUbound == nullptr) return E_INVALIDARG;
  const SAFEARRAYBOUND* bound = BoundOf(psa, nDim);
  if (bound == nullptr) return DISP_E_BADINDEX;
  // Wraps like 32-bit arithmetic, so that ub - lb + 1 gives the count back.
  *plUbound = static_cast<LONG>(std::int64_t{bound->lLbound} + bound->cElements - 1);
  return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
  if (psa == nullptr) return E_INVALIDARG;
  std::atomic_ref<ULONG> locks(psa->cLocks);
  ULONG current = locks.load();
  do {
    if (current == 0xFFFFFFFF) return E_UNEXPECTED;
  } while (!locks.compare_exchange_weak(current, current + 1));
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
  if (psa == nullptr) return E_INVALIDARG;
  std::atomic_ref<ULONG> locks(psa->cLocks);
  ULONG current = locks.load();
  do {
    if (current == 0) return E_UNEXPECTED;
  } while (!locks.compare_exchange_weak(current, current - 1));
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
  if (psa == nullptr || ppvData == nullptr) return E_INVALIDARG;
  const HRESULT hr = SafeArrayLock(psa);
  if (hr != S_OK) return hr;
  *ppvData = psa->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) {
  return SafeArrayUnlock(psa);
}

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, const LONG* rgIndices, void** ppvData) {
  if (ppvData == nullptr) return E_INVALIDARG;
  unsigned char* element;
  const HRESULT hr = LocateElement(psa, rgIndices, element);
  if (hr != S_OK) return hr;
  *ppvData = element;
  return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* rgIndices, void* pv) {
  if (pv == nullptr) return E_INVALIDARG;
  unsigned char* element;
  HRESULT hr = LocateElement(psa, rgIndices, element);
  if (hr != S_OK) return hr;
  ScopedArrayLock lock(psa);
  if (!lock.ok()) return E_UNEXPECTED;
  switch (KindOf(psa)) {
    case ElementKind::kString: {
      const BSTR source = *reinterpret_cast<BSTR*>(element);
      const BSTR copy = CopyBstr(source);
      if (copy == nullptr && source != nullptr) return E_OUTOFMEMORY;
      *static_cast<BSTR*>(pv) = copy;
      return S_OK;
    }
    // pv must hold a valid VARIANT: VariantCopy frees what it held.
    case ElementKind::kVariant:
      return VariantCopy(static_cast<VARIANT*>(pv), reinterpret_cast<VARIANT*>(element));
    case ElementKind::kInterface: {
      IUnknown* object = *reinterpret_cast<IUnknown**>(element);
      AddRefInterface(object);
      *static_cast<IUnknown**>(pv) = object;
      return S_OK;
    }
    case ElementKind::kPlain:
      break;
  }
  std::memcpy(pv, element, psa->cbElements);
  return S_OK;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* rgIndices, void* pv) {
  unsigned char* element;
  HRESULT hr = LocateElement(psa, rgIndices, element);
  if (hr != S_OK) return hr;
  const ElementKind kind = KindOf(psa);
  // Strings and objects are passed by value, and null is a valid one.
  if (pv == nullptr && (kind == ElementKind::kPlain || kind == ElementKind::kVariant)) {
    return E_INVALIDARG;
  }
  ScopedArrayLock lock(psa);
  if (!lock.ok()) return E_UNEXPECTED;
  switch (kind) {
    case ElementKind::kString: {
      const BSTR source = static_cast<BSTR>(pv);
      const BSTR copy = CopyBstr(source);
      if (copy == nullptr && source != nullptr) return E_OUTOFMEMORY;
      BSTR& slot = *reinterpret_cast<BSTR*>(element);
      SysFreeString(slot);
      slot = copy;
      return S_OK;
    }
    case ElementKind::kVariant:
      return VariantCopy(reinterpret_cast<VARIANT*>(element), static_cast<VARIANT*>(pv));
    case ElementKind::kInterface: {
      // Take the new reference first: pv may be the object already stored.
      IUnknown* object = static_cast<IUnknown*>(pv);
      AddRefInterface(object);
      IUnknown*& slot = *reinterpret_cast<IUnknown**>(element);
      ReleaseInterface(slot);
      slot = object;
      return S_OK;
    }
    case ElementKind::kPlain:
      break;
  }
  std::memcpy(element, pv, psa->cbElements);
  return S_OK;
}

}  // extern "C"
