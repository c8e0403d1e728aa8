// gRPC unary echo on loopback: a synchronous server with gRPC's default
// thread handling, and one channel per client, each kept on a connection of
// its own (no shared subchannel pool, no proxy).
#pragma once

#include <memory>

#include "bench/compare/echo_transport.h"

namespace kiv::compare {

std::unique_ptr<EchoTransport> MakeGrpcEcho();

}  // namespace kiv::compare
