// Single-value operations shared by the variant and array code: copying a
// string with its exact byte length, and taking or dropping a reference on
// an interface pointer. All accept null and may be called from any thread.
#pragma once

#include "kiv/oleaut.h"

namespace kiv::oleaut {

// A new string with the same bytes as text (odd byte lengths included).
// Null for a null text, and null when memory runs out: callers tell the two
// apart by looking at text.
BSTR CopyBstr(BSTR text);

// Call AddRef / Release through the object's COM vtable; null is ignored.
void AddRefInterface(IUnknown* object);
void ReleaseInterface(IUnknown* object);

}  // namespace kiv::oleaut
