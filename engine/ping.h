// The ping exchange on a connected socket, shared by KivPing and by callers
// that bound the wait their own way (the directory's liveness probe).
#pragma once

#include <cstdint>
#include <optional>

#include "engine/wire/socket_stream.h"

namespace kiv::engine {

// Sends the ping and reads its reply; false on any transport failure. The
// status is read only for a non-negative result. The socket's own time-outs
// bound the wait.
bool ExchangePing(kiv::SocketStream& stream, std::int32_t satelliteId, std::int32_t& result,
                  std::optional<std::uint32_t>& status);

}  // namespace kiv::engine
