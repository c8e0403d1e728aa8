#include "tests/hostile/raw_connection.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "support/threads/cond.h"

namespace kiv::hostile {
namespace {

int MillisecondsUntil(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1000));
}

}  // namespace

RawConnection::RawConnection(std::uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
      errno != EINPROGRESS) {
    ::close(fd_);
    fd_ = -1;
  }
}

RawConnection::~RawConnection() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawConnection::AwaitConnected(Clock::time_point deadline) {
  if (fd_ < 0) return false;
  for (;;) {
    pollfd watched{fd_, POLLOUT, 0};
    const int ready = ::poll(&watched, 1, MillisecondsUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready > 0) break;
    if (Clock::now() >= deadline) return false;
  }
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) return false;
  connectedAt_ = Clock::now();
  return true;
}

bool RawConnection::SendSome(std::span<const std::uint8_t> bytes, std::size_t* sent) {
  *sent = 0;
  if (fd_ < 0 || closedByVictim_) return false;
  while (*sent < bytes.size()) {
    const ssize_t now =
        ::send(fd_, bytes.data() + *sent, bytes.size() - *sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (now > 0) {
      *sent += static_cast<std::size_t>(now);
    } else if (now < 0 && errno == EINTR) {
      continue;
    } else if (now < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return true;
    } else {
      NoteClosed();
      return false;
    }
  }
  return true;
}

bool RawConnection::SendAll(std::span<const std::uint8_t> bytes, Clock::time_point deadline) {
  while (!bytes.empty()) {
    std::size_t sent = 0;
    if (!SendSome(bytes, &sent)) return false;
    bytes = bytes.subspan(sent);
    if (bytes.empty()) return true;
    pollfd watched{fd_, POLLOUT, 0};
    if (::poll(&watched, 1, MillisecondsUntil(deadline)) == 0 && Clock::now() >= deadline) {
      return false;
    }
  }
  return true;
}

void RawConnection::Drain() {
  if (fd_ < 0 || closedByVictim_) return;
  std::uint8_t buffer[4096];
  for (;;) {
    const ssize_t got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got > 0) {
      received_.insert(received_.end(), buffer, buffer + got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) NoteClosed();
      return;
    }
  }
}

void RawConnection::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void RawConnection::Reset() {
  if (fd_ < 0) return;
  const linger abort{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  Close();
}

void RawConnection::NoteClosed() {
  if (closedByVictim_) return;
  closedByVictim_ = true;
  closedAt_ = Clock::now();
}

Connections OpenConnections(std::uint16_t port, std::size_t count, Clock::time_point deadline,
                            std::chrono::milliseconds gap) {
  Connections open;
  PCondFlag pace;  // never set: it spaces the connects
  // A victim that refuses every connect must not keep the loop busy.
  for (std::size_t attempts = 0;
       open.size() < count && attempts < 2 * count && Clock::now() < deadline; ++attempts) {
    auto connection = std::make_unique<RawConnection>(port);
    if (connection->AwaitConnected(deadline)) open.push_back(std::move(connection));
    pace.TimedWaitSet(static_cast<int>(gap.count()));
  }
  return open;
}

void PollOnce(const Connections& connections, int timeoutMs) {
  std::vector<pollfd> watched;
  std::vector<RawConnection*> owners;
  for (const auto& connection : connections) {
    if (connection->failed() || connection->closedByVictim()) continue;
    watched.push_back({connection->fd(), POLLIN, 0});
    owners.push_back(connection.get());
  }
  if (watched.empty()) {
    // Nothing left to watch: still let the time pass, as callers loop on it.
    PCondFlag pace;
    pace.TimedWaitSet(timeoutMs);
    return;
  }
  if (::poll(watched.data(), watched.size(), timeoutMs) <= 0) return;
  for (std::size_t i = 0; i < watched.size(); ++i) {
    if (watched[i].revents != 0) owners[i]->Drain();
  }
}

std::size_t CountClosed(const Connections& connections) {
  return static_cast<std::size_t>(
      std::count_if(connections.begin(), connections.end(),
                    [](const auto& connection) { return connection->closedByVictim(); }));
}

}  // namespace kiv::hostile
