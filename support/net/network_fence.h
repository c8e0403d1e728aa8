// A process's network fences: the address a listening socket binds and the
// peer networks served, for TCP connections and discovery datagrams alike.
// Both come from the configuration store, strings under
// Software\ZIB Networks\Zib: "ListenAddress" (a dotted IPv4 address; absent
// or empty: every address) and "AllowedPeers" (CIDR networks separated by
// commas; absent or empty: every peer). A program whose command line names
// them (kivd --listen, --allow) overrides the store for the whole process.
// A malformed store value never widens a fence: the caller serves nobody
// and an ERROR line names the value and its fix.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "support/net/cidr.h"
#include "support/net/net.h"

namespace kiv {

struct NetworkFence {
  IPv4Address listenAddress = 0;          // network byte order; 0 (0.0.0.0): every address
  std::vector<Ipv4Network> allowedPeers;  // empty: every peer
  // Where allowedPeers came from, named in refusals so that the reader
  // knows what to change.
  std::string allowedPeersSetting;

  bool Allows(IPv4Address peer) const {
    return allowedPeers.empty() || NetworkListAllows(allowedPeers, peer);
  }
};

// Replaces the store's value for every fence read later; `setting` names
// the override in log lines ("kivd --allow"). Any thread; meant for a
// program's start, before its first engine listens.
void OverrideListenAddress(IPv4Address address);
void OverrideAllowedPeers(std::vector<Ipv4Network> networks, std::string setting);

// The fence as configured now: overrides, else the store's values (read
// now), else no fence. Nullopt, with an ERROR line naming the value, what is
// wrong, how to fix it and `consequence` (also put in `problem`), when a
// store value that applies is malformed.
std::optional<NetworkFence> ConfiguredNetworkFence(
    std::string* problem = nullptr, const char* consequence = "this engine does not listen");

}  // namespace kiv
