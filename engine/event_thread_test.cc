// The server half against raw client sockets: replies and refusals byte by
// byte, the reuse marker, the connection limit, silent and hostile peers,
// pings, handler failures and stopping while work is in flight.
#include "engine/event_thread.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "engine/engine_object.h"
#include "engine/listener.h"
#include "engine/worker.h"
#include "kiv/result_codes.h"
#include "support/threads/test_util.h"
#include "support/time/wall_clock.h"
#include "testing/background_call.h"
#include "testing/fake_directory.h"
#include "testing/log_capture.h"
#include "testing/raw_peer.h"

namespace kiv::testing {
namespace {

const Bytes kMarker{0xCC};
const Bytes kAnswer{0x33};

// Fixes the wall clock for one scope.
class FixedClock {
 public:
  explicit FixedClock(std::int64_t seconds) {
    SetClockForTesting([seconds] { return seconds; }, {});
  }
  ~FixedClock() { SetClockForTesting({}, {}); }
};

std::string RefusalHex(std::int32_t code) {
  return Hex(U32Bytes(static_cast<std::uint32_t>(code)));
}

// The bytes a peer sent before it closed `s`; "open" if it never did.
std::string HexUntilClosed(int s, int timeoutMs = 5000) {
  const auto rest = ReadUntilClosed(s, timeoutMs);
  return rest ? Hex(*rest) : "open";
}

class Server : public ::testing::Test {
 protected:
  // Listens without a directory; the handler answers [code 5, argument].
  void SetUp() override { Start(30000); }

  void Start(std::int32_t messageTimeoutMs) {
    engine_ = std::make_unique<TestEngine>(
        [this](const std::u16string& caller, const std::u16string& service, const VARIANT& argument,
               VARIANT* value, std::int32_t* returnCode) {
          lastCaller_ = caller;
          lastService_ = service;
          VariantCopy(value, &argument);
          *returnCode = 5;
          return 0;
        });
    engine_->get()->messageTimeoutMs = messageTimeoutMs;
    ASSERT_EQ(KivStartListening(engine_->get(), false), 0);
    port_ = engine_->get()->listenPort;
  }

  // A connection that has been served once, so it is idle now.
  Socket IdleConnection() {
    Socket s = ConnectTo(port_);
    EXPECT_TRUE(s.valid());
    EXPECT_TRUE(SendBytes(s.get(), PingBytes(0)));
    EXPECT_TRUE(ReadBytes(s.get(), 8));
    return s;
  }

  // Sends the marker and a ping on an idle connection; true when both are
  // answered within timeoutMs.
  static bool Reuse(int s, int timeoutMs = 2000) {
    if (!SendBytes(s, kMarker)) return false;
    const auto answer = ReadBytes(s, 1, timeoutMs);
    if (!answer || *answer != kAnswer) return false;
    return SendBytes(s, PingBytes(0)) && ReadBytes(s, 8, timeoutMs).has_value();
  }

  std::unique_ptr<TestEngine> engine_;
  std::uint16_t port_ = 0;
  std::u16string lastCaller_;
  std::u16string lastService_;
};

TEST_F(Server, AnswersARequestAndServesTheNextOneAfterTheMarker) {
  Socket s = ConnectTo(port_);
  ASSERT_TRUE(SendBytes(s.get(), RequestBytes(u"peer", u"Echo", *Variant::I4(42))));
  const Bytes expected = ReplyBytes(0, 5, *Variant::I4(42));
  const auto reply = ReadBytes(s.get(), expected.size());
  ASSERT_TRUE(reply);
  EXPECT_EQ(Hex(*reply), Hex(expected));
  EXPECT_EQ(lastCaller_, u"peer");
  EXPECT_EQ(lastService_, u"Echo");

  EXPECT_TRUE(Reuse(s.get()));
  EXPECT_FALSE(Readable(s.get(), 20)) << "nothing may follow a reply";
}

TEST_F(Server, AnyOtherByteOnAnIdleConnectionClosesIt) {
  Socket s = IdleConnection();
  // A request without the marker: its first byte is not 0xCC.
  ASSERT_TRUE(SendBytes(s.get(), RequestBytes(u"peer", u"Echo", *Variant())));
  EXPECT_EQ(HexUntilClosed(s.get()), "");
}

TEST_F(Server, MalformedMessagesAreRefusedAndTheConnectionDropped) {
  const Bytes request = RequestBytes(u"peer", u"Echo", *Variant::String(u"payload"));
  const struct {
    const char* what;
    Bytes bytes;
    std::int32_t refusal;
  } cases[] = {
      {"kind 2", U16Bytes(2), KIV_E_UNKNOWN_KIND},
      {"kind -1", U16Bytes(0xFFFF), KIV_E_UNKNOWN_KIND},
      {"half a kind", Bytes{0x00}, KIV_E_TRANSPORT},
      {"truncated request", Bytes(request.begin(), request.end() - 3), KIV_E_TRANSPORT},
      {"unknown value type",
       Concat({U16Bytes(0), StringBytes(u"a"), StringBytes(u"b"), U16Bytes(0x0F), Bytes(64, 0xAB)}),
       KIV_E_TRANSPORT},
      {"string longer than sent", Concat({U16Bytes(0), U32Bytes(0x7FFFFFFF), Bytes(10, 0)}),
       KIV_E_TRANSPORT},
      {"truncated ping", Concat({U16Bytes(1), Bytes{0, 0}}), KIV_E_TRANSPORT},
  };
  for (const auto& c : cases) {
    Socket s = ConnectTo(port_);
    ASSERT_TRUE(SendBytes(s.get(), c.bytes)) << c.what;
    ::shutdown(s.get(), SHUT_WR);
    EXPECT_EQ(HexUntilClosed(s.get()), RefusalHex(c.refusal)) << c.what;
  }
  // The server still serves others.
  Socket s = IdleConnection();
  EXPECT_TRUE(Reuse(s.get()));
}

TEST_F(Server, SilentPeerIsDroppedAfterTheMessageTimeout) {
  engine_.reset();
  Start(300);
  Socket silent = ConnectTo(port_);
  Socket half = ConnectTo(port_);
  ASSERT_TRUE(SendBytes(half.get(), Bytes{0x00, 0x00, 0x00}));
  std::string reply;
  const long long waited = ElapsedMillis([&] { reply = HexUntilClosed(silent.get()); });
  EXPECT_EQ(reply, RefusalHex(KIV_E_TRANSPORT));
  EXPECT_GE(waited, 250);
  EXPECT_EQ(HexUntilClosed(half.get()), RefusalHex(KIV_E_TRANSPORT));
}

TEST_F(Server, ConnectionBeyondTheLimitGetsExactlyTheRefusal) {
  std::vector<Socket> held;
  for (std::size_t i = 0; i < kiv::engine::kMaxConnections; ++i) held.push_back(IdleConnection());
  Socket extra = ConnectTo(port_);
  EXPECT_EQ(HexUntilClosed(extra.get()), "80 06 80 01") << "the 201st connection";

  // Once a connection goes, a new one is served again.
  held.pop_back();
  bool served = false;
  for (int attempt = 0; attempt < 100 && !served; ++attempt) {
    Socket again = ConnectTo(port_);
    served = SendBytes(again.get(), PingBytes(0)) && ReadBytes(again.get(), 8, 2000).has_value();
  }
  EXPECT_TRUE(served);
}

TEST_F(Server, OnlySixtyThreeIdleConnectionsAreWatchedAtOnce) {
  std::vector<Socket> idle;
  for (int i = 0; i < 70; ++i) idle.push_back(IdleConnection());
  // Watched from the newest: the oldest seven wait for the table to change.
  ASSERT_TRUE(SendBytes(idle[0].get(), kMarker));
  EXPECT_FALSE(Readable(idle[0].get(), 100));
  EXPECT_TRUE(Reuse(idle[69].get()));
  while (idle.size() > 64) idle.pop_back();  // 64 left: the oldest still unwatched
  EXPECT_FALSE(Readable(idle[0].get(), 100));
  idle.pop_back();
  const auto answer = ReadBytes(idle[0].get(), 1, 2000);
  ASSERT_TRUE(answer);
  EXPECT_EQ(Hex(*answer), Hex(kAnswer));
}

TEST_F(Server, WorkerThatCannotStartIsRefused) {
  kiv::engine::FailWorkerStartsForTesting(1);
  Socket fresh = ConnectTo(port_);
  EXPECT_EQ(HexUntilClosed(fresh.get()), "80 06 80 02");

  Socket idle = IdleConnection();
  kiv::engine::FailWorkerStartsForTesting(1);
  ASSERT_TRUE(SendBytes(idle.get(), kMarker));
  EXPECT_EQ(HexUntilClosed(idle.get()), "33 80 06 80 02");
}

TEST_F(Server, PingsAndRequestsRefreshTheDirectoryContactAndOnlyTheOwnIdIsAlive) {
  LogCapture log;
  engine_->get()->satelliteId = 7;
  FixedClock clock(1000);
  Socket s = ConnectTo(port_);
  ASSERT_TRUE(SendBytes(s.get(), PingBytes(5)));
  auto reply = ReadBytes(s.get(), 8);
  ASSERT_TRUE(reply);
  EXPECT_EQ(Hex(*reply), "00 00 00 00 00 00 00 02");
  EXPECT_EQ(log.Count(LOG_WARN, "KIV: ping request with satId mismatch. Received 5, mine 7."), 1);
  EXPECT_EQ(engine_->get()->lastDirectoryContact.load(), 0);

  ASSERT_TRUE(SendBytes(s.get(), Concat({kMarker, PingBytes(7)})));
  reply = ReadBytes(s.get(), 9);
  ASSERT_TRUE(reply);
  EXPECT_EQ(Hex(*reply), "33 00 00 00 00 00 00 00 01");
  EXPECT_EQ(engine_->get()->lastDirectoryContact.load(), 1000);

  engine_->get()->lastDirectoryContact = 0;
  Socket r = ConnectTo(port_);
  ASSERT_TRUE(SendBytes(r.get(), RequestBytes(u"peer", u"Echo", *Variant())));
  ASSERT_TRUE(ReadBytes(r.get(), ReplyBytes(0, 5, *Variant()).size()));
  EXPECT_EQ(engine_->get()->lastDirectoryContact.load(), 1000);
}

TEST_F(Server, NegativeHandlerResultIsSentAloneAndKeepsTheConnection) {
  engine_->SetHandler([](const std::u16string&, const std::u16string&, const VARIANT&,
                         VARIANT* value, std::int32_t* returnCode) {
    *value = Variant::I4(1).Detach();  // must not be sent
    *returnCode = 3;
    return -7;
  });
  Socket s = ConnectTo(port_);
  ASSERT_TRUE(SendBytes(s.get(), RequestBytes(u"peer", u"Echo", *Variant())));
  const auto reply = ReadBytes(s.get(), 4);
  ASSERT_TRUE(reply);
  EXPECT_EQ(Hex(*reply), "ff ff ff f9");
  EXPECT_TRUE(Reuse(s.get()));
}

TEST_F(Server, HandlerExceptionIsReportedAndDropsTheConnection) {
  engine_->SetHandler([](const std::u16string&, const std::u16string&, const VARIANT&, VARIANT*,
                         std::int32_t*) -> std::int32_t { throw std::logic_error("bad input"); });
  ::testing::internal::CaptureStderr();
  Socket s = ConnectTo(port_);
  ASSERT_TRUE(SendBytes(s.get(), RequestBytes(u"peer", u"Echo", *Variant())));
  EXPECT_EQ(HexUntilClosed(s.get()), "");
  const std::string printed = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(printed, "Exception in while processing event: bad input\n");
}

TEST_F(Server, RemovalDoesNotWaitForBusyHandlersOrSilentPeers) {
  PCondFlag entered;
  PCondFlag release;
  std::atomic<bool> finished{false};
  engine_->SetHandler(
      [&](const std::u16string&, const std::u16string&, const VARIANT&, VARIANT*, std::int32_t*) {
        entered.Set();
        release.WaitSet();
        finished = true;
        return 0;
      });
  Socket busy = ConnectTo(port_);
  ASSERT_TRUE(SendBytes(busy.get(), RequestBytes(u"peer", u"Slow", *Variant())));
  Socket silent = ConnectTo(port_);
  Socket idle = IdleConnection();
  ASSERT_TRUE(entered.TimedWaitSet(2000));

  const long long removal = ElapsedMillis([&] { EXPECT_EQ(engine_->Remove(), 0); });
  EXPECT_LT(removal, 1000);
  EXPECT_TRUE(WaitForClose(silent.get(), 2000));
  EXPECT_TRUE(WaitForClose(idle.get(), 2000));
  EXPECT_TRUE(WaitForClose(busy.get(), 2000));
  EXPECT_FALSE(ConnectTo(port_).valid()) << "still listening";
  EXPECT_FALSE(finished);
  // Destruction waits for the handler that still holds the engine; the
  // release comes a little after destruction began.
  TestThread releaser([&] {
    EXPECT_FALSE(release.TimedWaitSet(50));
    release.Set();
  });
  engine_.reset();
  EXPECT_TRUE(finished);
}

// Sequential calls on one reused connection must not wait for the event
// thread's round time-out: a connection that turns idle is watched at once.
TEST(EchoLatency, SequentialCallsOnOneConnectionTakeMicrosecondsNotTheRoundTimeout) {
  TestEngine server;  // echoes
  ASSERT_EQ(KivStartListening(server.get(), false), 0);
  TestEngine client;
  constexpr int kCalls = 1000;
  std::int32_t failures = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCalls; ++i) {
    Variant argument = Variant::I4(i);
    Variant value;
    std::int32_t code = -1;
    failures += KivCall(client.get(), "127.0.0.1", server.get()->listenPort, "Echo", argument.get(),
                        value.get(), &code) != 0 ||
                code != 0 || value.vt() != VT_I4 || value->lVal != i;
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  std::printf("echo latency: %.1f us per call over %d calls\n",
              std::chrono::duration<double, std::micro>(elapsed).count() / kCalls, kCalls);
  EXPECT_EQ(failures, 0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Left to the 5 ms round time-out, every call would wait 2.5 ms on
  // average. (Sanitizers slow thread starts too much for a bound here.)
  EXPECT_LT(elapsed, std::chrono::seconds(2));
#endif
  PScopedLock guard(&client.get()->cacheLock);
  EXPECT_EQ(client.get()->idleCache.size(), 1u);
}

}  // namespace
}  // namespace kiv::testing
