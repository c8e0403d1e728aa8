// The engine's network fences: the address its listening socket binds and
// the peer networks it serves. Both come from the configuration store,
// strings under Software\ZIB Networks\Zib: "ListenAddress" (a dotted IPv4
// address; absent or empty: every address) and "AllowedPeers" (CIDR
// networks separated by commas; absent or empty: every peer). A program
// whose command line names them (kivd --listen, --allow) overrides the
// store for every engine of its process. A malformed store value never
// widens a fence: the engine refuses to listen and an ERROR line names the
// value and its fix.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "support/net/cidr.h"
#include "support/net/net.h"

struct KIV;

namespace kiv::engine {

struct NetworkFence {
  IPv4Address listenAddress = 0;          // network byte order; 0 (0.0.0.0): every address
  std::vector<Ipv4Network> allowedPeers;  // empty: every peer
  // Where allowedPeers came from, named in the refusal's WARN line so that
  // the reader knows what to change.
  std::string allowedPeersSetting;
};

// Replaces the store's value for every engine that starts listening later;
// `setting` names the override in log lines ("kivd --allow"). Any thread;
// meant for a program's start, before its first engine listens.
void OverrideListenAddress(IPv4Address address);
void OverrideAllowedPeers(std::vector<Ipv4Network> networks, std::string setting);

// The fence an engine starting to listen now gets: overrides, else the
// store's values (read now), else no fence. Nullopt, with an ERROR line
// naming the value, what is wrong and how to fix it (also put in
// `problem`), when a store value that applies is malformed.
std::optional<NetworkFence> ConfiguredNetworkFence(std::string* problem = nullptr);

}  // namespace kiv::engine

// Checks the accepted socket's peer against the engine's allow-list; when the
// peer is not allowed, sends the refusal, logs the WARN line and returns false
// (the caller closes the socket). Called on the event thread; reads the fence
// KivStartListening set before that thread started.
bool KivAdmitPeer(KIV* engine, int socket);
