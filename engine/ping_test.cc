// Pings: KivPing against a real engine and against a fake peer (the wire
// bytes, the reuse probe, the ping's own socket time-outs and their
// restoration, refusals and failures), KivPingSatellite through the
// directory's "GetSatelliteHost", and KivDirectoryPingSatellite.
#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "engine/engine_object.h"
#include "engine/outgoing_test_util.h"
#include "engine/testing/background_call.h"
#include "engine/testing/fake_directory.h"
#include "engine/testing/log_capture.h"
#include "engine/testing/raw_peer.h"
#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "kiv/status.h"
#include "support/net/net.h"
#include "support/threads/test_util.h"

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

TEST_F(Pings, RightIdIsAliveAndWrongIdIsDeadWithALineOnEachSide) {
  LogCapture log;
  std::int32_t status = kUntouched;
  EXPECT_EQ(KivPing(caller_.get(), "127.0.0.1", targetPort_, targetId_, &status), 0);
  EXPECT_EQ(status, KIV_ALIVE);

  const std::int32_t wrongId = targetId_ + 40;
  status = kUntouched;
  EXPECT_EQ(KivPing(caller_.get(), "127.0.0.1", targetPort_, wrongId, &status), 0);
  EXPECT_EQ(status, KIV_DEAD);
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

TEST_F(Pings, ConnectionIsProbedAndGoesBackIdleWithItsOwnTimeouts) {
  std::int32_t status = 0;
  ASSERT_EQ(KivPing(caller_.get(), "127.0.0.1", targetPort_, targetId_, &status), 0);
  const std::vector<int> idle = IdleSockets(targetPort_);
  ASSERT_EQ(idle.size(), 1u);
  EXPECT_TRUE(InUseSockets().empty());
  // A fresh socket waits for ever both ways; the ping's 30 s are undone.
  EXPECT_EQ(GetSendTimeout(idle[0]), 0);
  EXPECT_EQ(GetRecvTimeout(idle[0]), 0);

  // The next ping revives the same connection.
  ASSERT_EQ(KivPing(caller_.get(), "127.0.0.1", targetPort_, targetId_, &status), 0);
  EXPECT_EQ(status, KIV_ALIVE);
  EXPECT_EQ(IdleSockets(targetPort_), idle);
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
  const kiv::Bstr name(u"target");
  std::int32_t status = kUntouched;
  EXPECT_EQ(KivPingSatellite(caller_.get(), name.get(), targetId_, &status), 0);
  EXPECT_EQ(status, KIV_ALIVE);
  const auto lookups = directory_.RequestsNamed(u"GetSatelliteHost");
  ASSERT_EQ(lookups.size(), 1u);
  EXPECT_EQ(lookups[0].argument.vt(), VT_BSTR);
  EXPECT_EQ(TextOf(*lookups[0].argument), u"target");

  // Alive at the address, but under another id.
  status = kUntouched;
  EXPECT_EQ(KivPingSatellite(caller_.get(), name.get(), targetId_ + 1, &status), 0);
  EXPECT_EQ(status, KIV_DEAD);

  // A satellite the directory does not know is flagged unavailable.
  const kiv::Bstr unknown(u"nobody");
  status = kUntouched;
  EXPECT_EQ(KivPingSatellite(caller_.get(), unknown.get(), 1, &status), 0);
  EXPECT_EQ(status, KIV_DEAD);

  EXPECT_KIV_CODE(KivPingSatellite(nullptr, name.get(), 1, &status), KIV_E_NO_ENGINE);
}

TEST_F(Pings, UnavailableFlagMeansDeadWithoutAnyConnection) {
  Listener peer;
  const kiv::Bstr name(u"flagged");
  // The answer names a reachable address, but the flag wins.
  AnswerHost(HostAnswer(kiv::Variant::String(u"127.0.0.1"), kiv::Variant::I4(peer.port())),
             KIV_RC_SATELLITE_UNAVAILABLE | 0x5);
  std::int32_t status = kUntouched;
  EXPECT_EQ(KivPingSatellite(caller_.get(), name.get(), 3, &status), 0);
  EXPECT_EQ(status, KIV_DEAD);
  EXPECT_FALSE(peer.HasPending(200));
}

TEST_F(Pings, PingSatelliteLeavesTheStatusUnknownForAnswersItCannotUse) {
  Listener peer;
  const kiv::Bstr name(u"target");
  const kiv::Variant host = kiv::Variant::String(u"127.0.0.1");
  const kiv::Variant port = kiv::Variant::I4(peer.port());
  struct Case {
    const char* what;
    kiv::Variant answer;
  };
  std::vector<Case> cases;
  cases.push_back({"port not VT_I4", HostAnswer(host, kiv::Variant::R8(peer.port()))});
  cases.push_back({"two outer elements", HostAnswer(host, port, 2)});
  cases.push_back({"no array", kiv::Variant::String(u"127.0.0.1")});
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    AnswerHost(std::move(c.answer), 0);
    std::int32_t status = kUntouched;
    EXPECT_EQ(KivPingSatellite(caller_.get(), name.get(), targetId_, &status), 0);
    EXPECT_EQ(status, KIV_UNKNOWN);
  }
  EXPECT_FALSE(peer.HasPending(100));

  // The directory refuses the lookup.
  directory_.SetHandler(u"GetSatelliteHost", [](const DirectoryRequest&, VARIANT*, std::int32_t*) {
    return KIV_E_UNKNOWN_KIND;
  });
  std::int32_t status = kUntouched;
  EXPECT_EQ(KivPingSatellite(caller_.get(), name.get(), targetId_, &status), 0);
  EXPECT_EQ(status, KIV_UNKNOWN);

  // Nobody listens at the address: a connection code is not a dead answer.
  AnswerHost(HostAnswer(host, kiv::Variant::I4(DeadPort())), 0);
  status = kUntouched;
  EXPECT_EQ(KivPingSatellite(caller_.get(), name.get(), targetId_, &status), 0);
  EXPECT_EQ(status, KIV_UNKNOWN);
}

TEST_F(Pings, PingSatelliteCountsARefusedPingAsDead) {
  Listener peer;
  AnswerHost(HostAnswer(kiv::Variant::String(u"127.0.0.1"), kiv::Variant::I4(peer.port())), 0);
  const kiv::Bstr name(u"refuser");
  std::int32_t status = kUntouched;
  std::int32_t result = -1;
  {
    TestThread ping([&] { result = KivPingSatellite(caller_.get(), name.get(), 4, &status); });
    Socket connection = peer.Accept();
    ASSERT_TRUE(connection.valid());
    ASSERT_TRUE(ReadBytes(connection.get(), 6));
    ASSERT_TRUE(SendBytes(connection.get(), U32Bytes(static_cast<std::uint32_t>(KIV_E_TRANSPORT))));
  }
  EXPECT_EQ(result, 0);
  EXPECT_EQ(status, KIV_DEAD);
}

TEST_F(Pings, DirectoryPingReportsFailuresAsDeadAndLogsThem) {
  LogCapture log;
  std::int32_t status = kUntouched;
  EXPECT_EQ(KivDirectoryPingSatellite(caller_.get(), nullptr, u"127.0.0.1", targetPort_, targetId_,
                                      &status),
            0);
  EXPECT_EQ(status, KIV_ALIVE);

  const std::uint16_t dead = DeadPort();
  status = kUntouched;
  EXPECT_EQ(
      KivDirectoryPingSatellite(caller_.get(), nullptr, u"127.0.0.1", dead, targetId_, &status), 0);
  EXPECT_EQ(status, KIV_DEAD);
  EXPECT_EQ(log.Count(LOG_DEBUG, "Failed to ping satellite 127.0.0.1:" + std::to_string(dead) +
                                     ": 131108 (0x20024)"),
            1);

  // A wrong id is an answer, not a failure: dead, but nothing logged here.
  status = kUntouched;
  EXPECT_EQ(KivDirectoryPingSatellite(caller_.get(), nullptr, u"127.0.0.1", targetPort_,
                                      targetId_ + 1, &status),
            0);
  EXPECT_EQ(status, KIV_DEAD);
  int failures = 0;
  for (const auto& line : log.Lines()) failures += line.second.rfind("Failed to ping", 0) == 0;
  EXPECT_EQ(failures, 1);

  EXPECT_KIV_CODE(
      KivDirectoryPingSatellite(nullptr, nullptr, u"127.0.0.1", targetPort_, 1, &status),
      KIV_E_NO_ENGINE);
}

}  // namespace
}  // namespace kiv::testing
