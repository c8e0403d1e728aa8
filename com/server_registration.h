// The registration script of the in-process server: the keys under
// HKEY_CLASSES_ROOT that make KivIn creatable and its type library
// findable. Register/Unregister apply it to a store in one locked update.
// Any thread may call; a failure leaves the store as it was.
#pragma once

#include <string>
#include <string_view>

#include "kiv/com.h"
#include "support/registry/registry_store.h"

namespace kiv::com {

// Writes every key of the script; `modulePath` replaces %MODULE%. Forced
// keys are emptied first so no stale sub-keys survive a re-registration.
// SELFREG_E_CLASS when the store cannot be updated.
HRESULT RegisterServer(const registry::Store& store, std::u16string_view modulePath);

// Removes the keys the script marks for removal; CLSID, TypeLib and
// Interface themselves are kept. SELFREG_E_CLASS when the store cannot be
// updated; S_OK when there was nothing to remove.
HRESULT UnregisterServer(const registry::Store& store);

// Full path of the file holding this code (libkiv.so, or the program the
// library is linked into); empty when unknown.
std::string ModulePath();

}  // namespace kiv::com
