#include "bench/compare/tcp_echo.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "bench/compare/echo_payload.h"
#include "support/net/net.h"

namespace kiv::compare {

namespace {

constexpr std::size_t kHeaderBytes = 4;
// A length past this is a broken stream, not a request.
constexpr std::uint32_t kLargestPayload = 64u << 20;

// Owns one socket descriptor.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Socket() { Close(); }

  int fd() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Ends both directions; a thread blocked on the socket sees the end.
  void Shutdown() const {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
  }
  void Close() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_ = -1;
};

bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(sent));
  }
  return true;
}

bool ReadAll(int fd, std::span<std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t got = ::recv(fd, bytes.data(), bytes.size(), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(got));
  }
  return true;
}

// Bytes that start on a page. The kernel copies socket data with
// `rep movsb`, which on some processors runs about twenty times slower when
// the destination lies 1 to 31 bytes after the source modulo a page; a
// message's bytes sit in the kernel from the start of a page, and malloc's
// large blocks start 16 bytes in, so a floor read into a vector would pay
// that on every large read.
class PageBuffer {
 public:
  std::uint8_t* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }
  std::span<std::uint8_t> span() const { return {data(), size_}; }
  // Keeps the first `keep` bytes.
  void Resize(std::size_t size, std::size_t keep = 0) {
    if (size > capacity_) {
      constexpr std::size_t kPage = 4096;
      const std::size_t capacity = (size + kPage - 1) / kPage * kPage;
      Bytes grown(static_cast<std::uint8_t*>(std::aligned_alloc(kPage, capacity)));
      if (!grown) throw std::bad_alloc();
      if (keep > 0) std::memcpy(grown.get(), bytes_.get(), std::min(keep, size_));
      bytes_ = std::move(grown);
      capacity_ = capacity;
    }
    size_ = size;
  }

 private:
  struct Free {
    void operator()(std::uint8_t* bytes) const { std::free(bytes); }
  };
  using Bytes = std::unique_ptr<std::uint8_t[], Free>;
  Bytes bytes_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

void SetNoDelay(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

std::uint32_t ReadLength(const std::uint8_t* header) {
  std::uint32_t length = 0;
  std::memcpy(&length, header, kHeaderBytes);
  return ntohl(length);
}

// Echoes every request of one connection until the peer ends it. The
// header stays in front of the payload, so the answer is one write.
void Serve(Socket connection) {
  PageBuffer message;
  message.Resize(kHeaderBytes);
  for (;;) {
    if (!ReadAll(connection.fd(), std::span(message.data(), kHeaderBytes))) return;
    const std::uint32_t length = ReadLength(message.data());
    if (length > kLargestPayload) return;
    message.Resize(kHeaderBytes + length, kHeaderBytes);
    if (!ReadAll(connection.fd(), message.span().subspan(kHeaderBytes)) ||
        !WriteAll(connection.fd(), message.span())) {
      return;
    }
  }
}

class TcpFloor : public EchoTransport {
 public:
  ~TcpFloor() override { Stop(); }

  bool Start(std::string* error) override {
    Socket listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (!listener.valid() ||
        ::bind(listener.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.fd(), kMaxClients) != 0 ||
        ::getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      *error = std::string("tcp listener: ") + std::strerror(errno);
      return false;
    }
    for (int c = 0; c < kMaxClients; ++c) {
      Socket client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      if (!client.valid() ||
          ::connect(client.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        *error = std::string("tcp connect: ") + std::strerror(errno);
        return false;
      }
      Socket served(::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!served.valid()) {
        *error = std::string("tcp accept: ") + std::strerror(errno);
        return false;
      }
      SetNoDelay(client.fd());
      SetNoDelay(served.fd());
      // As the engine's connections do, so that the floor stays what TCP
      // itself can do on this machine.
      kiv::PreferUnpacedOnLocalConnection(client.fd());
      kiv::PreferUnpacedOnLocalConnection(served.fd());
      clients_.push_back({std::move(client), {}, {}, 0});
      servers_.emplace_back(Serve, std::move(served));
    }
    return true;
  }

  void Stop() override {
    // A server thread ends when its client's connection does.
    for (Client& client : clients_) client.socket.Shutdown();
    for (std::thread& server : servers_) server.join();
    servers_.clear();
    clients_.clear();
  }

  void Prepare(int client, std::size_t bytes) override {
    Client& mine = clients_[static_cast<std::size_t>(client)];
    mine.bytes = bytes;
    mine.request.Resize(kHeaderBytes + bytes);
    const std::uint32_t length = htonl(static_cast<std::uint32_t>(bytes));
    std::memcpy(mine.request.data(), &length, kHeaderBytes);
    FillPattern(mine.request.span().subspan(kHeaderBytes));
    mine.reply.Resize(kHeaderBytes + bytes);
  }

  const char* Call(int client, std::uint64_t sequence) override {
    Client& mine = clients_[static_cast<std::size_t>(client)];
    Stamp(mine.request.span().subspan(kHeaderBytes), sequence);
    const int fd = mine.socket.fd();
    if (!WriteAll(fd, mine.request.span()) ||
        !ReadAll(fd, std::span(mine.reply.data(), kHeaderBytes))) {
      return "tcp exchange failed";
    }
    if (ReadLength(mine.reply.data()) != mine.bytes) return "wrong echo: size";
    const std::span payload = mine.reply.span().subspan(kHeaderBytes);
    if (!ReadAll(fd, payload)) return "tcp exchange failed";
    return CheckEcho(payload, mine.bytes, sequence);
  }

 private:
  struct Client {
    Socket socket;
    PageBuffer request;  // header and payload
    PageBuffer reply;
    std::size_t bytes;
  };

  std::vector<Client> clients_;
  std::vector<std::thread> servers_;
};

}  // namespace

std::unique_ptr<EchoTransport> MakeTcpFloor() {
  return std::make_unique<TcpFloor>();
}

}  // namespace kiv::compare
