#include "engine/wire/socket_stream.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace kiv {

namespace {

// MSG_NOSIGNAL: a peer that has gone away must fail the send, not raise
// SIGPIPE in a process that merely uses the library.
ssize_t SendSome(SOCKET socket, const std::uint8_t* bytes, std::size_t n) {
  for (;;) {
    const ssize_t sent = ::send(socket, bytes, n, MSG_NOSIGNAL);
    if (sent >= 0 || errno != EINTR) return sent;
  }
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
  Flush();
  if (used_ > 0) return -1;
  // A large block goes out in one blocking send; on a blocking socket that
  // returns only when everything is queued, or reports the failure.
  const auto* cursor = static_cast<const std::uint8_t*>(bytes);
  std::size_t left = static_cast<std::size_t>(n);
  while (left > 0) {
    const ssize_t sent = SendSome(socket_, cursor, left);
    if (sent <= 0) return cursor == bytes ? -1 : static_cast<std::int32_t>(n - left);
    cursor += sent;
    left -= static_cast<std::size_t>(sent);
  }
  return n;
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
