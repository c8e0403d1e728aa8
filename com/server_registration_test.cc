// Registration into a temporary store: the exact keys written, what
// unregistration removes, and what it must leave.
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

  std::vector<std::u16string> expected = {
      u"CLSID\\{OTHER}",
      clsidKey,
      clsidKey + u"\\InprocServer32",
      clsidKey + u"\\ProgID",
      clsidKey + u"\\Programmable",
      clsidKey + u"\\TypeLib",
      clsidKey + u"\\VersionIndependentProgID",
      u"Interface\\" + W(GuidToString(DIID__IKivInEvents)),
      u"Interface\\" + W(GuidToString(DIID__IKivInEvents)) + u"\\TypeLib",
      u"Interface\\" + W(GuidToString(IID_IKivIn)),
      u"Interface\\" + W(GuidToString(IID_IKivIn)) + u"\\TypeLib",
      u"Interface\\" + W(GuidToString(IID_IKivSink)),
      u"Interface\\" + W(GuidToString(IID_IKivSink)) + u"\\TypeLib",
      u"Kiv.KivIn",
      u"Kiv.KivIn.1",
      u"Kiv.KivIn.1\\CLSID",
      u"Kiv.KivIn\\CLSID",
      u"Kiv.KivIn\\CurVer",
      u"TypeLib\\" + libid + u"\\1.0",
      u"TypeLib\\" + libid + u"\\1.0\\0\\linux64",
      u"TypeLib\\" + libid + u"\\1.0\\FLAGS",
  };
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ClassesRootKeys(store), expected);

  const std::u16string clsid = W(GuidToString(CLSID_KivIn));
  EXPECT_EQ(Text(store, u"Kiv.KivIn.1"), u"KivIn Class");
  EXPECT_EQ(Text(store, u"Kiv.KivIn.1\\CLSID"), clsid);
  EXPECT_EQ(Text(store, u"Kiv.KivIn"), u"KivIn Class");
  EXPECT_EQ(Text(store, u"Kiv.KivIn\\CLSID"), clsid);
  EXPECT_EQ(Text(store, u"Kiv.KivIn\\CurVer"), u"Kiv.KivIn.1");
  EXPECT_EQ(Text(store, clsidKey), u"KivIn Class");
  EXPECT_EQ(Text(store, clsidKey + u"\\ProgID"), u"Kiv.KivIn.1");
  EXPECT_EQ(Text(store, clsidKey + u"\\VersionIndependentProgID"), u"Kiv.KivIn");
  EXPECT_EQ(Text(store, clsidKey + u"\\Programmable"), u"<missing>");
  EXPECT_EQ(Text(store, clsidKey + u"\\InprocServer32"), u"/opt/kiv/lib/libkiv.so.0");
  EXPECT_EQ(Text(store, clsidKey + u"\\InprocServer32", u"ThreadingModel"), u"Free");
  EXPECT_EQ(Text(store, clsidKey + u"\\TypeLib"), libid);
  EXPECT_EQ(Text(store, u"TypeLib\\" + libid + u"\\1.0"), u"ZU! Kiv 1.0 Type Library");

  // Registering twice changes nothing but the order of the keys.
  const auto once = SortedKeys(store);
  ASSERT_EQ(RegisterServer(store, u"/opt/kiv/lib/libkiv.so.0"), S_OK);
  EXPECT_EQ(SortedKeys(store), once);

  ASSERT_EQ(UnregisterServer(store), S_OK);
  EXPECT_EQ(ClassesRootKeys(store), std::vector<std::u16string>{u"CLSID\\{OTHER}"});
  EXPECT_TRUE(store.KeyExists(Root::kClassesRoot, u"CLSID"));
  // Unregistering again finds nothing to do and still succeeds.
  EXPECT_EQ(UnregisterServer(store), S_OK);
}

TEST(RegistrationTest, EntryPointsUseTheConfiguredStoreAndThisModule) {
  TempRegistry temp;
  // An unrelated value under a ProgID key keeps the key through removal.
  registry::Store store;
  ASSERT_TRUE(store.SetValue(Root::kClassesRoot, u"Kiv.KivIn\\Extra",
                             {u"", registry::kRegSz, registry::StringData(u"x")}));
  ASSERT_EQ(DllRegisterServer(), S_OK);
  const std::u16string server = u"CLSID\\" + W(GuidToString(CLSID_KivIn)) + u"\\InprocServer32";
  const std::u16string path = Text(store, server);
  EXPECT_EQ(path, W(ModulePath()));
  EXPECT_EQ(path.front(), u'/');

  ASSERT_EQ(DllUnregisterServer(), S_OK);
  EXPECT_FALSE(store.KeyExists(Root::kClassesRoot, server));
  EXPECT_FALSE(store.KeyExists(Root::kClassesRoot, u"Kiv.KivIn.1"));
  EXPECT_FALSE(store.KeyExists(Root::kClassesRoot, u"Kiv.KivIn\\CLSID"));
  EXPECT_TRUE(store.KeyExists(Root::kClassesRoot, u"Kiv.KivIn\\Extra"));
}

TEST(RegistrationTest, UnwritableStoreReportsAFailure) {
  TempRegistry temp;
  temp.Write("this is not a registry file\n");
  registry::Store store;
  EXPECT_EQ(RegisterServer(store, u"/x"), SELFREG_E_CLASS);
  EXPECT_EQ(temp.Read(), "this is not a registry file\n");
}

}  // namespace
}  // namespace kiv::com
