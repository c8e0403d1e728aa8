// KivSatellite against a directory in the test process: connecting,
// registering and withdrawing services, requests to one and to all, handler
// failures, Disconnect with calls in flight, and a directory satellite whose
// handlers take the connection's descriptor.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "kiv/result_codes.h"
#include "satellite/satellite_test_util.h"
#include "support/threads/cond.h"
#include "support/time/time_limits.h"
#include "testing/fake_directory.h"
#include "testing/log_capture.h"
#include "testing/wait.h"

namespace kiv::satellitetest {
namespace {

using kiv::testing::FakeDirectory;
using kiv::testing::TestThread;
using Names = std::vector<std::u16string>;
using Codes = std::vector<std::int32_t>;

constexpr int kWaitMs = 10000;

Names RequestNames(const FakeDirectory& directory) {
  Names names;
  for (const auto& request : directory.Requests()) names.push_back(request.name);
  return names;
}

class SatelliteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(directory_.ok());
    directory_.ClearRequests();
  }

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
  const Names all{u"_x", u"Alpha", u"beta", u"OnServiceAvailabilityChanged"};
  const auto registers = directory_.RequestsNamed(u"Register");
  ASSERT_EQ(registers.size(), 2u);  // the bare satellite, then its services
  EXPECT_EQ(RecordServices(*registers[0].argument), Names{});
  EXPECT_EQ(RecordServices(*registers[1].argument), all);
  std::int32_t id = 0;
  EXPECT_EQ(sat.GetSatelliteId(id), 0);
  EXPECT_EQ(id, directory_.FindSatellite(u"sat1")->id);
  // Each accepted registration reports alive.
  EXPECT_EQ(sat.StatusReports(), (TestSatellite::Statuses{{id, KIV_ALIVE}, {id, KIV_ALIVE}}));
  KIVSTATUS pinged = KIV_UNKNOWN;
  const auto port = static_cast<std::uint16_t>(sat.getSatellitePort());
  EXPECT_EQ(sat.DirectoryPingSatellite(u"sat1", u"127.0.0.1", port, id, pinged), 0);
  EXPECT_EQ(pinged, KIV_ALIVE);

  directory_.ClearRequests();
  EXPECT_EQ(sat.Connect(u"127.0.0.1", u"sat1"), 0);        // the same: nothing to do
  EXPECT_EQ(sat.Connect(u"127.0.0.1:29831", u"sat1"), 1);  // another port
  EXPECT_EQ(sat.Connect(u"127.0.0.1", u"sat2"), 1);
  sat.Disconnect();
  EXPECT_FALSE(sat.isConnected());
  EXPECT_EQ(sat.getSatellitePort(), 0u);
  EXPECT_EQ(RequestNames(directory_), (Names{u"UnRegister", u"RemoveSatellite"}));
  EXPECT_EQ(RecordServices(*directory_.RequestsNamed(u"UnRegister")[0].argument), all);
  EXPECT_FALSE(directory_.FindSatellite(u"sat1"));
  EXPECT_EQ(sat.GetSatelliteId(id), kiv::KIV_E_NO_ENGINE);
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
  const auto registers = directory_.RequestsNamed(u"Register");
  ASSERT_EQ(registers.size(), 2u);
  for (const auto& request : registers) {
    EXPECT_EQ(RecordServices(*request.argument), (Names{u"Late0", u"late1", u"-", u"-"}));
  }

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

template <class Thrown>
LambdaHandler* Throwing(Thrown thrown) {
  return new LambdaHandler([thrown](std::int32_t, const char16_t*, const VARIANT&,
                                    VARIANT*) -> std::int32_t { throw thrown; });
}

TEST_F(SatelliteTest, RequestsReachTheHandlerAndItsFailuresBecomeCodes) {
  kiv::testing::LogCapture log;
  std::atomic<int> echoes{0};
  TestSatellite b([&](TestSatellite& s) {
    s.AddService(u"Echo", u"",
                 new LambdaHandler(
                     [&](std::int32_t sd, const char16_t* source, const VARIANT& in, VARIANT* out) {
                       EXPECT_EQ(sd, KivSatelliteDelegateWithId::kNoConnection);
                       EXPECT_EQ(std::u16string(source), u"a");
                       ++echoes;
                       return Echo(source, in, out);
                     }));
    s.AddService(u"Throw7", u"", Throwing(CodedException(7, u"seven")));
    s.AddService(u"Range", u"", Throwing(std::out_of_range("too far")));
    s.AddService(u"Text", u"", Throwing(std::string("plain text")));
    s.AddService(u"Nothing", u"", static_cast<KivSatelliteDelegateGeneric*>(nullptr));
    s.AddService(u"Plain", u"", &Echo);
  });
  TestSatellite a;
  ASSERT_EQ(b.Connect(u"127.0.0.1", u"b"), 0);
  ASSERT_EQ(a.Connect(u"127.0.0.1", u"a"), 0);

  const auto one = a.Call(u"b", u"Echo", kiv::Variant::I4(42));
  EXPECT_EQ(one.result, 0);
  EXPECT_EQ(one.statuses, Codes{0});
  EXPECT_EQ(Ints(*one.values), Codes{42});
  EXPECT_EQ(echoes.load(), 1);
  EXPECT_EQ(Ints(*a.Call(u"b", u"Plain", kiv::Variant::I4(5)).values), Codes{5});

  // Each failure is answered with a code and leaves a warning with its message.
  const std::tuple<const char16_t*, std::int32_t, std::string> failures[] = {
      {u"Throw7", 7, "seven"}, {u"Range", -1, "too far"}, {u"Text", -1, "plain text"}};
  for (const auto& [service, code, message] : failures) {
    SCOPED_TRACE(message);
    EXPECT_EQ(a.Call(u"b", service, {}).statuses, Codes{code});
    int warned = 0;
    for (const auto& [level, line] : log.Lines()) {
      warned += level == LOG_WARN && line.find(message) != std::string::npos;
    }
    EXPECT_EQ(warned, 1);
  }
  EXPECT_EQ(a.Call(u"b", u"Nothing", {}).statuses, Codes{-2});
  // The name on the wire is the directory's spelling; the table ignores case.
  auto entry = *directory_.FindSatellite(u"b");
  entry.services = {{u"ECHO", u""}, {u"Gone", u""}};
  directory_.PutSatellite(entry);
  EXPECT_EQ(a.Call(u"b", u"ECHO", kiv::Variant::I4(5)).statuses, Codes{0});
  EXPECT_EQ(a.Call(u"b", u"Gone", {}).statuses, Codes{-2});
}

TEST_F(SatelliteTest, DisconnectWaitsForTheRequestInFlightAndLosesNothing) {
  PCondFlag started, release, disconnected;
  TestSatellite server([&](TestSatellite& s) {
    s.AddService(
        u"Slow", u"",
        new LambdaHandler([&](std::int32_t, const char16_t*, const VARIANT& in, VARIANT* out) {
          started.Set();
          const bool released = release.TimedWaitSet(kWaitMs);
          VariantCopy(out, &in);
          return released ? 0 : -5;
        }));
  });
  TestSatellite client;
  ASSERT_EQ(server.Connect(u"127.0.0.1", u"server"), 0);
  ASSERT_EQ(client.Connect(u"127.0.0.1", u"client"), 0);
  TestSatellite::Outcome outcome;
  {
    TestThread request([&] { outcome = client.Call(u"server", u"Slow", kiv::Variant::I4(7)); });
    ASSERT_TRUE(started.TimedWaitSet(kWaitMs));
    TestThread disconnect([&] {
      client.Disconnect();
      disconnected.Set();
    });
    // Later operations see the object disconnected at once, while
    // Disconnect itself is held up by the request (a bounded check).
    ASSERT_TRUE(kiv::testing::WaitUntil([&] { return !client.isConnected(); }, kWaitMs));
    EXPECT_FALSE(disconnected.TimedWaitSet(300));
    EXPECT_EQ(client.Call(u"server", u"Slow", {}).result, 1);
    release.Set();
    EXPECT_TRUE(disconnected.TimedWaitSet(kWaitMs));
  }
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.statuses, Codes{0});
  EXPECT_EQ(Ints(*outcome.values), Codes{7});
}

TEST_F(SatelliteTest, ConnectUserGivesUpAfterTheUserWaitWithoutADirectoryForTheUser) {
  const ScopedLimitForTesting wait(TimeLimit::kUserWait, 300);
  TestSatellite sat;
  EXPECT_EQ(sat.ConnectUser(u"nobody", u"sat1"), 404);
  EXPECT_FALSE(sat.isConnected());
}

// The directory itself: no bare registration, and handlers called with the
// descriptor of the requesting connection.
TEST(DirectorySatellite, HandlersGetTheConnectionDescriptor) {
  PMutex lock;
  std::vector<std::pair<std::int32_t, std::u16string>> calls;  // descriptor, caller
  const auto handler = [&](bool answers) {
    return new LambdaHandler(
        [&, answers](std::int32_t sd, const char16_t* source, const VARIANT&, VARIANT* out) {
          if (!answers) return 0;
          PScopedLock guard(&lock);
          calls.emplace_back(sd, source);
          *out = ArrayOf({kiv::Variant::String(u"test-dir"), kiv::Variant::I4(7)}).Detach();
          return 0;
        });
  };
  TestSatellite directory([&](TestSatellite& s) {
    s.AddService(u"Register", u"", handler(true));
    s.AddService(u"UnRegister", u"", handler(false));
    s.AddService(u"RemoveSatellite", u"", handler(false));
  });
  ASSERT_EQ(directory.Connect(u"127.0.0.1", u"MainRegister"), 0);
  EXPECT_EQ(directory.getSatellitePort(), KIV_DIRECTORY_PORT);
  TestSatellite sat;
  ASSERT_EQ(sat.Connect(u"127.0.0.1", u"sat"), 0);
  std::int32_t id = 0;
  EXPECT_EQ(sat.GetSatelliteId(id), 0);
  EXPECT_EQ(id, 7);

  PScopedLock guard(&lock);
  ASSERT_EQ(calls.size(), 3u);  // the directory's own services, sat bare, sat's services
  EXPECT_EQ(calls[0].second, u"MainRegister");
  EXPECT_EQ(calls[1].second, u"sat");
  EXPECT_EQ(calls[2].second, u"sat");
  for (const auto& call : calls) EXPECT_GE(call.first, 0);
}

}  // namespace
}  // namespace kiv::satellitetest
