// KivRequest against real engines and the in-process directory: which
// entries are served, parallel targets in directory order, asynchronous and
// bounded waits (with the abandoned target freeing itself), and how failures
// land in the statuses array.
#include "engine/request.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "engine/outgoing_test_util.h"
#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "kiv/status.h"
#include "kiv/utf8.h"
#include "support/threads/test_util.h"
#include "testing/background_call.h"
#include "testing/fake_directory.h"
#include "testing/raw_peer.h"

namespace kiv::testing {
namespace {

using Handler = TestEngine::RequestHandler;
using Codes = std::vector<std::int32_t>;

// A handler answering `value`, `code` and `result`; with `hold` it first
// waits for that flag, and it counts its calls in `calls`.
Handler Reply(kiv::Variant value, std::int32_t code = 0, std::int32_t result = 0,
              std::shared_ptr<PCondFlag> hold = {}, std::atomic<int>* calls = nullptr) {
  return [=](const std::u16string&, const std::u16string&, const VARIANT&, VARIANT* out,
             std::int32_t* returnCode) {
    if (hold) hold->TimedWaitSet(10000);
    VariantCopy(out, value.get());
    *returnCode = code;
    if (calls != nullptr) ++*calls;
    return result;
  };
}

// One "GetServiceReg" entry; fewer than 7 fields leave port and id out.
kiv::Variant Entry(const std::u16string& name, int port, int id, ULONG fields = 7) {
  kiv::Variant entry;
  VUtil::CreateArray(*entry, VT_VARIANT, fields);
  VUtil::PutElement(*entry, 0, u"Echo");
  VUtil::PutElement(*entry, 1, name);
  VUtil::PutElement(*entry, 2, name);
  VUtil::PutElement(*entry, 3, u"127.0.0.1");
  if (fields > 6) {
    VUtil::PutElement(*entry, 4, port);
    VUtil::PutElement(*entry, 5, u"");
    VUtil::PutElement(*entry, 6, id);
  }
  return entry;
}

struct Answer {
  kiv::Variant values;
  kiv::Variant statuses;
  Codes codes() const { return Int32s(*statuses); }
};

class Requests : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(directory_.ok());
    ASSERT_EQ(caller_.Register(u"caller"), 0);
  }
  void TearDown() override {
    SetLimitMsForTesting(TimeLimit::kBoundedWait, 0);
    // Abandoned targets must be gone before the caller's engine is.
    EXPECT_TRUE(WaitUntil([] { return request::LiveTargets() == 0; }, 10000));
  }

  Answer Request(const std::u16string& destination, const std::u16string& service,
                 std::int32_t flags = KIV_NOFLAGS, const kiv::Variant& argument = {}) {
    const kiv::Bstr to(destination);
    const kiv::Bstr name(service);
    Answer answer;
    EXPECT_EQ(KivRequest(caller_.get(), to.get(), name.get(), *argument, answer.values.Receive(),
                         flags, answer.statuses.Receive()),
              0);
    return answer;
  }

  // Makes the directory answer every lookup with `entries`, whatever the destination.
  void ListAlways(std::vector<kiv::Variant> entries) {
    directory_.SetHandler(u"GetServiceReg", [entries](const DirectoryRequest&, VARIANT* value,
                                                      std::int32_t* returnCode) mutable {
      VUtil::CreateArray(*value, VT_VARIANT, static_cast<ULONG>(entries.size()));
      for (std::size_t i = 0; i < entries.size(); ++i)
        VUtil::PutElement(*value, static_cast<LONG>(i), static_cast<void*>(entries[i].get()));
      *returnCode = 0;
      return 0;
    });
  }
  kiv::Variant Listed(const std::u16string& name) {
    const auto entry = directory_.FindSatellite(name);
    if (!entry) ADD_FAILURE() << "not registered";
    return entry ? Entry(name, entry->port, entry->id) : kiv::Variant();
  }

  FakeDirectory directory_;
  TestEngine caller_;
};

TEST_F(Requests, NamedSatelliteAnswersThroughOneExchange) {
  std::u16string seenCaller;
  std::u16string seenService;
  TestEngine satellite([&](const std::u16string& caller, const std::u16string& service,
                           const VARIANT& argument, VARIANT* value, std::int32_t* returnCode) {
    seenCaller = caller;
    seenService = service;
    VariantCopy(value, &argument);
    *returnCode = 0;
    return 0;
  });
  ASSERT_EQ(satellite.Register(u"sat-a", {u"Echo"}), 0);

  const Answer answer = Request(u"sat-a", u"echo", KIV_NOFLAGS, kiv::Variant::I4(5));
  EXPECT_EQ(answer.codes(), Codes{0});
  ASSERT_EQ(answer.values.vt(), VT_ARRAY | VT_VARIANT);
  ASSERT_EQ(VUtil::GetArrayLength(*answer.values), 1);
  EXPECT_EQ(VUtil::GetLongElement(*answer.values, 0), 5);
  // The target is called under the name the directory lists, by our name.
  EXPECT_EQ(seenService, u"Echo");
  EXPECT_EQ(seenCaller, u"caller");

  // The lookup carries [destination, service, own name, flags] as given.
  const auto lookups = directory_.RequestsNamed(u"GetServiceReg");
  ASSERT_EQ(lookups.size(), 1u);
  const VARIANT& lookup = *lookups[0].argument;
  ASSERT_EQ(VUtil::GetArrayLength(lookup), 4);
  EXPECT_EQ(VUtil::GetStringElement(lookup, 0), u"sat-a");
  EXPECT_EQ(VUtil::GetStringElement(lookup, 1), u"echo");
  EXPECT_EQ(VUtil::GetStringElement(lookup, 2), u"caller");
  EXPECT_EQ(VUtil::GetLongElement(lookup, 3), 0);
}

TEST_F(Requests, AllRunsEveryTargetAtOnceAndAnswersInDirectoryOrder) {
  // Each handler waits for all three to have arrived: a request that served
  // its targets one after another would time the first one out.
  auto arrived = std::make_shared<PIntCondMutex>();
  auto barrier = [arrived](std::u16string name) -> Handler {
    return [arrived, name](const std::u16string&, const std::u16string&, const VARIANT&,
                           VARIANT* value, std::int32_t* returnCode) {
      AddAndBroadcast(*arrived, 1);
      *returnCode = WaitForValue(*arrived, 3, 5000) ? 0 : 99;
      *value = kiv::Variant::String(name).Detach();
      return 0;
    };
  };
  TestEngine c(barrier(u"sat-c"));
  TestEngine a(barrier(u"sat-a"));
  TestEngine b(barrier(u"sat-b"));
  // Registration order is the directory's order; it is not alphabetical.
  ASSERT_EQ(c.Register(u"sat-c", {u"Echo"}), 0);
  ASSERT_EQ(a.Register(u"sat-a", {u"Echo"}), 0);
  ASSERT_EQ(b.Register(u"sat-b", {u"Echo"}), 0);

  const Answer answer = Request(u"ALL", u"Echo");
  EXPECT_EQ(answer.codes(), (Codes{0, 0, 0}));
  ASSERT_EQ(VUtil::GetArrayLength(*answer.values), 3);
  EXPECT_EQ(VUtil::GetStringElement(*answer.values, 0), u"sat-c");
  EXPECT_EQ(VUtil::GetStringElement(*answer.values, 1), u"sat-a");
  EXPECT_EQ(VUtil::GetStringElement(*answer.values, 2), u"sat-b");
}

TEST_F(Requests, AnyDestinationButExactAllServesOnlyTheFirstEntry) {
  std::atomic<int> callsA{0};
  std::atomic<int> callsB{0};
  TestEngine a(Reply(kiv::Variant::String(u"sat-a"), 0, 0, {}, &callsA));
  TestEngine b(Reply(kiv::Variant::String(u"sat-b"), 0, 0, {}, &callsB));
  ASSERT_EQ(a.Register(u"sat-a", {u"Echo"}), 0);
  ASSERT_EQ(b.Register(u"sat-b", {u"Echo"}), 0);
  ListAlways({Listed(u"sat-b"), Listed(u"sat-a")});

  for (const std::u16string destination : {u"all", u"sat-a", u"All"}) {
    SCOPED_TRACE(kiv::ToUtf8(destination));
    callsA = 0;
    callsB = 0;
    const Answer answer = Request(destination, u"Echo");
    EXPECT_EQ(answer.codes(), Codes{0});
    ASSERT_EQ(VUtil::GetArrayLength(*answer.values), 1);
    EXPECT_EQ(VUtil::GetStringElement(*answer.values, 0), u"sat-b");
    EXPECT_EQ(callsB.load(), 1);
    EXPECT_EQ(callsA.load(), 0);
    // The destination reaches the directory as written.
    EXPECT_EQ(
        VUtil::GetStringElement(*directory_.RequestsNamed(u"GetServiceReg").back().argument, 0),
        destination);
  }
}

TEST_F(Requests, AsynchronousReturnsZerosBeforeAnyTargetAnswers) {
  std::atomic<int> finished{0};
  Gate gate;
  TestEngine a(Reply({}, 0, 0, gate.flag, &finished));
  TestEngine b(Reply({}, 0, 0, gate.flag, &finished));
  ASSERT_EQ(a.Register(u"sat-a", {u"Echo"}), 0);
  ASSERT_EQ(b.Register(u"sat-b", {u"Echo"}), 0);

  const Answer answer = Request(u"ALL", u"Echo", KIV_ASYNCHRONOUS);
  EXPECT_EQ(answer.codes(), (Codes{0, 0}));
  EXPECT_EQ(answer.values.vt(), VT_EMPTY);
  EXPECT_EQ(finished.load(), 0);
  gate.Open();
  // Each target frees itself once its answer came in.
  EXPECT_TRUE(WaitUntil([&] { return finished.load() == 2; }, 10000));
}

// Regression: an asynchronous target used its engine after the owner had
// destroyed it (a use after free under ASan).
TEST_F(Requests, DestroyingTheCallerWaitsForTargetsStillRunning) {
  Gate gate;
  TestEngine target(Reply({}, 0, 0, gate.flag));
  ASSERT_EQ(target.Register(u"sat-a", {u"Echo"}), 0);
  auto caller = std::make_unique<TestEngine>();
  ASSERT_EQ(caller->Register(u"short-lived"), 0);
  const kiv::Bstr to(u"sat-a"), name(u"Echo");
  kiv::Variant values, statuses;
  ASSERT_EQ(KivRequest(caller->get(), to.get(), name.get(), *kiv::Variant::I4(1), values.Receive(),
                       KIV_ASYNCHRONOUS, statuses.Receive()),
            0);
  // Removal cuts the target's exchange short; destruction must still wait
  // until the target has let go of the engine.
  caller.reset();
  EXPECT_EQ(request::LiveTargets(), 0);
  gate.Open();
}

TEST_F(Requests, BoundedWaitGivesUpOnASlowTargetAndDropsItsLateAnswer) {
  SetLimitMsForTesting(TimeLimit::kBoundedWait, 300);
  std::atomic<int> slowDone{0};
  Gate gate;
  TestEngine slow(Reply(kiv::Variant::String(u"late"), 0, 0, gate.flag, &slowDone));
  TestEngine fast(Reply(kiv::Variant::String(u"fast")));
  ASSERT_EQ(slow.Register(u"slow", {u"Echo"}), 0);
  ASSERT_EQ(fast.Register(u"fast", {u"Echo"}), 0);

  Answer answer;
  const long long elapsed =
      ElapsedMillis([&] { answer = Request(u"ALL", u"Echo", request::kBoundedWaitFlag); });
  EXPECT_EQ(answer.codes(), (Codes{KIV_RC_TIMED_OUT, 0}));
  ASSERT_EQ(VUtil::GetArrayLength(*answer.values), 2);
  EXPECT_EQ(ElementOf(*answer.values, 0).vt(), VT_EMPTY);
  EXPECT_EQ(VUtil::GetStringElement(*answer.values, 1), u"fast");
  EXPECT_GE(elapsed, 290);
  EXPECT_LT(elapsed, 5000);
  EXPECT_EQ(VUtil::GetLongElement(*directory_.RequestsNamed(u"GetServiceReg").back().argument, 3),
            request::kBoundedWaitFlag);

  // The abandoned target outlives the request until its answer arrives.
  EXPECT_EQ(request::LiveTargets(), 1);
  gate.Open();
  EXPECT_TRUE(WaitUntil([&] { return slowDone.load() == 1; }, 10000));
}

TEST_F(Requests, AnswersArrivingAroundTheBoundFreeEachTargetOnce) {
  // Handlers finish just before or just after the bound, so the worker and
  // the waiter meet at the hand-off from both sides; the sanitizer builds
  // catch a target freed twice or never.
  SetLimitMsForTesting(TimeLimit::kBoundedWait, 4);
  std::atomic<int> round{0};
  PCondFlag never(false);
  TestEngine a([&](const std::u16string&, const std::u16string&, const VARIANT&, VARIANT* value,
                   std::int32_t* returnCode) {
    never.TimedWaitSet(round.load() % 9);
    *value = kiv::Variant::I4(round.load()).Detach();
    *returnCode = 0;
    return 0;
  });
  ASSERT_EQ(a.Register(u"sat-a", {u"Echo"}), 0);
  int timedOut = 0;
  for (; round < 40; ++round) {
    const Answer answer = Request(u"sat-a", u"Echo", request::kBoundedWaitFlag);
    const Codes got = answer.codes();
    ASSERT_EQ(got.size(), 1u);
    if (got[0] == KIV_RC_TIMED_OUT) {
      ++timedOut;
      EXPECT_EQ(ElementOf(*answer.values, 0).vt(), VT_EMPTY);
    } else {
      ASSERT_EQ(got[0], 0);
      EXPECT_EQ(VUtil::GetLongElement(*answer.values, 0), round.load());
    }
  }
  EXPECT_GT(timedOut, 0);  // handlers of 5 ms and more always miss the bound
}

TEST_F(Requests, FailuresBeforeAnyTargetGiveOneStatus) {
  // No satellite offers the service: the directory answers no entries.
  Answer answer = Request(u"ALL", u"Nothing");
  EXPECT_EQ(answer.codes(), Codes{KIV_RC_NOT_FOUND});
  EXPECT_EQ(answer.values.vt(), VT_EMPTY);

  // The directory's own code for the lookup is the status.
  directory_.SetHandler(u"GetServiceReg", [](const DirectoryRequest&, VARIANT*, std::int32_t* rc) {
    *rc = 0x1234;
    return 0;
  });
  answer = Request(u"ALL", u"Echo");
  EXPECT_EQ(answer.codes(), Codes{0x1234});
  EXPECT_EQ(answer.values.vt(), VT_EMPTY);

  // A refused lookup gives the refusal.
  directory_.SetHandler(u"GetServiceReg", [](const DirectoryRequest&, VARIANT*, std::int32_t*) {
    return KIV_E_UNKNOWN_KIND;
  });
  EXPECT_EQ(Request(u"ALL", u"Echo").codes(), Codes{KIV_E_UNKNOWN_KIND});

  const kiv::Bstr to(u"ALL"), service(u"Echo");
  EXPECT_EQ(KivRequest(nullptr, to.get(), service.get(), *kiv::Variant(), answer.values.Receive(),
                       0, answer.statuses.Receive()),
            0);
  EXPECT_EQ(answer.codes(), Codes{KIV_RC_NOT_FOUND});
}

TEST_F(Requests, HandlerOutcomesBecomeStatuses) {
  TestEngine coded(Reply(kiv::Variant::I4(11), 5));
  TestEngine refused(Reply(kiv::Variant::I4(12), 6, -7));  // a refusal carries no value
  TestEngine positive(Reply(kiv::Variant::I4(13), 8, 3));  // a non-zero result replaces the code
  ASSERT_EQ(coded.Register(u"coded", {u"Echo"}), 0);
  ASSERT_EQ(refused.Register(u"refused", {u"Echo"}), 0);
  ASSERT_EQ(positive.Register(u"positive", {u"Echo"}), 0);

  const Answer answer = Request(u"ALL", u"Echo");
  EXPECT_EQ(answer.codes(), (Codes{5, -7, 3}));
  ASSERT_EQ(VUtil::GetArrayLength(*answer.values), 3);
  EXPECT_EQ(VUtil::GetLongElement(*answer.values, 0), 11);
  EXPECT_EQ(ElementOf(*answer.values, 1).vt(), VT_EMPTY);
  EXPECT_EQ(VUtil::GetLongElement(*answer.values, 2), 13);
}

TEST_F(Requests, PerTargetFailuresStayWithTheirTarget) {
  TestEngine a(Reply(kiv::Variant::String(u"sat-a")));
  ASSERT_EQ(a.Register(u"sat-a", {u"Echo"}), 0);
  const int port = directory_.FindSatellite(u"sat-a")->port;
  int deadPort = 0;
  {
    Listener closed;
    deadPort = closed.port();
  }
  // Only the low 16 bits of a port count; too few fields start no thread.
  ListAlways({Entry(u"", port + 0x10000, 1), Entry(u"", port, 1, 5), Entry(u"", deadPort, 1)});

  const Answer answer = Request(u"ALL", u"Echo");
  EXPECT_EQ(answer.codes(), (Codes{0, KIV_RC_NO_THREAD, KIV_E_CONNECT_FAILED}));
  ASSERT_EQ(VUtil::GetArrayLength(*answer.values), 3);
  EXPECT_EQ(VUtil::GetStringElement(*answer.values, 0), u"sat-a");
  EXPECT_EQ(ElementOf(*answer.values, 1).vt(), VT_EMPTY);
  EXPECT_EQ(ElementOf(*answer.values, 2).vt(), VT_EMPTY);
}

}  // namespace
}  // namespace kiv::testing
