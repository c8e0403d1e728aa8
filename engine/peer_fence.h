// The engine's side of the network fence (support/net/network_fence.h):
// admitting or refusing an accepted connection.
#pragma once

#include "support/net/network_fence.h"

struct KIV;

// Checks the accepted socket's peer against the engine's allow-list; when the
// peer is not allowed, sends the refusal, logs the WARN line and returns false
// (the caller closes the socket). Called on the event thread; reads the fence
// KivStartListening set before that thread started.
bool KivAdmitPeer(KIV* engine, int socket);
