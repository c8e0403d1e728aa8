// The largest message an engine reads, on either side of an exchange, and
// the deadline of an incoming message, which earns time as bytes arrive.
// Reading the limit from the store is the hostile test's.
#include "engine/message_limit.h"

#include <gtest/gtest.h>

#include <thread>

#include "engine/engine_object.h"
#include "engine/listener.h"
#include "testing/fake_directory.h"
#include "testing/kiv_assertions.h"
#include "testing/log_capture.h"
#include "testing/raw_peer.h"
#include "testing/wait.h"

namespace kiv::testing {
namespace {

Variant ByteArray(std::size_t size) {
  return Variant::Adopt(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size)), VT_UI1);
}

class MessageLimit : public ::testing::Test {
 protected:
  // An echo server reading at most `limit` bytes per message, within `timeoutMs`.
  void StartServer(std::uint64_t limit, std::int32_t timeoutMs = 30000) {
    server_.get()->maxMessageBytes = limit;
    server_.get()->messageTimeoutMs = timeoutMs;
    ASSERT_EQ(KivStartListening(server_.get(), false), 0);
    port_ = server_.get()->listenPort;
  }
  // What the server sent before it closed the connection: here, its refusal.
  static std::string Refusal(const Socket& s) {
    const auto answer = ReadUntilClosed(s.get());
    return answer && Hex(*answer) == "80 06 00 05" ? "transport" : "none";
  }

  LogCapture log_;
  TestEngine server_;
  std::uint16_t port_ = 0;
};

TEST_F(MessageLimit, MessagesUpToTheLimitPassAndOneByteMoreIsRefusedWhereItArrives) {
  const Bytes request = RequestBytes(u"peer", u"Echo", *ByteArray(1000));
  const Bytes larger = RequestBytes(u"peer", u"Echo", *ByteArray(1001));
  StartServer(request.size());
  Socket fits = ConnectTo(port_), over = ConnectTo(port_), announced = ConnectTo(port_);
  ASSERT_TRUE(SendBytes(fits.get(), request));
  EXPECT_TRUE(ReadBytes(fits.get(), ReplyBytes(0, 0, *ByteArray(1000)).size()));
  ASSERT_TRUE(SendBytes(over.get(), larger));
  EXPECT_EQ(Refusal(over), "transport");
  EXPECT_EQ(log_.Count(LOG_WARN, "KIV: request refused: " + std::to_string(larger.size()) +
                                     " bytes or more, MaxMessageSize is " +
                                     std::to_string(request.size()) + " bytes"),
            1);
  // A size over the limit is refused when announced, before its bytes come.
  ASSERT_TRUE(SendBytes(announced.get(), Bytes(larger.begin(), larger.end() - 1001)));
  EXPECT_LT(ElapsedMillis([&] { EXPECT_EQ(Refusal(announced), "transport"); }), 1000);
  // A caller refuses a reply over its own limit, and says so on its side.
  server_.get()->maxMessageBytes = 0;
  TestEngine caller;
  const std::size_t reply = ReplyBytes(0, 0, *ByteArray(1000)).size();
  for (const std::size_t limit : {reply, reply - 1}) {
    caller.get()->maxMessageBytes = limit;
    Variant value;
    EXPECT_KIV_CODE(KivCall(caller.get(), "127.0.0.1", port_, "Echo", ByteArray(1000).get(),
                            value.get(), nullptr),
                    limit == reply ? 0 : KIV_E_TRANSPORT);
  }
  EXPECT_EQ(log_.Count(LOG_WARN, "KIV: reply from 127.0.0.1:" + std::to_string(port_) +
                                     " refused: " + std::to_string(reply) +
                                     " bytes or more, MaxMessageSize is " +
                                     std::to_string(reply - 1) + " bytes"),
            1);
}

TEST_F(MessageLimit, APeerThatTricklesIsDroppedAtTheDeadlineALargeValueEarnsTime) {
  StartServer(0, 300);
  const Bytes small = RequestBytes(u"peer", u"Echo", *ByteArray(64));
  const Bytes large = RequestBytes(u"peer", u"Echo", *ByteArray(3 << 20));
  Socket trickle = ConnectTo(port_);
  // A byte every 50 ms, each well within any per-read time-out: only a
  // deadline for the whole message ends it.
  std::size_t sent = 0;
  const long long dropped = ElapsedMillis([&] {
    for (; sent < small.size() && !Readable(trickle.get(), 50); ++sent)
      if (!SendBytes(trickle.get(), Bytes{small[sent]})) break;
  });
  EXPECT_LT(sent, small.size());
  EXPECT_GE(dropped, 250);
  EXPECT_EQ(Refusal(trickle), "transport");
  EXPECT_EQ(log_.Count(LOG_WARN, "KIV: request not complete within 300 ms; connection dropped"), 1);
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

}  // namespace
}  // namespace kiv::testing
