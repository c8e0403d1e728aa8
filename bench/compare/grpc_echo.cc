#include "bench/compare/grpc_echo.h"

#include <grpcpp/grpcpp.h>

#include <span>
#include <string>
#include <vector>

#include "bench/compare/echo.grpc.pb.h"
#include "bench/compare/echo_payload.h"

namespace kiv::compare {

namespace {

class EchoServiceImpl final : public EchoService::Service {
  grpc::Status Echo(grpc::ServerContext*, const EchoMessage* request, EchoMessage* reply) override {
    *reply = *request;
    return grpc::Status::OK;
  }
};

std::span<std::uint8_t> Bytes(std::string& text) {
  return {reinterpret_cast<std::uint8_t*>(text.data()), text.size()};
}

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class GrpcEcho : public EchoTransport {
 public:
  ~GrpcEcho() override { Stop(); }

  bool Start(std::string* error) override {
    int port = 0;
    grpc::ServerBuilder builder;
    builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port);
    builder.RegisterService(&service_);
    server_ = builder.BuildAndStart();
    if (!server_ || port == 0) {
      *error = "grpc: the server did not start";
      return false;
    }
    const std::string target = "127.0.0.1:" + std::to_string(port);
    for (int c = 0; c < kMaxClients; ++c) {
      grpc::ChannelArguments arguments;
      // Channels with equal arguments would share one connection.
      arguments.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
      arguments.SetInt(GRPC_ARG_ENABLE_HTTP_PROXY, 0);
      clients_.push_back({EchoService::NewStub(grpc::CreateCustomChannel(
                              target, grpc::InsecureChannelCredentials(), arguments)),
                          {}});
    }
    return true;
  }

  void Stop() override {
    clients_.clear();
    if (server_) {
      server_->Shutdown();
      server_->Wait();
      server_.reset();
    }
  }

  void Prepare(int client, std::size_t bytes) override {
    Client& mine = clients_[static_cast<std::size_t>(client)];
    mine.request.mutable_payload()->assign(bytes, '\0');
    FillPattern(Bytes(*mine.request.mutable_payload()));
  }

  const char* Call(int client, std::uint64_t sequence) override {
    Client& mine = clients_[static_cast<std::size_t>(client)];
    Stamp(Bytes(*mine.request.mutable_payload()), sequence);
    grpc::ClientContext context;
    EchoMessage reply;
    if (!mine.stub->Echo(&context, mine.request, &reply).ok()) return "grpc exchange failed";
    return CheckEcho(Bytes(reply.payload()), mine.request.payload().size(), sequence);
  }

 private:
  struct Client {
    std::unique_ptr<EchoService::Stub> stub;
    EchoMessage request;
  };

  EchoServiceImpl service_;
  std::unique_ptr<grpc::Server> server_;
  std::vector<Client> clients_;
};

}  // namespace

std::unique_ptr<EchoTransport> MakeGrpcEcho() {
  return std::make_unique<GrpcEcho>();
}

}  // namespace kiv::compare
