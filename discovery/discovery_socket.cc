#include "discovery/discovery_socket.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "discovery/datagram.h"
#include "discovery/multicast_group.h"
#include "support/log/log.h"

namespace kiv::discovery {
namespace {

constexpr unsigned char kMulticastTtl = 4;
constexpr auto kSearchRepeatPause = std::chrono::milliseconds(10);

void SendSearchDatagram(SOCKET socket, const sockaddr_in& destination) {
  ssize_t sent;
  do {
    sent = ::sendto(socket, kSearchDatagram.data(), kSearchDatagram.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
  } while (sent < 0 && errno == EINTR);
}

}  // namespace

SOCKET OpenDiscoverySocket() {
  const SOCKET fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) {
    LogWarn(u"Failed to bind discovery socket");
    return INVALID_SOCKET;
  }
  const int reuse = 1;
  ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &kMulticastTtl, sizeof kMulticastTtl);
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(kDiscoveryPort);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    LogWarn(u"Failed to bind discovery socket");
    ::close(fd);
    return INVALID_SOCKET;
  }
  return fd;
}

void JoinGroup(SOCKET socket, IPv4Address group, const std::vector<IPv4Address>& interfaces) {
  if (socket == INVALID_SOCKET) return;
  for (IPv4Address address : interfaces) {
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = group;
    membership.imr_interface.s_addr = address;
    ::setsockopt(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership);
  }
}

void SendSearchOn(SOCKET socket, IPv4Address group, const std::vector<IPv4Address>& interfaces) {
  if (socket == INVALID_SOCKET) return;
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr.s_addr = group;
  destination.sin_port = htons(kDiscoveryPort);
  for (IPv4Address address : interfaces) {
    in_addr outgoing{};
    outgoing.s_addr = address;
    if (::setsockopt(socket, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) != 0) {
      continue;
    }
    SendSearchDatagram(socket, destination);
    std::this_thread::sleep_for(kSearchRepeatPause);
    SendSearchDatagram(socket, destination);
  }
}

long ReceiveDatagram(SOCKET socket, char* buffer, std::size_t capacity, IPv4Address* source,
                     int* error) {
  sockaddr_in from{};
  iovec part{buffer, capacity};
  msghdr message{};
  message.msg_name = &from;
  message.msg_namelen = sizeof from;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  ssize_t received;
  do {
    received = ::recvmsg(socket, &message, MSG_DONTWAIT);
  } while (received < 0 && errno == EINTR);
  if (received < 0) {
    *error = errno;
    return -1;
  }
  // The kernel has already discarded the rest; what is left would be a
  // datagram cut short, so none of it is used.
  if ((message.msg_flags & MSG_TRUNC) != 0) {
    *error = EMSGSIZE;
    return -1;
  }
  *source = from.sin_addr.s_addr;
  return static_cast<long>(received);
}

}  // namespace kiv::discovery
