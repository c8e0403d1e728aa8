// KivOnDirectoryStatus: compares discovery's reports of a directory's state
// with each engine's own record of it, and registers the satellite again
// when the directory seems to have forgotten it (restarted, or silent for
// too long). Runs on the discovery thread under the engine-list mutex.
#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "engine/engine_list.h"
#include "engine/engine_object.h"
#include "engine/engine_state.h"
#include "kiv/engine.h"
#include "kiv/status.h"
#include "kiv/value.h"
#include "support/log/log.h"
#include "support/time/wall_clock.h"

namespace {

// A directory pings its satellites more often than this; silence this long
// means it has lost them.
constexpr std::int64_t kDirectorySilenceSeconds = 41;

void Notify(KIV* engine, std::int32_t status) {
  if (engine->onStatus != nullptr) {
    engine->onStatus(engine, engine->context, engine->satelliteId.load(), status);
  }
}

void Reregister(KIV* engine) {
  LogDebug(u"Reregistering satellite");
  // Copies: KivRegister replaces the very fields it is given.
  try {
    const kiv::engine::DirectoryLink directory = kiv::engine::DirectoryLinkOf(engine);
    kiv::Bstr name = kiv::engine::SatelliteNameOf(engine);
    kiv::Variant services = kiv::engine::ServicesOf(engine);
    kiv::Variant returnCode;  // failures wait for the next report
    KivRegister(engine, directory.host.c_str(), directory.port, name.get(), services.get(),
                returnCode.get());
  } catch (const std::bad_alloc&) {
    // Nothing was sent; the next report tries again.
  }
}

void OnStatus(KIV* engine, std::int32_t status) {
  if (status == engine->directoryStatus.load()) {
    if (status != KIV_ALIVE) return;
    if (kiv::WallSeconds() < engine->lastDirectoryContact.load() + kDirectorySilenceSeconds) {
      return;
    }
    // Alive to discovery but silent to us: the owner sees the loss first.
    LogDebug(u"No ping from directory");
    engine->directoryStatus = KIV_DEAD;
    Notify(engine, KIV_DEAD);
  }
  engine->directoryStatus = status;
  if (status == KIV_ALIVE && engine->registered.load() != 0) Reregister(engine);
  Notify(engine, status);
}

}  // namespace

void KivOnDirectoryStatus(const char* directoryId, std::int32_t status) {
  const std::string_view id = directoryId != nullptr ? directoryId : "";
  PScopedLock guard(&kiv::engine::EngineListMutex());
  for (KIV* engine : kiv::engine::EngineList()) {
    bool matches = false;
    try {
      matches = kiv::engine::DirectoryIdOf(engine) == id;
    } catch (const std::bad_alloc&) {
      continue;  // this engine hears of the directory with the next report
    }
    if (matches) OnStatus(engine, status);
  }
}

boost::shared_ptr<KivDiscoverClient> AttachDiscovery() {
  kiv::discovery::InstallDirectoryStatusReport(KivOnDirectoryStatus);
  return GetDiscoverClient();
}
