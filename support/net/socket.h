// The socket handle every layer passes around, and the one owner that closes
// it. Lives at the bottom so that the wire codec, discovery and the engine
// share one definition.
#pragma once

#include <unistd.h>

namespace kiv {

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;

// Owns one socket (or netlink) descriptor and closes it at destruction
// unless Release hands it on.
class ScopedSocket {
 public:
  explicit ScopedSocket(SOCKET socket = INVALID_SOCKET) : socket_(socket) {}
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

}  // namespace kiv
