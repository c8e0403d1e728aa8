// Both halves of the transport against raw peers on real sockets. The
// connection limit, announced sizes and trickling peers are the hostile test's.
#include "engine/event_thread.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "engine/engine_object.h"
#include "engine/listener.h"
#include "engine/message_limit.h"
#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "support/time/time_limits.h"
#include "testing/background_call.h"
#include "testing/fake_clock.h"
#include "testing/fake_directory.h"
#include "testing/kiv_assertions.h"
#include "testing/log_capture.h"
#include "testing/raw_peer.h"
#include "testing/wait.h"

namespace kiv::testing {
namespace {

// The next n bytes from `s`, or all until it closes (n = 0); "none" if missing.
std::string Next(const Socket& s, std::size_t n = 0) {
  const auto bytes = n > 0 ? ReadBytes(s.get(), n) : ReadUntilClosed(s.get());
  return bytes ? Hex(*bytes) : "none";
}

class Server : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(KivStartListening(engine_->get(), false), 0);
    port_ = engine_->get()->listenPort;
  }
  // A connection that has been served once, so it is idle now.
  Socket IdleConnection() {
    Socket s = ConnectTo(port_);
    EXPECT_TRUE(SendBytes(s.get(), PingBytes(0)) && ReadBytes(s.get(), 8));
    return s;
  }

  std::unique_ptr<TestEngine> engine_ = std::make_unique<TestEngine>();
  std::uint16_t port_ = 0;
};

TEST_F(Server, MalformedMessagesAreRefusedAndTheConnectionDropped) {
  const Bytes request = RequestBytes(u"peer", u"Echo", *Variant::String(u"payload"));
  const struct {
    Bytes bytes;
    const char* refusal;
  } cases[] = {
      {U16Bytes(0xFFFF), "80 06 00 01"},  // an unknown kind; the rest unreadable
      {Bytes(request.begin(), request.end() - 3), "80 06 00 05"},
      {Concat({U16Bytes(0), StringBytes(u"a"), StringBytes(u"b"), U16Bytes(0x0F), Bytes(64, 1)}),
       "80 06 00 05"},
      {Concat({U16Bytes(0), U32Bytes(0x7FFFFFFF), Bytes(10, 0)}), "80 06 00 05"},
  };
  for (const auto& c : cases) {
    Socket s = ConnectTo(port_);
    ASSERT_TRUE(SendBytes(s.get(), c.bytes));
    ::shutdown(s.get(), SHUT_WR);
    EXPECT_EQ(Next(s), c.refusal) << Hex(c.bytes);
  }
  // On an idle connection any byte but the marker closes it, unanswered.
  Socket idle = IdleConnection();
  ASSERT_TRUE(SendBytes(idle.get(), request));
  EXPECT_EQ(Next(idle), "");
}

TEST_F(Server, ANegativeResultGoesAloneAnExceptionDropsTheConnection) {
  engine_->SetHandler([](const std::u16string&, const std::u16string& service, const VARIANT&,
                         VARIANT* value, std::int32_t* returnCode) {
    if (service == u"Throw") throw std::logic_error("bad input");
    *value = Variant::I4(1).Detach();  // not sent
    *returnCode = 3;
    return -7;
  });
  Socket s = ConnectTo(port_), t = ConnectTo(port_);
  ASSERT_TRUE(SendBytes(s.get(), RequestBytes(u"peer", u"Echo", *Variant())));
  EXPECT_EQ(Next(s, 4), "ff ff ff f9");
  ASSERT_TRUE(SendBytes(s.get(), Bytes{0xCC}));
  EXPECT_EQ(Next(s, 1), "33") << "nothing more was sent, so the connection is reused";
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(SendBytes(t.get(), RequestBytes(u"peer", u"Throw", *Variant())));
  EXPECT_EQ(Next(t), "");
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("bad input"), std::string::npos);
}

TEST_F(Server, RemovalDoesNotWaitForBusyHandlersOrSilentPeersButDestructionDoes) {
  PCondFlag entered, release;
  std::atomic<bool> finished{false};
  engine_->SetHandler(
      [&](const std::u16string&, const std::u16string&, const VARIANT&, VARIANT*, std::int32_t*) {
        entered.Set();
        release.WaitSet();
        finished = true;
        return 0;
      });
  Socket busy = ConnectTo(port_), silent = ConnectTo(port_), idle = IdleConnection();
  ASSERT_TRUE(SendBytes(busy.get(), RequestBytes(u"peer", u"Slow", *Variant())));
  ASSERT_TRUE(entered.TimedWaitSet(2000));
  EXPECT_LT(ElapsedMillis([&] { EXPECT_EQ(engine_->Remove(), 0); }), 1000);
  for (const Socket* s : {&silent, &idle, &busy}) EXPECT_TRUE(WaitForClose(s->get(), 2000));
  EXPECT_FALSE(ConnectTo(port_).valid()) << "still listening";
  EXPECT_FALSE(finished);
  TestThread releaser([&] {  // destruction waits for the handler that holds the engine
    EXPECT_FALSE(release.TimedWaitSet(50));
    release.Set();
  });
  engine_.reset();
  EXPECT_TRUE(finished);
}

class Transport : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(KivCreate(&engine_, nullptr, nullptr, nullptr), 0); }
  void TearDown() override { KivDestroy(engine_); }

  // How many connections are idle; none may be lent.
  std::size_t Idle() {
    PScopedLock guard(&engine_->cacheLock);
    EXPECT_TRUE(engine_->inUse.empty());
    return engine_->idleCache.size();
  }

  KIV* engine_ = nullptr;
  Listener peer_;
};

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
    EXPECT_EQ(Idle(), reply.size() == 4 ? 1u : 0u);
  }
}

// A full accept queue drops further connection attempts: each waits out its time-out.
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

Variant ByteArray(std::size_t size) {
  return Variant::Adopt(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size)), VT_UI1);
}

TEST_F(Server, MessagesUpToTheLimitPassAndOneByteMoreIsRefusedOnEitherSide) {
  LogCapture log;
  const Bytes request = RequestBytes(u"peer", u"Echo", *ByteArray(1000));
  const Bytes larger = RequestBytes(u"peer", u"Echo", *ByteArray(1001));
  engine_->get()->maxMessageBytes = request.size();
  Socket fits = ConnectTo(port_), over = ConnectTo(port_);
  ASSERT_TRUE(SendBytes(fits.get(), request));
  EXPECT_TRUE(ReadBytes(fits.get(), ReplyBytes(0, 0, *ByteArray(1000)).size()));
  ASSERT_TRUE(SendBytes(over.get(), larger));
  EXPECT_EQ(Next(over), "80 06 00 05");
  const auto warned = [&](const std::string& what, std::size_t size, std::size_t limit) {
    return log.Count(LOG_WARN, "KIV: " + what + " refused: " + std::to_string(size) +
                                   " bytes or more, MaxMessageSize is " + std::to_string(limit) +
                                   " bytes");
  };
  EXPECT_EQ(warned("request", larger.size(), request.size()), 1);
  // A caller refuses a reply over its own limit, and says so on its side.
  engine_->get()->maxMessageBytes = 0;
  TestEngine caller;
  const std::size_t reply = ReplyBytes(0, 0, *ByteArray(1000)).size();
  for (const std::size_t limit : {reply, reply - 1}) {
    caller.get()->maxMessageBytes = limit;
    Variant value;
    EXPECT_KIV_CODE(KivCall(caller.get(), "127.0.0.1", port_, "Echo", ByteArray(1000).get(),
                            value.get(), nullptr),
                    limit == reply ? 0 : KIV_E_TRANSPORT);
  }
  EXPECT_EQ(warned("reply from 127.0.0.1:" + std::to_string(port_), reply, reply - 1), 1);
}

TEST_F(Server, ALargeValueEarnsTimeBeyondTheBareDeadline) {
  engine_->get()->messageTimeoutMs = 300;
  const Bytes large = RequestBytes(u"peer", u"Echo", *ByteArray(3 << 20));
  // About 5 MiB/s: the whole message takes longer than the bare time-out.
  Socket slow = ConnectTo(port_);
  const long long took = ElapsedMillis([&] {
    for (std::size_t at = 0; at < large.size(); at += 256 * 1024) {
      const std::size_t end = std::min(at + 256 * 1024, large.size());
      ASSERT_TRUE(SendBytes(slow.get(), Bytes(&large[at], &large[0] + end)));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  EXPECT_GT(took, 300);
  EXPECT_TRUE(ReadBytes(slow.get(), ReplyBytes(0, 0, *ByteArray(3 << 20)).size(), 10000));
}

TEST_F(Server, EveryIdlePeerIsWatchedAndClosedAfterTheIdleTimeOut) {
  std::vector<Socket> idle;
  for (int i = 0; i < 100; ++i) idle.push_back(IdleConnection());
  // The oldest of many idle connections still has its marker answered.
  ASSERT_TRUE(SendBytes(idle.front().get(), Bytes{0xCC}));
  EXPECT_EQ(Next(idle.front(), 1), "33");
  idle.clear();

  // An engine made while the idle time-out is short.
  const kiv::ScopedLimitForTesting shortIdle(kiv::TimeLimit::kIdleConnection, 200);
  engine_ = std::make_unique<TestEngine>();
  SetUp();
  Socket quiet = IdleConnection();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(WaitForClose(quiet.get(), 3000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
}

}  // namespace
}  // namespace kiv::testing
