// Engines' life in the process-wide list, and registration with a directory
// inside the test process: the record the directory receives, the ports, the
// answers of each shape, removal.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "engine/engine_list.h"
#include "engine/engine_object.h"
#include "engine/engine_state.h"
#include "engine/listener.h"
#include "kiv/kiv_exception.h"
#include "kiv/result_codes.h"
#include "kiv/utf8.h"
#include "kiv/vutil.h"
#include "support/net/net.h"
#include "support/threads/test_util.h"
#include "testing/background_call.h"
#include "testing/fake_directory.h"
#include "testing/raw_peer.h"

namespace kiv::testing {
namespace {

bool Listed(KIV* engine) {
  PScopedLock guard(&kiv::engine::EngineListMutex());
  const auto& list = kiv::engine::EngineList();
  return std::find(list.begin(), list.end(), engine) != list.end();
}

TEST(Engine, CreationListsAndDestructionUnlistsInOrder) {
  KIV* first = nullptr;
  KIV* second = nullptr;
  ASSERT_EQ(KivCreate(&first, nullptr, nullptr, nullptr), 0);
  ASSERT_EQ(KivCreate(&second, nullptr, nullptr, nullptr), 0);
  {
    PScopedLock guard(&kiv::engine::EngineListMutex());
    const auto& list = kiv::engine::EngineList();
    const auto a = std::find(list.begin(), list.end(), first);
    const auto b = std::find(list.begin(), list.end(), second);
    ASSERT_TRUE(a != list.end() && b != list.end());
    EXPECT_LT(a, b);
  }
  EXPECT_EQ(first->satelliteId.load(), 0);
  EXPECT_EQ(first->listenSocket, -1);
  EXPECT_EQ(first->directoryStatus.load(), KIV_UNKNOWN);
  KivDestroy(first);
  EXPECT_FALSE(Listed(first));
  EXPECT_TRUE(Listed(second));
  KivDestroy(second);
  KivDestroy(nullptr);
}

TEST(Engine, DestroyWithoutRemovalStillStopsTheEventThread) {
  KIV* engine = nullptr;
  ASSERT_EQ(KivCreate(&engine, nullptr, nullptr, nullptr), 0);
  ASSERT_EQ(KivStartListening(engine, false), 0);
  const std::uint16_t port = engine->listenPort;
  Socket idle = ConnectTo(port);
  ASSERT_TRUE(SendBytes(idle.get(), PingBytes(0)));
  ASSERT_TRUE(ReadBytes(idle.get(), 8));
  EXPECT_LT(ElapsedMillis([&] { KivDestroy(engine); }), 1000);
  EXPECT_TRUE(WaitForClose(idle.get(), 2000));
  EXPECT_FALSE(ConnectTo(port).valid());
}

class Registration : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(directory_.ok()); }

  // The argument of the last request of that name.
  Variant LastArgument(const std::u16string& name) {
    const auto requests = directory_.RequestsNamed(name);
    return requests.empty() ? Variant() : requests.back().argument;
  }

  // Answers every "Register" with `value` and `returnCode`.
  void AnswerRegister(Variant value, std::int32_t returnCode, std::int32_t result = 0) {
    directory_.SetHandler(
        u"Register",
        [value, returnCode, result](const DirectoryRequest&, VARIANT* out, std::int32_t* code) {
          VariantCopy(out, value.get());
          *code = returnCode;
          return result;
        });
  }

  FakeDirectory directory_;
};

TEST_F(Registration, RecordCarriesNamePortAndServicesAndAnswerSetsTheIds) {
  TestEngine satellite;
  ASSERT_KIV_OK(satellite.Register(u"Alpha", {u"Echo", u"Sleep"}));
  const Variant record = LastArgument(u"Register");
  ASSERT_EQ(VUtil::GetArrayLength(*record), 7);
  Variant element;
  const VARTYPE types[] = {VT_BSTR, VT_BSTR, VT_UI2, VT_I4, VT_I4, VT_I4, VT_ARRAY | VT_VARIANT};
  for (LONG i = 0; i < 7; ++i) {
    VUtil::GetElement(*record, i, element.get());
    EXPECT_EQ(element.vt(), types[i]) << i;
  }
  char address[kIdentityAddressCapacity] = "";
  char computer[kIdentityNameCapacity] = "";
  GetLocalIdentity(address, computer);
  EXPECT_EQ(VUtil::GetStringElement(*record, 0), u"Alpha");
  EXPECT_EQ(VUtil::GetStringElement(*record, 1), FromUtf8(computer));
  const std::uint16_t port = satellite.get()->listenPort;
  EXPECT_NE(port, 0);
  EXPECT_NE(port, KIV_DIRECTORY_PORT);
  EXPECT_EQ(VUtil::GetUShortElement(*record, 2), port);
  EXPECT_EQ(VUtil::GetLongElement(*record, 3), 1);
  EXPECT_EQ(VUtil::GetLongElement(*record, 4), 0);
  EXPECT_EQ(VUtil::GetLongElement(*record, 5), 2);
  const auto entry = directory_.FindSatellite(u"Alpha");
  ASSERT_TRUE(entry);
  ASSERT_EQ(entry->services.size(), 2u);
  EXPECT_EQ(entry->services[1].first, u"Sleep");

  // The default answer is [directory id, satellite id].
  std::int32_t id = 0;
  EXPECT_EQ(KivGetSatelliteId(satellite.get(), &id), 0);
  EXPECT_EQ(id, entry->id);
  EXPECT_EQ(engine::DirectoryIdOf(satellite.get()), "fake-directory");
  EXPECT_EQ(satellite.get()->registered.load(), 1);
  EXPECT_EQ(satellite.get()->directoryStatus.load(), KIV_ALIVE);
  EXPECT_NE(satellite.get()->lastDirectoryContact.load(), 0);
  const auto statuses = satellite.Statuses();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0], std::make_pair(id, std::int32_t{KIV_ALIVE}));

  // A second registration sends the id it was given and keeps the port.
  ASSERT_KIV_OK(satellite.Register(u"Alpha", {u"Echo"}));
  EXPECT_EQ(VUtil::GetLongElement(*LastArgument(u"Register"), 4), id);
  EXPECT_EQ(VUtil::GetUShortElement(*LastArgument(u"Register"), 2), port);
  EXPECT_EQ(VUtil::GetLongElement(*LastArgument(u"Register"), 5), 1);
}

TEST_F(Registration, AnswersOfEachShape) {
  TestEngine satellite;
  AnswerRegister(Variant::I4(7), 0);
  ASSERT_KIV_OK(satellite.Register(u"Beta"));
  EXPECT_EQ(satellite.get()->satelliteId.load(), 7);
  EXPECT_EQ(engine::DirectoryIdOf(satellite.get()), "");

  Variant pair;
  VUtil::CreateArray(*pair, VT_VARIANT, 2);
  VUtil::PutElement(*pair, 0, std::u16string(u"dir-x"));
  VUtil::PutElement(*pair, 1, 9);
  AnswerRegister(pair, 0);
  ASSERT_KIV_OK(satellite.Register(u"Beta"));
  EXPECT_EQ(satellite.get()->satelliteId.load(), 9);
  EXPECT_EQ(engine::DirectoryIdOf(satellite.get()), "dir-x");

  // Another shape leaves both but still registers.
  AnswerRegister(Variant::String(u"what"), 0);
  satellite.get()->registered = 0;
  ASSERT_KIV_OK(satellite.Register(u"Beta"));
  EXPECT_EQ(satellite.get()->satelliteId.load(), 9);
  EXPECT_EQ(engine::DirectoryIdOf(satellite.get()), "dir-x");
  EXPECT_EQ(satellite.get()->registered.load(), 1);
  EXPECT_EQ(satellite.Statuses().size(), 3u);

  // A refusal by return code or by result changes nothing.
  satellite.get()->registered = 0;
  AnswerRegister(Variant::I4(11), 5);
  EXPECT_EQ(satellite.Register(u"Beta"), 5);
  AnswerRegister(Variant::I4(12), 0, -9);
  EXPECT_EQ(satellite.Register(u"Beta"), -9);
  EXPECT_EQ(satellite.get()->satelliteId.load(), 9);
  EXPECT_EQ(satellite.get()->registered.load(), 0);
  EXPECT_EQ(satellite.Statuses().size(), 3u);
}

TEST_F(Registration, PortsAndDirectoryAddresses) {
  TestEngine satellite;
  ASSERT_KIV_OK(satellite.Register(u"Gamma", {}, "localhost", 0));
  EXPECT_EQ(engine::DirectoryLinkOf(satellite.get()).address, "127.0.0.1");
  EXPECT_EQ(engine::DirectoryLinkOf(satellite.get()).port, KIV_DIRECTORY_PORT);
  // Services given as VT_EMPTY count 0.
  EXPECT_EQ(VUtil::GetLongElement(*LastArgument(u"Register"), 5), 0);
  EXPECT_EQ(LastArgument(u"Register").vt(), VT_ARRAY | VT_VARIANT);

  // 70000 is port 4464, where nothing listens.
  EXPECT_EQ(satellite.Register(u"Gamma", {}, "127.1", 70000), KIV_E_CONNECT_FAILED);
  const engine::DirectoryLink link = engine::DirectoryLinkOf(satellite.get());
  EXPECT_EQ(link.port, 70000 % 65536);
  EXPECT_EQ(link.host, "127.1");
  EXPECT_EQ(link.address, "127.1");  // dotted: used as given
  EXPECT_EQ(satellite.Register(u"Gamma", {}, "no-such-host.invalid", 1), KIV_E_RESOLVE_FAILED);
  EXPECT_EQ(engine::DirectoryLinkOf(satellite.get()).address, "no-such-host.invalid");
  EXPECT_EQ(satellite.Register(u"Gamma", {}, nullptr, 1), KIV_E_CONNECT_FAILED);
  EXPECT_EQ(engine::DirectoryLinkOf(satellite.get()).host, "0.0.0.0");
}

TEST_F(Registration, UnRegisterSendsTheGivenServicesAndHandsBackTheCode) {
  TestEngine satellite;
  ASSERT_KIV_OK(satellite.Register(u"Delta", {u"Echo", u"Fail"}));
  Variant withdrawn = MakeServices({{u"fail", u""}});
  Variant code;
  EXPECT_EQ(KivUnRegister(satellite.get(), withdrawn.get(), code.get()), 0);
  ASSERT_EQ(code.vt(), VT_I4);
  EXPECT_EQ(code->lVal, 0);
  EXPECT_EQ(VUtil::GetLongElement(*LastArgument(u"UnRegister"), 5), 1);
  EXPECT_EQ(directory_.FindSatellite(u"Delta")->services.size(), 1u);
  // The stored services stay those of the registration.
  EXPECT_EQ(VUtil::GetArrayLength(*engine::ServicesOf(satellite.get())), 2);

  directory_.SetHandler(u"UnRegister", [](const DirectoryRequest&, VARIANT*, std::int32_t* rc) {
    *rc = 42;
    return 0;
  });
  EXPECT_EQ(KivUnRegister(satellite.get(), withdrawn.get(), code.get()), 0);
  EXPECT_EQ(code->lVal, 42);
}

TEST_F(Registration, RemovalTellsTheDirectoryOnlyAboutRegisteredSatellites) {
  TestEngine never;
  EXPECT_EQ(never.Remove(), 0);
  TestEngine satellite;
  ASSERT_KIV_OK(satellite.Register(u"Epsilon", {u"Echo"}));
  const std::int32_t id = satellite.get()->satelliteId.load();
  EXPECT_EQ(satellite.Remove(), 0);
  const auto removals = directory_.RequestsNamed(u"RemoveSatellite");
  ASSERT_EQ(removals.size(), 1u);
  EXPECT_EQ(VUtil::GetLongElement(*removals[0].argument, 4), id);
  EXPECT_EQ(VUtil::GetLongElement(*removals[0].argument, 5), 0);
  Variant services;
  VUtil::GetElement(*removals[0].argument, 6, services.get());
  EXPECT_EQ(services.vt(), VT_EMPTY);
  EXPECT_FALSE(directory_.FindSatellite(u"Epsilon"));
  EXPECT_EQ(satellite.get()->registered.load(), 0);
  // Removed engines stay removed: no listening, nothing sent.
  EXPECT_EQ(satellite.Register(u"Epsilon"), KIV_RC_LISTEN_FAILED);
  EXPECT_EQ(directory_.RequestsNamed(u"Register").size(), 2u);  // the directory's own and one
}

TEST_F(Registration, TheDirectoryNeverRemovesItself) {
  KIV* engine = directory_.engine();
  EXPECT_EQ(engine->listenPort, KIV_DIRECTORY_PORT);
  EXPECT_EQ(engine->registered.load(), 1);
  // Had it tried, its own closed port would have refused the removal.
  EXPECT_EQ(KivRemoveSatellite(engine), 0);
  EXPECT_EQ(engine->registered.load(), 1);
  EXPECT_EQ(engine->listening, 0);
}

// Workers read the directory's identity and calls read the satellite's
// name while registrations replace both (a data race here shows under TSan).
TEST_F(Registration, ReRegistrationWhileRequestsAndCallsRun) {
  TestEngine satellite;
  ASSERT_KIV_OK(satellite.Register(u"Eta", {u"Echo"}));
  const std::uint16_t port = satellite.get()->listenPort;
  TestEngine caller;
  std::atomic<int> failures{0};
  {
    TestThread incoming([&] {
      for (int i = 0; i < 200; ++i) {
        std::int32_t code = -1;
        failures += KivCall(caller.get(), "127.0.0.1", port, "Echo", nullptr, nullptr, &code) != 0;
      }
    });
    TestThread outgoing([&] {
      for (int i = 0; i < 50; ++i) {
        std::int32_t code = -1;
        failures += KivCall(satellite.get(), "127.0.0.1", KIV_DIRECTORY_PORT, "Ping", nullptr,
                            nullptr, &code) != 0;
      }
    });
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(satellite.Register(i % 2 == 0 ? u"Eta" : u"Theta", {u"Echo"}), 0);
    }
  }
  EXPECT_EQ(failures.load(), 0);
  // Calls from several threads share the engine's cache, which stays bounded.
  const auto echoes = [&] {
    for (int i = 0; i < 50; ++i) {
      Variant argument = Variant::I4(i), value;
      std::int32_t code = -1;
      failures += KivCall(caller.get(), "127.0.0.1", port, "Echo", argument.get(), value.get(),
                          &code) != 0 ||
                  value->lVal != i;
    }
  };
  { TestThread t1(echoes), t2(echoes), t3(echoes), t4(echoes); }
  EXPECT_EQ(failures.load(), 0);
  PScopedLock guard(&caller.get()->cacheLock);
  EXPECT_LE(caller.get()->idleCache.size(), 8u);
  EXPECT_GE(caller.get()->idleCache.size(), 1u);
  EXPECT_TRUE(caller.get()->inUse.empty());
}

TEST(RegistrationWithoutDirectory, DirectoryNameInAnyCaseBindsTheDirectoryPort) {
  // It registers with itself; its handler turns the registration down.
  TestEngine directory([](const std::u16string&, const std::u16string&, const VARIANT&, VARIANT*,
                          std::int32_t* returnCode) {
    *returnCode = 1;
    return 0;
  });
  EXPECT_EQ(directory.Register(u"mAINrEGISTER"), 1);
  EXPECT_EQ(directory.get()->listenPort, KIV_DIRECTORY_PORT);
  EXPECT_EQ(directory.get()->registered.load(), 0);
  // A failed registration leaves listening in place.
  EXPECT_EQ(directory.get()->listening, 1);
  TestEngine satellite;
  EXPECT_EQ(satellite.Register(u"Zeta", {}, "127.0.0.1", 1), KIV_E_CONNECT_FAILED);
  EXPECT_NE(satellite.get()->listenPort, KIV_DIRECTORY_PORT);
  EXPECT_EQ(satellite.get()->listening, 1);
}

TEST(RegistrationWithoutDirectory, AbsentEngineIsReportedAsAOneElementArray) {
  Variant code;
  EXPECT_EQ(KivRegister(nullptr, "127.0.0.1", 0, nullptr, nullptr, code.get()), 0);
  ASSERT_EQ(code.vt(), VT_ARRAY | VT_I4);
  EXPECT_EQ(VUtil::GetSingleRetcode(*code), KIV_RC_NOT_FOUND);
  EXPECT_EQ(KivUnRegister(nullptr, nullptr, code.Receive()), 0);
  EXPECT_EQ(VUtil::GetSingleRetcode(*code), KIV_RC_NOT_FOUND);
  EXPECT_EQ(KivRemoveSatellite(nullptr), 0);
  std::int32_t id = 3;
  EXPECT_KIV_CODE(KivGetSatelliteId(nullptr, &id), KIV_E_NO_ENGINE);
}

TEST(Services, CreateAndSetBuildTheNamedPairs) {
  Variant services;
  EXPECT_EQ(KivCreateServices(services.get(), 2), 0);
  Bstr name(u"Echo");
  Bstr description(u"answers its input");
  EXPECT_EQ(KivSetService(services.get(), 1, name.get(), description.get()), 0);
  EXPECT_EQ(VUtil::GetArrayLength(*services), 2);
  std::u16string key;
  std::u16string value;
  VUtil::GetPair(*services, 1, key, value);
  EXPECT_EQ(key, u"Echo");
  EXPECT_EQ(value, u"answers its input");
  EXPECT_THROW(KivSetService(services.get(), 2, name.get(), description.get()),
               KivInvalidParameterException);
  Variant notAnArray = Variant::I4(1);
  EXPECT_THROW(KivSetService(notAnArray.get(), 0, name.get(), description.get()),
               KivInvalidParameterException);
}

}  // namespace
}  // namespace kiv::testing
