// KivRequest against real engines and the in-process directory: which
// entries are served, parallel targets in directory order, asynchronous and
// bounded waits (with the abandoned target freeing itself), and how failures
// land in the statuses array.
#include "engine/request.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "engine/outgoing_test_util.h"
#include "engine/testing/background_call.h"
#include "engine/testing/fake_directory.h"
#include "engine/testing/raw_peer.h"
#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "kiv/status.h"
#include "kiv/utf8.h"
#include "support/threads/test_util.h"

namespace kiv::testing {
namespace {

using Values = kiv::Variant;
using Handler = TestEngine::RequestHandler;

// A handler answering its satellite's name with return code 0.
Handler AnswerName(std::u16string name, std::atomic<int>* calls = nullptr) {
  return [name, calls](const std::u16string&, const std::u16string&, const VARIANT&, VARIANT* value,
                       std::int32_t* returnCode) {
    if (calls != nullptr) ++*calls;
    *value = kiv::Variant::String(name).Detach();
    *returnCode = 0;
    return 0;
  };
}

class Requests : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(directory_.ok());
    ASSERT_EQ(caller_.Register(u"caller"), 0);
  }
  void TearDown() override {
    request::SetBoundedWaitMsForTesting(0);
    // Abandoned targets must be gone before the caller's engine is.
    EXPECT_TRUE(WaitUntil([] { return request::LiveTargets() == 0; }, 10000));
  }

  // KivRequest with the caller's engine.
  void Request(const std::u16string& destination, const std::u16string& service,
               const kiv::Variant& argument, std::int32_t flags, Values& values,
               kiv::Variant& statuses) {
    const kiv::Bstr to(destination);
    const kiv::Bstr name(service);
    ASSERT_EQ(KivRequest(caller_.get(), to.get(), name.get(), *argument, values.Receive(), flags,
                         statuses.Receive()),
              0);
  }

  // Makes the directory answer every lookup with the entries of `names`, in
  // that order, whatever the destination.
  void ListAlways(const std::vector<std::u16string>& names) {
    std::vector<DirectoryEntry> entries;
    for (const std::u16string& name : names) {
      const auto entry = directory_.FindSatellite(name);
      ASSERT_TRUE(entry.has_value());
      entries.push_back(*entry);
    }
    directory_.SetHandler(u"GetServiceReg", [entries](const DirectoryRequest&, VARIANT* value,
                                                      std::int32_t* returnCode) {
      VUtil::CreateArray(*value, VT_VARIANT, static_cast<ULONG>(entries.size()));
      for (std::size_t i = 0; i < entries.size(); ++i) {
        kiv::Variant entry;
        VUtil::CreateArray(*entry, VT_VARIANT, 7);
        VUtil::PutElement(*entry, 0, u"Echo");
        VUtil::PutElement(*entry, 1, entries[i].name);
        VUtil::PutElement(*entry, 2, entries[i].name);
        VUtil::PutElement(*entry, 3, u"127.0.0.1");
        VUtil::PutElement(*entry, 4, static_cast<int>(entries[i].port));
        VUtil::PutElement(*entry, 5, u"");
        VUtil::PutElement(*entry, 6, static_cast<int>(entries[i].id));
        VUtil::PutElement(*value, static_cast<LONG>(i), static_cast<void*>(entry.get()));
      }
      *returnCode = 0;
      return 0;
    });
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

  Values values;
  kiv::Variant statuses;
  Request(u"sat-a", u"echo", kiv::Variant::I4(5), KIV_NOFLAGS, values, statuses);

  EXPECT_EQ(Int32s(*statuses), std::vector<std::int32_t>{0});
  ASSERT_EQ(values.vt(), VT_ARRAY | VT_VARIANT);
  ASSERT_EQ(VUtil::GetArrayLength(*values), 1);
  EXPECT_EQ(VUtil::GetLongElement(*values, 0), 5);
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

  Values values;
  kiv::Variant statuses;
  Request(u"ALL", u"Echo", kiv::Variant::I4(1), KIV_NOFLAGS, values, statuses);

  EXPECT_EQ(Int32s(*statuses), (std::vector<std::int32_t>{0, 0, 0}));
  ASSERT_EQ(VUtil::GetArrayLength(*values), 3);
  EXPECT_EQ(VUtil::GetStringElement(*values, 0), u"sat-c");
  EXPECT_EQ(VUtil::GetStringElement(*values, 1), u"sat-a");
  EXPECT_EQ(VUtil::GetStringElement(*values, 2), u"sat-b");
}

TEST_F(Requests, AnyDestinationButExactAllServesOnlyTheFirstEntry) {
  std::atomic<int> callsA{0};
  std::atomic<int> callsB{0};
  TestEngine a(AnswerName(u"sat-a", &callsA));
  TestEngine b(AnswerName(u"sat-b", &callsB));
  ASSERT_EQ(a.Register(u"sat-a", {u"Echo"}), 0);
  ASSERT_EQ(b.Register(u"sat-b", {u"Echo"}), 0);
  ListAlways({u"sat-b", u"sat-a"});

  for (const std::u16string destination : {u"all", u"sat-a", u"All"}) {
    SCOPED_TRACE(kiv::ToUtf8(destination));
    callsA = 0;
    callsB = 0;
    Values values;
    kiv::Variant statuses;
    Request(destination, u"Echo", kiv::Variant(), KIV_NOFLAGS, values, statuses);
    EXPECT_EQ(Int32s(*statuses), std::vector<std::int32_t>{0});
    ASSERT_EQ(VUtil::GetArrayLength(*values), 1);
    EXPECT_EQ(VUtil::GetStringElement(*values, 0), u"sat-b");
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
  TestEngine a;
  TestEngine b;
  Gate gate;
  auto held = [flag = gate.flag, &finished](const std::u16string&, const std::u16string&,
                                            const VARIANT&, VARIANT*, std::int32_t* returnCode) {
    flag->TimedWaitSet(10000);
    ++finished;
    *returnCode = 0;
    return 0;
  };
  a.SetHandler(held);
  b.SetHandler(held);
  ASSERT_EQ(a.Register(u"sat-a", {u"Echo"}), 0);
  ASSERT_EQ(b.Register(u"sat-b", {u"Echo"}), 0);

  Values values = kiv::Variant::I4(77);
  kiv::Variant statuses;
  Request(u"ALL", u"Echo", kiv::Variant::I4(1), KIV_ASYNCHRONOUS, values, statuses);

  EXPECT_EQ(Int32s(*statuses), (std::vector<std::int32_t>{0, 0}));
  EXPECT_EQ(values.vt(), VT_EMPTY);
  EXPECT_EQ(finished.load(), 0);
  gate.Open();
  // Each target frees itself once its answer came in.
  EXPECT_TRUE(WaitUntil([&] { return finished.load() == 2; }, 10000));
  EXPECT_TRUE(WaitUntil([] { return request::LiveTargets() == 0; }, 10000));
}

// Regression: an asynchronous target used its engine after the owner had
// destroyed it (a use after free under ASan).
TEST_F(Requests, DestroyingTheCallerWaitsForTargetsStillRunning) {
  TestEngine target;
  Gate gate;
  target.SetHandler([flag = gate.flag](const std::u16string&, const std::u16string&, const VARIANT&,
                                       VARIANT*, std::int32_t* returnCode) {
    flag->TimedWaitSet(10000);
    *returnCode = 0;
    return 0;
  });
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
  request::SetBoundedWaitMsForTesting(300);
  std::atomic<int> slowDone{0};
  TestEngine slow;
  TestEngine fast(AnswerName(u"fast"));
  Gate gate;
  slow.SetHandler([flag = gate.flag, &slowDone](const std::u16string&, const std::u16string&,
                                                const VARIANT&, VARIANT* value,
                                                std::int32_t* returnCode) {
    flag->TimedWaitSet(10000);
    *value = kiv::Variant::String(u"late").Detach();
    *returnCode = 0;
    ++slowDone;
    return 0;
  });
  ASSERT_EQ(slow.Register(u"slow", {u"Echo"}), 0);
  ASSERT_EQ(fast.Register(u"fast", {u"Echo"}), 0);

  Values values;
  kiv::Variant statuses;
  const long long elapsed = ElapsedMillis([&] {
    Request(u"ALL", u"Echo", kiv::Variant::I4(1), kiv::request::kBoundedWaitFlag, values, statuses);
  });

  EXPECT_EQ(Int32s(*statuses), (std::vector<std::int32_t>{kiv::KIV_RC_TIMED_OUT, 0}));
  ASSERT_EQ(VUtil::GetArrayLength(*values), 2);
  EXPECT_EQ(ElementOf(*values, 0).vt(), VT_EMPTY);
  EXPECT_EQ(VUtil::GetStringElement(*values, 1), u"fast");
  EXPECT_GE(elapsed, 290);
  EXPECT_LT(elapsed, 5000);
  EXPECT_EQ(VUtil::GetLongElement(*directory_.RequestsNamed(u"GetServiceReg").back().argument, 3),
            kiv::request::kBoundedWaitFlag);

  // The abandoned target outlives the request until its answer arrives,
  // then frees itself.
  EXPECT_EQ(request::LiveTargets(), 1);
  gate.Open();
  EXPECT_TRUE(WaitUntil([&] { return slowDone.load() == 1; }, 10000));
  EXPECT_TRUE(WaitUntil([] { return request::LiveTargets() == 0; }, 10000));
}

TEST_F(Requests, AnswersArrivingAroundTheBoundFreeEachTargetOnce) {
  // Handlers finish just before or just after the bound, so the worker and
  // the waiter meet at the hand-off from both sides; the sanitizer builds
  // catch a target freed twice or never.
  request::SetBoundedWaitMsForTesting(4);
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
    Values values;
    kiv::Variant statuses;
    Request(u"sat-a", u"Echo", kiv::Variant(), kiv::request::kBoundedWaitFlag, values, statuses);
    const std::vector<std::int32_t> got = Int32s(*statuses);
    ASSERT_EQ(got.size(), 1u);
    if (got[0] == kiv::KIV_RC_TIMED_OUT) {
      ++timedOut;
      EXPECT_EQ(ElementOf(*values, 0).vt(), VT_EMPTY);
    } else {
      ASSERT_EQ(got[0], 0);
      EXPECT_EQ(VUtil::GetLongElement(*values, 0), round.load());
    }
  }
  EXPECT_GT(timedOut, 0);  // handlers of 5 ms and more always miss the bound
  EXPECT_TRUE(WaitUntil([] { return request::LiveTargets() == 0; }, 10000));
}

TEST_F(Requests, FailuresBeforeAnyTargetGiveOneStatus) {
  Values values = kiv::Variant::I4(3);
  kiv::Variant statuses;
  // No satellite offers the service: the directory answers no entries.
  Request(u"ALL", u"Nothing", kiv::Variant(), KIV_NOFLAGS, values, statuses);
  EXPECT_EQ(Int32s(*statuses), std::vector<std::int32_t>{kiv::KIV_RC_NOT_FOUND});
  EXPECT_EQ(values.vt(), VT_EMPTY);

  // The directory's own code for the lookup is the status.
  directory_.SetHandler(u"GetServiceReg",
                        [](const DirectoryRequest&, VARIANT*, std::int32_t* returnCode) {
                          *returnCode = 0x1234;
                          return 0;
                        });
  Request(u"ALL", u"Echo", kiv::Variant(), KIV_NOFLAGS, values, statuses);
  EXPECT_EQ(Int32s(*statuses), std::vector<std::int32_t>{0x1234});
  EXPECT_EQ(values.vt(), VT_EMPTY);

  // A refused lookup gives the refusal.
  directory_.SetHandler(u"GetServiceReg", [](const DirectoryRequest&, VARIANT*, std::int32_t*) {
    return kiv::KIV_E_UNKNOWN_KIND;
  });
  Request(u"ALL", u"Echo", kiv::Variant(), KIV_NOFLAGS, values, statuses);
  EXPECT_EQ(Int32s(*statuses), std::vector<std::int32_t>{kiv::KIV_E_UNKNOWN_KIND});

  // No engine.
  const kiv::Bstr to(u"ALL");
  const kiv::Bstr service(u"Echo");
  kiv::Variant argument;
  EXPECT_EQ(KivRequest(nullptr, to.get(), service.get(), *argument, values.Receive(), 0,
                       statuses.Receive()),
            0);
  EXPECT_EQ(Int32s(*statuses), std::vector<std::int32_t>{kiv::KIV_RC_NOT_FOUND});
}

TEST_F(Requests, HandlerOutcomesBecomeStatuses) {
  TestEngine coded([](const std::u16string&, const std::u16string&, const VARIANT&, VARIANT* value,
                      std::int32_t* returnCode) {
    *value = kiv::Variant::I4(11).Detach();
    *returnCode = 5;
    return 0;
  });
  TestEngine refused([](const std::u16string&, const std::u16string&, const VARIANT&,
                        VARIANT* value, std::int32_t* returnCode) {
    *value = kiv::Variant::I4(12).Detach();  // a refusal carries no value
    *returnCode = 6;
    return -7;
  });
  TestEngine positive([](const std::u16string&, const std::u16string&, const VARIANT&,
                         VARIANT* value, std::int32_t* returnCode) {
    *value = kiv::Variant::I4(13).Detach();
    *returnCode = 8;
    return 3;  // a non-zero result replaces the return code
  });
  ASSERT_EQ(coded.Register(u"coded", {u"Echo"}), 0);
  ASSERT_EQ(refused.Register(u"refused", {u"Echo"}), 0);
  ASSERT_EQ(positive.Register(u"positive", {u"Echo"}), 0);

  Values values;
  kiv::Variant statuses;
  Request(u"ALL", u"Echo", kiv::Variant(), KIV_NOFLAGS, values, statuses);
  EXPECT_EQ(Int32s(*statuses), (std::vector<std::int32_t>{5, -7, 3}));
  ASSERT_EQ(VUtil::GetArrayLength(*values), 3);
  EXPECT_EQ(VUtil::GetLongElement(*values, 0), 11);
  EXPECT_EQ(ElementOf(*values, 1).vt(), VT_EMPTY);
  EXPECT_EQ(VUtil::GetLongElement(*values, 2), 13);
}

TEST_F(Requests, PerTargetFailuresStayWithTheirTarget) {
  TestEngine a(AnswerName(u"sat-a"));
  ASSERT_EQ(a.Register(u"sat-a", {u"Echo"}), 0);
  const std::uint16_t port = directory_.FindSatellite(u"sat-a")->port;
  // A port nobody listens on: bind one, then close it.
  std::uint16_t deadPort = 0;
  {
    Listener closed;
    deadPort = closed.port();
  }
  directory_.SetHandler(u"GetServiceReg", [port, deadPort](const DirectoryRequest&, VARIANT* value,
                                                           std::int32_t* returnCode) {
    auto entry = [](std::uint16_t entryPort, ULONG fields) {
      kiv::Variant e;
      VUtil::CreateArray(*e, VT_VARIANT, fields);
      VUtil::PutElement(*e, 0, u"Echo");
      VUtil::PutElement(*e, 3, u"127.0.0.1");
      if (fields > 6) {
        VUtil::PutElement(*e, 4, static_cast<int>(entryPort) + 0x10000);  // low 16 bits count
        VUtil::PutElement(*e, 6, 1);
      }
      return e;
    };
    VUtil::CreateArray(*value, VT_VARIANT, 3);
    kiv::Variant good = entry(port, 7);
    kiv::Variant shortEntry = entry(port, 5);  // too few fields: no thread
    kiv::Variant dead = entry(deadPort, 7);
    VUtil::PutElement(*value, 0, static_cast<void*>(good.get()));
    VUtil::PutElement(*value, 1, static_cast<void*>(shortEntry.get()));
    VUtil::PutElement(*value, 2, static_cast<void*>(dead.get()));
    *returnCode = 0;
    return 0;
  });

  Values values;
  kiv::Variant statuses;
  Request(u"ALL", u"Echo", kiv::Variant(), KIV_NOFLAGS, values, statuses);
  EXPECT_EQ(Int32s(*statuses),
            (std::vector<std::int32_t>{0, kiv::KIV_RC_NO_THREAD, kiv::KIV_E_CONNECT_FAILED}));
  ASSERT_EQ(VUtil::GetArrayLength(*values), 3);
  EXPECT_EQ(VUtil::GetStringElement(*values, 0), u"sat-a");
  EXPECT_EQ(ElementOf(*values, 1).vt(), VT_EMPTY);
  EXPECT_EQ(ElementOf(*values, 2).vt(), VT_EMPTY);
}

}  // namespace
}  // namespace kiv::testing
