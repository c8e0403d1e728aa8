#include "support/net/adapters.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string_view>

#include "kiv/utf8.h"
#include "support/net/net.h"

namespace kiv::net_internal {
namespace {

// An address labelled "eth0:1" belongs to device "eth0".
std::string_view DeviceName(const char* label) {
  const std::string_view name(label);
  return name.substr(0, name.find(':'));
}

Adapter& AdapterNamed(std::vector<Adapter>& adapters, std::string_view name) {
  for (Adapter& adapter : adapters) {
    if (adapter.name == name) return adapter;
  }
  Adapter& added = adapters.emplace_back();
  added.name = name;
  added.index = static_cast<int>(::if_nametoindex(added.name.c_str()));
  return added;
}

}  // namespace

bool ReadAdapters(std::vector<Adapter>& adapters, int& error) {
  adapters.clear();
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    error = errno;
    return false;
  }
  const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(list, &::freeifaddrs);
  // Link entries (AF_PACKET) come first and carry index and hardware
  // address; IPv4 entries follow in the order the addresses were added.
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
    Adapter& adapter = AdapterNamed(adapters, DeviceName(entry->ifa_name));
    if (entry->ifa_addr->sa_family == AF_PACKET) {
      const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
      adapter.index = link->sll_ifindex;
      const std::size_t size = std::min<std::size_t>(link->sll_halen, sizeof link->sll_addr);
      adapter.hardwareAddress.assign(link->sll_addr, link->sll_addr + size);
    } else if (entry->ifa_addr->sa_family == AF_INET && !adapter.hasIPv4) {
      adapter.hasIPv4 = true;
      adapter.address =
          DottedAddress(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
      if (entry->ifa_netmask != nullptr) {
        adapter.mask = DottedAddress(
            reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr);
      }
    }
  }
  return true;
}

std::u16string FormatMacAddress(const std::uint8_t (&bytes)[6]) {
  char text[13];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", bytes[0], bytes[1], bytes[2],
                bytes[3], bytes[4], bytes[5]);
  return FromUtf8(text);
}

}  // namespace kiv::net_internal
