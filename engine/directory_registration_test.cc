// Engines in the process-wide list, and registration with a directory in
// the test process: the record, ports and addresses, answers, removal.
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

TEST_F(Registration, UnRegisterHandsBackTheCodeAndKeepsTheRegisteredServices) {
  ASSERT_KIV_OK(satellite_.Register(u"Delta", {u"Echo", u"Fail"}));
  Variant withdrawn = MakeServices({{u"fail", u""}}), code;
  EXPECT_EQ(KivUnRegister(satellite_.get(), withdrawn.get(), code.get()), 0);
  EXPECT_EQ(code.vt(), VT_I4);
  EXPECT_EQ(code->lVal, 0);
  EXPECT_EQ(Fields(u"UnRegister", 5, 6), "1");
  EXPECT_EQ(VUtil::GetArrayLength(*engine::ServicesOf(satellite_.get())), 2) << "as registered";
  // Without an engine, the code is a one-element array.
  EXPECT_EQ(KivUnRegister(nullptr, nullptr, code.get()), 0);
  EXPECT_EQ(code.vt(), VT_ARRAY | VT_I4);
  EXPECT_EQ(VUtil::GetSingleRetcode(*code), KIV_RC_NOT_FOUND);
}

}  // namespace
}  // namespace kiv::testing
