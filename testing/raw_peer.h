// Raw-socket helpers for engine tests: a fake peer that writes exact bytes
// over real loopback sockets and checks the bytes that come back. Every
// wait has a deadline; descriptors are owned by Socket and closed with it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kiv/oleaut.h"

namespace kiv::testing {

using Bytes = std::vector<std::uint8_t>;

// Owns one descriptor.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket&& other) noexcept : fd_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept;
  ~Socket() { reset(); }

  int get() const { return fd_; }
  int release();
  void reset(int fd = -1);
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// A listening socket on 127.0.0.1 and an ephemeral port (or the given one).
class Listener {
 public:
  explicit Listener(std::uint16_t port = 0, int backlog = 16);
  std::uint16_t port() const { return port_; }
  int fd() const { return socket_.get(); }
  // The next connection, or an invalid Socket after timeoutMs.
  Socket Accept(int timeoutMs = 5000);
  // Whether a connection is waiting to be accepted right now.
  bool HasPending(int timeoutMs = 0);

 private:
  Socket socket_;
  std::uint16_t port_ = 0;
};

// A blocking connection to 127.0.0.1:port; invalid on failure.
Socket ConnectTo(std::uint16_t port);
// A loopback port that nobody listens on: one a listener has just released.
std::uint16_t UnusedPort();

bool SendBytes(int fd, const Bytes& bytes);
// Exactly n bytes, or nullopt when the peer closed or timeoutMs passed.
std::optional<Bytes> ReadBytes(int fd, std::size_t n, int timeoutMs = 5000);
// Everything until the peer closes (at most `limit` bytes); nullopt when
// timeoutMs passes first.
std::optional<Bytes> ReadUntilClosed(int fd, int timeoutMs = 5000, std::size_t limit = 1 << 20);
// Whether the peer closed (or reset) the connection within timeoutMs;
// bytes that arrive first are dropped.
bool WaitForClose(int fd, int timeoutMs = 5000);
// Whether bytes (or a close) arrive within timeoutMs.
bool Readable(int fd, int timeoutMs);

// Message builders in the engine's wire encoding.
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

// Reads one service request (without a marker) from a connected socket:
// caller, request name and argument; false on any failure.
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
