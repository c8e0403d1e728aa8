#include "testing/private_network.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kiv::testing {

namespace {

bool WriteFile(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

// Without privileges a user namespace lends them; map ourselves so files
// we create keep our identity.
bool EnterUserAndNetworkNamespaces() {
  const uid_t uid = ::getuid();
  const gid_t gid = ::getgid();
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return false;
  WriteFile("/proc/self/setgroups", "deny");
  return WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
         WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

}  // namespace

bool EnterPrivateNetwork(std::string* error) {
  if (::unshare(CLONE_NEWNET) != 0 && !EnterUserAndNetworkNamespaces()) {
    *error = std::string("cannot create a network namespace: ") + std::strerror(errno);
    return false;
  }
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags |= IFF_UP;
  up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  if (fd >= 0) ::close(fd);
  if (!up) *error = std::string("cannot bring loopback up: ") + std::strerror(errno);
  return up;
}

}  // namespace kiv::testing
