// Helpers for the network utility tests: a loopback TCP listener and the
// gate for tests that need a namespace prepared by their ctest command.
#pragma once

#include <cstdint>

#include "support/net/net.h"

namespace kiv::nettest {

// A socket bound to 127.0.0.1 on a free port; listening unless told not to
// (then connects to it are refused).
class LoopbackPort {
 public:
  explicit LoopbackPort(bool listen = true);

  std::uint16_t port() const { return port_; }
  // The next pending connection, waited for at most a second.
  SOCKET Accept();

 private:
  ScopedSocket socket_;
  std::uint16_t port_ = 0;
};

// True when the ctest command prepared this scenario's namespace
// (KIV_NET_SCENARIO); other runs skip the test.
bool InScenario(const char* name);

IPv4Address Address(const char* dotted);

}  // namespace kiv::nettest
