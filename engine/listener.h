// The engine's listening socket and its event thread: opened by the first
// KivRegister, stopped by KivRemoveSatellite (or, as a last resort, by
// KivDestroy). Called by the engine's owner, one thread at a time.
#pragma once

#include <cstdint>

struct KIV;

// Opens the listening socket (for the directory, the port of the directory
// it registers with, by default 29831, with address reuse; an ephemeral
// port otherwise, on the fence's listen address,
// by default 0.0.0.0; engine/peer_fence.h) and starts the detached event
// thread, unless the engine listens already. 0, or 0x20003 when a fence is
// misconfigured, the socket cannot be set up, the thread cannot start, or
// the engine was stopped before (a removed engine never listens again).
std::int32_t KivStartListening(KIV* engine, bool isDirectory);

// Stops the event thread and closes the listening socket; returns once the
// thread has ended. Never waits for a request handler that is still busy:
// its worker finishes on its own (KivDestroy waits for it).
void KivStopListening(KIV* engine);
