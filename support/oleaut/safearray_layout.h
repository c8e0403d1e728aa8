// How arrays created here are laid out, and helpers over that layout. A
// descriptor is allocated with a hidden 16-byte header in front of it whose
// last four bytes hold the element VARTYPE (FADF_HAVEVARTYPE) and the four
// before them how far into its malloc block the data starts. Elements are
// freed according to fFeatures, so descriptors built elsewhere work too.
// Functions are thread-safe on distinct arrays; lock counts are atomic.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kiv/oleaut.h"

namespace kiv::oleaut {

// Bytes of one element, or 0 when vt cannot be an array's element type.
ULONG ElementSize(VARTYPE vt);
// The FADF_* bits describing elements of type vt.
USHORT ElementFeatures(VARTYPE vt);

// Product of the counts of cDims bounds; false when it passes 2^32 - 1.
// A zero count makes the product 0 whatever the other counts are.
bool CountElements(const SAFEARRAYBOUND* bounds, UINT cDims, std::uint64_t& total);
// Element count of an array (0 for a descriptor whose counts overflow).
std::uint64_t ElementCount(const SAFEARRAY* psa);

// A zeroed descriptor with room for cDims bounds and the hidden header.
SAFEARRAY* AllocateDescriptor(UINT cDims);
void FreeDescriptor(SAFEARRAY* psa);
void StoreVartype(SAFEARRAY* psa, VARTYPE vt);
VARTYPE LoadVartype(const SAFEARRAY* psa);
// How far into its malloc block pvData starts (0 unless placed).
void StoreDataShift(SAFEARRAY* psa, std::size_t shift);
std::size_t LoadDataShift(const SAFEARRAY* psa);

// Whether SafeArrayDestroy frees the descriptor and data block (arrays on
// the stack, static or embedded in structures are only emptied).
bool OwnsStorage(const SAFEARRAY* psa);

// Frees elements [first, first + count) and leaves them zeroed, unless the
// block is about to be freed anyway (zeroing a large array costs as much as
// copying it).
void ReleaseElements(SAFEARRAY* psa, std::size_t first, std::size_t count, bool zero = true);

// Byte offset of the element at rgIndices (dimension 1 first); false when
// an index is out of range.
bool ElementOffset(const SAFEARRAY* psa, const LONG* rgIndices, std::size_t& offset);

bool IsLocked(SAFEARRAY* psa);

// Holds a lock on an array for one scope; ok() tells whether it was taken.
class ScopedArrayLock {
 public:
  explicit ScopedArrayLock(SAFEARRAY* psa) : psa_(SafeArrayLock(psa) == S_OK ? psa : nullptr) {}
  ScopedArrayLock(const ScopedArrayLock&) = delete;
  ScopedArrayLock& operator=(const ScopedArrayLock&) = delete;
  ~ScopedArrayLock() {
    if (psa_ != nullptr) SafeArrayUnlock(psa_);
  }
  bool ok() const { return psa_ != nullptr; }

 private:
  SAFEARRAY* psa_;
};

}  // namespace kiv::oleaut
