// The client half of the transport against a fake peer on real sockets:
// reuse with the 0xCC/0x33 exchange, the idle cache, retries and failures.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "engine/engine_object.h"
#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "support/time/time_limits.h"
#include "testing/background_call.h"
#include "testing/raw_peer.h"

namespace kiv::testing {
namespace {

class Transport : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(KivCreate(&engine_, nullptr, nullptr, nullptr), 0); }
  void TearDown() override { KivDestroy(engine_); }

  // Reads one request named `name` on `connection` (after the marker when
  // `reused`) and answers result 0, code 7 and `value`.
  static void Serve(const Socket& connection, const char16_t* name, const VARIANT& value,
                    bool reused = false) {
    if (reused) {
      const auto marker = ReadBytes(connection.get(), 1);
      ASSERT_TRUE(marker && Hex(*marker) == "cc");
      ASSERT_TRUE(SendBytes(connection.get(), Bytes{0x33}));
    }
    ReceivedRequest request;
    ASSERT_TRUE(ReadRequest(connection.get(), request));
    EXPECT_EQ(request.name, name);
    ASSERT_TRUE(SendBytes(connection.get(), ReplyBytes(0, 7, value)));
  }
  // The idle connections, as host text per entry, oldest first.
  std::vector<std::string> Idle() {
    PScopedLock guard(&engine_->cacheLock);
    std::vector<std::string> hosts;
    for (const KivIdleConnection& idle : engine_->idleCache) hosts.push_back(idle.host);
    EXPECT_TRUE(engine_->inUse.empty());
    return hosts;
  }

  KIV* engine_ = nullptr;
  Listener peer_;
};

TEST_F(Transport, NinthReleaseClosesTheOldestIdleConnection) {
  std::vector<int> clients;
  std::vector<Socket> servers;
  for (int i = 0; i < 9; ++i) {
    int socket = -1;
    ASSERT_EQ(KivConnect("127.0.0.1", peer_.port(), engine_, &socket, 1000), 0);
    clients.push_back(socket);
    servers.push_back(peer_.Accept());
  }
  for (int socket : clients) KivReleaseConnection("127.0.0.1", peer_.port(), engine_, socket);
  EXPECT_TRUE(WaitForClose(servers[0].get(), 2000));
  for (int i = 1; i < 9; ++i) EXPECT_FALSE(Readable(servers[i].get(), 0)) << i;
  EXPECT_EQ(Idle().size(), 8u);
  PScopedLock guard(&engine_->cacheLock);
  EXPECT_EQ(engine_->idleCache.front().socket, clients[1]);
}

TEST_F(Transport, ARefusalCarriesNoCodeOrValueAndAShortReplyDropsTheConnection) {
  for (const Bytes& reply : {U32Bytes(0x80068001u), Concat({U32Bytes(0), U32Bytes(0)})}) {
    BackgroundCall call(engine_, "127.0.0.1", peer_.port(), "Echo", Variant());
    Socket connection = peer_.Accept();
    ReceivedRequest request;
    ASSERT_TRUE(ReadRequest(connection.get(), request));
    ASSERT_TRUE(SendBytes(connection.get(), reply));
    connection.reset();  // before the value of the short reply
    const CallOutcome& outcome = call.Wait();
    EXPECT_EQ(std::tuple(outcome.result, outcome.returnCode, outcome.value->lVal),
              std::tuple(reply.size() == 4 ? KIV_E_TOO_MANY_CONNECTIONS : KIV_E_TRANSPORT,
                         kUntouchedCode, long{kUntouchedCode}));
    EXPECT_EQ(Idle().size(), reply.size() == 4 ? 1u : 0u);
  }
}

// A listener whose accept queue is full drops further connection attempts,
// so a connect waits for its whole time-out; it is tried twice.
TEST_F(Transport, SilentHostIsTriedTwiceWithTheRequestsConnectTimeout) {
  Listener full(0, 0);
  std::vector<Socket> fillers;
  for (int i = 0; i < 3; ++i) {
    fillers.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(full.port());
    ::connect(fillers.back().get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  const ScopedLimitForTesting removal(TimeLimit::kRemovalConnect, 150);
  const ScopedLimitForTesting other(TimeLimit::kConnect, 400);
  for (const char* name : {"rEMOVEsATELLITE", "Register"}) {
    std::int32_t result = 0;
    const long long took = ElapsedMillis([&] {
      result = KivCall(engine_, "127.0.0.1", full.port(), name, nullptr, nullptr, nullptr);
    });
    EXPECT_KIV_CODE(result, KIV_E_CONNECT_FAILED);
    const long long limit = name[0] == 'r' ? 150 : 400;
    EXPECT_GE(took, 2 * limit - 10) << name;
    EXPECT_LT(took, 2 * limit + 250) << name;
  }
}

}  // namespace
}  // namespace kiv::testing
