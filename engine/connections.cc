// Client connections: the connect with a time-out and the per-engine cache
// of idle connections (at most 8, searched most recently released first).
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <memory>
#include <string>

#include "engine/connection_cache.h"
#include "engine/engine_object.h"
#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "support/net/net.h"

namespace kiv::engine {

namespace {

constexpr std::size_t kIdleCacheLimit = 8;

// Waits for the events on one descriptor for at most timeoutMs, across
// interruptions. Returns poll's revents, 0 on time-out, -1 on failure.
int WaitFor(int socket, short events, std::int32_t timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd entry{socket, events, 0};
    const int ready = ::poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready > 0) return entry.revents;
    if (ready == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

void SetBlocking(int socket, bool blocking, bool& ok) {
  const int flags = ::fcntl(socket, F_GETFL);
  ok = flags >= 0 &&
       ::fcntl(socket, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

void Lend(KIV* engine, int socket) {
  if (engine == nullptr) return;
  PScopedLock guard(&engine->cacheLock);
  engine->inUse.insert(socket);
}

// A refused or timed-out connect is worth one more try.
std::int32_t ConnectWithRetry(const char* host, std::uint16_t port, KIV* engine, int* socket,
                              std::int32_t timeoutMs) {
  const std::int32_t code = KivConnect(host, port, engine, socket, timeoutMs);
  if (code != kiv::KIV_RC_CONNECT_FAILED) return code;
  return KivConnect(host, port, engine, socket, timeoutMs);
}

// Sends the marker on an idle connection and checks the answer.
bool ProbeIdle(int socket, std::int32_t timeoutMs) {
  const std::uint8_t marker = kReuseMarker;
  ssize_t sent;
  do {
    sent = ::send(socket, &marker, 1, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == 1 && ReadReuseAnswer(socket, timeoutMs);
}

}  // namespace

bool ReadReuseAnswer(int socket, std::int32_t timeoutMs) {
  const int ready = WaitFor(socket, POLLIN, timeoutMs);
  if (ready <= 0) return false;
  std::uint8_t answer = 0;
  ssize_t got;
  do {
    got = ::recv(socket, &answer, 1, MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  return got == 1 && answer == kReuseAnswer;
}

void CloseAllConnections(KIV* engine) {
  PScopedLock guard(&engine->cacheLock);
  // A lent socket is only shut down: its exchange fails, forgets and closes
  // it, and a descriptor closed twice could hit an unrelated new one.
  for (const int socket : engine->inUse) ::shutdown(socket, SHUT_RDWR);
  engine->inUse.clear();
  for (const KivIdleConnection& idle : engine->idleCache) ::close(idle.socket);
  engine->idleCache.clear();
}

}  // namespace kiv::engine

std::int32_t KivConnect(const char* host, std::uint16_t port, KIV* engine, int* socket,
                        std::int32_t timeoutMs) {
  char service[8];
  std::snprintf(service, sizeof service, "%hu", port);
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICSERV;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  if (host == nullptr || ::getaddrinfo(host, service, &hints, &found) != 0 || found == nullptr) {
    return kiv::KIV_RC_RESOLVE_FAILED;
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);

  // Only the first address is tried.
  const int s = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
  if (s < 0) return kiv::KIV_RC_SOCKET_FAILED;
  const int one = 1;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  bool ok = false;
  kiv::engine::SetBlocking(s, false, ok);
  if (!ok) {
    ::close(s);
    return kiv::KIV_RC_SOCKET_FAILED;
  }

  if (::connect(s, found->ai_addr, found->ai_addrlen) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      ::close(s);
      return kiv::KIV_RC_CONNECT_FAILED;
    }
    const int ready = kiv::engine::WaitFor(s, POLLOUT, timeoutMs);
    int error = 0;
    socklen_t size = sizeof error;
    // Writable also means "failed" here; the pending error tells which.
    if (ready <= 0 || (ready & POLLOUT) == 0 ||
        ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
      ::close(s);
      return kiv::KIV_RC_CONNECT_FAILED;
    }
  }
  kiv::PreferUnpacedOnLocalConnection(s);
  // Exchanges use the socket blocking.
  kiv::engine::SetBlocking(s, true, ok);
  if (!ok) {
    ::close(s);
    return kiv::KIV_RC_SOCKET_FAILED;
  }
  kiv::engine::Lend(engine, s);
  *socket = s;
  return kiv::KIV_OK;
}

std::int32_t KivGetConnection(const char* host, std::uint16_t port, KIV* engine, int* socket,
                              bool* reused, std::int32_t timeoutMs) {
  const std::string hostText = host != nullptr ? host : "";
  int idle = -1;
  if (engine != nullptr) {
    PScopedLock guard(&engine->cacheLock);
    auto& cache = engine->idleCache;
    for (auto entry = cache.rbegin(); entry != cache.rend(); ++entry) {
      if (entry->port == port && entry->host == hostText) {
        idle = entry->socket;
        cache.erase(std::next(entry).base());
        break;
      }
    }
  }
  if (idle < 0) return kiv::engine::ConnectWithRetry(host, port, engine, socket, timeoutMs);

  if (!*reused) {
    // The caller sends the marker in front of its own message.
    *reused = true;
    kiv::engine::Lend(engine, idle);
    *socket = idle;
    return kiv::KIV_OK;
  }
  // The connection has left the cache, so no other thread can reach it: the
  // probe runs without the cache lock.
  if (kiv::engine::ProbeIdle(idle, timeoutMs)) {
    kiv::engine::Lend(engine, idle);
    *socket = idle;
    return kiv::KIV_OK;
  }
  ::close(idle);
  return kiv::engine::ConnectWithRetry(host, port, engine, socket, timeoutMs);
}

void KivReleaseConnection(const char* host, std::uint16_t port, KIV* engine, int socket) {
  if (engine == nullptr) {
    ::close(socket);
    return;
  }
  PScopedLock guard(&engine->cacheLock);
  engine->inUse.erase(socket);
  engine->idleCache.push_back({socket, port, host != nullptr ? host : ""});
  if (engine->idleCache.size() > kiv::engine::kIdleCacheLimit) {
    ::close(engine->idleCache.front().socket);
    engine->idleCache.pop_front();
  }
}

void KivForgetConnection(KIV* engine, int socket) {
  if (engine == nullptr) return;
  PScopedLock guard(&engine->cacheLock);
  engine->inUse.erase(socket);
}
