// This machine's own names and addresses.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "kiv/utf8.h"
#include "support/net/net.h"
#include "support/net/net_internal.h"
#include "support/net/net_log.h"

namespace kiv {
namespace {

// The longest computer name: what fits a 16-character buffer.
constexpr std::size_t kComputerNameLength = 15;

template <std::size_t N>
void CopyText(char (&target)[N], const char* text) {
  std::snprintf(target, N, "%s", text);
}

}  // namespace

std::string GetLocalHostAddress() {
  char name[80] = {};
  if (::gethostname(name, sizeof name - 1) != 0) {
    net_internal::LogHostNameUnreadable();
    return {};
  }
  const IPv4Address address = ResolveHostAddress(FromUtf8(name));
  if (address == kUnresolvedAddress) return {};
  return DottedAddress(address);
}

void GetLocalAddresses(std::vector<IPv4Address>& list) {
  list.clear();
  list.push_back(htonl(INADDR_LOOPBACK));
  ifaddrs* interfaces = nullptr;
  if (::getifaddrs(&interfaces) != 0) return;
  const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(interfaces, &::freeifaddrs);
  // Loopback is already first; addresses of interfaces that are down
  // cannot carry traffic.
  for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if ((entry->ifa_flags & IFF_LOOPBACK) != 0 || (entry->ifa_flags & IFF_UP) == 0) continue;
    list.push_back(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
  }
}

int GetLocalIdentity(char (&address)[kIdentityAddressCapacity],
                     char (&name)[kIdentityNameCapacity]) {
  char host[256] = {};
  const bool haveHost = ::gethostname(host, sizeof host - 1) == 0;
  if (haveHost) {
    sockaddr_in found{};
    if (net_internal::LookUpIPv4(host, nullptr, 0, 0, found)) {
      CopyText(address, DottedAddress(found.sin_addr.s_addr).c_str());
    }
    host[kComputerNameLength] = '\0';
    CopyText(name, host);
  } else {
    CopyText(address, "127.0.0.1");
  }
  return 0;
}

}  // namespace kiv
