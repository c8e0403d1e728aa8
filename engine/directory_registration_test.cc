// Engines in the process-wide list, and registration with a directory in
// the test process: the record it receives, ports and addresses, answers of
// each shape, un-registration and removal.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/engine_list.h"
#include "engine/engine_object.h"
#include "engine/engine_state.h"
#include "engine/listener.h"
#include "kiv/utf8.h"
#include "kiv/vutil.h"
#include "support/net/net.h"
#include "testing/fake_directory.h"
#include "testing/kiv_assertions.h"
#include "testing/raw_peer.h"
#include "testing/wait.h"

namespace kiv::testing {
namespace {

// Where the engine stands in the list; -1 when it is not listed.
int ListIndex(KIV* engine) {
  PScopedLock guard(&engine::EngineListMutex());
  const auto& list = engine::EngineList();
  const auto found = std::find(list.begin(), list.end(), engine);
  return found == list.end() ? -1 : static_cast<int>(found - list.begin());
}

TEST(Engine, CreationListsInOrderAndDestructionUnlistsAndStopsTheEventThread) {
  KIV *first = nullptr, *second = nullptr;
  ASSERT_EQ(KivCreate(&first, nullptr, nullptr, nullptr), 0);
  ASSERT_EQ(KivCreate(&second, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(ListIndex(second), ListIndex(first) + 1);
  ASSERT_EQ(KivStartListening(first, false), 0);
  const std::uint16_t port = first->listenPort;
  Socket idle = ConnectTo(port);
  ASSERT_TRUE(SendBytes(idle.get(), PingBytes(0)) && ReadBytes(idle.get(), 8));
  // Destruction without removal still stops the event thread.
  EXPECT_LT(ElapsedMillis([&] { KivDestroy(first); }), 1000);
  EXPECT_TRUE(WaitForClose(idle.get(), 2000));
  EXPECT_FALSE(ConnectTo(port).valid());
  EXPECT_EQ(ListIndex(first), -1);
  EXPECT_NE(ListIndex(second), -1);
  KivDestroy(second);
}

class Registration : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(directory_.ok()); }

  // Elements [from, to) of the record the last request of that name carried,
  // as text: strings, numbers ("u" marks a VT_UI2), "?" for others.
  std::string Fields(const std::u16string& name, LONG from, LONG to) {
    const Variant record = directory_.RequestsNamed(name).back().argument;
    EXPECT_EQ(VUtil::GetArrayLength(*record), 7);
    std::string text;
    for (LONG i = from; i < to; ++i) {
      Variant e;
      VUtil::GetElement(*record, i, e.get());
      text += i == from ? "" : ",";
      text += e.vt() == VT_BSTR  ? ToUtf8(e->bstrVal)
              : e.vt() == VT_UI2 ? "u" + std::to_string(e->uiVal)
              : e.vt() == VT_I4  ? std::to_string(e->lVal)
                                 : "?";
    }
    return text;
  }
  void AnswerRegister(Variant value, std::int32_t returnCode) {
    directory_.SetHandler(u"Register",
                          [=](const DirectoryRequest&, VARIANT* out, std::int32_t* code) {
                            *code = returnCode;
                            return VariantCopy(out, value.get()) == S_OK ? 0 : -1;
                          });
  }

  FakeDirectory directory_;
  TestEngine satellite_;
};

TEST_F(Registration, RecordCarriesNameComputerPortIdAndServicesAndTheAnswerSetsTheIds) {
  ASSERT_KIV_OK(satellite_.Register(u"Alpha", {u"Echo", u"Sleep"}));
  char address[kIdentityAddressCapacity] = "", computer[kIdentityNameCapacity] = "";
  GetLocalIdentity(address, computer);
  const std::uint16_t port = satellite_.get()->listenPort;
  EXPECT_NE(port, KIV_DIRECTORY_PORT);
  // Name, computer, port, 1, id, number of services; then the services.
  EXPECT_EQ(Fields(u"Register", 0, 6),
            "Alpha," + std::string(computer) + ",u" + std::to_string(port) + ",1,0,2");
  const auto entry = directory_.FindSatellite(u"Alpha");
  ASSERT_EQ(entry->services.size(), 2u);
  EXPECT_EQ(entry->services[1].first, u"Sleep");
  // The built-in answer is [directory id, satellite id].
  std::int32_t id = 0;
  EXPECT_EQ(KivGetSatelliteId(satellite_.get(), &id), 0);
  EXPECT_EQ(id, entry->id);
  EXPECT_EQ(engine::DirectoryIdOf(satellite_.get()), "fake-directory");
  EXPECT_EQ(satellite_.get()->directoryStatus.load(), KIV_ALIVE);
  EXPECT_NE(satellite_.get()->lastDirectoryContact.load(), 0);
  EXPECT_EQ(satellite_.Statuses(),
            (std::vector<std::pair<std::int32_t, std::int32_t>>{{id, KIV_ALIVE}}));
  // Again: with the id it was given, from the same port, with the new services.
  ASSERT_KIV_OK(satellite_.Register(u"Alpha", {u"Echo"}));
  EXPECT_EQ(Fields(u"Register", 2, 6),
            "u" + std::to_string(port) + ",1," + std::to_string(id) + ",1");
}

TEST_F(Registration, AnswersOfEachShape) {
  const auto state = [&] {
    KIV* e = satellite_.get();
    return std::to_string(e->satelliteId.load()) + "@" + engine::DirectoryIdOf(e) + "," +
           std::to_string(e->registered.load()) + "," +
           std::to_string(satellite_.Statuses().size());
  };
  AnswerRegister(Variant::I4(7), 0);
  ASSERT_KIV_OK(satellite_.Register(u"Beta"));
  EXPECT_EQ(state(), "7@,1,1");
  Variant pair;
  VUtil::CreateArray(*pair, VT_VARIANT, 2);
  VUtil::PutElement(*pair, 0, u"dir-x");
  VUtil::PutElement(*pair, 1, 9);
  AnswerRegister(pair, 0);
  ASSERT_KIV_OK(satellite_.Register(u"Beta"));
  EXPECT_EQ(state(), "9@dir-x,1,2");
  satellite_.get()->registered = 0;
  AnswerRegister(Variant::I4(11), 5);  // a refusal changes nothing
  EXPECT_EQ(satellite_.Register(u"Beta"), 5);
  EXPECT_EQ(state(), "9@dir-x,0,2");
}

TEST_F(Registration, PortsAndDirectoryAddresses) {
  const auto link = [&] {
    const engine::DirectoryLink link = engine::DirectoryLinkOf(satellite_.get());
    return link.host + " " + link.address + " " + std::to_string(link.port);
  };
  ASSERT_KIV_OK(satellite_.Register(u"Gamma", {}, "localhost", 0));
  EXPECT_EQ(link(), "localhost 127.0.0.1 29831");
  EXPECT_EQ(Fields(u"Register", 5, 6), "0");  // no services
  // 70000 is port 4464, where nothing listens; a dotted host is used as given.
  EXPECT_EQ(satellite_.Register(u"Gamma", {}, "127.1", 70000), KIV_E_CONNECT_FAILED);
  EXPECT_EQ(link(), "127.1 127.1 4464");
  EXPECT_EQ(satellite_.Register(u"Gamma", {}, "no-such-host.invalid", 1), KIV_E_RESOLVE_FAILED);
  EXPECT_EQ(link(), "no-such-host.invalid no-such-host.invalid 1");
  EXPECT_EQ(satellite_.Register(u"Gamma", {}, nullptr, 1), KIV_E_CONNECT_FAILED);
  EXPECT_EQ(link(), "0.0.0.0 0.0.0.0 1");
}

TEST_F(Registration, UnRegisterSendsTheGivenServicesAndHandsBackTheCode) {
  ASSERT_KIV_OK(satellite_.Register(u"Delta", {u"Echo", u"Fail"}));
  Variant withdrawn = MakeServices({{u"fail", u""}}), code;
  EXPECT_EQ(KivUnRegister(satellite_.get(), withdrawn.get(), code.get()), 0);
  EXPECT_EQ(code.vt(), VT_I4);
  EXPECT_EQ(code->lVal, 0);
  EXPECT_EQ(Fields(u"UnRegister", 5, 6), "1");
  EXPECT_EQ(directory_.FindSatellite(u"Delta")->services.size(), 1u);
  EXPECT_EQ(VUtil::GetArrayLength(*engine::ServicesOf(satellite_.get())), 2) << "as registered";
  directory_.SetHandler(u"UnRegister", [](const DirectoryRequest&, VARIANT*, std::int32_t* rc) {
    *rc = 42;
    return 0;
  });
  EXPECT_EQ(KivUnRegister(satellite_.get(), withdrawn.get(), code.get()), 0);
  EXPECT_EQ(code->lVal, 42);
  // Without an engine, the code is a one-element array.
  EXPECT_EQ(KivUnRegister(nullptr, nullptr, code.get()), 0);
  EXPECT_EQ(code.vt(), VT_ARRAY | VT_I4);
  EXPECT_EQ(VUtil::GetSingleRetcode(*code), KIV_RC_NOT_FOUND);
}

TEST_F(Registration, RemovalTellsTheDirectoryOnlyAboutRegisteredSatellitesAndIsFinal) {
  EXPECT_EQ(satellite_.Remove(), 0);
  TestEngine satellite;
  ASSERT_KIV_OK(satellite.Register(u"Epsilon", {u"Echo"}));
  const std::int32_t id = satellite.get()->satelliteId.load();
  EXPECT_EQ(satellite.Remove(), 0);
  ASSERT_EQ(directory_.RequestsNamed(u"RemoveSatellite").size(), 1u);
  EXPECT_EQ(Fields(u"RemoveSatellite", 4, 6), std::to_string(id) + ",0");
  EXPECT_FALSE(directory_.FindSatellite(u"Epsilon"));
  EXPECT_EQ(satellite.get()->registered.load(), 0);
  EXPECT_EQ(satellite.Register(u"Epsilon"), KIV_RC_LISTEN_FAILED);
  EXPECT_EQ(directory_.RequestsNamed(u"Register").size(), 2u);  // the directory's own and one
  // The directory never removes itself: its own closed port would refuse it.
  KIV* directory = directory_.engine();
  EXPECT_EQ(directory->listenPort, KIV_DIRECTORY_PORT);
  EXPECT_EQ(KivRemoveSatellite(directory), 0);
  EXPECT_EQ(directory->registered.load(), 1);
  EXPECT_EQ(directory->listening, 0);
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
  EXPECT_EQ(directory.get()->listening, 1) << "a failed registration leaves listening in place";
  TestEngine satellite;
  EXPECT_EQ(satellite.Register(u"Zeta", {}, "127.0.0.1", 1), KIV_E_CONNECT_FAILED);
  EXPECT_NE(satellite.get()->listenPort, KIV_DIRECTORY_PORT);
}

}  // namespace
}  // namespace kiv::testing
