// The class factory of KivIn. One factory object serves the whole process;
// AddRef/Release on it keep no count (it lives as long as the module), and
// only LockServer and live objects hold the module. Any thread may call.
#pragma once

#include "kiv/com.h"

namespace kiv::com {

// COM's aggregation rule: with an outer unknown only IID_IUnknown may be
// asked for (CLASS_E_NOAGGREGATION otherwise). Objects come from `create`.
using CreateFunction = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);
HRESULT FactoryCreateInstance(CreateFunction create, IUnknown* outer, REFIID riid, void** ppv);

// The process's KivIn factory (no reference taken).
IClassFactory* KivInClassFactory();

}  // namespace kiv::com
