// The interface that routes to a destination, and its addresses.
#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "support/net/adapters.h"
#include "support/net/net.h"
#include "support/net/net_log.h"
#include "support/net/route_lookup.h"

namespace kiv {
namespace {

using net_internal::Adapter;

// The adapter the system routes `destination` through, or false after
// logging why there is none. `destination` is dotted; "0.0.0.0" means the
// default route. `index` is set whenever the route was found.
bool FindRoutedAdapter(const std::string& destination, int& index, Adapter& found) {
  in_addr parsed{};
  int error = EINVAL;
  if (::inet_pton(AF_INET, destination.c_str(), &parsed) != 1 ||
      !net_internal::FindBestInterface(parsed.s_addr, index, error)) {
    net_internal::LogNoBestInterface(destination, error);
    return false;
  }
  if (index == net_internal::kLoopbackInterfaceIndex) return true;
  std::vector<Adapter> adapters;
  if (!net_internal::ReadAdapters(adapters, error)) {
    net_internal::LogAdapterListFailure(error);
    return false;
  }
  for (Adapter& adapter : adapters) {
    if (adapter.index == index) {
      found = std::move(adapter);
      return true;
    }
  }
  net_internal::LogInterfaceNotFound(index);
  return false;
}

}  // namespace

void GetLocalInterfaceAddress(const std::string& destination, std::string& address,
                              std::string& mask) {
  address.clear();
  mask.clear();
  int index = 0;
  Adapter adapter;
  if (!FindRoutedAdapter(destination, index, adapter)) return;
  if (index == net_internal::kLoopbackInterfaceIndex) {
    // Callers have always been given a /24 for loopback, not its real /8.
    address = "127.0.0.1";
    mask = "255.255.255.0";
    return;
  }
  address = adapter.address;
  mask = adapter.mask;
}

std::pair<std::string, std::string> GetLocalInterfaceAddress(std::string destination) {
  std::pair<std::string, std::string> result;
  GetLocalInterfaceAddress(destination, result.first, result.second);
  return result;
}

std::u16string GetDefaultMacAddress() {
  int index = 0;
  Adapter adapter;
  if (!FindRoutedAdapter("0.0.0.0", index, adapter)) return {};
  // A default route over loopback has no adapter behind it.
  if (index == net_internal::kLoopbackInterfaceIndex) {
    net_internal::LogInterfaceNotFound(index);
    return {};
  }
  if (adapter.hardwareAddress.size() != 6) return {};
  std::uint8_t bytes[6];
  std::copy(adapter.hardwareAddress.begin(), adapter.hardwareAddress.end(), bytes);
  return net_internal::FormatMacAddress(bytes);
}

}  // namespace kiv
