#include "engine/engine_state.h"

#include <string_view>

#include "engine/engine_object.h"
#include "support/time/wall_clock.h"

namespace kiv::engine {

std::string DirectoryIdOf(KIV* engine) {
  PScopedLock guard(&engine->identityLock);
  return engine->directoryId;
}

kiv::Bstr SatelliteNameOf(KIV* engine) {
  PScopedLock guard(&engine->identityLock);
  BSTR name = engine->satelliteName.get();
  if (name == nullptr) return kiv::Bstr();
  return kiv::Bstr(engine->satelliteName.view());
}

kiv::Variant ServicesOf(KIV* engine) {
  PScopedLock guard(&engine->identityLock);
  return engine->services;
}

DirectoryLink DirectoryLinkOf(KIV* engine) {
  PScopedLock guard(&engine->identityLock);
  return {engine->directoryHost, engine->directoryAddress, engine->directoryPort};
}

void NoteDirectoryContact(KIV* engine) {
  engine->lastDirectoryContact.store(kiv::WallSeconds());
  if (engine->discovery) engine->discovery->TouchDirectory(DirectoryIdOf(engine));
}

bool IsDirectoryName(BSTR name) {
  return name != nullptr && IsDirectoryName(std::u16string_view(name, SysStringLen(name)));
}

bool IsDirectoryName(std::u16string_view name) {
  constexpr std::u16string_view kDirectory = u"mainregister";
  if (name.size() != kDirectory.size()) return false;
  for (std::size_t i = 0; i < kDirectory.size(); ++i) {
    char16_t unit = name[i];
    // The classic locale lowers A-Z only.
    if (unit >= u'A' && unit <= u'Z') unit = static_cast<char16_t>(unit - u'A' + u'a');
    if (unit != kDirectory[i]) return false;
  }
  return true;
}

}  // namespace kiv::engine
