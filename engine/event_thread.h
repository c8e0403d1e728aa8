// The server side of the engine: one KivConnection per accepted connection
// and the event thread that accepts connections, watches idle ones for the
// reuse marker and hands every message to a worker (engine/worker.h).
// A connection is used by one thread at a time: a worker while it is busy,
// the event thread otherwise; `state` tells which.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "engine/wire/socket_stream.h"

struct KIV;

namespace kiv::engine {

// Connection states.
constexpr std::int32_t kClosedByPeer = 0;
constexpr std::int32_t kFailed = 1;
constexpr std::int32_t kIdle = 2;  // waiting for the next message
constexpr std::int32_t kBusy = 3;  // a worker owns it

// Most live connections (a message under way, or just accepted) one engine
// serves at once; further ones are refused. Idle connections do not count.
constexpr std::size_t kMaxConnections = 200;
// Most connections of any state one engine holds; past it, and when the
// process runs out of descriptors, the longest-idle connection is closed to
// admit a new one. Well below the usual 1024 descriptors of a process.
constexpr std::size_t kMaxHeldConnections = 800;
// The event thread sleeps until a connection has something to say, a worker
// hands one back, the engine stops, or an idle connection is due to close.
// Its longest sleep: a safety net, not a mechanism.
constexpr int kLongestWaitMs = 1000;
// The wait while the listener is skipped for lack of descriptors.
constexpr int kRetryListenerMs = 5;
// At most this much of what a refused peer sent is read and dropped before
// the refusal, so that the close does not reset the connection.
constexpr std::size_t kDiscardLimit = 65536;

}  // namespace kiv::engine

struct KivConnection {
  explicit KivConnection(int socket);
  // Closes the socket unless it was detached.
  ~KivConnection();
  KivConnection(const KivConnection&) = delete;
  KivConnection& operator=(const KivConnection&) = delete;

  kiv::SocketStream stream;
  // Written by the worker when it ends and by the event thread otherwise.
  std::atomic<std::int32_t> state{kiv::engine::kBusy};
  // When the event thread first saw it idle since its last message; only
  // the event thread touches it (unset while a message is served).
  std::optional<std::chrono::steady_clock::time_point> idleSince;
};

// The event thread's body: runs until stopEvent is set, then closes every
// connection and sets eventThreadDone (also when it ends on a failure).
// Returns 0.
int KivEventThread(KIV* engine);

// Sends the answer to the reuse marker without blocking; false when it did
// not go out whole. With `messageWaiting` (the peer sent its message behind
// the marker) the kernel holds the byte until the reply follows it, at most
// about 200 ms, so that the caller wakes once for both; a peer that waits
// for the answer before it sends gets it at once.
bool KivSendReuseAnswer(int socket, bool messageWaiting);

// Reads and drops what the peer sent (at most kDiscardLimit bytes, without
// waiting) and sends the 4-byte refusal without blocking.
void KivSendRefusal(int socket, std::int32_t code);
