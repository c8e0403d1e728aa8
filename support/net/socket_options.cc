// Time-out, keep-alive and congestion-control options. The system keeps
// socket time-outs as a timeval; callers think in 32-bit milliseconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "support/net/net.h"

namespace kiv {
namespace {

constexpr std::int64_t kMaxMillis = std::numeric_limits<std::int32_t>::max();
// Keep-alive: first probe after this much silence, then one per interval.
constexpr int kKeepAliveIdleMs = 15000;
constexpr int kKeepAliveIntervalMs = 1000;

int SetTimeout(SOCKET socket, int option, std::int32_t milliseconds) {
  // A negative count gives a negative timeval, which the system refuses.
  timeval value{};
  value.tv_sec = milliseconds / 1000;
  value.tv_usec = (milliseconds % 1000) * 1000;
  return ::setsockopt(socket, SOL_SOCKET, option, &value, sizeof value);
}

std::int32_t GetTimeout(SOCKET socket, int option) {
  timeval value{};
  socklen_t size = sizeof value;
  if (::getsockopt(socket, SOL_SOCKET, option, &value, &size) != 0) return -1;
  std::int64_t millis = static_cast<std::int64_t>(value.tv_sec) * 1000 + value.tv_usec / 1000;
  // Below a millisecond must not read as 0, which would mean "for ever"
  // to whoever writes the value back.
  if (millis == 0 && value.tv_usec > 0) millis = 1;
  return static_cast<std::int32_t>(std::min(millis, kMaxMillis));
}

std::int32_t SecondsToMillis(std::int32_t seconds) {
  const std::int64_t millis = static_cast<std::int64_t>(seconds) * 1000;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(millis, -kMaxMillis - 1, kMaxMillis));
}

}  // namespace

int SetSendTimeout(SOCKET socket, std::int32_t milliseconds) {
  return SetTimeout(socket, SO_SNDTIMEO, milliseconds);
}

int SetRecvTimeout(SOCKET socket, std::int32_t milliseconds) {
  return SetTimeout(socket, SO_RCVTIMEO, milliseconds);
}

int SetSendTimeoutSeconds(SOCKET socket, std::int32_t seconds) {
  return SetSendTimeout(socket, SecondsToMillis(seconds));
}

int SetRecvTimeoutSeconds(SOCKET socket, std::int32_t seconds) {
  return SetRecvTimeout(socket, SecondsToMillis(seconds));
}

std::int32_t GetSendTimeout(SOCKET socket) {
  return GetTimeout(socket, SO_SNDTIMEO);
}

std::int32_t GetRecvTimeout(SOCKET socket) {
  return GetTimeout(socket, SO_RCVTIMEO);
}

int EnableKeepAlive(SOCKET socket) {
  const int on = 1;
  if (::setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) return -1;
  // The TCP options count whole seconds.
  const int idle = kKeepAliveIdleMs / 1000;
  const int interval = kKeepAliveIntervalMs / 1000;
  if (::setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0) return -1;
  if (::setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0) return -1;
  return 0;
}

bool IsSameMachinePeer(IPv4Address local, IPv4Address peer) {
  constexpr std::uint8_t kLoopbackNet = 127;
  return (ntohl(peer) >> 24) == kLoopbackNet || peer == local;
}

bool PreferUnpacedOnLocalConnection(SOCKET socket) {
  sockaddr_in local{};
  sockaddr_in peer{};
  socklen_t localSize = sizeof local;
  socklen_t peerSize = sizeof peer;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
      ::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0 ||
      local.sin_family != AF_INET || peer.sin_family != AF_INET ||
      !IsSameMachinePeer(local.sin_addr.s_addr, peer.sin_addr.s_addr)) {
    return false;
  }
  // cubic is the kernel's usual default; reno is always built in.
  for (const char* name : {"cubic", "reno"}) {
    if (::setsockopt(socket, IPPROTO_TCP, TCP_CONGESTION, name,
                     static_cast<socklen_t>(std::strlen(name))) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace kiv
