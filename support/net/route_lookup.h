// Which interface the kernel sends IPv4 traffic for a destination through,
// asked of the routing tables over rtnetlink. Internal to support/net; any
// thread; opens and closes its own netlink socket on every call.
#pragma once

#include "support/net/net.h"

namespace kiv::net_internal {

// The loopback interface's index: the first device of every namespace.
constexpr int kLoopbackInterfaceIndex = 1;

// Puts the index of the outgoing interface for destination into `index`.
// 0.0.0.0 asks for the default route of the main table (the one with the
// lowest metric). False with an errno value in `error` when there is no
// such route or the kernel cannot be asked.
bool FindBestInterface(IPv4Address destination, int& index, int& error);

}  // namespace kiv::net_internal
