// The discovery socket's system calls: set-up, SEARCH sending and receiving
// one datagram. No state and no locks of their own; the discovery client
// owns the socket and serialises SendSearchOn (it moves the socket's
// outgoing multicast interface). Failures are reported only where noted.
#pragma once

#include <cstddef>
#include <vector>

#include "support/net/net.h"
#include "support/net/socket.h"

namespace kiv::discovery {

// A UDP socket with multicast TTL 4 and address reuse, bound to port 1901 on
// every address. On a bind failure: WARN "Failed to bind discovery socket"
// and INVALID_SOCKET. The caller owns the result.
SOCKET OpenDiscoverySocket();
// Joins the group on each interface address in turn; failures are ignored.
void JoinGroup(SOCKET socket, IPv4Address group, const std::vector<IPv4Address>& interfaces);
// For each interface whose selection as the outgoing multicast interface
// succeeds: SEARCH to the group's port 1901, 10 ms pause, SEARCH again.
// Send failures are ignored.
void SendSearchOn(SOCKET socket, IPv4Address group, const std::vector<IPv4Address>& interfaces);

// One datagram of at most `capacity` bytes into buffer without waiting, and
// its IPv4 source. Answers the byte count, or -1 with the error in *error (a
// datagram longer than capacity is dropped and answered as EMSGSIZE).
long ReceiveDatagram(SOCKET socket, char* buffer, std::size_t capacity, IPv4Address* source,
                     int* error);

}  // namespace kiv::discovery
