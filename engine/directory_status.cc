// KivOnDirectoryStatus: compares discovery's reports of a directory's state
// with each engine's own record of it, and registers the satellite again
// when the directory seems to have forgotten it (restarted, or silent for
// too long). Runs on the discovery thread under the engine-list mutex.
//
// Anyone on the network can send BYEBYE and NOTIFY, so re-registrations are
// paced: the first after a quiet spell goes at once (a real restart is
// followed without delay), a later one within kReregistrationPaceSeconds
// waits for the pace's end and then goes only if the directory is still up.
// The owner hears that the directory is back when that registration goes,
// so its own requests (listener subscriptions) are paced alike.
#include <atomic>
#include <cstdint>
#include <new>
#include <optional>
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
// Short beside the 41 s a satellite may stay unregistered after a crash of
// its directory (a directory restarted twice within it is followed at the
// pace's end), long beside any burst of datagrams: a storm costs each
// satellite one registration per pace. Whole wall-clock seconds, as the
// 41-second rule counts, so tests move the same clock.
constexpr std::int64_t kReregistrationPaceSeconds = 5;

// Set when an engine puts a re-registration off, so the discovery thread's
// periodic work looks at the engines only then.
std::atomic<bool> gSomeDeferred{false};

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

// A clock set back counts as the pace having passed, not as a long wait.
bool WithinPace(const KIV* engine, std::int64_t now) {
  const std::optional<std::int64_t>& last = engine->lastReregistration;
  return last && now >= *last && now - *last < kReregistrationPaceSeconds;
}

void ReregisterNow(KIV* engine, std::int64_t now) {
  engine->lastReregistration = now;
  engine->reregistrationDeferred = false;
  Reregister(engine);
  Notify(engine, KIV_ALIVE);
}

// The directory is back and the satellite was registered: registers again
// now, or at the end of the pace.
void DirectoryBack(KIV* engine) {
  const std::int64_t now = kiv::WallSeconds();
  if (!WithinPace(engine, now)) {
    ReregisterNow(engine, now);
    return;
  }
  engine->reregistrationDeferred = true;
  gSomeDeferred = true;
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
  // A directory that went, came back or fell silent may have lost or moved
  // satellites: every request asks it again.
  engine->lookups.Clear();
  engine->directoryStatus = status;
  if (status == KIV_ALIVE && engine->registered.load() != 0) {
    DirectoryBack(engine);
    return;
  }
  Notify(engine, status);
}

// The discovery thread's periodic work: the re-registrations whose pace has
// passed, for engines whose directory is still up. True while some wait.
bool RunDeferredReregistrations() {
  if (!gSomeDeferred.exchange(false)) return false;
  const std::int64_t now = kiv::WallSeconds();
  PScopedLock guard(&kiv::engine::EngineListMutex());
  for (KIV* engine : kiv::engine::EngineList()) {
    if (!engine->reregistrationDeferred) continue;
    if (WithinPace(engine, now)) {
      gSomeDeferred = true;  // not yet: look again next time
    } else if (engine->directoryStatus.load() == KIV_ALIVE && engine->registered.load() != 0) {
      ReregisterNow(engine, now);
    } else {
      engine->reregistrationDeferred = false;  // down again: its return re-registers
    }
  }
  return gSomeDeferred.load();
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
  kiv::discovery::InstallPeriodicWork(RunDeferredReregistrations);
  return GetDiscoverClient();
}
