// Reading IDispatch::Invoke arguments by parameter position. DISPPARAMS
// holds them last first; positions here count from the first parameter.
// Each reader checks the argument's type and answers DISP_E_TYPEMISMATCH
// (or DISP_E_OVERFLOW, E_POINTER) with *argErr set to the argument's index
// in rgvarg, as COM reports it. Values are borrowed from the caller's
// DISPPARAMS for the duration of the call; nothing here allocates.
#pragma once

#include "kiv/com.h"

namespace kiv::com {

class DispatchArgs {
 public:
  DispatchArgs(DISPPARAMS* params, UINT* argErr) : params_(params), argErr_(argErr) {}

  // DISP_E_BADPARAMCOUNT unless there are exactly `count` positional
  // arguments; DISP_E_NONAMEDARGS for named ones.
  HRESULT Expect(UINT count) const;

  // An integer that fits 32 bits (any integer type, or a real without a
  // fraction), by value or by reference.
  HRESULT Long(UINT position, LONG* value) const;
  // A string (VT_BSTR, by value or by reference); VT_EMPTY and VT_NULL are
  // the null string. The string stays the caller's.
  HRESULT String(UINT position, BSTR* value) const;
  // Any value; a VT_BYREF|VT_VARIANT is followed to the value it points at.
  HRESULT Value(UINT position, VARIANT* value) const;
  // The caller's variant to read and write: a VT_BYREF|VT_VARIANT's target,
  // or (when byValueAllowed) the argument itself, whose array is shared
  // with the caller.
  HRESULT VariantRef(UINT position, bool byValueAllowed, VARIANT** target) const;
  // A place for an integer result: VT_BYREF|VT_I4 or VT_BYREF|VT_VARIANT.
  HRESULT LongRef(UINT position, VARIANT** target) const;

 private:
  VARIANT& At(UINT position) const;
  HRESULT Refuse(UINT position, HRESULT code) const;

  DISPPARAMS* params_;
  UINT* argErr_;
};

// Stores a 32-bit result where LongRef pointed: into the LONG of a
// VT_BYREF|VT_I4, or as a VT_I4 into the target variant.
void StoreLong(VARIANT* target, LONG value);

}  // namespace kiv::com
