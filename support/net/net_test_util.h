// Helpers for the network utility tests: a loopback TCP listener, a log
// capture installed as the process-wide logger, and the gate for tests that
// need a namespace prepared by their ctest command.
#pragma once

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>

#include "support/log/cbblog.h"
#include "support/net/net.h"
#include "support/net/net_internal.h"

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
  net_internal::ScopedSocket socket_;
  std::uint16_t port_ = 0;
};

// Collects every line logged while it lives, formatted, with its level
// (LOG_WARN, LOG_DEBUG, ...).
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  bool Has(int level, const std::u16string& message) const;

 private:
  class Logger;
  boost::shared_ptr<Logger> logger_;
};

// True when the ctest command prepared this scenario's namespace
// (KIV_NET_SCENARIO); other runs skip the test.
bool InScenario(const char* name);

IPv4Address Address(const char* dotted);

}  // namespace kiv::nettest
