#include "bench/compare/tcp_echo.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "bench/compare/echo_payload.h"

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
  std::vector<std::uint8_t> message(kHeaderBytes);
  for (;;) {
    if (!ReadAll(connection.fd(), std::span(message.data(), kHeaderBytes))) return;
    const std::uint32_t length = ReadLength(message.data());
    if (length > kLargestPayload) return;
    message.resize(kHeaderBytes + length);
    if (!ReadAll(connection.fd(), std::span(message).subspan(kHeaderBytes)) ||
        !WriteAll(connection.fd(), message)) {
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
    mine.request.assign(kHeaderBytes + bytes, 0);
    const std::uint32_t length = htonl(static_cast<std::uint32_t>(bytes));
    std::memcpy(mine.request.data(), &length, kHeaderBytes);
    FillPattern(std::span(mine.request).subspan(kHeaderBytes));
    mine.reply.assign(kHeaderBytes + bytes, 0);
  }

  const char* Call(int client, std::uint64_t sequence) override {
    Client& mine = clients_[static_cast<std::size_t>(client)];
    Stamp(std::span(mine.request).subspan(kHeaderBytes), sequence);
    const int fd = mine.socket.fd();
    if (!WriteAll(fd, mine.request) || !ReadAll(fd, std::span(mine.reply.data(), kHeaderBytes))) {
      return "tcp exchange failed";
    }
    if (ReadLength(mine.reply.data()) != mine.bytes) return "wrong echo: size";
    const std::span payload = std::span(mine.reply).subspan(kHeaderBytes);
    if (!ReadAll(fd, payload)) return "tcp exchange failed";
    return CheckEcho(payload, mine.bytes, sequence);
  }

 private:
  struct Client {
    Socket socket;
    std::vector<std::uint8_t> request;  // header and payload
    std::vector<std::uint8_t> reply;
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
