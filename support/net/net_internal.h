// Pieces shared by the network utilities: one IPv4 name lookup. Internal to support/net; no locks,
// no logging.
#pragma once

#include <netinet/in.h>

#include "support/net/socket.h"

namespace kiv::net_internal {

using kiv::ScopedSocket;

// The first IPv4 address getaddrinfo finds for host. service may be null;
// when given it must be numeric and the port lands in `found`. socketType
// and protocol 0 accept any. False when nothing resolves.
bool LookUpIPv4(const char* host, const char* service, int socketType, int protocol,
                sockaddr_in& found);

}  // namespace kiv::net_internal
