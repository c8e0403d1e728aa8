// Byte sinks and sources for the wire codec. The engine writes through a
// SocketStream and reads straight from the socket; the memory variants let
// the command-line tools, fuzzers and tests run the same codec on buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kiv {

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;

// Accepts bytes; Write returns how many it took (all or a failure).
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Returns n when all n bytes were accepted, 0 or -1 on failure.
  virtual std::int32_t Write(const void* bytes, std::int32_t n) = 0;
};

// Delivers exactly the bytes asked for, or fails.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // True when all n bytes arrived; false when the source ended or failed.
  virtual bool ReadExact(void* buffer, std::size_t n) = 0;
};

// Reads from a connected socket and never consumes a byte it has not
// delivered, so the next reader of the connection finds the stream exactly
// where this one stopped. It peeks at what has arrived and takes the bytes
// off the socket in one call once they are delivered (at Commit or
// destruction), instead of one system call per primitive. Waits as long as
// the socket's receive time-out allows; end of stream and errors fail.
class SocketSource final : public ByteSource {
 public:
  explicit SocketSource(SOCKET socket) : socket_(socket) {}
  SocketSource(const SocketSource&) = delete;
  SocketSource& operator=(const SocketSource&) = delete;
  ~SocketSource() override { Commit(); }

  bool ReadExact(void* buffer, std::size_t n) override;
  // Takes the delivered bytes off the socket; false when that fails.
  bool Commit();

 private:
  static constexpr std::size_t kWindow = 4096;

  bool ReceiveAll(void* buffer, std::size_t n);

  SOCKET socket_;
  std::unique_ptr<std::uint8_t[]> window_;
  std::size_t peeked_ = 0;     // bytes of the window that mirror the socket's queue
  std::size_t delivered_ = 0;  // of those, bytes handed to the reader
};

class MemorySource final : public ByteSource {
 public:
  MemorySource(const void* data, std::size_t size)
      : data_(static_cast<const std::uint8_t*>(data)), size_(size) {}
  bool ReadExact(void* buffer, std::size_t n) override;
  std::size_t remaining() const { return size_ - offset_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

class MemorySink final : public ByteSink {
 public:
  std::int32_t Write(const void* bytes, std::int32_t n) override;
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace kiv
