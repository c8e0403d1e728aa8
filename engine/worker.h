// The worker side of the server: a thread of the engine's pool reads each
// incoming message, calls the owner's request handler or answers a ping,
// writes the reply and, unless the client calls again at once, hands the
// connection back to the event thread (state idle when the message was
// handled, failed otherwise). Nothing here throws; malformed input is
// refused on the wire and never crashes.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/wire/byte_io.h"

struct KIV;
struct KivConnection;

// Has a worker serve the busy connection; false when no thread could be
// started (the caller refuses the connection). The worker shares the
// connection, so it may outlive the event thread's table.
bool KivStartWorker(const std::shared_ptr<KivConnection>& connection, KIV* engine);

// A worker's job: serves the busy connection's messages, then hands it back.
void KivServeConnection(KIV* engine, std::shared_ptr<KivConnection> connection);

// Reads one message from the connection and answers it. True when the
// connection may serve another message.
// With afterMarker, the reuse marker comes first and is answered here.
bool KivHandleMessage(KIV* engine, KivConnection* connection, bool afterMarker = false);
// The rest of a service request (kind 0) and of a ping (kind 1), read from
// the message's one source.
bool KivHandleRequest(KIV* engine, KivConnection* connection, kiv::SocketSource& in);
bool KivHandlePing(KIV* engine, KivConnection* connection, kiv::SocketSource& in);

namespace kiv::engine {

// Makes the next `count` worker starts fail, so tests can see the refusal
// of a server that cannot start a worker.
void FailWorkerStartsForTesting(int count);

}  // namespace kiv::engine
