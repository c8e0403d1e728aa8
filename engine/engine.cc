// KivCreate and KivDestroy, and the process-wide list of engines.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "engine/engine_list.h"
#include "engine/engine_object.h"
#include "engine/listener.h"
#include "kiv/result_codes.h"
#include "support/threads/counted_thread.h"

namespace kiv::engine {

namespace {

struct Registry {
  PMutex mutex;
  std::vector<KIV*> engines;
};

// Never destroyed: an engine may be destroyed by another static object's
// destructor while the process exits, after this file's statics are gone.
Registry& TheRegistry() {
  static Registry* registry = new Registry();
  return *registry;
}

}  // namespace

PMutex& EngineListMutex() {
  return TheRegistry().mutex;
}

std::vector<KIV*>& EngineList() {
  return TheRegistry().engines;
}

}  // namespace kiv::engine

std::int32_t KivCreate(KIV** engine, KivRequestCallback onRequest, KivStatusCallback onStatus,
                       void* context) {
  if (engine == nullptr) return kiv::KIV_E_OUT_OF_MEMORY;
  std::unique_ptr<KIV> created;
  try {
    created = std::make_unique<KIV>(onRequest, onStatus, context);
    PScopedLock guard(&kiv::engine::EngineListMutex());
    kiv::engine::EngineList().push_back(created.get());
  } catch (const std::exception&) {
    *engine = nullptr;
    return kiv::KIV_E_OUT_OF_MEMORY;
  }
  // The owner holds the engine through the opaque pointer until KivDestroy.
  *engine = created.release();
  // The platform's socket layer needs no start-up here.
  return kiv::KIV_OK;
}

void KivDestroy(KIV* engine) {
  if (engine == nullptr) return;
  const std::unique_ptr<KIV> owner(engine);
  {
    PScopedLock guard(&kiv::engine::EngineListMutex());
    auto& list = kiv::engine::EngineList();
    const auto found = std::find(list.begin(), list.end(), engine);
    if (found != list.end()) list.erase(found);
  }
  // The owner should have removed the satellite first; if it did not, the
  // event thread must still stop before the object it uses is freed.
  KivStopListening(engine);
  engine->pool.Stop();
  // Handlers that were still busy when the event thread stopped run on
  // detached workers that hold this engine.
  WaitForCountedThreads(*engine->workers);
  {
    PScopedLock guard(&engine->cacheLock);
    for (const KivIdleConnection& idle : engine->idleCache) ::close(idle.socket);
    engine->idleCache.clear();
    // Sockets still lent out belong to their exchanges, which close them.
    engine->inUse.clear();
  }
  if (engine->wakeFd >= 0) ::close(engine->wakeFd);
}
