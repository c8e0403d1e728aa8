// The two costs the engine's design adds to every call, measured as
// transports of their own in the same run: starting and joining one worker
// thread (what the server pays per incoming message) and the directory
// lookup ("GetServiceReg" for one satellite) that precedes every request.
#pragma once

#include <memory>

#include "bench/compare/echo_transport.h"

namespace kiv::compare {

std::unique_ptr<EchoTransport> MakeThreadStartCost();

}  // namespace kiv::compare
