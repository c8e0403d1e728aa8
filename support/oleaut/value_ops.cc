#include "support/oleaut/value_ops.h"

namespace kiv::oleaut {
namespace {

// Every COM object starts with a pointer to a table whose first three slots
// are QueryInterface, AddRef and Release. A C++ class whose first virtual
// functions are those three has the same layout, and on this ABI a member
// function receives the object as its first argument, so one C view of the
// table serves objects written either way. IDispatch extends IUnknown, so
// its pointers go through the same slots.
struct UnknownVtbl {
  HRESULT (*QueryInterface)(void* self, const void* iid, void** out);
  ULONG (*AddRef)(void* self);
  ULONG (*Release)(void* self);
};

struct UnknownObject {
  const UnknownVtbl* vtbl;
};

const UnknownVtbl& VtblOf(IUnknown* object) {
  return *reinterpret_cast<const UnknownObject*>(object)->vtbl;
}

}  // namespace

BSTR CopyBstr(BSTR text) {
  if (text == nullptr) return nullptr;
  return SysAllocStringByteLen(reinterpret_cast<const char*>(text), SysStringByteLen(text));
}

void AddRefInterface(IUnknown* object) {
  if (object != nullptr) VtblOf(object).AddRef(object);
}

void ReleaseInterface(IUnknown* object) {
  if (object != nullptr) VtblOf(object).Release(object);
}

}  // namespace kiv::oleaut
