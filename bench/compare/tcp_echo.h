// The floor: a bare TCP echo written here, against which the other
// transports are measured. Blocking sockets with TCP_NODELAY; a request is
// a u32 length (network order) then the payload, and the server writes it
// back unchanged; one long-lived server thread per connection.
#pragma once

#include <memory>

#include "bench/compare/echo_transport.h"

namespace kiv::compare {

std::unique_ptr<EchoTransport> MakeTcpFloor();

}  // namespace kiv::compare
