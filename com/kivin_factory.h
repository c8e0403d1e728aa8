// The hook through which the class factory creates KivIn objects. Defined
// beside CKivIn. `outer` is null, or the controlling unknown of an aggregate
// (then riid is IID_IUnknown, checked by the factory, and *ppv receives the
// object's non-delegating IUnknown). On failure *ppv is null and nothing
// is left alive. Any thread may call.
#pragma once

#include "kiv/com.h"

namespace kiv::com {

HRESULT CreateKivInInstance(IUnknown* outer, REFIID riid, void** ppv);

}  // namespace kiv::com
