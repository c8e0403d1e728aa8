// Engine-internal helpers of the client connections (the public half is in
// <kiv/engine.h>): the probe of an idle connection and the closing of every
// connection when a satellite is removed. Sockets are plain descriptors.
#pragma once

#include <cstdint>

struct KIV;

namespace kiv::engine {

// The byte a client sends first on a reused connection, and the answer.
constexpr std::uint8_t kReuseMarker = 0xCC;
constexpr std::uint8_t kReuseAnswer = 0x33;

// Waits at most timeoutMs for one byte and tells whether it is kReuseAnswer.
bool ReadReuseAnswer(int socket, std::int32_t timeoutMs);

// Closes every idle connection and cuts every lent one (the exchange using
// it fails and closes it itself); both lists end empty.
void CloseAllConnections(KIV* engine);

}  // namespace kiv::engine
