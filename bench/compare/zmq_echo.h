// ZeroMQ REQ/REP echo over TCP on loopback, mirroring the floor: one REP
// socket and one server thread per client connection, each client a REQ
// socket of its own. The context keeps ZeroMQ's default single I/O thread.
#pragma once

#include <memory>

#include "bench/compare/echo_transport.h"

namespace kiv::compare {

std::unique_ptr<EchoTransport> MakeZmqEcho();

}  // namespace kiv::compare
