// The engine object KIV and the state the engine's parts share. Private to
// engine/: owners see only the opaque KIV of <kiv/engine.h>.
//
// Locking: cacheLock (recursive) guards idleCache, inUse and the registered
// flag during removal. Registration fields are written by the owner's thread
// (KivRegister) or by the discovery thread under the engine-list mutex
// (re-registration) under identityLock, which readers on other threads take
// too (engine/engine_state.h); lastDirectoryContact and directoryStatus are
// atomics because worker threads refresh them on every sign of life.
#pragma once

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "discovery/discover_client.h"
#include "engine/call.h"
#include "engine/lookup_cache.h"
#include "engine/message_limit.h"
#include "engine/peer_fence.h"
#include "engine/worker_pool.h"
#include "kiv/engine.h"
#include "kiv/value.h"
#include "support/threads/cond.h"
#include "support/threads/mutex.h"
#include "support/time/time_limits.h"

struct KivIdleConnection {
  int socket;
  std::uint16_t port;
  std::string host;  // exactly as the caller gave it
};

// The process's discovery client, with the engine installed as the receiver
// of its directory statuses (KivOnDirectoryStatus).
boost::shared_ptr<KivDiscoverClient> AttachDiscovery();

struct KIV {
  KIV(KivRequestCallback request, KivStatusCallback status, void* ctx)
      : discovery(AttachDiscovery()), onRequest(request), onStatus(status), context(ctx) {}

  boost::shared_ptr<KivDiscoverClient> discovery;
  std::atomic<std::uint8_t> registered{0};
  std::uint16_t listenPort = 0;
  std::string directoryId;
  std::string directoryHost = "0.0.0.0";
  std::string directoryAddress;
  std::uint16_t directoryPort = 0;
  std::atomic<std::int32_t> satelliteId{0};
  kiv::Bstr satelliteName;
  std::u16string computerName;
  std::atomic<std::int32_t> directoryStatus{KIV_UNKNOWN};
  std::atomic<std::int64_t> lastDirectoryContact{0};
  // Re-registrations are paced (engine/directory_status.cc): when the last
  // one went, in wall seconds, and whether one waits for the pace. Touched
  // only under the engine-list mutex (by the discovery thread, but in tests).
  std::optional<std::int64_t> lastReregistration;
  bool reregistrationDeferred = false;
  kiv::Variant services;
  std::uint8_t listening = 0;
  PCondFlag eventThreadDone{false};
  int listenSocket = -1;
  std::list<KivIdleConnection> idleCache;
  std::set<int> inUse;
  PMutex cacheLock{true};
  PCondFlag stopEvent{false};
  KivRequestCallback onRequest;
  KivStatusCallback onStatus;
  void* context;
  // Written by a worker when its connection turns idle, so the event thread
  // watches it at once instead of after its select time-out.
  int wakeFd = -1;
  // Guards the fields that a (re-)registration writes while other threads
  // read them: directoryId, directoryHost, directoryAddress, directoryPort,
  // satelliteName, computerName, services, listenPort, listening,
  // listenSocket, wakeFd. Held only for short copies, never across an
  // exchange; readers use the accessors of engine/engine_state.h.
  PMutex identityLock;
  // Threads that still use the engine after their caller moved on: message
  // workers whose handler was busy at removal, and request targets that run
  // on after KivRequest returned. KivDestroy waits for 0; the count is shared
  // so that it outlives the engine while the last of them signals.
  std::shared_ptr<PIntCondMutex> workers = std::make_shared<PIntCondMutex>();
  // The threads that serve incoming messages; each counts in `workers`.
  kiv::engine::WorkerPool pool{this};
  // How long a worker waits for the rest of a message, or for the peer to
  // take its reply, before it drops the connection: a peer that connects and
  // stays silent must not hold a thread for ever. Tests lower it.
  std::int32_t messageTimeoutMs = kiv::LimitMs(kiv::TimeLimit::kMessageDeadline);
  // The largest message this engine reads, request or reply, counted as it
  // costs in memory (0: no limit beyond the wire format's); from the
  // configuration store at creation.
  std::uint64_t maxMessageBytes = kiv::engine::ConfiguredMessageLimit();
  // Shared by every message being read at once; the process's, unless a
  // test gives the engine one of its own.
  kiv::DecodeBudget* decodeBudget = &kiv::engine::ProcessDecodeBudget();
  // The directory's recent answers for named satellites (engine/lookup_cache.h).
  kiv::engine::LookupCache lookups;
  // How long any request to the directory may wait for its answer.
  std::int32_t directoryTimeoutMs = kiv::engine::ConfiguredDirectoryTimeoutMs();
  // How long a served connection may stay silent before it is closed.
  std::int32_t idleTimeoutMs = kiv::engine::ConfiguredIdleTimeoutMs();
  // The listen address and the peers served; set by KivStartListening before
  // it starts the event thread and never changed after, so that thread reads
  // it without a lock.
  kiv::NetworkFence fence;
};
