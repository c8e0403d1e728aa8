// Network utilities: socket time-outs and keep-alive, a connect with a
// time-out, IPv4 name resolution, this machine's addresses, interfaces and
// names. Any thread may call them; none throws but std::bad_alloc. Failures
// show in results (some also log at DEBUG or WARN); no socket is leaked.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/net/socket.h"

namespace kiv {

// IPv4 only. An address is a 32-bit value in network byte order.
using IPv4Address = std::uint32_t;
// 255.255.255.255: what ResolveHostAddress answers for a name that does not resolve.
constexpr IPv4Address kUnresolvedAddress = 0xFFFFFFFFu;

// The socket's send / receive time-out in milliseconds (0 waits for ever).
// Answers setsockopt's result: 0, or -1 with errno set (also for negatives).
int SetSendTimeout(SOCKET socket, std::int32_t milliseconds);
int SetRecvTimeout(SOCKET socket, std::int32_t milliseconds);
// The same with seconds x 1000 (saturated at the 32-bit maximum).
int SetSendTimeoutSeconds(SOCKET socket, std::int32_t seconds);
int SetRecvTimeoutSeconds(SOCKET socket, std::int32_t seconds);
// The time-out in milliseconds as the system keeps it (its clock tick may
// round a set value up); -1 when the option cannot be read.
std::int32_t GetSendTimeout(SOCKET socket);
std::int32_t GetRecvTimeout(SOCKET socket);

// Turns TCP keep-alive on: first probe after 15 s of silence, then one
// every second. 0 on success, -1 on failure (the socket may be half set).
int EnableKeepAlive(SOCKET socket);

// Whether a connection between the two addresses stays on this machine: a
// loopback peer, or a peer at the socket's own address.
bool IsSameMachinePeer(IPv4Address local, IPv4Address peer);
// On a connection that stays on this machine, chooses a congestion control
// that sends at once. A pacing one (bbr) spreads a large message over timer
// ticks where there is no link to protect, which made a 1 MiB loopback echo
// take about twice as long. Other connections keep the system's choice.
// True when the choice was made.
bool PreferUnpacedOnLocalConnection(SOCKET socket);

// Connects a new TCP socket to host (a name or a dotted address) and port,
// giving up after timeoutMs / 1000 + 1 whole seconds. Answers a blocking
// socket with its time-outs as a fresh socket has them, owned by the caller,
// or INVALID_SOCKET; a host that does not resolve is logged at WARN.
SOCKET ConnectWithTimeout(const std::string& host, std::uint16_t port, std::int32_t timeoutMs);

// The first IPv4 address of the name, or kUnresolvedAddress.
IPv4Address ResolveHostAddress(std::u16string_view name);

// The address in a.b.c.d form.
std::string DottedAddress(IPv4Address address);

// The peer of a connected socket in a.b.c.d form; "0.0.0.0" without a peer.
std::string GetPeerAddress(SOCKET socket);

// The dotted address the machine's own host name resolves to, or "" (a host
// name that cannot be read is logged at DEBUG).
std::string GetLocalHostAddress();

// Replaces the list with 127.0.0.1 followed by the IPv4 addresses of every
// interface that is up and not a loopback, in the system's order.
void GetLocalAddresses(std::vector<IPv4Address>& list);

// Address and mask (dotted) of the local interface through which the system
// routes to the dotted destination; "0.0.0.0" asks for the default route.
// The loopback interface answers 127.0.0.1 and 255.255.255.0. Both are ""
// on failure, which is logged at DEBUG.
void GetLocalInterfaceAddress(const std::string& destination, std::string& address,
                              std::string& mask);
// The same as a pair (address, mask).
std::pair<std::string, std::string> GetLocalInterfaceAddress(std::string destination);

// The hardware address of the default route's interface as 12 lower-case
// hex digits, or "" (no default route, or not a 6-byte address).
std::u16string GetDefaultMacAddress();

constexpr std::size_t kIdentityAddressCapacity = 16;
constexpr std::size_t kIdentityNameCapacity = 47;
// Puts the dotted address of the host name into `address` (unchanged when
// the name does not resolve, "127.0.0.1" when it cannot be read) and the
// computer name, the host name cut to 15 characters, into `name` (unchanged
// when it cannot be read). Always 0.
int GetLocalIdentity(char (&address)[kIdentityAddressCapacity],
                     char (&name)[kIdentityNameCapacity]);

}  // namespace kiv
