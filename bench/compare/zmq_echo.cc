#include "bench/compare/zmq_echo.h"

#include <memory>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>
#include <zmq.hpp>

#include "bench/compare/echo_payload.h"

namespace kiv::compare {

namespace {

// Answers every message with itself until the context shuts down.
void Serve(zmq::socket_t socket) {
  try {
    for (;;) {
      zmq::message_t message;
      if (!socket.recv(message)) continue;
      socket.send(message, zmq::send_flags::none);
    }
  } catch (const zmq::error_t&) {
    // ETERM: the transport stops.
  }
}

class ZmqEcho : public EchoTransport {
 public:
  ~ZmqEcho() override { Stop(); }

  bool Start(std::string* error) override {
    try {
      // Made here, not at construction: the process may start no thread
      // before it enters its network namespace. One context per side, as
      // two programs would have: a shared context would let one I/O thread
      // do both ends' socket work, which no pair of processes can.
      serverContext_ = std::make_unique<zmq::context_t>();
      clientContext_ = std::make_unique<zmq::context_t>();
      for (int c = 0; c < kMaxClients; ++c) {
        zmq::socket_t server(*serverContext_, zmq::socket_type::rep);
        server.set(zmq::sockopt::linger, 0);
        server.bind("tcp://127.0.0.1:*");
        const std::string endpoint = server.get(zmq::sockopt::last_endpoint);
        servers_.emplace_back(Serve, std::move(server));
        Client client{zmq::socket_t(*clientContext_, zmq::socket_type::req), {}};
        client.socket.set(zmq::sockopt::linger, 0);
        client.socket.connect(endpoint);
        clients_.push_back(std::move(client));
      }
    } catch (const zmq::error_t& failure) {
      *error = std::string("zeromq: ") + failure.what();
      return false;
    }
    return true;
  }

  void Stop() override {
    if (!serverContext_) return;
    // Shutting a context down ends every blocking call with ETERM; the
    // server threads then close their sockets, and each context closes
    // once its sockets are closed.
    serverContext_->shutdown();
    clientContext_->shutdown();
    for (std::thread& server : servers_) server.join();
    servers_.clear();
    clients_.clear();
    serverContext_.reset();
    clientContext_.reset();
  }

  void Prepare(int client, std::size_t bytes) override {
    Client& mine = clients_[static_cast<std::size_t>(client)];
    mine.request.assign(bytes, 0);
    FillPattern(mine.request);
  }

  const char* Call(int client, std::uint64_t sequence) override {
    Client& mine = clients_[static_cast<std::size_t>(client)];
    Stamp(mine.request, sequence);
    try {
      zmq::message_t request(mine.request.data(), mine.request.size());
      zmq::message_t reply;
      if (!mine.socket.send(request, zmq::send_flags::none) ||
          !mine.socket.recv(reply, zmq::recv_flags::none)) {
        return "zeromq exchange failed";
      }
      return CheckEcho(std::span(reply.data<const std::uint8_t>(), reply.size()),
                       mine.request.size(), sequence);
    } catch (const zmq::error_t&) {
      return "zeromq exchange failed";
    }
  }

 private:
  struct Client {
    zmq::socket_t socket;
    std::vector<std::uint8_t> request;
  };

  std::unique_ptr<zmq::context_t> serverContext_;
  std::unique_ptr<zmq::context_t> clientContext_;
  std::vector<std::thread> servers_;
  std::vector<Client> clients_;
};

}  // namespace

std::unique_ptr<EchoTransport> MakeZmqEcho() {
  return std::make_unique<ZmqEcho>();
}

}  // namespace kiv::compare
