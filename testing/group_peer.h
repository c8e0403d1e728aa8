// A UDP socket on the discovery group over loopback that plays a directory
// (sends NOTIFY and BYEBYE, hears SEARCH); one thread per object.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#include "discovery/datagram.h"

namespace kiv::discoverytest {

// `bindPort` 1901 makes it a member that receives what is sent to the group.
class GroupPeer {
 public:
  explicit GroupPeer(std::uint16_t bindPort = 0) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(bindPort);
    in_addr loopback{};
    loopback.s_addr = ::inet_addr("127.0.0.1");
    local.sin_addr.s_addr = bindPort == 0 ? loopback.s_addr : htonl(INADDR_ANY);
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = ::inet_addr("239.255.255.251");
    membership.imr_interface = loopback;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback) != 0 ||
        (bindPort != 0 &&
         ::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)) {
      ADD_FAILURE() << "group peer set-up failed: " << std::strerror(errno);
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~GroupPeer() {
    if (fd_ >= 0) ::close(fd_);
  }
  GroupPeer(const GroupPeer&) = delete;
  GroupPeer& operator=(const GroupPeer&) = delete;

  bool Send(const std::string& datagram, const char* group = "239.255.255.251") {
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(1901);
    destination.sin_addr.s_addr = ::inet_addr(group);
    return ::sendto(fd_, datagram.data(), datagram.size(), 0,
                    reinterpret_cast<sockaddr*>(&destination),
                    sizeof destination) == static_cast<ssize_t>(datagram.size());
  }

  // The next datagram within the deadline (false on time-out), and when the
  // kernel received it (wall clock): queueing in the socket does not move it.
  bool Receive(std::string& datagram, int timeoutMs, std::chrono::nanoseconds* arrival = nullptr) {
    pollfd watched{fd_, POLLIN, 0};
    if (::poll(&watched, 1, timeoutMs) != 1) return false;
    char buffer[65536];
    iovec part{buffer, sizeof buffer};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t received = ::recvmsg(fd_, &message, 0);
    if (received < 0) return false;
    datagram.assign(buffer, static_cast<std::size_t>(received));
    if (arrival == nullptr) return true;
    *arrival = std::chrono::nanoseconds::zero();
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        timespec stamp{};
        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
        *arrival = std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec);
      }
    }
    return *arrival != std::chrono::nanoseconds::zero();
  }

  // SEARCH datagrams received until `quietMs` pass without any datagram.
  int CountSearches(int quietMs) {
    int count = 0;
    std::string datagram;
    while (Receive(datagram, quietMs)) count += datagram == discovery::kSearchDatagram ? 1 : 0;
    return count;
  }

 private:
  int fd_ = -1;
};

// A NOTIFY as a directory sends it.
inline std::string Notify(const std::string& serverId, int port, const std::string& aliases,
                          const std::string& users) {
  return "NOTIFY 1.0\r\nServerID: " + serverId + "\r\nPort: " + std::to_string(port) +
         "\r\nAliases: " + aliases + "\r\nUsers: " + users + "\r\n\r\n";
}

inline std::string ByeBye(const std::string& serverId) {
  return "BYEBYE 1.0\r\nServerID: " + serverId + "\r\n\r\n";
}

}  // namespace kiv::discoverytest
