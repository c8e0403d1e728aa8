// Connecting with a time-out, name resolution and peer addresses.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "kiv/utf8.h"
#include "support/net/net.h"
#include "support/net/net_internal.h"
#include "support/net/net_log.h"

namespace kiv {
namespace {

using net_internal::ScopedSocket;

bool SetBlocking(SOCKET socket, bool blocking) {
  const int flags = ::fcntl(socket, F_GETFL);
  if (flags < 0) return false;
  const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return wanted == flags || ::fcntl(socket, F_SETFL, wanted) == 0;
}

// Waits for a non-blocking connect to finish; true when it succeeded.
// Writability alone is not success here: a refused connect is writable too.
bool WaitConnected(SOCKET socket, int seconds) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
  pollfd entry{socket, POLLOUT, 0};
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const int ready = ::poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready > 0) break;
    if (ready == 0 || errno != EINTR) return false;
  }
  int error = 0;
  socklen_t size = sizeof error;
  return ::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

}  // namespace

SOCKET ConnectWithTimeout(const std::string& host, std::uint16_t port, std::int32_t timeoutMs) {
  char service[8];
  std::snprintf(service, sizeof service, "%hu", port);
  sockaddr_in target{};
  if (!net_internal::LookUpIPv4(host.c_str(), service, SOCK_STREAM, IPPROTO_TCP, target)) {
    net_internal::LogUnresolvedConnect(host, port);
    return INVALID_SOCKET;
  }

  ScopedSocket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!socket.valid()) return INVALID_SOCKET;

  const std::int32_t sendTimeout = GetSendTimeout(socket.get());
  const std::int32_t recvTimeout = GetRecvTimeout(socket.get());
  SetSendTimeout(socket.get(), timeoutMs);
  SetRecvTimeout(socket.get(), timeoutMs);

  if (!SetBlocking(socket.get(), false)) return INVALID_SOCKET;
  if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
    // An interrupted non-blocking connect goes on in the background too.
    if (errno != EINPROGRESS && errno != EWOULDBLOCK && errno != EINTR) return INVALID_SOCKET;
    const int waitSeconds = timeoutMs / 1000 + 1;
    if (!WaitConnected(socket.get(), waitSeconds > 0 ? waitSeconds : 0)) return INVALID_SOCKET;
  }
  // Callers read and write with blocking calls bounded by the time-outs.
  if (!SetBlocking(socket.get(), true)) return INVALID_SOCKET;

  if (sendTimeout >= 0) SetSendTimeout(socket.get(), sendTimeout);
  if (recvTimeout >= 0) SetRecvTimeout(socket.get(), recvTimeout);
  return socket.Release();
}

IPv4Address ResolveHostAddress(std::u16string_view name) {
  const std::string host = ToUtf8(name);
  sockaddr_in found{};
  if (!net_internal::LookUpIPv4(host.c_str(), nullptr, 0, 0, found)) return kUnresolvedAddress;
  return found.sin_addr.s_addr;
}

std::string DottedAddress(IPv4Address address) {
  in_addr value{};
  value.s_addr = address;
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &value, text, sizeof text);
  return text;
}

std::string GetPeerAddress(SOCKET socket) {
  // Without a peer (or on a failed query) the zeroed address stands.
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  ::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &size);
  return DottedAddress(peer.sin_family == AF_INET ? peer.sin_addr.s_addr : 0);
}

}  // namespace kiv
