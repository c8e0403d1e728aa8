// A fake peer for engine tests: exact bytes over loopback sockets, every
// wait with a deadline.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kiv/oleaut.h"

namespace kiv::testing {

using Bytes = std::vector<std::uint8_t>;

class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket&& other) noexcept : fd_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~Socket() { reset(); }

  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
  }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// A listening socket on 127.0.0.1 and an ephemeral port (or the given one).
class Listener {
 public:
  explicit Listener(std::uint16_t port = 0, int backlog = 16);
  std::uint16_t port() const { return port_; }
  // The next connection, or an invalid Socket after timeoutMs.
  Socket Accept(int timeoutMs = 5000);
  // Whether a connection is waiting to be accepted right now.
  bool HasPending(int timeoutMs = 0);

 private:
  Socket socket_;
  std::uint16_t port_ = 0;
};

Socket ConnectTo(std::uint16_t port);
// A loopback port that nobody listens on: one a listener has just released.
std::uint16_t UnusedPort();

bool SendBytes(int fd, const Bytes& bytes);
// Exactly n bytes, or nullopt when the peer closed or timeoutMs passed.
std::optional<Bytes> ReadBytes(int fd, std::size_t n, int timeoutMs = 5000);
// Everything until the peer closes (at most `limit` bytes); nullopt when
// timeoutMs passes first.
std::optional<Bytes> ReadUntilClosed(int fd, int timeoutMs = 5000, std::size_t limit = 1 << 20);
// Whether the peer closed (or reset) the connection; bytes before are dropped.
bool WaitForClose(int fd, int timeoutMs = 5000);
// Whether bytes (or a close) arrive within timeoutMs.
bool Readable(int fd, int timeoutMs);

Bytes U16Bytes(std::uint16_t value);
Bytes U32Bytes(std::uint32_t value);
Bytes StringBytes(const std::u16string& text);
Bytes VariantBytes(const VARIANT& value);
// A service request: kind 0, caller, request name, argument.
Bytes RequestBytes(const std::u16string& caller, const std::u16string& name,
                   const VARIANT& argument);
// A ping: kind 1 and the satellite id.
Bytes PingBytes(std::int32_t satelliteId);
// A reply to a service request: result, return code, value.
Bytes ReplyBytes(std::int32_t result, std::int32_t returnCode, const VARIANT& value);
Bytes Concat(std::initializer_list<Bytes> parts);

// One service request (without a marker); false on any failure.
struct ReceivedRequest {
  std::u16string caller;
  std::u16string name;
  VARIANT argument;  // owned: cleared by the destructor
  ReceivedRequest() { VariantInit(&argument); }
  ~ReceivedRequest() { VariantClear(&argument); }
  ReceivedRequest(const ReceivedRequest&) = delete;
  ReceivedRequest& operator=(const ReceivedRequest&) = delete;
};
bool ReadRequest(int fd, ReceivedRequest& request, int timeoutMs = 5000);

// "80 06 00 05" style, for assertion messages.
std::string Hex(const Bytes& bytes);
// The bytes of hex digit pairs; blanks between them are skipped.
Bytes FromHex(const std::string& hex);

}  // namespace kiv::testing
