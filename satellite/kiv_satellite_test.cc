// KivSatellite and its handler forms against a directory in the test process.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "satellite/satellite_test_util.h"
#include "support/threads/cond.h"
#include "support/time/time_limits.h"
#include "support/vutil/vutil_test_util.h"
#include "testing/fake_directory.h"
#include "testing/log_capture.h"
#include "testing/wait.h"

namespace kiv::satellitetest {
namespace {

using kiv::testing::FakeDirectory;
using kiv::vutil_test::Variants;
using Names = std::vector<std::u16string>;
using Codes = std::vector<std::int32_t>;
using Statuses = TestSatellite::Statuses;
constexpr int kWaitMs = 10000;
constexpr char16_t kAdd[] = u"AddServiceAvailabilityListener";
constexpr char16_t kRemove[] = u"RemoveServiceAvailabilityListener";

// A handler whose body takes (sd, source, in, out); sd is the connection's
// descriptor when a directory calls it.
struct Handler : KivSatelliteDelegateWithId {
  using Body = std::function<std::int32_t(std::int32_t, const char16_t*, const VARIANT&, VARIANT*)>;
  explicit Handler(Body body) : f(std::move(body)) {}
  std::int32_t InvokeWithId(std::int32_t sd, const char16_t* s, const VARIANT& in,
                            VARIANT* out) override {
    return f(sd, s, in, out);
  }
  Body f;
};

std::int32_t Echo(const char16_t*, const VARIANT& in, VARIANT* out) {
  return VariantCopy(out, &in) == S_OK ? 0 : -3;
}

// The member form, how a class serves its own methods, passes the call through.
TEST(Delegates, MemberFormPassesTheCallThrough) {
  struct Service {
    std::int32_t Handle(const char16_t* s, const VARIANT& in, VARIANT* out) {
      return std::u16string(s) == u"src" ? Echo(s, in, out) + in.lVal + 1 : -9;
    }
  } service;
  KivSatelliteDelegateMember<Service> member(&service, &Service::Handle);
  const Variant in = Variant::I4(-1234568);
  Variant out;
  EXPECT_EQ(member.Invoke(u"src", *in, out.get()), -1234567);
  EXPECT_EQ(out->lVal, -1234568);
}

// The service names of a registration record (element 6), "-" for empty slots.
Names RecordServices(const kiv::testing::DirectoryRequest& request) {
  Variant services;
  VUtil::GetElement(*request.argument, 6, services.get());
  Names names;
  for (LONG i = 0; services.vt() != VT_EMPTY && i < VUtil::GetArrayLength(*services); ++i) {
    Variant pair;
    VUtil::GetElement(*services, i, pair.get());
    names.push_back(pair.vt() == VT_EMPTY ? u"-" : VUtil::GetStringElement(*pair, 0));
  }
  return names;
}

class SatelliteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(directory_.ok());
    directory_.ClearRequests();
  }
  Names RequestNames() {
    Names names;
    for (const auto& request : directory_.Requests()) names.push_back(request.name);
    return names;
  }
  void Refuse(const char16_t* request, std::int32_t code) {
    directory_.SetHandler(request, [code](const auto&, VARIANT*, std::int32_t* rc) {
      *rc = code;
      return 0;
    });
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
  const Names all{u"_x", u"Alpha", u"beta", u"OnServiceAvailabilityChanged"};
  const auto registers = directory_.RequestsNamed(u"Register");
  ASSERT_EQ(registers.size(), 2u);  // the bare satellite, then its services
  EXPECT_EQ(RecordServices(registers[0]), Names{});
  EXPECT_EQ(RecordServices(registers[1]), all);
  std::int32_t id = 0;
  EXPECT_EQ(sat.GetSatelliteId(id), 0);
  EXPECT_EQ(id, directory_.FindSatellite(u"sat1")->id);
  // Each accepted registration reports alive.
  EXPECT_EQ(sat.StatusReports(), (Statuses{{id, KIV_ALIVE}, {id, KIV_ALIVE}}));

  directory_.ClearRequests();
  EXPECT_EQ(sat.Connect(u"127.0.0.1", u"sat1"), 0);  // the same: nothing to do
  EXPECT_EQ(sat.Connect(u"127.0.0.1", u"sat2"), 1);
  sat.Disconnect();
  EXPECT_FALSE(sat.isConnected());
  EXPECT_EQ(RequestNames(), (Names{u"UnRegister", u"RemoveSatellite"}));
  EXPECT_EQ(RecordServices(directory_.RequestsNamed(u"UnRegister")[0]), all);
  EXPECT_EQ(sat.GetSatelliteId(id), kiv::KIV_E_NO_ENGINE);
  // The withdrawn services were erased; InitServices declares them again.
  ASSERT_EQ(sat.Connect(u"127.0.0.1", u"sat1"), 0);
  EXPECT_EQ(RecordServices(directory_.RequestsNamed(u"Register").back()), all);
}

TEST_F(SatelliteTest, RefusedRegistrationsLeaveServicesWaitingForTheNextAttempt) {
  TestSatellite sat([](TestSatellite& s) { s.AddService(u"one", u"", &Echo); });
  Refuse(u"Register", 5);
  EXPECT_EQ(sat.Connect(u"127.0.0.1", u"sat1"), 5);
  EXPECT_FALSE(sat.isConnected());
  EXPECT_EQ(RequestNames(), Names{u"Register"});  // bare only, no removal

  directory_.SetHandler(u"Register", {});
  ASSERT_EQ(sat.Connect(u"127.0.0.1", u"sat1"), 0);
  sat.AddService(u"late1", u"", &Echo);
  sat.AddService(u"Late0", u"", &Echo);
  directory_.ClearRequests();
  Refuse(u"Register", 9);
  EXPECT_EQ(sat.RegisterServices(), 9);
  directory_.SetHandler(u"Register", {});
  EXPECT_EQ(sat.RegisterServices(), 0);
  const auto registers = directory_.RequestsNamed(u"Register");
  ASSERT_EQ(registers.size(), 2u);
  for (const auto& r : registers)
    EXPECT_EQ(RecordServices(r), (Names{u"Late0", u"late1", u"-", u"-"}));

  // Withdrawal: refused, it stays marked; accepted, the entry is gone.
  sat.RemoveService(u"LATE1");
  sat.RemoveService(u"unknown");
  Refuse(u"UnRegister", 3);
  EXPECT_EQ(sat.UnregisterServices(false), 3);
  directory_.SetHandler(u"UnRegister", {});
  EXPECT_EQ(sat.UnregisterServices(false), 0);
  const auto unregisters = directory_.RequestsNamed(u"UnRegister");
  ASSERT_EQ(unregisters.size(), 2u);
  EXPECT_EQ(RecordServices(unregisters[1]), (Names{u"late1", u"-", u"-", u"-"}));
  directory_.ClearRequests();
  sat.Disconnect();
  EXPECT_EQ(RecordServices(directory_.RequestsNamed(u"UnRegister")[0]),
            (Names{u"Late0", u"one", u"OnServiceAvailabilityChanged"}));
}

TEST_F(SatelliteTest, RequestsReachTheHandlerAndItsFailuresBecomeCodes) {
  kiv::testing::LogCapture log;
  std::atomic<int> echoes{0};
  const auto throwing = [](auto thrown) {
    return new Handler([thrown](std::int32_t, const char16_t*, const VARIANT&,
                                VARIANT*) -> std::int32_t { throw thrown; });
  };
  TestSatellite b([&](TestSatellite& s) {
    s.AddService(
        u"Echo", u"",
        new Handler([&](std::int32_t sd, const char16_t* source, const VARIANT& in, VARIANT* out) {
          EXPECT_EQ(sd, KivSatelliteDelegateWithId::kNoConnection);
          EXPECT_EQ(std::u16string(source), u"a");
          ++echoes;
          return Echo(source, in, out);
        }));
    s.AddService(u"Range", u"", throwing(std::out_of_range("too far")));
    s.AddService(u"Nothing", u"", static_cast<KivSatelliteDelegateGeneric*>(nullptr));
    s.AddService(u"Plain", u"", &Echo);
  });
  TestSatellite a;
  ASSERT_EQ(b.Connect(u"127.0.0.1", u"b"), 0);
  ASSERT_EQ(a.Connect(u"127.0.0.1", u"a"), 0);
  const auto one = a.Call(u"b", u"Echo", Variant::I4(42));
  EXPECT_EQ(one.result, 0);
  EXPECT_EQ(one.statuses, Codes{0});
  EXPECT_EQ(Ints(*one.values), Codes{42});
  EXPECT_EQ(echoes.load(), 1);
  EXPECT_EQ(Ints(*a.Call(u"b", u"Plain", Variant::I4(5)).values), Codes{5});

  // A throwing handler is answered with a code and leaves a warning with its message.
  EXPECT_EQ(a.Call(u"b", u"Range", {}).statuses, Codes{-1});
  const auto lines = log.Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const auto& l) {
                            return l.first == LOG_WARN &&
                                   l.second.find("too far") != std::string::npos;
                          }),
            1);
  EXPECT_EQ(a.Call(u"b", u"Nothing", {}).statuses, Codes{-2});
  // The name on the wire is the directory's spelling; the table ignores case.
  auto entry = *directory_.FindSatellite(u"b");
  entry.services = {{u"ECHO", u""}, {u"Gone", u""}};
  directory_.PutSatellite(entry);
  EXPECT_EQ(a.Call(u"b", u"ECHO", Variant::I4(5)).statuses, Codes{0});
  EXPECT_EQ(a.Call(u"b", u"Gone", {}).statuses, Codes{-2});
}

TEST_F(SatelliteTest, RequestsReuseTheLookupUntilANoticeNamesTheSatellite) {
  TestSatellite b([](TestSatellite& s) { s.AddService(u"Echo", u"", &Echo); });
  TestSatellite a;
  ASSERT_EQ(b.Connect(u"127.0.0.1", u"b"), 0);
  ASSERT_EQ(a.Connect(u"127.0.0.1", u"a"), 0);
  const auto lookupsOfA = [&] {
    const auto all = directory_.RequestsNamed(u"GetServiceReg");
    return std::count_if(all.begin(), all.end(), [](const auto& r) { return r.caller == u"a"; });
  };
  for (const char16_t* about : {u"c", u"c", u"B"}) {  // the name as the directory compares it
    const Variant notice =
        Variants({Variant::String(u"Echo"), Variant::String(about), Variant::I4(0)});
    EXPECT_EQ(b.Call(u"a", u"OnServiceAvailabilityChanged", notice).statuses, Codes{0});
    EXPECT_EQ(Ints(*a.Call(u"b", u"Echo", Variant::I4(7)).values), Codes{7});
  }
  EXPECT_EQ(lookupsOfA(), 2);
}

TEST_F(SatelliteTest, DisconnectWaitsForTheRequestInFlightAndLosesNothing) {
  PCondFlag started, release, disconnected;
  TestSatellite server([&](TestSatellite& s) {
    s.AddService(u"Slow", u"",
                 new Handler([&](std::int32_t, const char16_t*, const VARIANT& in, VARIANT* out) {
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
    kiv::testing::TestThread request(
        [&] { outcome = client.Call(u"server", u"Slow", Variant::I4(7)); });
    ASSERT_TRUE(started.TimedWaitSet(kWaitMs));
    kiv::testing::TestThread disconnect([&] {
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

// Availability: every service lookup leads to the directory itself, so that
// the listener requests for "MainRegister" reach it. When the engine reports
// the directory's status is the engine's own business.
class AvailabilityTest : public SatelliteTest {
 protected:
  void SetUp() override {
    SatelliteTest::SetUp();
    directory_.SetHandler(u"GetServiceReg", [](const auto& request, VARIANT* value,
                                               std::int32_t* rc) {
      const Variant self = Variant::String(u"MainRegister");
      *value = Variants({Variants({Variant::String(VUtil::GetStringElement(*request.argument, 1)),
                                   self, self, Variant::String(u"127.0.0.1"),
                                   Variant::I4(KIV_DIRECTORY_PORT), self, Variant::I4(0)})})
                   .Detach();
      return *rc = 0;
    });
  }
  // The names carried by every listener request of that kind, in order.
  std::vector<Names> Sent(const char16_t* request) {
    std::vector<Names> sent;
    for (const auto& r : directory_.RequestsNamed(request)) {
      sent.emplace_back();
      for (LONG i = 0; i < VUtil::GetArrayLength(*r.argument); ++i) {
        sent.back().push_back(VUtil::GetStringElement(*r.argument, i));
      }
    }
    directory_.ClearRequests();
    return sent;
  }
};

TEST_F(AvailabilityTest, FollowedNamesAreSubscribedAtEachConnectionAndWhenTheDirectoryReturns) {
  TestSatellite sat([](TestSatellite& s) { s.AddService(u"Echo", u"", &Echo); });
  for (const char16_t* name : {u"c", u"a", u"B"}) sat.AddServiceAvailabilityListener(name);
  EXPECT_TRUE(directory_.Requests().empty());
  ASSERT_EQ(sat.Connect(u"127.0.0.1", u"sat1"), 0);
  // The bare registration's report finds the object not yet connected; the
  // services' report and the connection itself subscribe.
  for (const auto& request : directory_.RequestsNamed(kAdd)) EXPECT_EQ(request.caller, u"sat1");
  const Names all{u"B", u"a", u"c"};
  EXPECT_EQ(Sent(kAdd), (std::vector<Names>{all, all}));
  std::int32_t id = 0;
  ASSERT_EQ(sat.GetSatelliteId(id), 0);
  const auto before = static_cast<std::ptrdiff_t>(sat.StatusReports().size());
  // Reports arrive on the discovery thread in real life; the engine handles
  // them on the caller's thread.
  KivOnDirectoryStatus(directory_.id().c_str(), KIV_DEAD);
  EXPECT_TRUE(directory_.Requests().empty());
  KivOnDirectoryStatus(directory_.id().c_str(), KIV_ALIVE);
  const auto registers = directory_.RequestsNamed(u"Register");
  EXPECT_EQ(std::count_if(registers.begin(), registers.end(),
                          [](const auto& r) { return r.caller == u"sat1"; }),
            1);
  EXPECT_EQ(Sent(kAdd), (std::vector<Names>{all, all}));
  const Statuses statuses = sat.StatusReports();
  EXPECT_EQ(Statuses(statuses.begin() + before, statuses.end()),
            (Statuses{{id, KIV_DEAD}, {id, KIV_ALIVE}, {id, KIV_ALIVE}}));

  sat.RemoveServiceAvailabilityListener(u"c");
  EXPECT_EQ(Sent(kRemove), std::vector<Names>{{u"c"}});
  sat.Disconnect();
  EXPECT_EQ(Sent(kRemove), (std::vector<Names>{{u"B", u"a"}}));
  // The set survives for the next connection.
  ASSERT_EQ(sat.Connect(u"127.0.0.1", u"sat1"), 0);
  EXPECT_EQ(Sent(kAdd), (std::vector<Names>{{u"B", u"a"}, {u"B", u"a"}}));
}

}  // namespace
}  // namespace kiv::satellitetest
