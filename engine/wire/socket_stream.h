// SocketStream: the buffered writer over one connected socket. Small writes
// gather in the buffer and leave with Flush, so a whole message normally
// goes out in one send; a block larger than half the buffer is sent
// directly from the caller's memory, gathered with the bytes that wait
// before it. One thread uses a stream at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/wire/byte_io.h"

namespace kiv {

class SocketStream final : public ByteSink {
 public:
  // The engine uses 16384 bytes for every stream.
  static constexpr std::int32_t kDefaultCapacity = 16384;

  SocketStream(SOCKET socket, std::int32_t capacity);
  SocketStream(const SocketStream&) = delete;
  SocketStream& operator=(const SocketStream&) = delete;
  // Leaves the socket open: a stream closes it only through Close.
  ~SocketStream() override = default;

  // n when the bytes were buffered or sent, 0 without a buffer, -1 when the
  // socket is invalid or bytes still wait after a flush.
  std::int32_t Write(const void* bytes, std::int32_t n) override;
  bool SendsLargeWritesDirectly() const override { return true; }
  // Sends what waits; the number sent, 0 when nothing waited, -1 on failure
  // (unsent bytes stay in the buffer).
  std::int32_t Flush();
  // Flushes, then hands the socket to the caller without closing it.
  SOCKET Detach();
  // Frees the buffer and closes the socket.
  void Close();

  SOCKET socket() const { return socket_; }
  std::int32_t used() const { return used_; }
  std::int32_t capacity() const { return capacity_; }

 private:
  SOCKET socket_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::int32_t capacity_;
  std::int32_t used_ = 0;
};

}  // namespace kiv
