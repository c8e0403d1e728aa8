// KivEventThread: accepts connections, watches idle ones for the reuse
// marker and starts a worker for every message.
//
// The loop waits with poll, on every idle connection however many there
// are, so markers are answered and closes noticed at once. A connection
// idle for longer than the idle time-out is closed, so peers that go
// silent after an exchange cannot hold the table for ever. Only live
// connections count toward the connection limit; when the table or the
// process's descriptors run out, the longest-idle connection makes room.
// Live exchanges are never cut. Besides
// the sockets it watches the engine's wake descriptor, which a worker
// writes when its connection turns idle: the connection is watched again
// at once instead of after the rest of the current wait, so a client's
// next call on it does not pay for the time-out.
#include "engine/event_thread.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/connection_cache.h"
#include "engine/engine_object.h"
#include "engine/peer_fence.h"
#include "engine/wire/wire_codec.h"
#include "engine/worker.h"
#include "kiv/result_codes.h"
#include "support/log/log.h"
#include "support/metrics/metrics.h"
#include "support/net/net.h"
#include "support/text/wide_format.h"

namespace {

using kiv::engine::kBusy;
using kiv::engine::kClosedByPeer;
using kiv::engine::kFailed;
using kiv::engine::kIdle;

void SetNoDelay(int socket) {
  const int one = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

kiv::metrics::Gauge connectionsOpen{
    "kiv_connections_open", "Connections this process's engine accepted and holds (idle or busy)"};
constexpr char kRefusedName[] = "kiv_connections_refused_total";
constexpr char kRefusedHelp[] =
    "Connections this process's engine refused, by reason: limit (too many live connections), "
    "fence (peer not allowed), no_worker (no thread could serve it)";
kiv::metrics::Counter refusedLimit{kRefusedName, kRefusedHelp, {"reason", "limit"}};
kiv::metrics::Counter refusedFence{kRefusedName, kRefusedHelp, {"reason", "fence"}};
kiv::metrics::Counter refusedNoWorker{kRefusedName, kRefusedHelp, {"reason", "no_worker"}};

ssize_t Receive(int socket, void* buffer, std::size_t size) {
  ssize_t got;
  do {
    got = ::recv(socket, buffer, size, MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  return got;
}

// Drops at most `limit` bytes that have already arrived.
void Discard(int socket, std::size_t limit) {
  char buffer[4096];
  while (limit > 0) {
    const ssize_t got = Receive(socket, buffer, std::min(limit, sizeof buffer));
    if (got <= 0) return;
    limit -= static_cast<std::size_t>(got);
  }
}

// Reads what the peer sent on an idle connection, without waiting: the
// reuse marker is answered and kBusy returned; kIdle when nothing arrived;
// kClosedByPeer, or kFailed for any other byte or a failed answer.
std::int32_t TakeMarker(int socket) {
  std::uint8_t byte = 0;
  const ssize_t got = Receive(socket, &byte, 1);
  if (got == 0) return kClosedByPeer;
  if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? kIdle : kFailed;
  if (byte != kiv::engine::kReuseMarker) return kFailed;
  int waiting = 0;
  const bool messageWaiting = ::ioctl(socket, FIONREAD, &waiting) == 0 && waiting > 0;
  return KivSendReuseAnswer(socket, messageWaiting) ? kBusy : kFailed;
}

class EventLoop {
 public:
  explicit EventLoop(KIV* engine)
      : engine_(engine), listenSocket_(engine->listenSocket), wakeFd_(engine->wakeFd) {}

  void Run() {
    while (!engine_->stopEvent.IsSet()) {
      const int waitMs = Prepare();
      const int ready = ::poll(fds_.data(), fds_.size(), waitMs);
      if (engine_->stopEvent.IsSet()) break;
      if (ready < 0) {
        if (errno == EINTR) continue;
        std::string text;
        FormatString(text, "Error on eventThread select: %d", errno);
        throw std::runtime_error(text);
      }
      if (ready == 0) continue;
      if (fds_[kWakeSlot].revents != 0) DrainWake();
      for (std::size_t i = 0; i < watched_.size(); ++i) {
        if (fds_[kFirstConnectionSlot + i].revents != 0) ReadMarker(watched_[i]);
      }
      // After the markers, so a connection that just asked for service is
      // no longer idle when room is made for a newcomer.
      if (watchListener_ && (fds_[kListenSlot].revents & POLLIN) != 0) AcceptOne();
    }
  }

  // Closes every connection. A busy worker is cut off from its peer but not
  // waited for: it may sit in the owner's handler for any time. It keeps its
  // connection alive and ends on its own.
  void CloseAll() {
    for (auto entry = table_.rbegin(); entry != table_.rend(); ++entry) {
      ::shutdown((*entry)->stream.socket(), SHUT_RDWR);
    }
    table_.clear();
  }

 private:
  static constexpr std::size_t kListenSlot = 0;
  static constexpr std::size_t kWakeSlot = 1;
  static constexpr std::size_t kFirstConnectionSlot = 2;

  // Builds this round's watch list, drops the connections that ended, and
  // tells how long the round may wait: until the first idle connection is
  // due to close, so that an idle engine does not wake for nothing.
  int Prepare() {
    fds_.clear();
    watched_.clear();
    fds_.push_back({listenSocket_, static_cast<short>(watchListener_ ? POLLIN : 0), 0});
    fds_.push_back({wakeFd_, POLLIN, 0});
    auto wait = std::chrono::milliseconds(watchListener_ ? kiv::engine::kLongestWaitMs
                                                         : kiv::engine::kRetryListenerMs);
    watchListener_ = true;
    const auto now = std::chrono::steady_clock::now();
    const auto idleLimit = std::chrono::milliseconds(engine_->idleTimeoutMs);
    for (std::size_t i = table_.size(); i-- > 0;) {
      KivConnection& connection = *table_[i];
      const std::int32_t state = connection.state.load();
      if (state == kIdle) {
        if (!connection.idleSince) connection.idleSince = now;
        const auto left = *connection.idleSince + idleLimit - now;
        if (left < std::chrono::steady_clock::duration::zero()) {
          Drop(i);
          continue;
        }
        // One millisecond past the limit, so the next round finds it over.
        wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(left) +
                                  std::chrono::milliseconds(1));
        fds_.push_back({connection.stream.socket(), POLLIN, 0});
        watched_.push_back(table_[i]);
      } else if (state == kClosedByPeer || state == kFailed) {
        Drop(i);
      }
    }
    return static_cast<int>(wait.count());
  }

  void Drop(std::size_t index) {
    const std::shared_ptr<KivConnection> connection = table_[index];
    table_.erase(table_.begin() + static_cast<std::ptrdiff_t>(index));
    // Unread input would turn the close into a reset, which can destroy a
    // refusal the peer has not read yet.
    Discard(connection->stream.socket(), kiv::engine::kDiscardLimit);
    // Closed by the destructor; a finished worker holds no share of it.
  }

  std::size_t LiveConnections() const {
    return static_cast<std::size_t>(std::count_if(
        table_.begin(), table_.end(), [](const auto& c) { return c->state.load() != kIdle; }));
  }

  // Closes the connection idle for longest; false when none is idle. Only
  // the event thread turns an idle connection busy, so none is cut mid-call.
  bool DropLongestIdle() {
    std::optional<std::size_t> oldest;
    for (std::size_t i = 0; i < table_.size(); ++i) {
      const KivConnection& c = *table_[i];
      if (c.state.load() != kIdle || !c.idleSince) continue;
      if (!oldest || *c.idleSince < *table_[*oldest]->idleSince) oldest = i;
    }
    if (!oldest) return false;
    Drop(*oldest);
    return true;
  }

  void DrainWake() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(wakeFd_, &count, sizeof count);
  }

  void AcceptOne() {
    const int s = ::accept4(listenSocket_, nullptr, nullptr, SOCK_CLOEXEC);
    if (s < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      // Out of descriptors: an idle connection makes room for the pending
      // one; without one, skip the listener for a round instead of spinning.
      if ((errno != EMFILE && errno != ENFILE) || !DropLongestIdle()) watchListener_ = false;
      return;
    }
    SetNoDelay(s);
    kiv::PreferUnpacedOnLocalConnection(s);
    // A worker waits this long for a message, or for the peer to take its
    // reply, then gives the connection up.
    kiv::SetRecvTimeout(s, engine_->messageTimeoutMs);
    kiv::SetSendTimeout(s, engine_->messageTimeoutMs);
    if (!KivAdmitPeer(engine_, s)) {
      refusedFence.Add();
      ::close(s);
      return;
    }
    if (LiveConnections() >= kiv::engine::kMaxConnections ||
        (table_.size() >= kiv::engine::kMaxHeldConnections && !DropLongestIdle())) {
      refusedLimit.Add();
      KivSendRefusal(s, kiv::KIV_E_TOO_MANY_CONNECTIONS);
      ::close(s);
      return;
    }
    std::shared_ptr<KivConnection> connection;
    try {
      connection = std::make_shared<KivConnection>(s);
      table_.push_back(connection);
    } catch (const std::bad_alloc&) {
      if (!connection) ::close(s);
      return;  // a connection that did make it into no table closes with it
    }
    if (!KivStartWorker(connection, engine_)) {
      connection->state = kFailed;
      refusedNoWorker.Add();
      KivSendRefusal(s, kiv::KIV_E_NO_WORKER);
    }
  }

  void ReadMarker(const std::shared_ptr<KivConnection>& shared) {
    KivConnection& connection = *shared;
    const std::int32_t state = TakeMarker(connection.stream.socket());
    if (state == kIdle) return;
    connection.state = state;
    if (state != kBusy) return;
    connection.idleSince.reset();
    if (!KivStartWorker(shared, engine_)) {
      connection.state = kFailed;
      refusedNoWorker.Add();
      KivSendRefusal(connection.stream.socket(), kiv::KIV_E_NO_WORKER);
    }
  }

  KIV* engine_;
  const int listenSocket_;
  const int wakeFd_;
  bool watchListener_ = true;
  std::vector<std::shared_ptr<KivConnection>> table_;  // accept order
  std::vector<pollfd> fds_;
  std::vector<std::shared_ptr<KivConnection>> watched_;  // fds_ from kFirstConnectionSlot on
};

}  // namespace

KivConnection::KivConnection(int socket) : stream(socket, kiv::SocketStream::kDefaultCapacity) {
  connectionsOpen.Add();
}

KivConnection::~KivConnection() {
  stream.Close();
  connectionsOpen.Subtract();
}

bool KivSendReuseAnswer(int socket, bool messageWaiting) {
  // Never blocks: a peer that stopped reading loses the connection instead
  // of stalling the thread that answers.
  const std::uint8_t answer = kiv::engine::kReuseAnswer;
  const int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (messageWaiting ? MSG_MORE : 0);
  ssize_t sent;
  do {
    sent = ::send(socket, &answer, 1, flags);
  } while (sent < 0 && errno == EINTR);
  return sent == 1;
}

void KivSendRefusal(int socket, std::int32_t code) {
  Discard(socket, kiv::engine::kDiscardLimit);
  kiv::MemorySink refusal;
  kiv::WriteU32(refusal, static_cast<std::uint32_t>(code));
  ssize_t sent;
  do {
    sent =
        ::send(socket, refusal.bytes().data(), refusal.bytes().size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (sent < 0 && errno == EINTR);
}

int KivEventThread(KIV* engine) {
  SetNoDelay(engine->listenSocket);
  EventLoop loop(engine);
  try {
    loop.Run();
  } catch (const std::exception& error) {
    // The engine is left without a listener; removal must still find the
    // thread done.
    LogError(u"%hs", error.what());
  }
  loop.CloseAll();
  engine->eventThreadDone.Set();
  return 0;
}
