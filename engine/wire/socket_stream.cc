#include "engine/wire/socket_stream.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "support/metrics/metrics.h"

namespace kiv {

namespace {

metrics::Counter bytesSent{
    "kiv_bytes_sent_total",
    "Message bytes this process's engine wrote to its sockets (reuse markers and refusals aside)"};

// MSG_NOSIGNAL: a peer that has gone away must fail the send, not raise
// SIGPIPE in a process that merely uses the library.
ssize_t SendSome(SOCKET socket, iovec* parts, std::size_t count) {
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = count;
  for (;;) {
    const ssize_t sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    if (sent > 0) bytesSent.Add(static_cast<std::uint64_t>(sent));
    if (sent >= 0 || errno != EINTR) return sent;
  }
}

ssize_t SendSome(SOCKET socket, const std::uint8_t* bytes, std::size_t n) {
  iovec part{const_cast<std::uint8_t*>(bytes), n};
  return SendSome(socket, &part, 1);
}

}  // namespace

SocketStream::SocketStream(SOCKET socket, std::int32_t capacity)
    : socket_(socket),
      buffer_(capacity > 0 ? new (std::nothrow) std::uint8_t[capacity] : nullptr),
      capacity_(buffer_ ? capacity : 0) {}

std::int32_t SocketStream::Write(const void* bytes, std::int32_t n) {
  if (!buffer_) return 0;
  if (socket_ == INVALID_SOCKET || n < 0) return -1;
  if (n <= capacity_ / 2) {
    if (used_ + n > capacity_) {
      Flush();
      if (used_ > 0) return -1;
    }
    std::memcpy(buffer_.get() + used_, bytes, static_cast<std::size_t>(n));
    used_ += n;
    return n;
  }
  // A large block leaves from where it lies, behind the bytes that wait, in
  // one gathered send: no copy through the buffer, no separate small segment
  // for a message's head. On a blocking socket the send returns only when
  // everything is queued, or reports the failure.
  iovec parts[2] = {{buffer_.get(), static_cast<std::size_t>(used_)},
                    {const_cast<void*>(bytes), static_cast<std::size_t>(n)}};
  iovec* first = used_ > 0 ? &parts[0] : &parts[1];
  while (first->iov_len > 0) {
    const ssize_t sent = SendSome(socket_, first, static_cast<std::size_t>(parts + 2 - first));
    if (sent <= 0) break;
    for (auto left = static_cast<std::size_t>(sent); left > 0;) {
      const std::size_t taken = std::min(left, first->iov_len);
      first->iov_base = static_cast<std::uint8_t*>(first->iov_base) + taken;
      first->iov_len -= taken;
      left -= taken;
      if (first->iov_len == 0 && first == &parts[0]) ++first;
    }
  }
  if (parts[0].iov_len > 0) {
    // Unsent head bytes stay, and no block overtakes them.
    std::memmove(buffer_.get(), parts[0].iov_base, parts[0].iov_len);
    used_ = static_cast<std::int32_t>(parts[0].iov_len);
    return -1;
  }
  used_ = 0;
  const auto blockSent = n - static_cast<std::int32_t>(parts[1].iov_len);
  return blockSent > 0 ? blockSent : -1;
}

std::int32_t SocketStream::Flush() {
  if (!buffer_) return 0;
  if (socket_ == INVALID_SOCKET) return -1;
  if (used_ == 0) return 0;
  std::int32_t sent = 0;
  while (sent < used_) {
    const ssize_t now =
        SendSome(socket_, buffer_.get() + sent, static_cast<std::size_t>(used_ - sent));
    if (now <= 0) {
      if (sent == 0) return -1;
      if (errno == ENOTSOCK) return 0;
      std::memmove(buffer_.get(), buffer_.get() + sent, static_cast<std::size_t>(used_ - sent));
      used_ -= sent;
      return -1;
    }
    sent += static_cast<std::int32_t>(now);
  }
  used_ = 0;
  return sent;
}

SOCKET SocketStream::Detach() {
  Flush();
  const SOCKET socket = socket_;
  socket_ = INVALID_SOCKET;
  return socket;
}

void SocketStream::Close() {
  buffer_.reset();
  if (socket_ != INVALID_SOCKET) ::close(socket_);
  socket_ = INVALID_SOCKET;
  capacity_ = 0;
  used_ = 0;
}

}  // namespace kiv
