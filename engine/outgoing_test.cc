// What an engine sends on its own behalf, against real engines and the
// in-process directory: registration, KivRequest, pings, directory reports.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "engine/engine_list.h"
#include "engine/engine_object.h"
#include "engine/engine_state.h"
#include "engine/listener.h"
#include "engine/request.h"
#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "kiv/status.h"
#include "kiv/utf8.h"
#include "kiv/vutil.h"
#include "support/net/net.h"
#include "testing/fake_clock.h"
#include "testing/fake_directory.h"
#include "testing/group_peer.h"
#include "testing/kiv_assertions.h"
#include "testing/raw_peer.h"
#include "testing/wait.h"

namespace kiv::testing {
namespace {

using Codes = std::vector<std::int32_t>;
using Texts = std::vector<std::string>;

constexpr std::int64_t kStart = 1'000'000;
constexpr std::int32_t kUntouched = 77;

// Answers `value`, `code` and `result`.
TestEngine::RequestHandler Reply(Variant value, std::int32_t code = 0, std::int32_t result = 0) {
  return [=](auto&, auto&, const VARIANT&, VARIANT* out, std::int32_t* returnCode) {
    *returnCode = code;
    return VariantCopy(out, value.get()) == S_OK ? result : -1;
  };
}

// A "GetServiceReg" entry for 127.0.0.1:port; a short one lacks port and id.
Variant Entry(int port, bool complete = true) {
  Variant entry;
  VUtil::CreateArray(*entry, VT_VARIANT, complete ? 7 : 4);
  VUtil::PutElement(*entry, 0, u"Echo");
  VUtil::PutElement(*entry, 3, u"127.0.0.1");
  if (complete) VUtil::PutElement(*entry, 4, port);
  if (complete) VUtil::PutElement(*entry, 6, 0);
  return entry;
}

// The congestion control of every TCP connection in this process with `port`
// at either end: both ends of an engine's connections, when it listens there.
std::vector<std::string> CongestionControlsOnPort(std::uint16_t port) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename().string());
    sockaddr_in local{}, peer{};
    socklen_t localSize = sizeof local, peerSize = sizeof peer;
    char name[16] = {};
    socklen_t nameSize = sizeof name;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) == 0 &&
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) == 0 &&
        local.sin_family == AF_INET &&
        (ntohs(local.sin_port) == port || ntohs(peer.sin_port) == port) &&
        ::getsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, name, &nameSize) == 0) {
      names.emplace_back(name);
    }
  }
  return names;
}

// A status per target, and each value as text: a string, a number, "-" for none.
struct Answer {
  Codes codes;
  Texts values;
};

class Outgoing : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(directory_.ok());
    ASSERT_EQ(caller_.Register(u"caller", {u"Watch"}), 0);
    ASSERT_EQ(target_.Register(u"target"), 0);
  }
  // Abandoned targets must be gone before the caller's engine is.
  void TearDown() override {
    EXPECT_TRUE(WaitUntil([] { return request::LiveTargets() == 0; }));
  }

  Answer Request(std::int32_t flags = 0, const char16_t* destination = u"ALL") {
    Variant values, statuses;
    EXPECT_EQ(KivRequest(caller_.get(), Bstr(destination).get(), Bstr(u"echo").get(), *Variant(),
                         values.Receive(), flags, statuses.Receive()),
              0);
    Answer answer;
    for (LONG i = 0; statuses.vt() & VT_ARRAY && i < VUtil::GetArrayLength(*statuses); ++i)
      answer.codes.push_back(static_cast<std::int32_t>(VUtil::GetLongElement(*statuses, i)));
    for (LONG i = 0; values.vt() & VT_ARRAY && i < VUtil::GetArrayLength(*values); ++i) {
      Variant v;
      VUtil::GetElement(*values, i, v.get());
      answer.values.push_back(v.vt() == VT_BSTR ? ToUtf8(v->bstrVal)
                              : v.vt() == VT_I4 ? std::to_string(v->lVal)
                                                : "-");
    }
    return answer;
  }
  // The directory answers every lookup with these entries.
  void ListAlways(std::vector<Variant> entries) {
    directory_.SetHandler(u"GetServiceReg", [entries](const DirectoryRequest&, VARIANT* value,
                                                      std::int32_t* returnCode) mutable {
      VUtil::CreateArray(*value, VT_VARIANT, static_cast<ULONG>(entries.size()));
      for (std::size_t i = 0; i < entries.size(); ++i)
        VUtil::PutElement(*value, static_cast<LONG>(i), static_cast<void*>(entries[i].get()));
      *returnCode = 0;
      return 0;
    });
  }
  std::uint16_t PortOf(const std::u16string& name) { return directory_.FindSatellite(name)->port; }
  // The caller's connections: idle ones to `port`, or (port 0) the lent ones.
  std::vector<int> Sockets(std::uint16_t port) {
    PScopedLock guard(&caller_.get()->cacheLock);
    if (port == 0) return {caller_.get()->inUse.begin(), caller_.get()->inUse.end()};
    std::vector<int> sockets;
    for (const KivIdleConnection& c : caller_.get()->idleCache)
      if (c.port == port) sockets.push_back(c.socket);
    return sockets;
  }
  void AnswerRegister(Variant value, std::int32_t returnCode) {
    directory_.SetHandler(u"Register",
                          [=](const DirectoryRequest&, VARIANT* out, std::int32_t* code) {
                            *code = returnCode;
                            return VariantCopy(out, value.get()) == S_OK ? 0 : -1;
                          });
  }

  FakeWallClock clock_{kStart};  // before any engine
  FakeDirectory directory_{"dir-1"};
  TestEngine caller_, target_;
};

TEST_F(Outgoing, BoundedWaitGivesUpOnASlowTargetAndDropsItsLateAnswer) {
  const ScopedLimitForTesting bound(TimeLimit::kBoundedWait, 300);
  std::atomic<int> slowDone{0};
  PCondFlag gate;
  TestEngine slow([&](auto&, auto&, const VARIANT&, VARIANT*, std::int32_t* returnCode) {
    gate.TimedWaitSet(10000);
    ++slowDone;
    return *returnCode = 0;
  });
  TestEngine fast(Reply(Variant::String(u"fast")));
  ASSERT_EQ(slow.Register(u"slow", {u"Echo"}), 0);
  ASSERT_EQ(fast.Register(u"fast", {u"Echo"}), 0);
  Answer answer;
  const long long waited = ElapsedMillis([&] { answer = Request(request::kBoundedWaitFlag); });
  EXPECT_EQ(answer.codes, (Codes{KIV_RC_TIMED_OUT, 0}));
  EXPECT_EQ(answer.values, (Texts{"-", "fast"}));
  EXPECT_GE(waited, 290);
  EXPECT_LT(waited, 5000);
  EXPECT_EQ(request::LiveTargets(), 1) << "the abandoned target waits for its answer";
  EXPECT_EQ(Request(request::kBoundedWaitFlag, u"slow").codes, Codes{KIV_RC_TIMED_OUT})
      << "one named target keeps the bound";
  gate.Set();
  EXPECT_TRUE(WaitUntil([&] { return slowDone.load() == 2; }));
}

TEST_F(Outgoing, NamedRequestsReuseTheLookupUntilASignThatItIsStale) {
  std::atomic<int> port{0};  // where the directory says the satellite is
  directory_.SetHandler(u"GetServiceReg", [&](auto&, VARIANT* value, std::int32_t* returnCode) {
    VUtil::CreateArray(*value, VT_VARIANT, 1);
    VUtil::PutElement(*value, 0, static_cast<void*>(Entry(port).get()));
    return *returnCode = 0;
  });
  const auto lookups = [&] { return directory_.RequestsNamed(u"GetServiceReg").size(); };
  const auto named = [&] { return Request(0, u"target").values; };
  auto old = std::make_unique<TestEngine>(Reply(Variant::String(u"old")));
  TestEngine other(Reply(Variant::String(u"other")));
  ASSERT_EQ(old->Register(u"old"), 0);
  ASSERT_EQ(other.Register(u"other"), 0);
  std::atomic<int> notOffered{0};
  directory_.ClearRequests();
  port = PortOf(u"old");
  EXPECT_EQ(named(), Texts{"old"});
  EXPECT_EQ(named(), Texts{"old"});
  EXPECT_EQ(lookups(), 1u);

  old.reset();  // its address now refuses: asked again once, and sent to the new one
  port = PortOf(u"target");
  target_.SetHandler(Reply(Variant::String(u"target")));
  EXPECT_EQ(named(), Texts{"target"});
  EXPECT_EQ(named(), Texts{"target"});
  EXPECT_EQ(lookups(), 2u);

  target_.SetHandler([&](auto&, auto&, const VARIANT&, VARIANT*, std::int32_t* returnCode) {
    ++notOffered;
    return *returnCode = -2, 0;
  });
  // The directory still names it: that answer stands, and is not sent twice.
  EXPECT_EQ(Request(0, u"target").codes, Codes{-2});
  EXPECT_EQ(lookups(), 3u);
  port = PortOf(u"other");
  EXPECT_EQ(named(), Texts{"other"});
  EXPECT_EQ(lookups(), 4u);
  EXPECT_EQ(notOffered.load(), 2);

  KivOnDirectoryStatus("dir-1", KIV_DEAD);
  EXPECT_EQ(named(), Texts{"other"});
  EXPECT_EQ(lookups(), 5u);
  ASSERT_EQ(caller_.Register(u"caller", {u"Watch"}), 0);
  EXPECT_EQ(named(), Texts{"other"});
  EXPECT_EQ(named(), Texts{"other"});
  EXPECT_EQ(lookups(), 6u);

  // Every provider, and an asynchronous request, always ask.
  EXPECT_EQ(Request().values, Texts{"other"});
  EXPECT_EQ(Request().values, Texts{"other"});
  EXPECT_EQ(Request(KIV_ASYNCHRONOUS, u"target").codes, Codes{0});
  EXPECT_EQ(lookups(), 9u);

  // Threads asking at once read the one cached answer; none asks again.
  std::atomic<int> answered{0};
  std::vector<std::thread> askers;
  for (int t = 0; t < 4; ++t) {
    askers.emplace_back([&] {
      for (int i = 0; i < 20; ++i) answered += named() == Texts{"other"} ? 1 : 0;
    });
  }
  for (std::thread& asker : askers) asker.join();
  EXPECT_EQ(answered.load(), 80);
  EXPECT_EQ(lookups(), 9u);

  // Both ends of a connection within the machine send without pacing.
  const std::vector<std::string> controls = CongestionControlsOnPort(PortOf(u"other"));
  EXPECT_GE(controls.size(), 2u);
  for (const std::string& name : controls) EXPECT_EQ(name, "cubic");
}

TEST_F(Outgoing, EachTargetKeepsItsOwnOutcomeAndFailuresBeforeAnyTargetGiveOneStatus) {
  for (const std::int32_t result : {0, KIV_E_UNKNOWN_KIND}) {  // the lookup's code, or refusal
    directory_.SetHandler(u"GetServiceReg",
                          [result](const DirectoryRequest&, VARIANT*, std::int32_t* returnCode) {
                            *returnCode = 0x1234;
                            return result;
                          });
    const Answer answer = Request();
    EXPECT_EQ(answer.codes, Codes{result < 0 ? result : 0x1234});
    EXPECT_TRUE(answer.values.empty());
  }
  TestEngine coded(Reply(Variant::I4(11), 5));
  TestEngine refused(Reply(Variant::I4(12), 6, -7));  // a refusal carries no value
  TestEngine positive(Reply(Variant::I4(13), 8, 3));  // a non-zero result replaces the code
  ASSERT_EQ(coded.Register(u"coded"), 0);
  ASSERT_EQ(refused.Register(u"refused"), 0);
  ASSERT_EQ(positive.Register(u"positive"), 0);
  const int port = PortOf(u"coded");
  // Only the low 16 bits of a port count; an entry too short starts no thread.
  ListAlways({Entry(port), Entry(PortOf(u"refused")), Entry(PortOf(u"positive")),
              Entry(port + 0x10000), Entry(port, false), Entry(UnusedPort())});
  const Answer answer = Request();
  EXPECT_EQ(answer.codes, (Codes{5, -7, 3, 5, KIV_RC_NO_THREAD, KIV_E_CONNECT_FAILED}));
  EXPECT_EQ(answer.values, (Texts{"11", "-", "13", "11", "-", "-"}));
}

TEST_F(Outgoing, PingOfAFakePeerRunsUnderThePingTimeoutsUntilRefusedOrCut) {
  const ScopedLimitForTesting limit(TimeLimit::kPingSocket, 4000);
  for (const bool refuse : {true, false}) {
    Listener peer;
    Socket connection;
    std::int32_t status = kUntouched, result = 0;
    {
      TestThread ping(
          [&] { result = KivPing(caller_.get(), "127.0.0.1", peer.port(), 9, &status); });
      connection = peer.Accept();
      const auto sent = ReadBytes(connection.get(), 6);
      EXPECT_TRUE(sent && Hex(*sent) == "00 01 00 00 00 09");
      const std::vector<int> lent = Sockets(0);
      ASSERT_EQ(lent.size(), 1u);
      EXPECT_EQ(GetSendTimeout(lent[0]), 4000);
      EXPECT_EQ(GetRecvTimeout(lent[0]), 4000);
      ASSERT_TRUE(!refuse || SendBytes(connection.get(), U32Bytes(0x80060001u)));
      if (!refuse) connection.reset();
    }
    // A refusal is the result alone, and a complete answer; a cut is neither.
    EXPECT_KIV_CODE(result, refuse ? KIV_E_UNKNOWN_KIND : KIV_E_TRANSPORT);
    EXPECT_EQ(status, kUntouched);
    const std::vector<int> idle = Sockets(peer.port());
    EXPECT_EQ(idle.size(), refuse ? 1u : 0u);
    EXPECT_TRUE(idle.empty() || GetSendTimeout(idle[0]) + GetRecvTimeout(idle[0]) == 0)
        << "the connection's own time-outs come back";
  }
}

TEST_F(Outgoing, AliveAfterFortyOneSilentSecondsReregistersBetweenDeadAndAlive) {
  const std::int32_t callerId = caller_.get()->satelliteId.load();
  for (const std::int64_t at : {40, 41, 81, 82}) {
    clock_.Set(kStart + at);
    KivOnDirectoryStatus("dir-1", KIV_ALIVE);
  }
  // Dead first, then the registration's own alive, then the report's; the
  // registration counts as contact, so the 41 seconds start again.
  Codes heard;  // since registering, after its first alive
  for (const auto& [id, status] : caller_.Statuses()) heard.push_back(status);
  EXPECT_EQ(Codes(heard.begin() + 1, heard.end()),
            (Codes{KIV_DEAD, KIV_ALIVE, KIV_ALIVE, KIV_DEAD, KIV_ALIVE, KIV_ALIVE}));
  std::vector<Variant> records;  // the caller's; the others register too
  for (const DirectoryRequest& r : directory_.RequestsNamed(u"Register"))
    if (r.caller == u"caller") records.push_back(r.argument);
  ASSERT_EQ(records.size(), 3u);
  const Variant record = records.back();
  EXPECT_EQ(VUtil::GetLongElement(*record, 4), callerId) << "the id the directory gave";
  EXPECT_EQ(VUtil::GetLongElement(*record, 5), 1) << "the stored services";
}

// One spoofed BYEBYE and NOTIFY made every satellite register again, and
// 200 pairs 200 times over; each pair also had the owner subscribe its
// listeners again.
TEST_F(Outgoing, ABurstOfDirectoryReturnsReregistersAtOnceThenOnceAtThePacesEnd) {
  const auto reregistrations = [&] {
    int count = -1;  // the caller's own registration
    for (const DirectoryRequest& r : directory_.RequestsNamed(u"Register"))
      count += r.caller == u"caller" ? 1 : 0;
    return count;
  };
  const auto alivesHeard = [&] {
    const auto heard = caller_.Statuses();
    return std::count_if(heard.begin(), heard.end(),
                         [](const auto& report) { return report.second == KIV_ALIVE; });
  };
  const auto burst = [&](int pairs) {
    for (int i = 0; i < pairs; ++i) {
      caller_.get()->discovery->ParseByeBye(discoverytest::ByeBye("dir-1"));
      caller_.get()->discovery->ParseNotify("127.0.0.1",
                                            discoverytest::Notify("dir-1", 29831, "h", ""));
    }
  };
  const auto alivesBefore = alivesHeard();
  clock_.Set(kStart + 10);
  burst(200);
  EXPECT_EQ(reregistrations(), 1) << "the first return is followed at once";
  clock_.Set(kStart + 14);
  EXPECT_FALSE(WaitUntil([&] { return reregistrations() > 1; }, 300)) << "within the pace";
  clock_.Set(kStart + 15);
  ASSERT_TRUE(WaitUntil([&] { return reregistrations() == 2; })) << "the last state calls for one";
  // Reported after the directory's answer, which may still be on its way.
  EXPECT_TRUE(WaitUntil([&] { return alivesHeard() - alivesBefore >= 4; }));
  EXPECT_EQ(alivesHeard() - alivesBefore, 4) << "two per registration, none per datagram";
  EXPECT_EQ(caller_.get()->registered.load(), 1);
  EXPECT_EQ(caller_.get()->directoryStatus.load(), KIV_ALIVE);
  ASSERT_TRUE(directory_.FindSatellite(u"caller"));
  EXPECT_EQ(directory_.FindSatellite(u"caller")->id, caller_.get()->satelliteId.load());

  // A burst that ends with the directory gone leaves nothing to do; its
  // return after a quiet pace is followed at once.
  clock_.Set(kStart + 17);
  burst(3);
  caller_.get()->discovery->ParseByeBye(discoverytest::ByeBye("dir-1"));
  clock_.Set(kStart + 30);
  EXPECT_FALSE(WaitUntil([&] { return reregistrations() > 2; }, 300));
  burst(1);
  EXPECT_EQ(reregistrations(), 3);
}

TEST_F(Outgoing, RegistrationAnswerGivesTheIdsAndARefusalChangesNothing) {
  TestEngine satellite;
  const auto state = [&] {
    KIV* e = satellite.get();
    return std::to_string(e->satelliteId.load()) + "@" + engine::DirectoryIdOf(e) + "," +
           std::to_string(e->registered.load()) + "," + std::to_string(satellite.Statuses().size());
  };
  Variant pair;  // the directory's identity and the id it gave
  VUtil::CreateArray(*pair, VT_VARIANT, 2);
  VUtil::PutElement(*pair, 0, u"dir-x");
  VUtil::PutElement(*pair, 1, 9);
  AnswerRegister(pair, 0);
  ASSERT_KIV_OK(satellite.Register(u"Beta"));
  EXPECT_EQ(state(), "9@dir-x,1,1");
  satellite.get()->registered = 0;
  AnswerRegister(Variant::I4(11), 5);  // a refusal changes nothing
  EXPECT_EQ(satellite.Register(u"Beta"), 5);
  EXPECT_EQ(state(), "9@dir-x,0,1");
}

TEST_F(Outgoing, RegistrationPortsAndDirectoryAddresses) {
  TestEngine satellite;
  const auto link = [&] {
    const engine::DirectoryLink link = engine::DirectoryLinkOf(satellite.get());
    return link.host + " " + link.address + " " + std::to_string(link.port);
  };
  ASSERT_KIV_OK(satellite.Register(u"Gamma", {}, "localhost", 0));
  EXPECT_EQ(link(), "localhost 127.0.0.1 29831");
  const Variant record = directory_.RequestsNamed(u"Register").back().argument;
  EXPECT_EQ(VUtil::GetLongElement(*record, 5), 0) << "no services";
  EXPECT_EQ(satellite.Register(u"Gamma", {}, "no-such-host.invalid", 1), KIV_E_RESOLVE_FAILED);
  EXPECT_EQ(link(), "no-such-host.invalid no-such-host.invalid 1");
}

}  // namespace
}  // namespace kiv::testing
