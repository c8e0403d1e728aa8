// Every log line the network utilities write, in one place: the texts are
// part of what operators grep for. Each goes to the process-wide logger
// and does nothing when there is none; none fails or throws.
#pragma once

#include <cstdint>
#include <string>

namespace kiv::net_internal {

// WARN: ConnectWithTimeout could not resolve host (cut to 256 characters).
void LogUnresolvedConnect(const std::string& host, std::uint16_t port);
// DEBUG: gethostname failed.
void LogHostNameUnreadable();
// DEBUG: no route to the dotted destination; error is an errno value.
void LogNoBestInterface(const std::string& destination, int error);
// DEBUG: the interface list could not be read.
void LogAdapterListFailure(int error);
// DEBUG: the routed interface is not among the adapters.
void LogInterfaceNotFound(int index);

}  // namespace kiv::net_internal
