// The multicast group the discovery client joins and sends SEARCH to: the
// configuration store's "kiv.multicastGroup" when it holds a usable dotted
// address, else 239.255.255.251. Any thread may call these; they never fail.
#pragma once

#include <string>

#include "support/net/net.h"

namespace kiv::discovery {

inline constexpr char kDefaultGroup[] = "239.255.255.251";
inline constexpr std::uint16_t kDiscoveryPort = 1901;

// The group a configured text names: the default for an empty text and for
// one that converts to 255.255.255.255 (as every text that is no address does).
IPv4Address GroupFromText(const std::u16string& configured);
// Reads the store (once per call).
IPv4Address ReadMulticastGroup();

}  // namespace kiv::discovery
