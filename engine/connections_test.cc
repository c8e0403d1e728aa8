// The client half of the transport against a fake peer on real sockets:
// connection reuse with the 0xCC/0x33 exchange, the idle cache, retries
// on stale connections, connect failures and refusals.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>

#include "engine/engine_object.h"
#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "support/threads/test_util.h"
#include "support/time/time_limits.h"
#include "testing/background_call.h"
#include "testing/raw_peer.h"

namespace kiv::testing {
namespace {

const Bytes kMarker{0xCC};
const Bytes kAnswer{0x33};

class Transport : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(KivCreate(&engine_, nullptr, nullptr, nullptr), 0);
    ASSERT_TRUE(peer_.fd() >= 0);
  }
  void TearDown() override {
    KivRemoveSatellite(engine_);
    KivDestroy(engine_);
  }

  // Answers one request on `connection` with result 0, code 7 and `value`;
  // with `reused`, the marker exchange comes first.
  void ServeOne(int connection, const VARIANT& value, const std::u16string& expectedName,
                bool reused = false) {
    if (reused) {
      const auto first = ReadBytes(connection, 1);
      ASSERT_TRUE(first);
      EXPECT_EQ(Hex(*first), Hex(kMarker));
      ASSERT_TRUE(SendBytes(connection, kAnswer));
    }
    ReceivedRequest request;
    ASSERT_TRUE(ReadRequest(connection, request));
    EXPECT_EQ(request.name, expectedName);
    ASSERT_TRUE(SendBytes(connection, ReplyBytes(0, 7, value)));
  }

  // Accepts the connection of a call and reads its request.
  Socket AcceptRequest() {
    Socket connection = peer_.Accept();
    ReceivedRequest request;
    EXPECT_TRUE(connection.valid() && ReadRequest(connection.get(), request));
    return connection;
  }

  std::size_t IdleCount() {
    PScopedLock guard(&engine_->cacheLock);
    return engine_->idleCache.size();
  }

  KIV* engine_ = nullptr;
  Listener peer_;
};

TEST_F(Transport, ConnectionIsReusedAfterTheMarkerExchangeForTheSameHostText) {
  Socket numeric;
  {
    BackgroundCall call(engine_, "127.0.0.1", peer_.port(), "Echo", Variant::I4(5));
    numeric = peer_.Accept();
    ASSERT_TRUE(numeric.valid());
    // An engine without a name sends an empty caller name.
    const Bytes expected = RequestBytes(u"", u"Echo", *Variant::I4(5));
    const auto sent = ReadBytes(numeric.get(), expected.size());
    ASSERT_TRUE(sent);
    EXPECT_EQ(Hex(*sent), Hex(expected));
    ASSERT_TRUE(SendBytes(numeric.get(), ReplyBytes(0, 7, *Variant::I4(6))));
    const CallOutcome& outcome = call.Wait();
    EXPECT_KIV_CODE(outcome.result, 0);
    EXPECT_EQ(outcome.returnCode, 7);
    EXPECT_EQ(outcome.value->lVal, 6);
  }
  Socket named;
  {
    // Same address, other text: a connection of its own, no marker.
    BackgroundCall call(engine_, "localhost", peer_.port(), "B", Variant());
    named = peer_.Accept();
    ASSERT_TRUE(named.valid());
    ServeOne(named.get(), *Variant(), u"B");
  }
  EXPECT_FALSE(Readable(numeric.get(), 0));
  {
    PScopedLock guard(&engine_->cacheLock);
    ASSERT_EQ(engine_->idleCache.size(), 2u);
    EXPECT_EQ(engine_->idleCache.front().host, "127.0.0.1");
    EXPECT_EQ(engine_->idleCache.back().host, "localhost");
  }
  {
    BackgroundCall call(engine_, "127.0.0.1", peer_.port(), "Echo", Variant::I4(8));
    ServeOne(numeric.get(), *Variant::I4(9), u"Echo", true);
    EXPECT_EQ(call.Wait().value->lVal, 9);
  }
  EXPECT_FALSE(peer_.HasPending(50)) << "the reusing call opened a connection";
}

TEST_F(Transport, NinthReleaseClosesTheOldestIdleConnection) {
  std::vector<int> clients;
  std::vector<Socket> servers;
  for (int i = 0; i < 9; ++i) {
    int socket = -1;
    ASSERT_EQ(KivConnect("127.0.0.1", peer_.port(), engine_, &socket, 1000), 0);
    clients.push_back(socket);
    servers.push_back(peer_.Accept());
    ASSERT_TRUE(servers.back().valid());
  }
  {
    PScopedLock guard(&engine_->cacheLock);
    EXPECT_EQ(engine_->inUse.size(), 9u);
  }
  for (int socket : clients) KivReleaseConnection("127.0.0.1", peer_.port(), engine_, socket);
  EXPECT_TRUE(WaitForClose(servers[0].get(), 2000));
  for (int i = 1; i < 9; ++i) EXPECT_FALSE(Readable(servers[i].get(), 0)) << i;
  PScopedLock guard(&engine_->cacheLock);
  EXPECT_EQ(engine_->idleCache.size(), 8u);
  EXPECT_EQ(engine_->idleCache.front().socket, clients[1]);
  EXPECT_TRUE(engine_->inUse.empty());
}

TEST_F(Transport, ClosedIdleConnectionIsRetriedOnAFreshOne) {
  {
    BackgroundCall call(engine_, "127.0.0.1", peer_.port(), "Echo", Variant());
    Socket stale = peer_.Accept();
    ASSERT_TRUE(stale.valid());
    ServeOne(stale.get(), *Variant(), u"Echo");
    call.Wait();
  }  // the peer closes its side of the idle connection
  BackgroundCall call(engine_, "127.0.0.1", peer_.port(), "Echo", Variant::I4(1));
  Socket fresh = peer_.Accept();
  ASSERT_TRUE(fresh.valid());
  ServeOne(fresh.get(), *Variant::String(u"fresh"), u"Echo");
  const CallOutcome& outcome = call.Wait();
  EXPECT_KIV_CODE(outcome.result, 0);
  ASSERT_EQ(outcome.value.vt(), VT_BSTR);
  EXPECT_EQ(Bstr(std::u16string_view(outcome.value->bstrVal)).str(), u"fresh");
  EXPECT_EQ(IdleCount(), 1u);
}

TEST_F(Transport, NegativeReplyCarriesNoReturnCodeAndNoValue) {
  BackgroundCall call(engine_, "127.0.0.1", peer_.port(), "Echo", Variant());
  Socket connection = AcceptRequest();
  ASSERT_TRUE(SendBytes(connection.get(), U32Bytes(0x80068001u)));
  const CallOutcome& outcome = call.Wait();
  EXPECT_KIV_CODE(outcome.result, KIV_E_TOO_MANY_CONNECTIONS);
  EXPECT_EQ(outcome.returnCode, kUntouchedCode);
  EXPECT_EQ(outcome.value->lVal, kUntouchedCode);
}

TEST_F(Transport, ShortReplyFailsTheCallAndDropsTheConnection) {
  BackgroundCall call(engine_, "127.0.0.1", peer_.port(), "Echo", Variant());
  Socket connection = AcceptRequest();
  // Result and code, then the peer goes away before the value.
  ASSERT_TRUE(SendBytes(connection.get(), Concat({U32Bytes(0), U32Bytes(0)})));
  connection.reset();
  const CallOutcome& outcome = call.Wait();
  EXPECT_KIV_CODE(outcome.result, KIV_E_TRANSPORT);
  EXPECT_EQ(outcome.returnCode, kUntouchedCode);
  PScopedLock guard(&engine_->cacheLock);
  EXPECT_TRUE(engine_->idleCache.empty());
  EXPECT_TRUE(engine_->inUse.empty());
}

TEST_F(Transport, ConnectFailuresBecomeExchangeFailures) {
  CallOutcome outcome;
  outcome.result = KivCall(engine_, "no-such-host.invalid", 1, "Echo", nullptr, outcome.value.get(),
                           &outcome.returnCode);
  EXPECT_KIV_CODE(outcome.result, KIV_E_RESOLVE_FAILED);
  const std::uint16_t closedPort = peer_.port();
  peer_ = Listener();  // nothing listens on closedPort any more
  outcome.result =
      KivCall(engine_, "127.0.0.1", closedPort, "Echo", nullptr, nullptr, &outcome.returnCode);
  EXPECT_KIV_CODE(outcome.result, KIV_E_CONNECT_FAILED);
  EXPECT_EQ(outcome.returnCode, kUntouchedCode);

  std::int32_t code = kUntouchedCode;
  EXPECT_KIV_CODE(KivCall(nullptr, "127.0.0.1", 1, "Echo", nullptr, nullptr, &code), 0);
  EXPECT_KIV_CODE(code, KIV_RC_NOT_FOUND);
}

// A listener whose accept queue is full drops further connection attempts,
// so a connect waits for its whole time-out.
TEST_F(Transport, SilentHostIsTriedTwiceWithTheRequestsConnectTimeout) {
  Listener full(0, 0);
  std::vector<Socket> fillers;
  for (int i = 0; i < 3; ++i) {
    Socket filler(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(full.port());
    ::connect(filler.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    fillers.push_back(std::move(filler));
  }
  // Both connect limits, shortened through the time seam.
  const ScopedLimitForTesting removalLimit(TimeLimit::kRemovalConnect, 300);
  const ScopedLimitForTesting connectLimit(TimeLimit::kConnect, 900);
  std::int32_t result = 0;
  const long long removal = ElapsedMillis([&] {
    result =
        KivCall(engine_, "127.0.0.1", full.port(), "rEMOVEsATELLITE", nullptr, nullptr, nullptr);
  });
  EXPECT_KIV_CODE(result, KIV_E_CONNECT_FAILED);
  EXPECT_GE(removal, 590);
  EXPECT_LT(removal, 1500);
  const long long other = ElapsedMillis([&] {
    result = KivCall(engine_, "127.0.0.1", full.port(), "Register", nullptr, nullptr, nullptr);
  });
  EXPECT_KIV_CODE(result, KIV_E_CONNECT_FAILED);
  EXPECT_GE(other, 1790);
  EXPECT_LT(other, 3000);
}

TEST_F(Transport, ProbedIdleConnectionIsUsedOnlyIfItAnswersTheMarker) {
  int socket = -1;
  ASSERT_EQ(KivConnect("127.0.0.1", peer_.port(), engine_, &socket, 1000), 0);
  Socket idle = peer_.Accept();
  ASSERT_TRUE(idle.valid());
  KivReleaseConnection("127.0.0.1", peer_.port(), engine_, socket);

  // Asks for the connection the way a ping does, while this thread answers.
  const auto probe = [&](const Bytes& answer, int& probed) {
    bool reused = true;
    std::int32_t code = -1;
    {
      TestThread thread([&] {
        code = KivGetConnection("127.0.0.1", peer_.port(), engine_, &probed, &reused, 1000);
      });
      const auto marker = ReadBytes(idle.get(), 1);
      EXPECT_TRUE(marker && Hex(*marker) == Hex(kMarker));
      EXPECT_TRUE(SendBytes(idle.get(), answer));
    }
    return code;
  };
  int probed = -1;
  EXPECT_EQ(probe(kAnswer, probed), 0);
  EXPECT_EQ(probed, socket);
  KivReleaseConnection("127.0.0.1", peer_.port(), engine_, probed);

  // A wrong answer: the idle connection is closed and a new one made.
  EXPECT_EQ(probe(Bytes{0x00}, probed), 0);
  EXPECT_TRUE(WaitForClose(idle.get(), 2000));
  EXPECT_TRUE(peer_.Accept().valid());
  KivReleaseConnection("127.0.0.1", peer_.port(), engine_, probed);
  EXPECT_EQ(IdleCount(), 1u);
}

}  // namespace
}  // namespace kiv::testing
