// Pings: KivPing against a real engine and against a fake peer (the wire
// bytes, the reuse probe, the ping's own socket time-outs and their
// restoration, refusals and failures), KivPingSatellite through the
// directory's "GetSatelliteHost", and KivDirectoryPingSatellite.
#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "engine/engine_object.h"
#include "engine/outgoing_test_util.h"
#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "kiv/status.h"
#include "support/net/net.h"
#include "support/threads/test_util.h"
#include "testing/background_call.h"
#include "testing/fake_directory.h"
#include "testing/log_capture.h"
#include "testing/raw_peer.h"

namespace kiv::testing {
namespace {

constexpr std::int32_t kUntouched = 77;
constexpr std::int32_t kPingTimeoutMs = 30000;

// A port that nobody listens on.
std::uint16_t DeadPort() {
  Listener closed;
  return closed.port();
}

class Pings : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(directory_.ok());
    ASSERT_EQ(caller_.Register(u"caller"), 0);
    ASSERT_EQ(target_.Register(u"target"), 0);
    const auto entry = directory_.FindSatellite(u"target");
    ASSERT_TRUE(entry.has_value());
    targetPort_ = entry->port;
    targetId_ = entry->id;
  }

  // The caller's idle connections to a port (it also keeps one to the directory).
  std::vector<int> IdleSockets(std::uint16_t port) {
    PScopedLock guard(&caller_.get()->cacheLock);
    std::vector<int> sockets;
    for (const KivIdleConnection& idle : caller_.get()->idleCache) {
      if (idle.port == port) sockets.push_back(idle.socket);
    }
    return sockets;
  }
  std::vector<int> InUseSockets() {
    PScopedLock guard(&caller_.get()->cacheLock);
    return {caller_.get()->inUse.begin(), caller_.get()->inUse.end()};
  }

  // The status KivPingSatellite gives `name` under `id` (kUntouched if none).
  std::int32_t SatelliteStatus(const char16_t* name, std::int32_t id) {
    const kiv::Bstr bstr(name);
    std::int32_t status = kUntouched;
    EXPECT_EQ(KivPingSatellite(caller_.get(), bstr.get(), id, &status), 0);
    return status;
  }
  std::int32_t DirectoryPingStatus(std::uint16_t port, std::int32_t id) {
    std::int32_t status = kUntouched;
    EXPECT_EQ(KivDirectoryPingSatellite(caller_.get(), nullptr, u"127.0.0.1", port, id, &status),
              0);
    return status;
  }

  // Makes "GetSatelliteHost" answer `value` with `returnCode`.
  void AnswerHost(kiv::Variant value, std::int32_t returnCode) {
    auto shared = std::make_shared<kiv::Variant>(std::move(value));
    directory_.SetHandler(
        u"GetSatelliteHost",
        [shared, returnCode](const DirectoryRequest&, VARIANT* out, std::int32_t* code) {
          VariantCopy(out, shared->get());
          *code = returnCode;
          return 0;
        });
  }

  FakeDirectory directory_;
  TestEngine caller_;
  TestEngine target_;
  std::uint16_t targetPort_ = 0;
  std::int32_t targetId_ = 0;
};

// [[host, port]] as "GetSatelliteHost" answers it, with chosen element values.
kiv::Variant HostAnswer(kiv::Variant host, kiv::Variant port, ULONG outerCount = 1) {
  kiv::Variant pair;
  VUtil::CreateArray(*pair, VT_VARIANT, 2);
  VUtil::PutElement(*pair, 0, static_cast<void*>(host.get()));
  VUtil::PutElement(*pair, 1, static_cast<void*>(port.get()));
  kiv::Variant outer;
  VUtil::CreateArray(*outer, VT_VARIANT, outerCount);
  VUtil::PutElement(*outer, 0, static_cast<void*>(pair.get()));
  return outer;
}

TEST_F(Pings, RightIdIsAliveOnAReusedConnectionAndWrongIdIsDeadWithALineOnEachSide) {
  LogCapture log;
  std::int32_t status = kUntouched;
  EXPECT_EQ(KivPing(caller_.get(), "127.0.0.1", targetPort_, targetId_, &status), 0);
  EXPECT_EQ(status, KIV_ALIVE);
  const std::vector<int> idle = IdleSockets(targetPort_);
  ASSERT_EQ(idle.size(), 1u);
  EXPECT_TRUE(InUseSockets().empty());
  // A fresh socket waits for ever both ways; the ping's 30 s are undone.
  EXPECT_EQ(GetSendTimeout(idle[0]), 0);
  EXPECT_EQ(GetRecvTimeout(idle[0]), 0);

  const std::int32_t wrongId = targetId_ + 40;
  status = kUntouched;
  EXPECT_EQ(KivPing(caller_.get(), "127.0.0.1", targetPort_, wrongId, &status), 0);
  EXPECT_EQ(status, KIV_DEAD);
  EXPECT_EQ(IdleSockets(targetPort_), idle) << "the second ping revives the same connection";
  EXPECT_EQ(log.Count(LOG_INFO, "KIV: Ping succeeded but received dead ping status from satId " +
                                    std::to_string(wrongId) + " (status 2)"),
            1);
  EXPECT_EQ(log.Count(LOG_WARN, "KIV: ping request with satId mismatch. Received " +
                                    std::to_string(wrongId) + ", mine " +
                                    std::to_string(targetId_) + "."),
            1);
  // Only the dead answer is worth a line.
  int infoLines = 0;
  for (const auto& line : log.Lines()) infoLines += line.first == LOG_INFO;
  EXPECT_EQ(infoLines, 1);
}

TEST_F(Pings, WireBytesProbeAndRefusalAgainstAFakePeer) {
  Listener peer;
  Socket connection;
  std::int32_t status = kUntouched;
  std::int32_t result = -1;
  {
    TestThread ping([&] { result = KivPing(caller_.get(), "127.0.0.1", peer.port(), 9, &status); });
    connection = peer.Accept();
    ASSERT_TRUE(connection.valid());
    const auto sent = ReadBytes(connection.get(), 6);
    ASSERT_TRUE(sent);
    EXPECT_EQ(Hex(*sent), Hex(PingBytes(9)));
    // While the ping waits for its answer, its socket has the ping's time-outs.
    const std::vector<int> lent = InUseSockets();
    ASSERT_EQ(lent.size(), 1u);
    EXPECT_GE(GetSendTimeout(lent[0]), kPingTimeoutMs);
    EXPECT_GE(GetRecvTimeout(lent[0]), kPingTimeoutMs);
    ASSERT_TRUE(SendBytes(connection.get(), Concat({U32Bytes(0), U32Bytes(KIV_ALIVE)})));
  }
  EXPECT_EQ(result, 0);
  EXPECT_EQ(status, KIV_ALIVE);

  // The next ping on the idle connection sends the marker alone and its
  // message only after the answer 0x33.
  status = kUntouched;
  {
    TestThread ping([&] { result = KivPing(caller_.get(), "127.0.0.1", peer.port(), 9, &status); });
    const auto marker = ReadBytes(connection.get(), 1);
    ASSERT_TRUE(marker);
    EXPECT_EQ(Hex(*marker), Hex(Bytes{0xCC}));
    EXPECT_FALSE(Readable(connection.get(), 100));
    ASSERT_TRUE(SendBytes(connection.get(), Bytes{0x33}));
    const auto sent = ReadBytes(connection.get(), 6);
    ASSERT_TRUE(sent);
    EXPECT_EQ(Hex(*sent), Hex(PingBytes(9)));
    // A refusal: the result alone; the status stays as it was.
    ASSERT_TRUE(
        SendBytes(connection.get(), U32Bytes(static_cast<std::uint32_t>(KIV_E_UNKNOWN_KIND))));
  }
  EXPECT_KIV_CODE(result, KIV_E_UNKNOWN_KIND);
  EXPECT_EQ(status, kUntouched);
  EXPECT_FALSE(peer.HasPending(0));
  // A refusal is a complete answer: the connection stays usable.
  EXPECT_EQ(IdleSockets(peer.port()).size(), 1u);
}

TEST_F(Pings, FailuresReturnTheirCodesAndLeaveTheStatus) {
  std::int32_t status = kUntouched;
  // Nobody listens: the connection code itself, not the exchange's form.
  EXPECT_KIV_CODE(KivPing(caller_.get(), "127.0.0.1", DeadPort(), targetId_, &status),
                  KIV_RC_CONNECT_FAILED);
  EXPECT_EQ(status, kUntouched);

  // A peer that closes instead of answering: the connection is dropped.
  Listener peer;
  std::int32_t result = 0;
  {
    TestThread ping([&] { result = KivPing(caller_.get(), "127.0.0.1", peer.port(), 9, &status); });
    Socket connection = peer.Accept();
    ASSERT_TRUE(connection.valid());
    ASSERT_TRUE(ReadBytes(connection.get(), 6));
  }
  EXPECT_KIV_CODE(result, KIV_E_TRANSPORT);
  EXPECT_EQ(status, kUntouched);
  EXPECT_TRUE(IdleSockets(peer.port()).empty());
  EXPECT_TRUE(InUseSockets().empty());

  EXPECT_KIV_CODE(KivPing(nullptr, "127.0.0.1", targetPort_, targetId_, &status), KIV_E_NO_ENGINE);
}

TEST_F(Pings, PingSatelliteAsksTheDirectoryWhereTheSatelliteIs) {
  EXPECT_EQ(SatelliteStatus(u"target", targetId_), KIV_ALIVE);
  const auto lookups = directory_.RequestsNamed(u"GetSatelliteHost");
  ASSERT_EQ(lookups.size(), 1u);
  EXPECT_EQ(lookups[0].argument.vt(), VT_BSTR);
  EXPECT_EQ(TextOf(*lookups[0].argument), u"target");
  // Alive at the address, but under another id.
  EXPECT_EQ(SatelliteStatus(u"target", targetId_ + 1), KIV_DEAD);
  // A satellite the directory does not know is flagged unavailable.
  EXPECT_EQ(SatelliteStatus(u"nobody", 1), KIV_DEAD);
  std::int32_t status = kUntouched;
  EXPECT_KIV_CODE(KivPingSatellite(nullptr, kiv::Bstr(u"x").get(), 1, &status), KIV_E_NO_ENGINE);
}

TEST_F(Pings, PingSatelliteStatusForEachShapeOfTheDirectoryAnswer) {
  Listener peer;
  const kiv::Variant host = kiv::Variant::String(u"127.0.0.1");
  const kiv::Variant port = kiv::Variant::I4(peer.port());
  struct Case {
    const char* what;
    kiv::Variant answer;
    std::int32_t returnCode;
    std::int32_t status;
  };
  std::vector<Case> cases;
  // The answer names a reachable address, but the flag wins.
  cases.push_back(
      {"unavailable flag", HostAnswer(host, port), KIV_RC_SATELLITE_UNAVAILABLE | 5, KIV_DEAD});
  cases.push_back(
      {"port not VT_I4", HostAnswer(host, kiv::Variant::R8(peer.port())), 0, KIV_UNKNOWN});
  cases.push_back({"two outer elements", HostAnswer(host, port, 2), 0, KIV_UNKNOWN});
  cases.push_back({"no array", kiv::Variant::String(u"127.0.0.1"), 0, KIV_UNKNOWN});
  // Nobody listens at the address: a connection code is not a dead answer.
  cases.push_back({"dead port", HostAnswer(host, kiv::Variant::I4(DeadPort())), 0, KIV_UNKNOWN});
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    AnswerHost(std::move(c.answer), c.returnCode);
    EXPECT_EQ(SatelliteStatus(u"target", targetId_), c.status);
  }
  EXPECT_FALSE(peer.HasPending(100));

  directory_.SetHandler(u"GetSatelliteHost", [](const DirectoryRequest&, VARIANT*, std::int32_t*) {
    return KIV_E_UNKNOWN_KIND;
  });
  EXPECT_EQ(SatelliteStatus(u"target", targetId_), KIV_UNKNOWN);
}

TEST_F(Pings, PingSatelliteCountsARefusedPingAsDead) {
  Listener peer;
  AnswerHost(HostAnswer(kiv::Variant::String(u"127.0.0.1"), kiv::Variant::I4(peer.port())), 0);
  std::int32_t status = kUntouched;
  {
    TestThread ping([&] { status = SatelliteStatus(u"refuser", 4); });
    Socket connection = peer.Accept();
    ASSERT_TRUE(connection.valid());
    ASSERT_TRUE(ReadBytes(connection.get(), 6));
    ASSERT_TRUE(SendBytes(connection.get(), U32Bytes(static_cast<std::uint32_t>(KIV_E_TRANSPORT))));
  }
  EXPECT_EQ(status, KIV_DEAD);
}

TEST_F(Pings, DirectoryPingReportsFailuresAsDeadAndLogsThem) {
  LogCapture log;
  EXPECT_EQ(DirectoryPingStatus(targetPort_, targetId_), KIV_ALIVE);
  const std::uint16_t dead = DeadPort();
  EXPECT_EQ(DirectoryPingStatus(dead, targetId_), KIV_DEAD);
  // A wrong id is an answer, not a failure: dead, but nothing logged here.
  EXPECT_EQ(DirectoryPingStatus(targetPort_, targetId_ + 1), KIV_DEAD);
  int failures = 0;
  for (const auto& line : log.Lines()) failures += line.second.rfind("Failed to ping", 0) == 0;
  EXPECT_EQ(failures, 1);
  EXPECT_EQ(log.Count(LOG_DEBUG, "Failed to ping satellite 127.0.0.1:" + std::to_string(dead) +
                                     ": 131108 (0x20024)"),
            1);
  std::int32_t status = kUntouched;
  EXPECT_KIV_CODE(
      KivDirectoryPingSatellite(nullptr, nullptr, u"127.0.0.1", targetPort_, 1, &status),
      KIV_E_NO_ENGINE);
}

}  // namespace
}  // namespace kiv::testing
