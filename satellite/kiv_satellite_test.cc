// KivSatellite against a directory in the test process: connecting,
// registering and withdrawing services, requests to one and to all, handler
// failures, Disconnect with calls in flight, and a directory satellite whose
// handlers take the connection's descriptor.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "kiv/result_codes.h"
#include "kiv/satellite.h"
#include "kiv/vutil.h"
#include "satellite/satellite_test_util.h"
#include "support/threads/test_util.h"
#include "support/time/time_limits.h"
#include "testing/fake_directory.h"
#include "testing/log_capture.h"

namespace kiv::satellitetest {
namespace {

using kiv::testing::FakeDirectory;
using kiv::testing::LogCapture;
using Names = std::vector<std::u16string>;
using Codes = std::vector<std::int32_t>;

constexpr int kWaitMs = 10000;

std::vector<std::u16string> RequestNames(const FakeDirectory& directory) {
  Names names;
  for (const auto& request : directory.Requests()) names.push_back(request.name);
  return names;
}

// Polls a condition every millisecond until it holds or the deadline passes.
template <class Predicate>
bool WaitUntil(Predicate done, int timeoutMs) {
  PCondFlag never;
  for (int waited = 0; waited < timeoutMs; ++waited) {
    if (done()) return true;
    never.TimedWaitSet(1);
  }
  return done();
}

class SatelliteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(directory_.ok());
    directory_.ClearRequests();
  }

  LogCapture log_;  // outlives every satellite of a test
  FakeDirectory directory_;
};

TEST_F(SatelliteTest, ConnectRegistersInCaselessOrderAndDisconnectWithdrawsAll) {
  TestSatellite sat([](TestSatellite& s) {
    s.AddService(u"beta", u"b", &Echo);
    s.AddService(u"Alpha", u"a", &Echo);
    s.AddService(u"_x", u"x", &Echo);
  });
  ASSERT_EQ(sat.Connect(u"localhost", u"sat1"), 0);
  EXPECT_TRUE(sat.isConnected());
  EXPECT_EQ(std::u16string(sat.getSatelliteName()), u"sat1");
  EXPECT_NE(sat.getSatellitePort(), 0u);
  EXPECT_NE(sat.getSatellitePort(), KIV_DIRECTORY_PORT);
  const Names all{u"_x", u"Alpha", u"beta", u"OnServiceAvailabilityChanged"};
  const auto registers = directory_.RequestsNamed(u"Register");
  ASSERT_EQ(registers.size(), 2u);  // the bare satellite, then its services
  EXPECT_EQ(RecordServices(*registers[0].argument), Names{});
  EXPECT_EQ(RecordServices(*registers[1].argument), all);
  std::int32_t id = 0;
  EXPECT_EQ(sat.GetSatelliteId(id), 0);
  EXPECT_EQ(id, directory_.FindSatellite(u"sat1")->id);
  // Each accepted registration reports alive; with nothing followed the
  // report sends nothing.
  EXPECT_EQ(sat.Statuses(),
            (std::vector<std::pair<std::int32_t, std::int32_t>>{{id, KIV_ALIVE}, {id, KIV_ALIVE}}));
  EXPECT_EQ(log_.Count(LOG_DEBUG, "connecting satellite sat1 to localhost"), 1);
  KIVSTATUS pinged = KIV_UNKNOWN;
  EXPECT_EQ(
      sat.DirectoryPingSatellite(u"sat1", u"127.0.0.1",
                                 static_cast<std::uint16_t>(sat.getSatellitePort()), id, pinged),
      0);
  EXPECT_EQ(pinged, KIV_ALIVE);

  directory_.ClearRequests();
  EXPECT_EQ(sat.Connect(u"127.0.0.1", u"sat1"), 0);        // the same: nothing to do
  EXPECT_EQ(sat.Connect(u"127.0.0.1:29831", u"sat1"), 1);  // another port
  EXPECT_EQ(sat.Connect(u"127.0.0.1", u"sat2"), 1);
  EXPECT_EQ(RequestNames(directory_), Names{});
  EXPECT_EQ(std::u16string(sat.getSatelliteName()), u"sat1");

  sat.Disconnect();
  EXPECT_FALSE(sat.isConnected());
  EXPECT_EQ(sat.getSatellitePort(), 0u);
  EXPECT_EQ(RequestNames(directory_), (Names{u"UnRegister", u"RemoveSatellite"}));
  EXPECT_EQ(RecordServices(*directory_.RequestsNamed(u"UnRegister")[0].argument), all);
  EXPECT_FALSE(directory_.FindSatellite(u"sat1"));
  EXPECT_EQ(log_.Count(LOG_DEBUG, "disconnected satellite sat1 from 127.0.0.1"), 1);

  // Disconnected: nothing is sent, outputs stay as they were.
  directory_.ClearRequests();
  kiv::Variant out = kiv::Variant::I4(5);
  kiv::Variant codes = kiv::Variant::I4(6);
  EXPECT_EQ(sat.Request(u"sat1", u"beta", *kiv::Variant::I4(1), *out, KIV_NOFLAGS, *codes), 1);
  EXPECT_EQ(out->lVal, 5);
  EXPECT_EQ(codes->lVal, 6);
  EXPECT_EQ(sat.RegisterServices(), 1);
  EXPECT_EQ(sat.UnregisterServices(true), 1);
  EXPECT_EQ(sat.GetSatelliteId(id), kiv::KIV_E_NO_ENGINE);
  KIVSTATUS status = KIV_UNKNOWN;
  EXPECT_EQ(sat.DirectoryPingSatellite(u"x", u"127.0.0.1", 1, 1, status), kiv::KIV_E_NO_ENGINE);
  sat.Disconnect();
  EXPECT_EQ(RequestNames(directory_), Names{});

  // The withdrawn services were erased; InitServices declares them again.
  ASSERT_EQ(sat.Connect(u"127.0.0.1", u"sat1"), 0);
  EXPECT_EQ(RecordServices(*directory_.RequestsNamed(u"Register").back().argument), all);
}

TEST_F(SatelliteTest, RefusedRegistrationsLeaveServicesWaitingForTheNextAttempt) {
  const auto refuseWith = [](std::int32_t code) {
    return [code](const kiv::testing::DirectoryRequest&, VARIANT*, std::int32_t* rc) {
      *rc = code;
      return 0;
    };
  };
  TestSatellite sat([](TestSatellite& s) { s.AddService(u"one", u"", &Echo); });
  directory_.SetHandler(u"Register", refuseWith(5));
  EXPECT_EQ(sat.Connect(u"127.0.0.1", u"sat1"), 5);
  EXPECT_FALSE(sat.isConnected());
  EXPECT_EQ(log_.Count(LOG_DEBUG, "Registration failed: retcode = 5 (0x5)"), 1);
  EXPECT_EQ(RequestNames(directory_), Names{u"Register"});  // bare only, no removal

  directory_.SetHandler(u"Register", {});
  ASSERT_EQ(sat.Connect(u"127.0.0.1", u"sat1"), 0);
  sat.AddService(u"late1", u"", &Echo);
  sat.AddService(u"Late0", u"", &Echo);
  directory_.ClearRequests();
  directory_.SetHandler(u"Register", refuseWith(9));
  EXPECT_EQ(sat.RegisterServices(), 9);
  directory_.SetHandler(u"Register", {});
  EXPECT_EQ(sat.RegisterServices(), 0);
  const Names waiting{u"Late0", u"late1", u"-", u"-"};
  const auto registers = directory_.RequestsNamed(u"Register");
  ASSERT_EQ(registers.size(), 2u);
  EXPECT_EQ(RecordServices(*registers[0].argument), waiting);
  EXPECT_EQ(RecordServices(*registers[1].argument), waiting);

  // Withdrawal: refused, it stays marked; accepted, the entry is gone.
  sat.RemoveService(u"LATE1");
  sat.RemoveService(u"unknown");
  directory_.SetHandler(u"UnRegister", refuseWith(3));
  EXPECT_EQ(sat.UnregisterServices(false), 3);
  directory_.SetHandler(u"UnRegister", {});
  EXPECT_EQ(sat.UnregisterServices(false), 0);
  const auto unregisters = directory_.RequestsNamed(u"UnRegister");
  ASSERT_EQ(unregisters.size(), 2u);
  EXPECT_EQ(RecordServices(*unregisters[1].argument), (Names{u"late1", u"-", u"-", u"-"}));
  directory_.ClearRequests();
  sat.Disconnect();
  EXPECT_EQ(RecordServices(*directory_.RequestsNamed(u"UnRegister")[0].argument),
            (Names{u"Late0", u"one", u"OnServiceAvailabilityChanged"}));
}

TEST_F(SatelliteTest, RequestsReachOneOrAllAndHandlerFailuresBecomeCodes) {
  std::atomic<int> echoes{0};
  TestSatellite b([&](TestSatellite& s) {
    s.AddService(u"Echo", u"",
                 new LambdaHandler([&](const char16_t* source, const VARIANT& in, VARIANT* out) {
                   EXPECT_EQ(std::u16string(source), u"a");
                   ++echoes;
                   return Echo(source, in, out);
                 }));
    s.AddService(u"Throw7", u"", new LambdaHandler([](const char16_t*, const VARIANT&, VARIANT*) {
                   throw CodedException(7, u"seven");
                   return 0;
                 }));
    s.AddService(u"Range", u"", new LambdaHandler([](const char16_t*, const VARIANT&, VARIANT*) {
                   throw std::out_of_range("too far");
                   return 0;
                 }));
    s.AddService(u"Text", u"", new LambdaHandler([](const char16_t*, const VARIANT&, VARIANT*) {
                   throw std::string("plain text");
                   return 0;
                 }));
    s.AddService(u"Nothing", u"", static_cast<KivSatelliteDelegateGeneric*>(nullptr));
  });
  TestSatellite c([](TestSatellite& s) {
    s.AddService(u"Echo", u"", [](const char16_t*, const VARIANT&, VARIANT* out) {
      *out = kiv::Variant::I4(99).Detach();
      return 3;
    });
  });
  TestSatellite a;
  ASSERT_EQ(b.Connect(u"127.0.0.1", u"b"), 0);
  ASSERT_EQ(c.Connect(u"127.0.0.1", u"c"), 0);
  ASSERT_EQ(a.Connect(u"127.0.0.1", u"a"), 0);

  auto one = a.Call(u"b", u"Echo", kiv::Variant::I4(42));
  EXPECT_EQ(one.result, 0);
  EXPECT_EQ(one.statuses, Codes{0});
  EXPECT_EQ(Ints(*one.values), Codes{42});
  auto all = a.Call(u"ALL", u"Echo", kiv::Variant::I4(1));
  EXPECT_EQ(all.statuses, (Codes{0, 3}));
  EXPECT_EQ(Ints(*all.values), (Codes{1, 99}));
  EXPECT_EQ(echoes.load(), 2);

  EXPECT_EQ(a.Call(u"b", u"Throw7", {}).statuses, Codes{7});
  EXPECT_EQ(log_.Count(LOG_WARN, "kiv service 'Throw7' error: seven\n"), 1);
  EXPECT_EQ(a.Call(u"b", u"Range", {}).statuses, Codes{-1});
  EXPECT_EQ(log_.Count(LOG_WARN, "kiv service 'Range' error: too far\n"), 1);
  EXPECT_EQ(a.Call(u"b", u"Text", {}).statuses, Codes{-1});
  EXPECT_EQ(log_.Count(LOG_WARN, "kiv service 'Text' error: plain text\n"), 1);
  EXPECT_EQ(a.Call(u"b", u"Nothing", {}).statuses, Codes{-2});

  // The name on the wire is the directory's spelling; the table ignores case.
  auto entry = *directory_.FindSatellite(u"b");
  entry.services = {{u"ECHO", u""}, {u"Gone", u""}};
  directory_.PutSatellite(entry);
  EXPECT_EQ(a.Call(u"b", u"ECHO", kiv::Variant::I4(5)).statuses, Codes{0});
  EXPECT_EQ(a.Call(u"b", u"Gone", {}).statuses, Codes{-2});
}

// A handler that waits until released and notes whether it was destroyed
// while still running.
class GatedHandler : public KivSatelliteDelegateGeneric {
 public:
  struct Gate {
    PCondFlag started;
    PCondFlag release;
    std::atomic<bool> running{false};
    std::atomic<bool> destroyed{false};
    std::atomic<bool> destroyedWhileRunning{false};
  };
  explicit GatedHandler(Gate* gate) : gate_(gate) {}
  ~GatedHandler() override {
    gate_->destroyedWhileRunning = gate_->running.load();
    gate_->destroyed = true;
  }
  std::int32_t Invoke(const char16_t*, const VARIANT& in, VARIANT* out) override {
    gate_->running = true;
    gate_->started.Set();
    const bool released = gate_->release.TimedWaitSet(kWaitMs);
    VariantCopy(out, &in);
    gate_->running = false;
    return released ? 0 : -5;
  }

 private:
  Gate* gate_;
};

// A server offering "Slow" through a GatedHandler, and a client; both connected.
class GatedCallTest : public SatelliteTest {
 protected:
  void SetUp() override {
    SatelliteTest::SetUp();
    ASSERT_EQ(server_.Connect(u"127.0.0.1", u"server"), 0);
    ASSERT_EQ(client_.Connect(u"127.0.0.1", u"client"), 0);
  }

  GatedHandler::Gate gate_;
  TestSatellite server_{
      [this](TestSatellite& s) { s.AddService(u"Slow", u"", new GatedHandler(&gate_)); }};
  TestSatellite client_;
};

TEST_F(GatedCallTest, DisconnectWaitsForTheRequestInFlightAndLosesNothing) {
  TestSatellite::Outcome outcome;
  PCondFlag disconnected;
  {
    TestThread request([&] { outcome = client_.Call(u"server", u"Slow", kiv::Variant::I4(7)); });
    ASSERT_TRUE(gate_.started.TimedWaitSet(kWaitMs));
    TestThread disconnect([&] {
      client_.Disconnect();
      disconnected.Set();
    });
    // Later operations see the object disconnected at once, while
    // Disconnect itself is held up by the request (a bounded check).
    ASSERT_TRUE(WaitUntil([&] { return !client_.isConnected(); }, kWaitMs));
    EXPECT_FALSE(disconnected.TimedWaitSet(300));
    EXPECT_EQ(client_.Call(u"server", u"Slow", {}).result, 1);
    gate_.release.Set();
    EXPECT_TRUE(disconnected.TimedWaitSet(kWaitMs));
  }
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.statuses, Codes{0});
  EXPECT_EQ(Ints(*outcome.values), Codes{7});
}

TEST_F(GatedCallTest, HandlerOutlivesItsEntryWhenTheServerDisconnectsMidCall) {
  {
    TestThread request([&] { client_.Call(u"server", u"Slow", {}); });
    ASSERT_TRUE(gate_.started.TimedWaitSet(kWaitMs));
    TestThread disconnect([&] { server_.Disconnect(); });
    // The removal is sent after the service was withdrawn (its entry
    // erased), while the handler still runs.
    ASSERT_TRUE(directory_.WaitForRequests(u"RemoveSatellite", 1, kWaitMs));
    EXPECT_FALSE(gate_.destroyed.load());
    gate_.release.Set();
  }
  EXPECT_FALSE(server_.isConnected());
  EXPECT_TRUE(gate_.destroyed.load());
  EXPECT_FALSE(gate_.destroyedWhileRunning.load());
}

TEST_F(SatelliteTest, ConnectUserGivesUpAfterTheUserWaitWithoutDirectory) {
  const ScopedLimitForTesting wait(TimeLimit::kUserWait, 500);
  TestSatellite sat;
  const long long elapsed =
      ElapsedMillis([&] { EXPECT_EQ(sat.ConnectUser(u"nobody", u"sat1"), 404); });
  EXPECT_GE(elapsed, 490);
  EXPECT_LT(elapsed, 2000);
  EXPECT_FALSE(sat.isConnected());
}

// The directory itself: no bare registration, and handlers called with the
// descriptor of the requesting connection.
TEST(DirectorySatellite, HandlersGetTheConnectionDescriptor) {
  LogCapture log;
  struct Call {
    std::int32_t sd;
    std::u16string source;
  };
  PLocker<std::vector<Call>> calls;
  const auto answer = [&](std::int32_t code, bool withIds) {
    return new LambdaWithIdHandler([&calls, code, withIds](std::int32_t sd, const char16_t* source,
                                                           const VARIANT&, VARIANT* out) {
      if (withIds) {
        PScopedLock guard(&calls);
        calls.push_back({sd, source});
        *out = ArrayOf({kiv::Variant::String(u"test-dir"), kiv::Variant::I4(7)}).Detach();
      }
      return code;
    });
  };
  TestSatellite directory([&](TestSatellite& s) {
    s.AddService(u"Register", u"", answer(0, true));
    s.AddService(u"UnRegister", u"", answer(0, false));
    s.AddService(u"RemoveSatellite", u"", answer(0, false));
  });
  ASSERT_EQ(directory.Connect(u"127.0.0.1", u"MainRegister"), 0);
  EXPECT_EQ(directory.getSatellitePort(), KIV_DIRECTORY_PORT);
  TestSatellite sat;
  ASSERT_EQ(sat.Connect(u"127.0.0.1", u"sat"), 0);
  std::int32_t id = 0;
  EXPECT_EQ(sat.GetSatelliteId(id), 0);
  EXPECT_EQ(id, 7);

  PScopedLock guard(&calls);
  ASSERT_EQ(calls.size(), 3u);  // the directory's own services, sat bare, sat's services
  EXPECT_EQ(calls[0].source, u"MainRegister");
  EXPECT_EQ(calls[1].source, u"sat");
  EXPECT_EQ(calls[2].source, u"sat");
  for (const Call& call : calls) EXPECT_GE(call.sd, 0);
}

}  // namespace
}  // namespace kiv::satellitetest
