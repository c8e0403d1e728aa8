#include "engine/wire/byte_io.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "support/metrics/metrics.h"

namespace kiv {
namespace {

metrics::Counter bytesReceived{
    "kiv_bytes_received_total",
    "Message bytes this process's engine read from its sockets (reuse markers and refusals aside)"};

// Every receive of a SocketSource passes here; a peek is counted when its
// bytes are taken off the socket, so each byte counts once.
ssize_t CountedReceive(SOCKET socket, void* buffer, std::size_t n, int flags) {
  const ssize_t got = ::recv(socket, buffer, n, flags);
  if (got > 0 && (flags & MSG_PEEK) == 0) bytesReceived.Add(static_cast<std::uint64_t>(got));
  return got;
}

}  // namespace

ssize_t SocketSource::Receive(void* buffer, std::size_t n, int flags) {
  bool tryFirst = !std::exchange(awaitFirst_, false);
  if (!deadline_) return CountedReceive(socket_, buffer, n, flags);
  for (;; tryFirst = true) {
    if (tryFirst) {
      const ssize_t got = CountedReceive(socket_, buffer, n, flags | MSG_DONTWAIT);
      if (got > 0 && (flags & MSG_PEEK) == 0) arrived_ += static_cast<std::uint64_t>(got);
      if (got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return got;
    }
    const auto earned = std::chrono::seconds(bytesPerSecond_ ? arrived_ / bytesPerSecond_ : 0);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        *deadline_ + earned - std::chrono::steady_clock::now());
    pollfd watched{socket_, POLLIN, 0};
    // A passed deadline still looks once: a wait that began with no receive
    // must not miss bytes that are there.
    const int ready =
        ::poll(&watched, 1, static_cast<int>(std::clamp<long long>(left.count(), 0, 1LL << 30)));
    if (ready == 0) {
      missedDeadline_ = true;
      errno = ETIMEDOUT;
      return -1;
    }
    if (ready < 0 && errno != EINTR) return -1;
  }
}

bool SocketSource::WithinLimit(std::uint64_t more) {
  if (limit_ == 0 || more <= limit_ - std::min(counted_, limit_)) return true;
  refusedSize_ = counted_ + more;
  return false;
}

bool SocketSource::Expect(std::uint64_t bytes) {
  // Announced memory is taken from the budget at once: of several large
  // messages arriving together, the first ones finish and the later ones
  // are refused, instead of all growing in step until every one fails.
  return WithinLimit(bytes) && Reserve(counted_ + bytes);
}

bool SocketSource::Reserve(std::uint64_t total) {
  if (budget_ == nullptr || total <= reserved_ + kBudgetFree) return true;
  // In steps, so that the shared counter is touched once per step, not
  // once per field.
  const std::uint64_t step = std::max(total - kBudgetFree - reserved_, kBudgetStep);
  if (!budget_->Take(step)) {
    overBudget_ = true;
    return false;
  }
  reserved_ += step;
  return true;
}

bool SocketSource::Count(std::uint64_t more) {
  if (!WithinLimit(more)) return false;
  counted_ += more;
  return Reserve(counted_);
}

bool SocketSource::Charge(std::uint64_t bytes) {
  charged_ += bytes;
  return Count(bytes);
}

SocketSource::~SocketSource() {
  Commit();
  if (budget_ != nullptr) budget_->Give(reserved_);
}

bool SocketSource::ReceiveAll(void* buffer, std::size_t n) {
  auto* cursor = static_cast<std::uint8_t*>(buffer);
  while (n > 0) {
    const ssize_t got = Receive(cursor, n, 0);
    if (got > 0) {
      cursor += got;
      n -= static_cast<std::size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      return false;  // peer closed, receive time-out or error
    }
  }
  return true;
}

std::size_t SocketSource::Available() const {
  int queued = 0;
  if (::ioctl(socket_, FIONREAD, &queued) != 0 || queued < 0) return peeked_ - delivered_;
  const auto waiting = static_cast<std::size_t>(queued);
  // Read bytes left the queue; they wait in the window.
  if (taking_ == Taking::kAsRead) return waiting + (peeked_ - delivered_);
  // Delivered bytes stay queued until Commit takes them off the socket.
  return waiting > delivered_ ? waiting - delivered_ : 0;
}

bool SocketSource::Commit() {
  if (delivered_ == 0) return true;
  if (taking_ == Taking::kAsRead) {
    // Already off the socket; the window's rest is read next.
    if (delivered_ < peeked_) return true;
    peeked_ = delivered_ = 0;
    return true;
  }
  // The peeked bytes are still queued; receiving them again removes them.
  const bool ok = ReceiveAll(window_.get(), delivered_);
  peeked_ = delivered_ = 0;
  return ok;
}

bool SocketSource::ReadExact(void* buffer, std::size_t n) {
  if (!Count(n)) return false;
  auto* cursor = static_cast<std::uint8_t*>(buffer);
  while (n > 0) {
    if (delivered_ < peeked_) {
      const std::size_t k = std::min(n, peeked_ - delivered_);
      std::memcpy(cursor, window_.get() + delivered_, k);
      delivered_ += k;
      cursor += k;
      n -= k;
      continue;
    }
    if (!Commit()) return false;
    // Large blocks go straight to their destination.
    if (n >= kWindow / 2) return ReceiveAll(cursor, n);
    if (!window_) window_ = std::make_unique_for_overwrite<std::uint8_t[]>(kWindow);
    const ssize_t got = Receive(window_.get(), kWindow, taking_ == Taking::kAsRead ? 0 : MSG_PEEK);
    if (got > 0) {
      peeked_ = static_cast<std::size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

bool MemorySource::ReadExact(void* buffer, std::size_t n) {
  if (n > remaining()) return false;
  if (n > 0) std::memcpy(buffer, data_ + offset_, n);
  offset_ += n;
  return true;
}

std::int32_t MemorySink::Write(const void* bytes, std::int32_t n) {
  if (n < 0) return -1;
  const auto* begin = static_cast<const std::uint8_t*>(bytes);
  bytes_.insert(bytes_.end(), begin, begin + n);
  return n;
}

}  // namespace kiv
