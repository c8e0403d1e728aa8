// The server half against raw client sockets: replies and refusals byte by
// byte, the reuse marker, pings, handler outcomes and removal while work is
// in flight. The connection limit is the hostile test's.
#include "engine/event_thread.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>

#include "engine/engine_object.h"
#include "engine/listener.h"
#include "engine/worker.h"
#include "testing/fake_clock.h"
#include "testing/fake_directory.h"
#include "testing/log_capture.h"
#include "testing/raw_peer.h"
#include "testing/wait.h"

namespace kiv::testing {
namespace {

// The next n bytes from `s`, or everything until it closes (n = 0); "none"
// when they do not come.
std::string Next(const Socket& s, std::size_t n = 0) {
  const auto bytes = n > 0 ? ReadBytes(s.get(), n) : ReadUntilClosed(s.get());
  return bytes ? Hex(*bytes) : "none";
}

class Server : public ::testing::Test {
 protected:
  // Listens without a directory; the handler answers code 5 and the argument.
  void SetUp() override {
    engine_ = std::make_unique<TestEngine>(
        [this](const std::u16string& caller, const std::u16string& service, const VARIANT& argument,
               VARIANT* value, std::int32_t* returnCode) {
          lastCall_ = caller + u"/" + service;
          *returnCode = 5;
          return VariantCopy(value, &argument) == S_OK ? 0 : -1;
        });
    ASSERT_EQ(KivStartListening(engine_->get(), false), 0);
    port_ = engine_->get()->listenPort;
  }
  // A connection that has been served once, so it is idle now.
  Socket IdleConnection() {
    Socket s = ConnectTo(port_);
    EXPECT_TRUE(SendBytes(s.get(), PingBytes(0)) && ReadBytes(s.get(), 8));
    return s;
  }
  // The marker, then a ping, on an idle connection: true when both are answered.
  static bool Reuse(const Socket& s) {
    return SendBytes(s.get(), Bytes{0xCC}) && Next(s, 1) == "33" &&
           SendBytes(s.get(), PingBytes(0)) && Next(s, 8) != "none";
  }

  std::unique_ptr<TestEngine> engine_;
  std::uint16_t port_ = 0;
  std::u16string lastCall_;
};

TEST_F(Server, MalformedMessagesAreRefusedAndTheConnectionDropped) {
  const Bytes request = RequestBytes(u"peer", u"Echo", *Variant::String(u"payload"));
  const struct {
    Bytes bytes;
    const char* refusal;
  } cases[] = {
      {U16Bytes(2), "80 06 00 01"},  // unknown kinds
      {U16Bytes(0xFFFF), "80 06 00 01"},
      {Bytes{0x00}, "80 06 00 05"},  // the rest: incomplete or unreadable
      {Bytes(request.begin(), request.end() - 3), "80 06 00 05"},
      {Concat({U16Bytes(0), StringBytes(u"a"), StringBytes(u"b"), U16Bytes(0x0F), Bytes(64, 1)}),
       "80 06 00 05"},
      {Concat({U16Bytes(0), U32Bytes(0x7FFFFFFF), Bytes(10, 0)}), "80 06 00 05"},
      {Concat({U16Bytes(1), Bytes{0, 0}}), "80 06 00 05"},
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
  EXPECT_TRUE(Reuse(IdleConnection())) << "the server still serves others";
}

TEST_F(Server, WorkerThatCannotStartIsRefused) {
  kiv::engine::FailWorkerStartsForTesting(1);
  EXPECT_EQ(Next(ConnectTo(port_)), "80 06 80 02");
  Socket idle = IdleConnection();
  kiv::engine::FailWorkerStartsForTesting(1);
  ASSERT_TRUE(SendBytes(idle.get(), Bytes{0xCC}));
  EXPECT_EQ(Next(idle), "33 80 06 80 02");
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
  EXPECT_TRUE(Reuse(s));
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

}  // namespace
}  // namespace kiv::testing
