// Registration into a temporary store: the exact keys written, what
// unregistration removes, and what it must leave. DllRegisterServer with
// this module's path is exercised by the Python client (python_client_test).
#include "com/server_registration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "com/type_library.h"
#include "kiv/utf8.h"
#include "support/registry/registry_data.h"
#include "support/registry/registry_test_util.h"

namespace kiv::com {
namespace {

using registry::Root;

std::u16string W(const std::string& text) {
  return FromUtf8(text);
}

std::vector<std::u16string> ClassesRootKeys(const registry::Store& store) {
  std::vector<std::u16string> keys;
  auto hive = store.Read();
  EXPECT_TRUE(hive.has_value());
  if (!hive) return keys;
  for (const auto& key : hive->keys()) {
    if (key.root == Root::kClassesRoot) keys.push_back(key.path);
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

std::vector<registry::Key> SortedKeys(const registry::Store& store) {
  auto hive = store.Read();
  if (!hive) return {};
  std::vector<registry::Key> keys = hive->keys();
  std::sort(keys.begin(), keys.end(),
            [](const registry::Key& a, const registry::Key& b) { return a.path < b.path; });
  return keys;
}

std::u16string Text(const registry::Store& store, const std::u16string& key,
                    std::u16string_view name = u"") {
  auto value = store.GetValue(Root::kClassesRoot, key, name);
  if (!value) return u"<missing>";
  EXPECT_EQ(value->type, registry::kRegSz);
  return registry::DataAsText(value->data, value->data.size());
}

TEST(RegistrationTest, WritesTheScriptAndRemovesItAgain) {
  TempRegistry temp;
  registry::Store store;
  const std::u16string clsidKey = u"CLSID\\" + W(GuidToString(CLSID_KivIn));
  const std::u16string libid = W(GuidToString(LIBID_KIVLib));
  // Keys of others under the shared roots must survive both directions.
  ASSERT_TRUE(store.SetValue(Root::kClassesRoot, u"CLSID\\{OTHER}",
                             {u"", registry::kRegSz, registry::StringData(u"Other")}));
  // A stale sub-key from an older registration is swept by the forced key.
  ASSERT_TRUE(store.CreateKey(Root::kClassesRoot, clsidKey + u"\\Stale"));

  ASSERT_EQ(RegisterServer(store, u"/opt/kiv/lib/libkiv.so.0"), S_OK);

  std::vector<std::u16string> expected = {u"CLSID\\{OTHER}",   u"Kiv.KivIn",
                                          u"Kiv.KivIn.1",      u"Kiv.KivIn.1\\CLSID",
                                          u"Kiv.KivIn\\CLSID", u"Kiv.KivIn\\CurVer"};
  for (const char16_t* sub : {u"", u"\\InprocServer32", u"\\ProgID", u"\\Programmable",
                              u"\\TypeLib", u"\\VersionIndependentProgID"}) {
    expected.push_back(clsidKey + sub);
  }
  for (const GUID* iface : {&DIID__IKivInEvents, &IID_IKivIn, &IID_IKivSink}) {
    expected.push_back(u"Interface\\" + W(GuidToString(*iface)));
    expected.push_back(expected.back() + u"\\TypeLib");
  }
  for (const char16_t* sub : {u"", u"\\0\\linux64", u"\\FLAGS"}) {
    expected.push_back(u"TypeLib\\" + libid + u"\\1.0" + sub);
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ClassesRootKeys(store), expected);

  const std::u16string clsid = W(GuidToString(CLSID_KivIn));
  const std::pair<std::u16string, std::u16string> values[] = {
      {u"Kiv.KivIn.1\\CLSID", clsid},
      {u"Kiv.KivIn\\CurVer", u"Kiv.KivIn.1"},
      {clsidKey, u"KivIn Class"},
      {clsidKey + u"\\ProgID", u"Kiv.KivIn.1"},
      {clsidKey + u"\\Programmable", u"<missing>"},
      {clsidKey + u"\\InprocServer32", u"/opt/kiv/lib/libkiv.so.0"},
      {clsidKey + u"\\TypeLib", libid},
      {u"TypeLib\\" + libid + u"\\1.0", u"ZU! Kiv 1.0 Type Library"},
  };
  for (const auto& [key, value] : values) EXPECT_EQ(Text(store, key), value);
  EXPECT_EQ(Text(store, clsidKey + u"\\InprocServer32", u"ThreadingModel"), u"Free");

  // Registering twice changes nothing but the order of the keys.
  const auto once = SortedKeys(store);
  ASSERT_EQ(RegisterServer(store, u"/opt/kiv/lib/libkiv.so.0"), S_OK);
  EXPECT_EQ(SortedKeys(store), once);

  // An unrelated value under a ProgID key keeps that key through removal.
  ASSERT_TRUE(store.SetValue(Root::kClassesRoot, u"Kiv.KivIn\\Extra",
                             {u"", registry::kRegSz, registry::StringData(u"x")}));
  ASSERT_EQ(UnregisterServer(store), S_OK);
  EXPECT_EQ(ClassesRootKeys(store),
            (std::vector<std::u16string>{u"CLSID\\{OTHER}", u"Kiv.KivIn", u"Kiv.KivIn\\Extra"}));
  EXPECT_TRUE(store.KeyExists(Root::kClassesRoot, u"CLSID"));
  // Unregistering again finds nothing to do and still succeeds.
  EXPECT_EQ(UnregisterServer(store), S_OK);
}

TEST(RegistrationTest, NothingToRemoveWritesNothingAndAnUnwritableStoreFails) {
  TempRegistry temp;
  registry::Store store;
  EXPECT_EQ(UnregisterServer(store), S_OK);
  EXPECT_EQ(temp.Read(), "");  // not even an empty store
  temp.Write("this is not a registry file\n");
  EXPECT_EQ(RegisterServer(store, u"/x"), SELFREG_E_CLASS);
  EXPECT_EQ(temp.Read(), "this is not a registry file\n");
}

}  // namespace
}  // namespace kiv::com
