// Both halves of the transport against raw peers on real sockets, and the
// network fences. The connection limit, announced sizes and trickling peers
// are the hostile test's.
#include "engine/event_thread.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <thread>

#include "engine/engine_object.h"
#include "engine/listener.h"
#include "engine/message_limit.h"
#include "engine/peer_fence.h"
#include "engine/wire/wire_codec.h"
#include "engine/worker.h"
#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "support/metrics/metrics.h"
#include "support/registry/registry_test_util.h"
#include "support/time/time_limits.h"
#include "testing/background_call.h"
#include "testing/fake_clock.h"
#include "testing/fake_directory.h"
#include "testing/kiv_assertions.h"
#include "testing/log_capture.h"
#include "testing/process_stats.h"
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

TEST_F(Server, EveryMessageGetsAThreadAtOnceAndParkedThreadsAreReusedThenEnd) {
  const kiv::ScopedLimitForTesting shortPark(kiv::TimeLimit::kParkedWorker, 500);
  constexpr int kAtOnce = 16;
  std::atomic<int> inside{0};
  engine_->SetHandler([&](const std::u16string&, const std::u16string&, const VARIANT&,
                          VARIANT* value, std::int32_t*) {
    ++inside;  // each waits for all: none may queue behind another
    WaitUntil([&] { return inside >= kAtOnce; }, 5000);
    *value = Variant::I4(inside).Detach();
    return 0;
  });
  const auto call = [&] {
    Socket s = ConnectTo(port_);
    EXPECT_TRUE(SendBytes(s.get(), RequestBytes(u"peer", u"Echo", *Variant::I4(1))));
    return s;
  };
  std::vector<Socket> clients;
  for (int i = 0; i < kAtOnce; ++i) clients.push_back(call());
  const std::string reply = Hex(ReplyBytes(0, 0, *Variant::I4(kAtOnce)));
  for (Socket& s : clients) EXPECT_EQ(Next(s, 14), reply);
  const auto workers = [&] {
    PScopedLock guard(engine_->get()->workers.get());
    return engine_->get()->workers->value;
  };
  ASSERT_TRUE(WaitUntil([&] { return engine_->get()->pool.Parked() == kAtOnce; }, 3000));
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(Next(call(), 14), Hex(ReplyBytes(0, 0, *Variant::I4(kAtOnce + i + 1))));
  EXPECT_EQ(workers(), kAtOnce) << "parked threads serve the next messages";
  EXPECT_TRUE(WaitUntil([&] { return workers() == 0; }, 3000));
}

TEST_F(Server, ANegativeResultGoesAloneAnExceptionOrAnUnsendableValueDropsTheConnection) {
  engine_->SetHandler([](const std::u16string&, const std::u16string& service, const VARIANT&,
                         VARIANT* value, std::int32_t* returnCode) {
    if (service == u"Throw") throw std::logic_error("bad input");
    if (service == u"Currency") {
      value->vt = VT_CY;  // a type the wire does not carry
      return 0;
    }
    *value = Variant::I4(1).Detach();  // not sent
    *returnCode = 3;
    return -7;
  });
  Socket s = ConnectTo(port_), t = ConnectTo(port_);
  ASSERT_TRUE(SendBytes(s.get(), RequestBytes(u"peer", u"Echo", *Variant())));
  EXPECT_EQ(Next(s, 4), "ff ff ff f9");
  // A peer that waits for the answer before it sends gets it at once, from
  // the worker that just replied or, later, from the event thread.
  for (const int pauseMs : {0, 50}) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    ASSERT_TRUE(SendBytes(s.get(), Bytes{0xCC}));
    EXPECT_LT(ElapsedMillis([&] { EXPECT_EQ(Next(s, 1), "33") << "the connection is reused"; }),
              100);
    ASSERT_TRUE(SendBytes(s.get(), RequestBytes(u"peer", u"Echo", *Variant())));
    EXPECT_EQ(Next(s, 4), "ff ff ff f9");
  }
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(SendBytes(t.get(), RequestBytes(u"peer", u"Throw", *Variant())));
  EXPECT_EQ(Next(t), "");
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("bad input"), std::string::npos);
  // The reply stops where the value fails; the peer must not wait for more.
  Socket u = ConnectTo(port_);
  ASSERT_TRUE(SendBytes(u.get(), RequestBytes(u"peer", u"Currency", *Variant())));
  EXPECT_TRUE(WaitForClose(u.get()));
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

TEST_F(Server, CountersFollowServedMadeAndRefusedExchangesCountingEachByteOnce) {
  const auto read = [] {  // "name" or "name{label value}" -> value
    std::map<std::string, double> values;
    for (const auto& s : metrics::Snapshot())
      values[s.name + (s.labels.empty() ? "" : "{" + s.labels[0].second + "}")] = s.value;
    return values;
  };
  auto start = read();
  const auto grew = [&](const std::string& key) { return read()[key] - start[key]; };
  double busyInHandler = 0;
  engine_->SetHandler([&](const std::u16string&, const std::u16string& service, const VARIANT&,
                          VARIANT*, std::int32_t* returnCode) {
    busyInHandler = grew("kiv_workers_busy");
    *returnCode = service == u"No" ? 5 : 0;
    return 0;
  });
  const Bytes request = RequestBytes(u"peer", u"Echo", *Variant::I4(1));
  Socket s = ConnectTo(port_);
  ASSERT_TRUE(SendBytes(s.get(), request));
  EXPECT_EQ(Next(s, 10), Hex(ReplyBytes(0, 0, *Variant())));
  EXPECT_TRUE(WaitUntil([&] { return grew("kiv_requests_served_total{ok}") == 1; }, 3000));
  EXPECT_EQ(grew("kiv_bytes_received_total"), static_cast<double>(request.size()));
  EXPECT_EQ(grew("kiv_bytes_sent_total"), 10);
  EXPECT_EQ(busyInHandler, 1);

  start = read();  // both ends in this process: every byte sent is received
  EXPECT_EQ(KivCall(engine_->get(), "127.0.0.1", port_, "No", nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(grew("kiv_requests_made_total{negative}"), 1);
  EXPECT_TRUE(WaitUntil([&] { return grew("kiv_requests_served_total{negative}") == 1; }, 3000));
  EXPECT_EQ(grew("kiv_bytes_sent_total"), grew("kiv_bytes_received_total"));

  engine::FailWorkerStartsForTesting(1);
  Socket refused = ConnectTo(port_);  // refused as it is accepted
  EXPECT_EQ(ReadUntilClosed(refused.get()), U32Bytes(KIV_E_NO_WORKER));
  EXPECT_EQ(grew("kiv_connections_refused_total{no_worker}"), 1);
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

// What a reader with a size limit counts for a request (or, with
// isReply, a reply): its bytes and what its value costs in memory besides.
std::uint64_t Cost(const Bytes& message, bool isReply) {
  MemorySource in(message.data(), message.size());
  std::uint32_t head = 0;
  Variant value;
  BSTR names[2] = {};
  const bool read =
      isReply ? ReadU32(in, head) && ReadU32(in, head)
              : ReadBytes(in, &head, 2) && ReadBstr(in, &names[0]) && ReadBstr(in, &names[1]);
  EXPECT_TRUE(read && ReadVariant(in, value.get()) && in.remaining() == 0);
  for (BSTR name : names) SysFreeString(name);
  return message.size() + in.charged();
}

TEST_F(Server, MessagesUpToTheLimitPassAndOneByteMoreIsRefusedOnEitherSide) {
  LogCapture log;
  const Bytes request = RequestBytes(u"peer", u"Echo", *ByteArray(1000));
  const Bytes larger = RequestBytes(u"peer", u"Echo", *ByteArray(1001));
  engine_->get()->maxMessageBytes = Cost(request, false);
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
  EXPECT_EQ(warned("request", Cost(larger, false), Cost(request, false)), 1);
  // A caller refuses a reply over its own limit, and says so on its side.
  engine_->get()->maxMessageBytes = 0;
  TestEngine caller;
  const std::size_t reply = Cost(ReplyBytes(0, 0, *ByteArray(1000)), true);
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

// Voluntary context switches of every thread of this process so far.
long ContextSwitches() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw;
}

TEST_F(Server, IdlePeersAreWatchedDoNotCountAndTheLongestIdleMakesRoom) {
  // An engine with an idle peer, and the process's discovery thread, sleep
  // until something happens: half a second costs a few wake-ups (one here,
  // six under ThreadSanitizer, whose own thread wakes), not one per round
  // of 5 ms (the event thread's before) or 50 ms (discovery's).
  {
    Socket quiet = IdleConnection();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long before = ContextSwitches();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LT(ContextSwitches() - before, 10);
  }
  // Both ends of every connection live in this process.
  ASSERT_TRUE(RaiseDescriptorLimit(3 * engine::kMaxHeldConnections));
  std::vector<Socket> idle;
  for (std::size_t i = 0; i < engine::kMaxHeldConnections; ++i) idle.push_back(IdleConnection());
  // The oldest of many idle connections still has its marker answered, and
  // serving it makes it the newest idle one.
  ASSERT_TRUE(SendBytes(idle.front().get(), Concat({Bytes{0xCC}, PingBytes(0)})));
  EXPECT_EQ(Next(idle.front(), 1), "33");
  EXPECT_TRUE(ReadBytes(idle.front().get(), 8));
  // A full table admits a newcomer by closing one long-idle connection (of
  // the oldest, as workers hand connections back in their own time).
  Socket newcomer = IdleConnection();
  std::vector<std::size_t> closed;
  WaitUntil([&] {
    closed.clear();
    for (std::size_t i = 0; i < idle.size(); ++i) {
      if (WaitForClose(idle[i].get(), 0)) closed.push_back(i);
    }
    return !closed.empty();
  });
  ASSERT_EQ(closed.size(), 1u);
  EXPECT_TRUE(closed[0] > 0 && closed[0] < idle.size() / 2) << closed[0];
  idle.clear();

  // An engine made while the idle time-out is short.
  const kiv::ScopedLimitForTesting shortIdle(kiv::TimeLimit::kIdleConnection, 200);
  engine_ = std::make_unique<TestEngine>();
  SetUp();
  Socket quiet = IdleConnection();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(WaitForClose(quiet.get(), 3000));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(150));
  EXPECT_LT(waited, std::chrono::milliseconds(900));  // when due, not at the longest sleep
}

// A request for many empty strings: 4 bytes each on the wire, 40 decoded.
Bytes EmptyStrings(std::uint32_t count) {
  return Concat({U16Bytes(0), StringBytes(u"peer"), StringBytes(u"Echo"),
                 U16Bytes(VT_ARRAY | VT_BSTR), U32Bytes(1), U32Bytes(0), U32Bytes(count),
                 Bytes(std::size_t{count} * 4, 0)});
}

std::int64_t ResidentKiB() {
  return ReadProcessStats(::getpid()).value_or(ProcessStats{}).residentKiB;
}

TEST_F(Server, MemoryIsCountedAsDecodedSharedByAllReadersAndGivenBack) {
  LogCapture log;
  // 64 KB on the wire, 640 KB decoded: over a limit of 500 KB.
  const Bytes small = EmptyStrings(16000);
  // Refused on its announcement: sending no more spares the refusal a reset.
  const Bytes announcement(small.begin(), small.end() - 16000 * 4);
  engine_->get()->maxMessageBytes = 500000;
  Socket over = ConnectTo(port_);
  ASSERT_TRUE(SendBytes(over.get(), announcement));
  EXPECT_EQ(Next(over), "80 06 00 05");
  engine_->get()->maxMessageBytes = engine::kDefaultMessageLimit;

  // Three such messages in their handlers fill the budget; a fourth is refused.
  DecodeBudget budget(3 * Cost(small, false));
  engine_->get()->decodeBudget = &budget;
  std::atomic<int> entered{0};
  std::atomic<bool> release{false};
  std::atomic<std::int64_t> peakKiB{0};
  engine_->SetHandler([&](const std::u16string&, const std::u16string&, const VARIANT&,
                          VARIANT* value, std::int32_t*) {
    peakKiB = std::max(peakKiB.load(), ResidentKiB());
    ++entered;
    WaitUntil([&] { return release.load(); }, 10000);
    *value = Variant::I4(1).Detach();
    return 0;
  });
  std::vector<Socket> held;
  for (int i = 0; i < 3; ++i) {
    held.push_back(ConnectTo(port_));
    ASSERT_TRUE(SendBytes(held.back().get(), small));
  }
  ASSERT_TRUE(WaitUntil([&] { return entered == 3; }, 5000));
  Socket refused = ConnectTo(port_);
  ASSERT_TRUE(SendBytes(refused.get(), announcement));
  EXPECT_EQ(Next(refused), "80 06 00 05");
  EXPECT_EQ(log.Count(LOG_WARN,
                      "KIV: request refused: messages being read at once would take "
                      "more than " +
                          std::to_string(budget.limit()) + " bytes, MaxDecodingMemory"),
            1);
  release = true;
  for (Socket& s : held) EXPECT_EQ(Next(s, 14), Hex(ReplyBytes(0, 0, *Variant::I4(1))));
  EXPECT_TRUE(WaitUntil([&] { return budget.taken() == 0; }, 5000));

  // 6 MB on the wire, 60 MB decoded; the memory goes back afterwards.
  engine_->get()->decodeBudget = &engine::ProcessDecodeBudget();
  release = true;
  const std::int64_t beforeKiB = ResidentKiB();
  peakKiB = 0;
  Socket large = ConnectTo(port_);
  ASSERT_TRUE(SendBytes(large.get(), EmptyStrings(1500000)));
  EXPECT_EQ(Next(large, 14), Hex(ReplyBytes(0, 0, *Variant::I4(1))));
  const bool returned =
      WaitUntil([&] { return ResidentKiB() < beforeKiB + 10000; }, KIV_SANITIZED ? 0 : 3000);
  std::printf("resident KiB: before %lld, at peak %lld, after %lld\n",
              static_cast<long long>(beforeKiB), static_cast<long long>(peakKiB.load()),
              static_cast<long long>(ResidentKiB()));
  if (KIV_SANITIZED) return;  // the sanitizers' allocators keep freed memory
  EXPECT_GT(peakKiB - beforeKiB, 40000);
  EXPECT_LT(peakKiB - beforeKiB, 100000);
  EXPECT_TRUE(returned);
}

// The network fences: where a listening engine binds, and whom it serves.
TEST(NetworkFence, ListensOnlyOnListenAddressAndNotAtAllOnAMalformedValue) {
  TempRegistry registry;
  registry.WriteSettings(
      "\"ListenAddress\"=\"127.0.0.2\"");  // loopback too: 127.0.0.1 shows the fence
  TestEngine fenced;
  ASSERT_EQ(KivStartListening(fenced.get(), false), 0);
  sockaddr_in bound{};
  socklen_t size = sizeof bound;
  ::getsockname(fenced.get()->listenSocket, reinterpret_cast<sockaddr*>(&bound), &size);
  EXPECT_EQ(bound.sin_addr.s_addr, htonl(0x7F000002));
  EXPECT_FALSE(ConnectTo(fenced.get()->listenPort).valid());
  for (const std::string name : {"ListenAddress\"=\"127.1", "AllowedPeers\"=\"10.0.0.0/8,"}) {
    registry.WriteSettings("\"" + name + "\"");
    LogCapture log;
    TestEngine engine;
    EXPECT_EQ(KivStartListening(engine.get(), false), KIV_RC_LISTEN_FAILED) << name;
    EXPECT_TRUE(log.Lines().at(0).second.starts_with("KIV: " + name.substr(0, name.find('"'))));
  }
}

TEST(NetworkFence, ServesListedPeersAndRefusesOthersWithTheCodeAndAWarning) {
  TempRegistry registry;
  for (const bool admitted : {true, false}) {
    registry.WriteSettings(std::string("\"AllowedPeers\"=\"10.0.0.0/8,") +
                           (admitted ? "127.0.0.0/8" : "127.0.0.2") + "\"");
    LogCapture log;
    TestEngine engine;
    ASSERT_EQ(KivStartListening(engine.get(), false), 0);
    Socket client = ConnectTo(engine.get()->listenPort);
    ASSERT_TRUE(SendBytes(client.get(), PingBytes(0)));
    if (admitted) {
      EXPECT_TRUE(ReadBytes(client.get(), 8));
    } else {
      EXPECT_EQ(ReadUntilClosed(client.get()), U32Bytes(0x80068003));
    }
    EXPECT_EQ(log.Count(LOG_WARN,
                        "KIV: refused a connection from 127.0.0.1: not in AllowedPeers under "
                        "Software\\ZIB Networks\\Zib (10.0.0.0/8,127.0.0.2/32); add its "
                        "network there to serve it"),
              admitted ? 0 : 1);
  }
}

}  // namespace
}  // namespace kiv::testing
