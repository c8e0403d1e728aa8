// The lookups automation clients make in the type library: names to DISPIDs
// and parameter positions, ITypeInfo's names, documentation and coclass
// interfaces, and the IDL text that `kiv typelib` prints.
#include "com/type_library.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "com/ref_counted.h"

namespace kiv::com {
namespace {

std::string Narrow(BSTR text) {
  std::string out(text, text + SysStringLen(text));
  SysFreeString(text);
  return out;
}

std::string Joined(BSTR* names, UINT count) {
  std::string text;
  for (UINT i = 0; i < count; ++i) text += (i > 0 ? " " : "") + Narrow(names[i]);
  return text;
}

TEST(TypeLibraryTest, NamesMapToDispidsIgnoringCaseAndOnlyWhole) {
  const struct {
    const IID* iface;
    std::u16string name;
    HRESULT result;
    DISPID id;
  } cases[] = {
      {&IID_IKivIn, u"Register", S_OK, 10},
      {&IID_IKivIn, u"rEQUEST", S_OK, 9},
      {&IID_IKivIn, u"RemoveUser", S_OK, 19},
      {&DIID__IKivInEvents, u"OnlineStatusUpdate", S_OK, 4},
      {&IID_IKivIn, u"Registe", DISP_E_UNKNOWNNAME, DISPID_UNKNOWN},
      {&IID_IKivIn, u"Registerx", DISP_E_UNKNOWNNAME, DISPID_UNKNOWN},
      {&IID_IKivIn, u"ServiceRequested", DISP_E_UNKNOWNNAME, DISPID_UNKNOWN},
      {&IID_IKivSink, u"Register", DISP_E_UNKNOWNNAME, DISPID_UNKNOWN},
      {&CLSID_KivIn, u"Register", DISP_E_UNKNOWNINTERFACE, 12345},
  };
  for (auto c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.name));
    LPOLESTR names[] = {c.name.data()};
    DISPID id = 12345;
    EXPECT_EQ(TypeLibGetIDsOfNames(*c.iface, names, 1, &id), c.result);
    EXPECT_EQ(id, c.id);
  }
  // Parameters get their positions; an unknown one spoils the answer only.
  std::u16string method = u"DirectoryRegister", retCode = u"RetCode", port = u"port",
                 bogus = u"Bogus";
  LPOLESTR names[] = {method.data(), retCode.data(), port.data(), bogus.data()};
  DISPID ids[4] = {};
  EXPECT_EQ(TypeLibGetIDsOfNames(IID_IKivIn, names, 4, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(std::vector<DISPID>(ids, ids + 4), (std::vector<DISPID>{16, 4, 1, DISPID_UNKNOWN}));
}

TEST(TypeLibraryTest, TypeInfoAnswersNamesDocumentationAndCoclass) {
  ComPtr<ITypeInfo> info;
  EXPECT_EQ(TypeLibGetTypeInfo(IID_IDispatch, info.Receive()), TYPE_E_ELEMENTNOTFOUND);
  ASSERT_EQ(TypeLibGetTypeInfo(IID_IKivIn, info.Receive()), S_OK);
  BSTR names[8] = {};
  UINT count = 0;
  ASSERT_EQ(info->GetNames(9, names, 8, &count), S_OK);
  EXPECT_EQ(Joined(names, count),
            "Request Destination ServiceName InParams OutParams Flags RetCode");
  ASSERT_EQ(info->GetNames(9, names, 2, &count), S_OK);
  EXPECT_EQ(Joined(names, count), "Request Destination");
  EXPECT_EQ(info->GetNames(12, names, 8, &count), TYPE_E_ELEMENTNOTFOUND);

  OLECHAR stale[] = u"stale";
  BSTR name = nullptr, doc = nullptr, helpFile = stale;
  DWORD helpContext = 7;
  ASSERT_EQ(info->GetDocumentation(DISPID_UNKNOWN, &name, &doc, &helpContext, &helpFile), S_OK);
  EXPECT_EQ(Narrow(name) + " / " + Narrow(doc), "IKivIn / IKivIn Interface");
  EXPECT_EQ(helpFile, nullptr);
  EXPECT_EQ(helpContext, 0u);
  ASSERT_EQ(info->GetDocumentation(17, nullptr, &doc, nullptr, nullptr), S_OK);
  EXPECT_EQ(Narrow(doc), "method SetLog");
  EXPECT_EQ(info->GetDocumentation(12, &name, &doc, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);
  std::u16string method = u"getSatelliteId";
  LPOLESTR lookup[] = {method.data()};
  MEMBERID id = 0;
  EXPECT_EQ(info->GetIDsOfNames(lookup, 1, &id), S_OK);
  EXPECT_EQ(id, 11);
  EXPECT_EQ(info->GetTypeAttr(nullptr), E_NOTIMPL);

  // The coclass leads to its default interface and its default source.
  ASSERT_EQ(TypeLibGetTypeInfo(CLSID_KivIn, info.Receive()), S_OK);
  INT flags = 0;
  HREFTYPE ref = 0;
  ASSERT_EQ(info->GetImplTypeFlags(1, &flags), S_OK);
  EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
  EXPECT_EQ(info->GetImplTypeFlags(2, &flags), TYPE_E_ELEMENTNOTFOUND);
  EXPECT_EQ(info->GetRefTypeOfImplType(2, &ref), TYPE_E_ELEMENTNOTFOUND);
  ASSERT_EQ(info->GetRefTypeOfImplType(1, &ref), S_OK);
  ComPtr<ITypeInfo> source;
  EXPECT_EQ(info->GetRefTypeInfo(KivTypeLibrary().entries.size(), source.Receive()),
            TYPE_E_ELEMENTNOTFOUND);
  ASSERT_EQ(info->GetRefTypeInfo(ref, source.Receive()), S_OK);
  ASSERT_EQ(source->GetDocumentation(4, &name, &doc, nullptr, nullptr), S_OK);
  EXPECT_EQ(Narrow(name) + " / " + Narrow(doc), "OnlineStatusUpdate / method OnlineStatus");
}

TEST(TypeLibraryTest, IdlListsEveryEntryWithItsMembers) {
  const std::string idl = TypeLibraryIdl();
  EXPECT_EQ(idl.rfind("[\n  uuid(DBB51DCD-B578-4C44-A7FA-F46C6CD91383),\n  version(1.0),", 0), 0u);
  EXPECT_EQ(idl.substr(idl.size() - 3), "};\n");
  for (const char* part : {
           "dispinterface _IKivInEvents {",
           "        KIV_SHUTDOWN = 3,\n",
           "        KIV_ASYNCHRONOUS = 1\n    } KIVFLAGS;",
           "coclass KivIn {\n        [default] interface IKivIn;\n"
           "        [default, source] dispinterface _IKivInEvents;\n    };",
           "helpstring(\"KivSink Class\"),\n      noncreatable",
           "    [id(0x00000010), helpstring(\"method DirectoryRegister\")]\n",
           "HRESULT Request(BSTR Destination, BSTR ServiceName, VARIANT InParams, VARIANT* "
           "OutParams, KIVFLAGS Flags, VARIANT* RetCode);",
           "HRESULT TerminateSatellite();",
       }) {
    EXPECT_NE(idl.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(idl.find("0000000c"), std::string::npos);  // DISPID 12 does not exist
}

}  // namespace
}  // namespace kiv::com
