#include "testing/raw_peer.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "engine/wire/wire_codec.h"
#include "kiv/value.h"
#include "support/net/net.h"

namespace kiv::testing {

namespace {

using Clock = std::chrono::steady_clock;

int MillisLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

template <class T>
Bytes Encoded(bool (*write)(ByteSink&, T), T value) {
  MemorySink sink;
  write(sink, value);
  return sink.bytes();
}

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

}  // namespace

Listener::Listener(std::uint16_t port, int backlog) {
  socket_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int one = 1;
  ::setsockopt(socket_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address = Loopback(port);
  socklen_t size = sizeof address;
  if (::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(socket_.get(), backlog) != 0 ||
      ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    socket_.reset();
    return;
  }
  port_ = ntohs(address.sin_port);
}

Socket Listener::Accept(int timeoutMs) {
  if (!HasPending(timeoutMs)) return Socket();
  return Socket(::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC));
}

bool Listener::HasPending(int timeoutMs) {
  return Readable(socket_.get(), timeoutMs);
}

std::uint16_t UnusedPort() {
  return Listener().port();
}

Socket ConnectTo(std::uint16_t port) {
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = Loopback(port);
  if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    s.reset();
  }
  return s;
}

bool SendBytes(int fd, const Bytes& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t now = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (now < 0 && errno == EINTR) continue;
    if (now <= 0) return false;
    sent += static_cast<std::size_t>(now);
  }
  return true;
}

std::optional<Bytes> ReadBytes(int fd, std::size_t n, int timeoutMs) {
  auto bytes = ReadUntilClosed(fd, timeoutMs, n);
  return bytes && bytes->size() == n ? bytes : std::nullopt;
}

std::optional<Bytes> ReadUntilClosed(int fd, int timeoutMs, std::size_t limit) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  Bytes bytes;
  std::uint8_t chunk[4096];
  while (bytes.size() < limit) {
    if (!Readable(fd, MillisLeft(deadline))) return std::nullopt;
    const ssize_t now =
        ::recv(fd, chunk, std::min(sizeof chunk, limit - bytes.size()), MSG_DONTWAIT);
    if (now < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (now <= 0) return bytes;  // closed or reset
    bytes.insert(bytes.end(), chunk, chunk + now);
  }
  return bytes;
}

bool WaitForClose(int fd, int timeoutMs) {
  return ReadUntilClosed(fd, timeoutMs).has_value();
}

bool Readable(int fd, int timeoutMs) {
  pollfd entry{fd, POLLIN, 0};
  int ready = 0;
  while ((ready = ::poll(&entry, 1, timeoutMs)) < 0 && errno == EINTR) {
  }
  return ready > 0;
}

Bytes U16Bytes(std::uint16_t value) {
  return Encoded(WriteU16, value);
}

Bytes U32Bytes(std::uint32_t value) {
  return Encoded(WriteU32, value);
}

Bytes StringBytes(const std::u16string& text) {
  return Encoded(WriteBstr, kiv::Bstr(text).get());
}

Bytes VariantBytes(const VARIANT& value) {
  return Encoded<const VARIANT&>(WriteVariant, value);
}

Bytes RequestBytes(const std::u16string& caller, const std::u16string& name,
                   const VARIANT& argument) {
  return Concat({U16Bytes(0), StringBytes(caller), StringBytes(name), VariantBytes(argument)});
}

Bytes PingBytes(std::int32_t satelliteId) {
  return Concat({U16Bytes(1), U32Bytes(static_cast<std::uint32_t>(satelliteId))});
}

Bytes ReplyBytes(std::int32_t result, std::int32_t returnCode, const VARIANT& value) {
  return Concat({U32Bytes(static_cast<std::uint32_t>(result)),
                 U32Bytes(static_cast<std::uint32_t>(returnCode)), VariantBytes(value)});
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

bool ReadRequest(int fd, ReceivedRequest& request, int timeoutMs) {
  if (!Readable(fd, timeoutMs)) return false;
  kiv::SetRecvTimeout(fd, timeoutMs);
  SocketSource in(fd);
  std::uint16_t kind = 0xFFFF;
  BSTR caller = nullptr;
  BSTR name = nullptr;
  const bool ok = ReadU16(in, kind) && kind == 0 && ReadBstr(in, &caller) && ReadBstr(in, &name) &&
                  ReadVariant(in, &request.argument) && in.Commit();
  const kiv::Bstr callerOwner = kiv::Bstr::Attach(caller);
  const kiv::Bstr nameOwner = kiv::Bstr::Attach(name);
  request.caller = callerOwner.str();
  request.name = nameOwner.str();
  return ok;
}

std::string Hex(const Bytes& bytes) {
  std::string text;
  char digits[4];
  for (const std::uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, text.empty() ? "%02x" : " %02x", byte);
    text += digits;
  }
  return text;
}

Bytes FromHex(const std::string& hex) {
  std::string digits = hex;
  std::erase(digits, ' ');
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

}  // namespace kiv::testing
