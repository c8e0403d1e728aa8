#include <netdb.h>

#include <cstring>
#include <memory>

#include "support/net/net_internal.h"

namespace kiv::net_internal {

bool LookUpIPv4(const char* host, const char* service, int socketType, int protocol,
                sockaddr_in& found) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = socketType;
  hints.ai_protocol = protocol;
  if (service != nullptr) hints.ai_flags = AI_NUMERICSERV;
  addrinfo* results = nullptr;
  if (::getaddrinfo(host, service, &hints, &results) != 0 || results == nullptr) return false;
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(results, &::freeaddrinfo);
  // AF_INET was asked for, so every result carries a sockaddr_in.
  std::memcpy(&found, results->ai_addr, sizeof found);
  return true;
}

}  // namespace kiv::net_internal
