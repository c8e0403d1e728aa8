#include "support/net/net_test_util.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

namespace kiv::nettest {

LoopbackPort::LoopbackPort(bool listen) : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), size) == 0 &&
      ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &size) == 0 &&
      (!listen || ::listen(socket_.get(), 4) == 0)) {
    port_ = ntohs(address.sin_port);
  }
}

SOCKET LoopbackPort::Accept() {
  pollfd entry{socket_.get(), POLLIN, 0};
  if (::poll(&entry, 1, 1000) != 1) return INVALID_SOCKET;
  return ::accept(socket_.get(), nullptr, nullptr);
}

bool InScenario(const char* name) {
  const char* scenario = std::getenv("KIV_NET_SCENARIO");
  return scenario != nullptr && std::strcmp(scenario, name) == 0;
}

IPv4Address Address(const char* dotted) {
  in_addr value{};
  ::inet_pton(AF_INET, dotted, &value);
  return value.s_addr;
}

}  // namespace kiv::nettest
