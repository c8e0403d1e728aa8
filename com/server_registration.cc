// The script is a tree of keys. A key marked kKeep is never deleted, one
// marked kForce is deleted with everything below it, an ordinary key is
// deleted once none of its sub-keys remain.
#include "com/server_registration.h"

#include <dlfcn.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "com/type_library.h"
#include "kiv/utf8.h"
#include "support/registry/registry_data.h"
#include "support/registry/registry_hive.h"

namespace kiv::com {
namespace {

using registry::Hive;
using registry::Root;

enum class Removal { kNormal, kKeep, kForce };

struct NamedValue {
  std::u16string name;
  std::u16string text;
};

struct ScriptKey {
  std::u16string name;
  Removal removal = Removal::kNormal;
  std::optional<std::u16string> defaultText;
  std::vector<NamedValue> values;
  std::vector<ScriptKey> children;
};

std::u16string Wide(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

ScriptKey Key(std::u16string name, std::u16string defaultText, std::vector<ScriptKey> children = {},
              Removal removal = Removal::kNormal) {
  ScriptKey key;
  key.name = std::move(name);
  key.removal = removal;
  key.defaultText = std::move(defaultText);
  key.children = std::move(children);
  return key;
}

ScriptKey Bare(std::u16string name, std::vector<ScriptKey> children, Removal removal) {
  ScriptKey key;
  key.name = std::move(name);
  key.removal = removal;
  key.children = std::move(children);
  return key;
}

std::vector<ScriptKey> Script(std::u16string_view modulePath) {
  const std::u16string clsid = Wide(GuidToString(CLSID_KivIn));
  const std::u16string libid = Wide(GuidToString(LIBID_KIVLib));
  const LibraryInfo& library = KivTypeLibrary();
  const std::u16string module(modulePath);

  ScriptKey server = Key(u"InprocServer32", module);
  server.values.push_back({u"ThreadingModel", u"Free"});

  ScriptKey clsidKey = Key(clsid, u"KivIn Class",
                           {
                               Key(u"ProgID", u"Kiv.KivIn.1"),
                               Key(u"VersionIndependentProgID", u"Kiv.KivIn"),
                               Bare(u"Programmable", {}, Removal::kForce),
                               server,
                               Key(u"TypeLib", libid),
                           },
                           Removal::kForce);

  // The type library's own registration: its version key, the module that
  // carries it, and every interface it describes.
  ScriptKey version = Key(u"1.0", Wide(std::string(library.help)),
                          {
                              Bare(u"0", {Key(u"linux64", module)}, Removal::kNormal),
                              Key(u"FLAGS", u"0"),
                          });
  std::vector<ScriptKey> interfaces;
  for (const EntryInfo& entry : library.entries) {
    if (entry.kind != EntryKind::kDualInterface && entry.kind != EntryKind::kDispInterface) {
      continue;
    }
    ScriptKey typeLib = Key(u"TypeLib", libid);
    typeLib.values.push_back({u"Version", u"1.0"});
    interfaces.push_back(Key(Wide(GuidToString(entry.guid)), Wide(std::string(entry.name)),
                             {typeLib}, Removal::kForce));
  }

  return {
      Key(u"Kiv.KivIn.1", u"KivIn Class", {Key(u"CLSID", clsid)}),
      Key(u"Kiv.KivIn", u"KivIn Class", {Key(u"CLSID", clsid), Key(u"CurVer", u"Kiv.KivIn.1")}),
      Bare(u"CLSID", {clsidKey}, Removal::kKeep),
      Bare(u"TypeLib", {Bare(libid, {version}, Removal::kForce)}, Removal::kKeep),
      Bare(u"Interface", std::move(interfaces), Removal::kKeep),
  };
}

std::u16string Join(std::u16string_view parent, std::u16string_view name) {
  return parent.empty() ? std::u16string(name)
                        : std::u16string(parent) + u"\\" + std::u16string(name);
}

void Store(Hive& hive, const ScriptKey& key, const std::u16string& path);

void Apply(Hive& hive, const ScriptKey& key, std::u16string_view parent) {
  const std::u16string path = Join(parent, key.name);
  if (key.removal == Removal::kForce) hive.DeleteTree(Root::kClassesRoot, path);
  // A key that only leads to others exists through them; storing it would
  // leave it behind after unregistration.
  const bool holdsSomething = key.defaultText || !key.values.empty() || key.children.empty();
  if (holdsSomething) Store(hive, key, path);
  for (const ScriptKey& child : key.children) Apply(hive, child, path);
}

void Store(Hive& hive, const ScriptKey& key, const std::u16string& path) {
  registry::Key& stored = hive.OpenOrCreateKey(Root::kClassesRoot, path);
  if (key.defaultText) {
    registry::SetValue(stored, {u"", registry::kRegSz, registry::StringData(*key.defaultText)});
  }
  for (const NamedValue& value : key.values) {
    registry::SetValue(stored, {value.name, registry::kRegSz, registry::StringData(value.text)});
  }
}

// True when something was removed.
bool Remove(Hive& hive, const ScriptKey& key, std::u16string_view parent) {
  const std::u16string path = Join(parent, key.name);
  if (key.removal == Removal::kForce) return hive.DeleteTree(Root::kClassesRoot, path);
  bool changed = false;
  for (const ScriptKey& child : key.children) changed |= Remove(hive, child, path);
  if (key.removal == Removal::kNormal && hive.KeyExists(Root::kClassesRoot, path) &&
      hive.Subkeys(Root::kClassesRoot, path).empty()) {
    changed |= hive.DeleteTree(Root::kClassesRoot, path);
  }
  return changed;
}

void ModuleAnchor() {}

}  // namespace

HRESULT RegisterServer(const registry::Store& store, std::u16string_view modulePath) {
  const std::vector<ScriptKey> script = Script(modulePath);
  bool written = store.Update([&script](Hive& hive) {
    for (const ScriptKey& key : script) Apply(hive, key, u"");
    return true;
  });
  return written ? S_OK : SELFREG_E_CLASS;
}

HRESULT UnregisterServer(const registry::Store& store) {
  const std::vector<ScriptKey> script = Script(u"");
  bool unchanged = false;
  bool written = store.Update([&script, &unchanged](Hive& hive) {
    bool changed = false;
    for (const ScriptKey& key : script) changed |= Remove(hive, key, u"");
    unchanged = !changed;
    return changed;
  });
  return (written || unchanged) ? S_OK : SELFREG_E_CLASS;
}

std::string ModulePath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModuleAnchor), &info) == 0 || info.dli_fname == nullptr) {
    return {};
  }
  char resolved[4096];
  if (realpath(info.dli_fname, resolved) != nullptr) return resolved;
  return info.dli_fname;
}

}  // namespace kiv::com

extern "C" KIV_API HRESULT DllRegisterServer() {
  const std::string path = kiv::com::ModulePath();
  if (path.empty()) return SELFREG_E_CLASS;
  // Paths are bytes on Linux; the store keeps UTF-16 text.
  return kiv::com::RegisterServer(kiv::registry::Store(), kiv::FromUtf8(path));
}

extern "C" KIV_API HRESULT DllUnregisterServer() {
  return kiv::com::UnregisterServer(kiv::registry::Store());
}
