// Pieces shared by the network utilities: an owning socket handle and one
// IPv4 name lookup. Internal to support/net; no locks, no logging.
#pragma once

#include <netinet/in.h>
#include <unistd.h>

#include "engine/wire/byte_io.h"

namespace kiv::net_internal {

// Owns one socket (or netlink) descriptor and closes it at destruction
// unless Release hands it on.
class ScopedSocket {
 public:
  explicit ScopedSocket(SOCKET socket) : socket_(socket) {}
  ~ScopedSocket() {
    if (socket_ != INVALID_SOCKET) ::close(socket_);
  }
  ScopedSocket(const ScopedSocket&) = delete;
  ScopedSocket& operator=(const ScopedSocket&) = delete;

  SOCKET get() const { return socket_; }
  bool valid() const { return socket_ != INVALID_SOCKET; }
  SOCKET Release() {
    const SOCKET socket = socket_;
    socket_ = INVALID_SOCKET;
    return socket;
  }

 private:
  SOCKET socket_;
};

// The first IPv4 address getaddrinfo finds for host. service may be null;
// when given it must be numeric and the port lands in `found`. socketType
// and protocol 0 accept any. False when nothing resolves.
bool LookUpIPv4(const char* host, const char* service, int socketType, int protocol,
                sockaddr_in& found);

}  // namespace kiv::net_internal
