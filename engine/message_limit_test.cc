// The largest message an engine reads and the deadline of an incoming
// message: refusals on the side that refuses, the caller's status, the WARN
// lines, and peers that announce much or send slowly.
#include "engine/message_limit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "engine/engine_object.h"
#include "engine/listener.h"
#include "kiv/result_codes.h"
#include "support/log/log.h"
#include "support/registry/registry_test_util.h"
#include "support/threads/test_util.h"
#include "testing/background_call.h"
#include "testing/fake_directory.h"
#include "testing/log_capture.h"
#include "testing/raw_peer.h"

namespace kiv::testing {
namespace {

Variant ByteArray(std::size_t size) {
  Variant value;
  value->vt = VT_ARRAY | VT_UI1;
  value->parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size));
  return value;
}

std::string RefusalHex(std::int32_t code) {
  return Hex(U32Bytes(static_cast<std::uint32_t>(code)));
}

class MessageLimit : public ::testing::Test {
 protected:
  // An echo server reading at most `limit` bytes per message, within `timeoutMs`.
  void StartServer(std::uint64_t limit, std::int32_t timeoutMs = 30000) {
    server_ = std::make_unique<TestEngine>();
    server_->get()->maxMessageBytes = limit;
    server_->get()->messageTimeoutMs = timeoutMs;
    ASSERT_EQ(KivStartListening(server_->get(), false), 0);
    port_ = server_->get()->listenPort;
  }

  LogCapture log_;
  std::unique_ptr<TestEngine> server_;
  std::uint16_t port_ = 0;
};

TEST_F(MessageLimit, RequestUpToTheLimitIsServedAndOneByteMoreIsRefusedWithAWarning) {
  const Bytes request = RequestBytes(u"peer", u"Echo", *ByteArray(1000));
  StartServer(request.size());
  Socket fits = ConnectTo(port_);
  ASSERT_TRUE(SendBytes(fits.get(), request));
  EXPECT_TRUE(ReadBytes(fits.get(), ReplyBytes(0, 0, *ByteArray(1000)).size()));

  const Bytes larger = RequestBytes(u"peer", u"Echo", *ByteArray(1001));
  Socket over = ConnectTo(port_);
  ASSERT_TRUE(SendBytes(over.get(), larger));
  const auto answer = ReadUntilClosed(over.get());
  ASSERT_TRUE(answer);
  EXPECT_EQ(Hex(*answer), RefusalHex(KIV_E_TRANSPORT));
  EXPECT_EQ(log_.Count(LOG_WARN, "KIV: request refused: " + std::to_string(larger.size()) +
                                     " bytes or more, MaxMessageSize is " +
                                     std::to_string(request.size()) + " bytes"),
            1);
}

TEST_F(MessageLimit, AnnouncedSizesOverTheLimitAreRefusedWithoutWaitingForTheBytes) {
  StartServer(1 << 20);
  const struct {
    const char* what;
    Bytes header;
  } cases[] = {
      {"2 GB string", Concat({U16Bytes(0), U32Bytes(0x40000000)})},
      {"4 G-element byte array",
       Concat({U16Bytes(0), StringBytes(u"p"), StringBytes(u"s"), U16Bytes(VT_ARRAY | VT_UI1),
               U32Bytes(1), U32Bytes(0), U32Bytes(0xFFFFFFFF)})},
      {"1 G-element variant array",
       Concat({U16Bytes(0), StringBytes(u"p"), StringBytes(u"s"), U16Bytes(VT_ARRAY | VT_VARIANT),
               U32Bytes(1), U32Bytes(0), U32Bytes(0x40000000)})},
  };
  for (const auto& c : cases) {
    Socket s = ConnectTo(port_);
    ASSERT_TRUE(SendBytes(s.get(), c.header)) << c.what;
    std::optional<Bytes> answer;
    const long long waited = ElapsedMillis([&] { answer = ReadUntilClosed(s.get()); });
    ASSERT_TRUE(answer) << c.what;
    EXPECT_EQ(Hex(*answer), RefusalHex(KIV_E_TRANSPORT)) << c.what;
    EXPECT_LT(waited, 1000) << c.what;
  }
}

TEST_F(MessageLimit, CallersSeeTheTransportCodeOnEitherRefusingSide) {
  StartServer(4096);
  TestEngine caller;
  Variant reply;
  std::int32_t code = 0;
  // The server refuses a large request.
  Variant large = ByteArray(64 * 1024);
  EXPECT_KIV_CODE(
      KivCall(caller.get(), "127.0.0.1", port_, "Echo", large.get(), reply.get(), &code),
      KIV_E_TRANSPORT);
  // The caller refuses a large reply, and says so on its side.
  server_->get()->maxMessageBytes = 0;
  caller.get()->maxMessageBytes = 4096;
  server_->SetHandler([](const std::u16string&, const std::u16string&, const VARIANT&,
                         VARIANT* value, std::int32_t*) {
    *value = ByteArray(64 * 1024).Detach();
    return 0;
  });
  Variant small = Variant::I4(1);
  EXPECT_KIV_CODE(
      KivCall(caller.get(), "127.0.0.1", port_, "Echo", small.get(), reply.get(), &code),
      KIV_E_TRANSPORT);
  int replyWarnings = 0;
  for (const auto& [level, text] : log_.Lines()) {
    replyWarnings +=
        level == LOG_WARN &&
        text.rfind("KIV: reply from 127.0.0.1:" + std::to_string(port_) + " refused: ", 0) == 0 &&
        text.find("MaxMessageSize is 4096 bytes") != std::string::npos;
  }
  EXPECT_EQ(replyWarnings, 1);
  // Without limits the same exchange goes through.
  caller.get()->maxMessageBytes = 0;
  EXPECT_EQ(KivCall(caller.get(), "127.0.0.1", port_, "Echo", small.get(), reply.get(), &code), 0);
  EXPECT_EQ(reply->parray->rgsabound[0].cElements, 64u * 1024);
}

TEST_F(MessageLimit, APeerThatTricklesIsDroppedAtTheDeadline) {
  StartServer(0, 400);
  const Bytes request = RequestBytes(u"peer", u"Echo", *ByteArray(64));
  Socket s = ConnectTo(port_);
  // One byte every 50 ms would take ~4 s; each byte comes well within any
  // per-read time-out, so only a deadline for the whole message ends it.
  std::size_t sent = 0;
  const long long waited = ElapsedMillis([&] {
    for (; sent < request.size() && !Readable(s.get(), 50); ++sent) {
      if (!SendBytes(s.get(), Bytes{request[sent]})) break;
    }
  });
  EXPECT_LT(sent, request.size());
  EXPECT_GE(waited, 350);
  EXPECT_LT(waited, 2000);
  const auto answer = ReadUntilClosed(s.get());
  ASSERT_TRUE(answer);
  EXPECT_EQ(Hex(*answer), RefusalHex(KIV_E_TRANSPORT));
  EXPECT_EQ(log_.Count(LOG_WARN, "KIV: request not complete within 400 ms; connection dropped"), 1);
}

TEST_F(MessageLimit, ALargeValueOnASlowLinkEarnsTimeAsItsBytesArrive) {
  StartServer(0, 300);
  const std::size_t size = 4 << 20;
  const Bytes request = RequestBytes(u"peer", u"Echo", *ByteArray(size));
  Socket s = ConnectTo(port_);
  // About 5 MiB/s: the whole message takes longer than the bare time-out.
  const std::size_t chunk = 256 * 1024;
  const long long took = ElapsedMillis([&] {
    for (std::size_t at = 0; at < request.size(); at += chunk) {
      const auto end =
          request.begin() + static_cast<std::ptrdiff_t>(std::min(at + chunk, request.size()));
      ASSERT_TRUE(
          SendBytes(s.get(), Bytes(request.begin() + static_cast<std::ptrdiff_t>(at), end)));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  EXPECT_GT(took, 300);
  const auto reply = ReadBytes(s.get(), ReplyBytes(0, 0, *ByteArray(size)).size(), 10000);
  EXPECT_TRUE(reply);
}

TEST(MessageLimitSetting, ComesFromTheStoreAndIsAbsentByDefault) {
  TempRegistry registry;
  EXPECT_EQ(kiv::engine::ConfiguredMessageLimit(), 0u);
  registry.Write(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\ZIB Networks\\Zib]\r\n"
      "\"MaxMessageSize\"=dword:00100000\r\n");
  EXPECT_EQ(kiv::engine::ConfiguredMessageLimit(), 0x100000u);
}

}  // namespace
}  // namespace kiv::testing
