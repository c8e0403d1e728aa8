// Test double for COM objects: a C++ class whose first virtual functions are
// QueryInterface, AddRef and Release, as a COM layer will declare them, so
// tests also prove that such objects are called through the right slots.
#pragma once

#include "kiv/oleaut.h"

namespace kiv::testing {

class FakeUnknown {
 public:
  virtual HRESULT QueryInterface(const void*, void** out) {
    *out = nullptr;
    return E_NOTIMPL;
  }
  virtual ULONG AddRef() { return ++refs_; }
  virtual ULONG Release() { return --refs_; }

  IUnknown* get() { return reinterpret_cast<IUnknown*>(this); }
  ULONG refs() const { return refs_; }

 private:
  ULONG refs_ = 1;
};

}  // namespace kiv::testing
