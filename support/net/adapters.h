// The machine's network adapters as the interface queries need them: index,
// first IPv4 address and mask, hardware address. Loopback interfaces are
// not adapters. Internal to support/net; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kiv::net_internal {

struct Adapter {
  int index = 0;
  std::string name;
  // The first IPv4 address and its mask, dotted; 0.0.0.0 when it has none.
  std::string address = "0.0.0.0";
  std::string mask = "0.0.0.0";
  bool hasIPv4 = false;
  std::vector<std::uint8_t> hardwareAddress;
};

// Every non-loopback interface in the system's order; false with an errno
// value in `error` when the list cannot be read.
bool ReadAdapters(std::vector<Adapter>& adapters, int& error);

// Six bytes as 12 lower-case hex digits.
std::u16string FormatMacAddress(const std::uint8_t (&bytes)[6]);

}  // namespace kiv::net_internal
