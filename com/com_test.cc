// The COM layer's own pieces; their binary layout and DllRegisterServer
// are exercised end to end by python_client_test.cc.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "com/class_factory.h"
#include "com/connection_point.h"
#include "com/server_registration.h"
#include "com/type_library.h"
#include "kiv/utf8.h"
#include "support/registry/registry_data.h"
#include "support/registry/registry_test_util.h"
#include "testing/event_recorder.h"

namespace kiv::com {
namespace {

using testing::EventRecorder;

TEST(ClassFactoryTest, EntryPointsAggregationAndModuleLocks) {
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(DllGetClassObject(CLSID_KivSink, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(DllGetClassObject(CLSID_KivIn, IID_IDispatch, &out), E_NOINTERFACE);
  ASSERT_EQ(DllGetClassObject(CLSID_KivIn, IID_IClassFactory, &out), S_OK);
  auto* factory = static_cast<IClassFactory*>(out);
  // Server locks and live objects (here one the factory aggregates) both
  // hold the module.
  ASSERT_EQ(DllCanUnloadNow(), S_OK);
  EXPECT_EQ(factory->LockServer(1), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  IUnknown* inner = nullptr;
  ASSERT_EQ(factory->CreateInstance(factory, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
  EXPECT_EQ(factory->LockServer(0), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  inner->Release();
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

// Counts the references the connection point takes; answers no interface.
struct Container final : IConnectionPointContainer {
  ULONG refs = 1;
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  HRESULT EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  HRESULT FindConnectionPoint(REFIID, IConnectionPoint**) override { return E_NOTIMPL; }
};

// The references others hold on `object`, besides the caller's one.
ULONG Refs(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

TEST(ConnectionPointTest, AdviseUnadviseOrderAndSnapshotEnumerators) {
  Container container;
  auto first = EventRecorder::Create(), second = EventRecorder::Create(),
       third = EventRecorder::Create();
  {
    ConnectionPoint point(&container, DIID__IKivInEvents);
    IID iid{};
    EXPECT_EQ(point.GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(IsEqualIID(iid, DIID__IKivInEvents));

    DWORD a = 0, b = 0, c = 0, refused = 7;
    EXPECT_EQ(point.Advise(&container, &refused), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(refused, 0u);
    EXPECT_EQ(container.refs, 1u);
    ASSERT_EQ(point.Advise(first.get(), &a), S_OK);
    ASSERT_EQ(point.Advise(second.get(), &b), S_OK);
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(Refs(first.get()), 2u);

    // An enumerator is a snapshot that holds its own references.
    IEnumConnections* connections = nullptr;
    ASSERT_EQ(point.EnumConnections(&connections), S_OK);
    EXPECT_EQ(point.Unadvise(a), S_OK);
    EXPECT_EQ(point.Unadvise(a), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(Refs(first.get()), 2u);
    CONNECTDATA data[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(connections->Next(3, data, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(data[0].pUnk, first.get());
    EXPECT_EQ(data[0].dwCookie, a);
    EXPECT_EQ(data[1].dwCookie, b);
    data[0].pUnk->Release();
    data[1].pUnk->Release();
    // Skipping exactly what is left succeeds; a clone keeps the position.
    IEnumConnections* clone = nullptr;
    EXPECT_EQ(connections->Reset(), S_OK);
    EXPECT_EQ(connections->Skip(2), S_OK);
    EXPECT_EQ(connections->Next(1, data, nullptr), S_FALSE);
    EXPECT_EQ(connections->Reset(), S_OK);
    EXPECT_EQ(connections->Skip(1), S_OK);
    ASSERT_EQ(connections->Clone(&clone), S_OK);
    EXPECT_EQ(clone->Next(1, data, nullptr), S_OK);
    EXPECT_EQ(data[0].pUnk, second.get());
    data[0].pUnk->Release();
    EXPECT_EQ(clone->Skip(1), S_FALSE);
    clone->Release();
    connections->Release();
    EXPECT_EQ(Refs(first.get()), 1u);
    EXPECT_EQ(Refs(second.get()), 2u);

    // A freed cookie is not handed out again.
    ASSERT_EQ(point.Advise(first.get(), &c), S_OK);
    EXPECT_NE(c, a);
    ASSERT_EQ(point.Advise(third.get(), &a), S_OK);
    // Connection order, and a sink may disconnect itself while being called.
    std::vector<IUnknown*> seen;
    point.ForEachSink([&](IUnknown* sink) {
      seen.push_back(sink);
      if (sink == second.get()) {
        EXPECT_EQ(point.Unadvise(b), S_OK);
      }
    });
    EXPECT_EQ(seen, (std::vector<IUnknown*>{second.get(), first.get(), third.get()}));
    EXPECT_EQ(point.SinkCount(), 2u);
    EXPECT_EQ(Refs(second.get()), 1u);

    // Handing out the connection point, or an enumerator of it, holds the
    // container.
    IConnectionPoint* handed = nullptr;
    ASSERT_EQ(point.QueryInterface(IID_IConnectionPoint, reinterpret_cast<void**>(&handed)), S_OK);
    EXPECT_EQ(container.refs, 2u);
    handed->Release();
    IEnumConnectionPoints* points = nullptr;
    ASSERT_EQ(CreateConnectionPointEnum({&point}, &points), S_OK);
    EXPECT_EQ(container.refs, 2u);
    EXPECT_EQ(points->Next(1, &handed, nullptr), S_OK);
    EXPECT_EQ(handed, &point);
    handed->Release();
    EXPECT_EQ(points->Next(1, &handed, nullptr), S_FALSE);
    points->Release();
    EXPECT_EQ(container.refs, 1u);
  }
  // Destruction lets every sink go.
  EXPECT_EQ(Refs(first.get()), 1u);
  EXPECT_EQ(Refs(third.get()), 1u);
}

std::string Narrow(BSTR text) {
  std::string out(text, text + SysStringLen(text));
  SysFreeString(text);
  return out;
}

TEST(TypeLibraryTest, NamesMapToDispidsIgnoringCaseAndOnlyWhole) {
  std::u16string request = u"rEQUEST", prefix = u"Registe";
  LPOLESTR names[] = {request.data()};
  DISPID id = 12345;
  EXPECT_EQ(TypeLibGetIDsOfNames(IID_IKivIn, names, 1, &id), S_OK);
  EXPECT_EQ(id, 9);
  names[0] = prefix.data();
  EXPECT_EQ(TypeLibGetIDsOfNames(IID_IKivIn, names, 1, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
}

TEST(TypeLibraryTest, TypeInfoDocumentsTheInterfaceAndItsMembers) {
  ComPtr<ITypeInfo> info;
  ASSERT_EQ(TypeLibGetTypeInfo(IID_IKivIn, info.Receive()), S_OK);
  // Outputs that have no value are cleared, not left as the caller had them.
  OLECHAR stale[] = u"stale";
  BSTR name = nullptr, doc = nullptr, helpFile = stale;
  DWORD helpContext = 7;
  ASSERT_EQ(info->GetDocumentation(DISPID_UNKNOWN, &name, &doc, &helpContext, &helpFile), S_OK);
  EXPECT_EQ(Narrow(name) + " / " + Narrow(doc), "IKivIn / IKivIn Interface");
  EXPECT_EQ(helpFile, nullptr);
  EXPECT_EQ(helpContext, 0u);
  ASSERT_EQ(info->GetDocumentation(17, nullptr, &doc, nullptr, nullptr), S_OK);
  EXPECT_EQ(Narrow(doc), "method SetLog");
}

using registry::Root;

std::u16string W(const std::string& text) {
  return FromUtf8(text);
}

std::vector<registry::Key> SortedKeys(const registry::Store& store) {
  auto hive = store.Read();
  EXPECT_TRUE(hive.has_value());
  if (!hive) return {};
  std::vector<registry::Key> keys = hive->keys();
  std::sort(keys.begin(), keys.end(),
            [](const registry::Key& a, const registry::Key& b) { return a.path < b.path; });
  return keys;
}

std::vector<std::u16string> ClassesRootKeys(const registry::Store& store) {
  std::vector<std::u16string> paths;
  for (const auto& key : SortedKeys(store)) {
    if (key.root == Root::kClassesRoot) paths.push_back(key.path);
  }
  return paths;
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
      {clsidKey + u"\\TypeLib", libid},
      {u"TypeLib\\" + libid + u"\\1.0", u"ZU! Kiv 1.0 Type Library"},
  };
  for (const auto& [key, value] : values) EXPECT_EQ(Text(store, key), value);
  EXPECT_EQ(Text(store, clsidKey + u"\\InprocServer32", u"ThreadingModel"), u"Free");

  ASSERT_EQ(UnregisterServer(store), S_OK);
  EXPECT_EQ(ClassesRootKeys(store), std::vector<std::u16string>{u"CLSID\\{OTHER}"});
}

}  // namespace
}  // namespace kiv::com
