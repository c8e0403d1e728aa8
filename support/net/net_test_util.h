// Helpers for the network utility tests: a loopback TCP listener and the
// gate for tests that need a namespace prepared by their ctest command.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/net/net.h"

namespace kiv::nettest {

// A socket bound to 127.0.0.1 on a free port; listening unless told not to
// (then connects to it are refused).
class LoopbackPort {
 public:
  explicit LoopbackPort(bool listen = true) : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof address;
    if (::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &size) == 0 &&
        (!listen || ::listen(socket_.get(), 4) == 0)) {
      port_ = ntohs(address.sin_port);
    }
  }
  std::uint16_t port() const { return port_; }
  // The next pending connection, waited for at most a second.
  SOCKET Accept() {
    pollfd entry{socket_.get(), POLLIN, 0};
    return ::poll(&entry, 1, 1000) == 1 ? ::accept(socket_.get(), nullptr, nullptr)
                                        : INVALID_SOCKET;
  }

 private:
  ScopedSocket socket_;
  std::uint16_t port_ = 0;
};

// True when the ctest command prepared this scenario's namespace
// (KIV_NET_SCENARIO); other runs skip the test.
inline bool InScenario(const std::string& name) {
  const char* scenario = std::getenv("KIV_NET_SCENARIO");
  return scenario != nullptr && scenario == name;
}

inline IPv4Address Address(const char* dotted) {
  in_addr value{};
  ::inet_pton(AF_INET, dotted, &value);
  return value.s_addr;
}

}  // namespace kiv::nettest
