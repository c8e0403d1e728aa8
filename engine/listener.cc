#include "engine/listener.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>
#include <utility>

#include "engine/engine_object.h"
#include "engine/event_thread.h"
#include "engine/peer_fence.h"
#include "kiv/result_codes.h"
#include "support/log/log.h"
#include "support/net/net.h"
#include "support/threads/thread.h"

namespace {

constexpr int kListenBacklog = 10;

void* EventThreadEntry(void* engine) {
  KivEventThread(static_cast<KIV*>(engine));
  return nullptr;
}

// The socket, bound to `bindAddress` (network byte order) and listening; -1
// on any failure. Non-blocking, so that an accept after a connection
// vanished cannot stall the event thread. The directory listens on its own
// fixed port; everyone else on one the system picks.
int OpenListeningSocket(bool isDirectory, std::uint16_t directoryPort, kiv::IPv4Address bindAddress,
                        std::uint16_t& port) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
  if (s < 0) return -1;
  const int one = 1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = bindAddress;
  address.sin_port = htons(isDirectory ? directoryPort : 0);
  socklen_t size = sizeof address;
  const bool ok =
      ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0 &&
      (!isDirectory || ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0) &&
      ::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) == 0 &&
      ::listen(s, kListenBacklog) == 0;
  if (!ok) {
    // Only a chosen address is worth a line here: the usual failure on all
    // addresses (the directory's port taken) is reported by the caller.
    if (bindAddress != htonl(INADDR_ANY)) {
      LogError(u"KIV: cannot listen on ListenAddress %hs: %hs; is it an address of this machine?",
               kiv::DottedAddress(bindAddress).c_str(), std::strerror(errno));
    }
    ::close(s);
    return -1;
  }
  port = ntohs(address.sin_port);
  return s;
}

}  // namespace

std::int32_t KivStartListening(KIV* engine, bool isDirectory) {
  PScopedLock guard(&engine->identityLock);
  if (engine->listening != 0) return kiv::KIV_OK;
  // stopEvent is never cleared: an event thread started now would end at once.
  if (engine->stopEvent.IsSet()) return kiv::KIV_RC_LISTEN_FAILED;
  if (engine->wakeFd < 0) {
    engine->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (engine->wakeFd < 0) return kiv::KIV_RC_LISTEN_FAILED;
  }
  std::optional<kiv::NetworkFence> fence = kiv::ConfiguredNetworkFence();
  if (!fence) return kiv::KIV_RC_LISTEN_FAILED;
  std::uint16_t port = 0;
  // The directory registers with itself, so the port it names is its own.
  const std::uint16_t directoryPort =
      engine->directoryPort != 0 ? engine->directoryPort : KIV_DIRECTORY_PORT;
  const int s = OpenListeningSocket(isDirectory, directoryPort, fence->listenAddress, port);
  if (s < 0) return kiv::KIV_RC_LISTEN_FAILED;
  // Before the event thread starts, which reads it without a lock.
  engine->fence = std::move(*fence);
  engine->listenPort = port;
  engine->listenSocket = s;
  try {
    PThread thread(nullptr, &EventThreadEntry, engine);
    thread.Detach();
  } catch (const std::exception&) {
    ::close(s);
    engine->listenSocket = -1;
    return kiv::KIV_RC_LISTEN_FAILED;
  }
  engine->listening = 1;
  return kiv::KIV_OK;
}

void KivStopListening(KIV* engine) {
  int listenSocket = -1;
  int wakeFd = -1;
  {
    PScopedLock guard(&engine->identityLock);
    if (engine->listening == 0) return;
    listenSocket = engine->listenSocket;
    wakeFd = engine->wakeFd;
  }
  engine->stopEvent.Set();
  // Shut down now, closed once the thread is gone: closing a descriptor
  // another thread still polls could let a new socket take its number.
  ::shutdown(listenSocket, SHUT_RDWR);
  const std::uint64_t wake = 1;
  [[maybe_unused]] const ssize_t written = ::write(wakeFd, &wake, sizeof wake);
  engine->eventThreadDone.WaitSet();
  // No message can arrive any more: parked workers end.
  engine->pool.Stop();
  ::close(listenSocket);
  PScopedLock guard(&engine->identityLock);
  engine->listenSocket = -1;
  engine->listening = 0;
}
