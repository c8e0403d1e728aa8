// Guarded reads of the engine fields that a registration writes while other
// threads (workers, request threads, the discovery thread) read them. Each
// accessor copies under KIV::identityLock and never blocks for long; any
// thread may call them on a live engine. Copies of text may throw
// std::bad_alloc.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kiv/value.h"

struct KIV;

namespace kiv::engine {

struct DirectoryLink {
  std::string host;     // as the owner gave it, "0.0.0.0" if none
  std::string address;  // what connections to the directory use
  std::uint16_t port = 0;
};

std::string DirectoryIdOf(KIV* engine);
kiv::Bstr SatelliteNameOf(KIV* engine);  // null until the first registration
kiv::Variant ServicesOf(KIV* engine);
DirectoryLink DirectoryLinkOf(KIV* engine);

// A sign of life from the directory: lastDirectoryContact becomes now and
// the discovery client hears of the directory (by its id).
void NoteDirectoryContact(KIV* engine);

// Whether the name is the directory's, "MainRegister" in any letter case.
bool IsDirectoryName(BSTR name);
bool IsDirectoryName(std::u16string_view name);

// Points the engine at a directory without registering, for owners that only
// call (one-shot tools): requests look services up there and go out under
// callerName, and nothing is left for the directory to forget. Port 0 means
// the directory port. Owner's thread, before any request.
void UseDirectory(KIV* engine, const std::string& host, std::uint16_t port, BSTR callerName);

}  // namespace kiv::engine
