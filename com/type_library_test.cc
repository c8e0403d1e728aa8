// The type library's content through the lookups automation clients use:
// every name to its DISPID, parameter ids, help strings, the coclass's
// interfaces, and the IDL text.
#include "com/type_library.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "com/ref_counted.h"

namespace kiv::com {
namespace {

std::u16string W(std::string_view text) {
  return std::u16string(text.begin(), text.end());
}

std::string Narrow(BSTR text) {
  std::string out;
  for (UINT i = 0; i < SysStringLen(text); ++i) out.push_back(static_cast<char>(text[i]));
  return out;
}

DISPID IdOf(REFIID iface, const std::string& name, HRESULT expect = S_OK) {
  std::u16string wide = W(name);
  LPOLESTR names[] = {wide.data()};
  DISPID id = 12345;
  EXPECT_EQ(TypeLibGetIDsOfNames(iface, names, 1, &id), expect) << name;
  return id;
}

TEST(TypeLibraryTest, EveryNameMapsToItsDispid) {
  const std::map<std::string, DISPID> methods = {{"CreateServices", 3},
                                                 {"SetService", 4},
                                                 {"VarArrayCreate", 5},
                                                 {"VarArrayGetElement", 6},
                                                 {"VarArraySetElement", 7},
                                                 {"UnRegister", 8},
                                                 {"Request", 9},
                                                 {"Register", 10},
                                                 {"GetSatelliteId", 11},
                                                 {"PingSatellite", 13},
                                                 {"TerminateSatellite", 14},
                                                 {"DirectoryPingSatellite", 15},
                                                 {"DirectoryRegister", 16},
                                                 {"SetLog", 17},
                                                 {"AddUser", 18},
                                                 {"RemoveUser", 19}};
  for (const auto& [name, id] : methods) EXPECT_EQ(IdOf(IID_IKivIn, name), id) << name;
  EXPECT_EQ(FindTypeEntry(IID_IKivIn)->members.size(), methods.size());

  const std::map<std::string, DISPID> events = {{"ServiceRequested", 1},
                                                {"StatusRequested", 2},
                                                {"ServiceRequested2", 3},
                                                {"OnlineStatusUpdate", 4}};
  for (const auto& [name, id] : events) EXPECT_EQ(IdOf(DIID__IKivInEvents, name), id) << name;

  // Automation names ignore case; unknown names and interfaces are refused.
  EXPECT_EQ(IdOf(IID_IKivIn, "register"), 10);
  EXPECT_EQ(IdOf(IID_IKivIn, "REQUEST"), 9);
  EXPECT_EQ(IdOf(IID_IKivIn, "Registe", DISP_E_UNKNOWNNAME), DISPID_UNKNOWN);
  EXPECT_EQ(IdOf(IID_IKivIn, "Registerx", DISP_E_UNKNOWNNAME), DISPID_UNKNOWN);
  EXPECT_EQ(IdOf(IID_IKivIn, "ServiceRequested", DISP_E_UNKNOWNNAME), DISPID_UNKNOWN);
  EXPECT_EQ(IdOf(IID_IKivSink, "Register", DISP_E_UNKNOWNNAME), DISPID_UNKNOWN);
  IdOf(CLSID_KivIn, "Register", DISP_E_UNKNOWNINTERFACE);
  IdOf(IID_IDispatch, "Register", DISP_E_UNKNOWNINTERFACE);
}

TEST(TypeLibraryTest, ParameterNamesGetTheirPositions) {
  std::u16string method = u"DirectoryRegister", port = u"port", retCode = u"RetCode",
                 bogus = u"Bogus";
  LPOLESTR names[] = {method.data(), retCode.data(), port.data(), bogus.data()};
  DISPID ids[4] = {};
  EXPECT_EQ(TypeLibGetIDsOfNames(IID_IKivIn, names, 4, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], 16);
  EXPECT_EQ(ids[1], 4);
  EXPECT_EQ(ids[2], 1);
  EXPECT_EQ(ids[3], DISPID_UNKNOWN);
}

TEST(TypeLibraryTest, EntriesAndHelpStrings) {
  const LibraryInfo& library = KivTypeLibrary();
  EXPECT_EQ(library.name, "KIVLib");
  EXPECT_EQ(library.majorVersion, 1);
  EXPECT_EQ(library.minorVersion, 0);
  EXPECT_EQ(library.help, "ZU! Kiv 1.0 Type Library");
  const std::vector<std::pair<std::string_view, std::string_view>> entries = {
      {"_IKivInEvents", "_IKivInEvents Interface"},
      {"KIVSTATUS", "status of the satellite"},
      {"", "status of the satellite"},
      {"IKivSink", "IKivSink Interface"},
      {"KivIn", "KivIn Class"},
      {"IKivIn", "IKivIn Interface"},
      {"KIVFLAGS", "Flags of the Request"},
      {"", "Flags of the Request"},
      {"KivSink", "KivSink Class"}};
  ASSERT_EQ(library.entries.size(), entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(library.entries[i].name, entries[i].first) << i;
    EXPECT_EQ(library.entries[i].help, entries[i].second) << i;
  }
  EXPECT_EQ(library.entries[2].values.size(), 6u);
  EXPECT_EQ(library.entries[2].values[5].name, "KIV_DELUSER");
  EXPECT_EQ(library.entries[2].values[5].value, 5);
  EXPECT_EQ(library.entries[7].values[1].name, "KIV_ASYNCHRONOUS");
  EXPECT_TRUE(library.entries[4].creatable);
  EXPECT_FALSE(library.entries[8].creatable);

  for (const EntryInfo* entry : {FindTypeEntry(IID_IKivIn), FindTypeEntry(DIID__IKivInEvents)}) {
    for (const MemberInfo& member : entry->members) {
      const std::string expected = member.name == "OnlineStatusUpdate"
                                       ? "method OnlineStatus"
                                       : "method " + std::string(member.name);
      EXPECT_EQ(member.help, expected);
    }
  }
  EXPECT_TRUE(FindMember(*FindTypeEntry(IID_IKivIn), 12) == nullptr);
  EXPECT_EQ(FindTypeEntry(IID_NULL), nullptr);
}

TEST(TypeLibraryTest, TypeInfoAnswersNamesDocumentationAndCoclass) {
  ComPtr<ITypeInfo> info;
  EXPECT_EQ(TypeLibGetTypeInfo(IID_IDispatch, info.Receive()), TYPE_E_ELEMENTNOTFOUND);
  ASSERT_EQ(TypeLibGetTypeInfo(IID_IKivIn, info.Receive()), S_OK);

  BSTR names[8] = {};
  UINT count = 0;
  ASSERT_EQ(info->GetNames(9, names, 8, &count), S_OK);
  ASSERT_EQ(count, 7u);
  EXPECT_EQ(Narrow(names[0]), "Request");
  EXPECT_EQ(Narrow(names[5]), "Flags");
  for (UINT i = 0; i < count; ++i) SysFreeString(names[i]);
  ASSERT_EQ(info->GetNames(9, names, 2, &count), S_OK);
  EXPECT_EQ(count, 2u);
  for (UINT i = 0; i < count; ++i) SysFreeString(names[i]);
  EXPECT_EQ(info->GetNames(12, names, 8, &count), TYPE_E_ELEMENTNOTFOUND);

  BSTR name = nullptr, doc = nullptr;
  ASSERT_EQ(info->GetDocumentation(DISPID_UNKNOWN, &name, &doc, nullptr, nullptr), S_OK);
  EXPECT_EQ(Narrow(name), "IKivIn");
  EXPECT_EQ(Narrow(doc), "IKivIn Interface");
  SysFreeString(name);
  SysFreeString(doc);
  ASSERT_EQ(info->GetDocumentation(17, nullptr, &doc, nullptr, nullptr), S_OK);
  EXPECT_EQ(Narrow(doc), "method SetLog");
  SysFreeString(doc);

  std::u16string method = u"GetSatelliteId";
  LPOLESTR lookup[] = {method.data()};
  MEMBERID id = 0;
  EXPECT_EQ(info->GetIDsOfNames(lookup, 1, &id), S_OK);
  EXPECT_EQ(id, 11);

  // The coclass leads to its default interface and its default source.
  ASSERT_EQ(TypeLibGetTypeInfo(CLSID_KivIn, info.Receive()), S_OK);
  INT flags = 0;
  HREFTYPE ref = 0;
  ASSERT_EQ(info->GetImplTypeFlags(1, &flags), S_OK);
  EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
  EXPECT_EQ(info->GetImplTypeFlags(2, &flags), TYPE_E_ELEMENTNOTFOUND);
  ASSERT_EQ(info->GetRefTypeOfImplType(1, &ref), S_OK);
  ComPtr<ITypeInfo> source;
  ASSERT_EQ(info->GetRefTypeInfo(ref, source.Receive()), S_OK);
  ASSERT_EQ(source->GetDocumentation(4, &name, &doc, nullptr, nullptr), S_OK);
  EXPECT_EQ(Narrow(name), "OnlineStatusUpdate");
  EXPECT_EQ(Narrow(doc), "method OnlineStatus");
  SysFreeString(name);
  SysFreeString(doc);
  EXPECT_EQ(info->GetTypeAttr(nullptr), E_NOTIMPL);
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(TypeLibraryTest, IdlListsEveryEntry) {
  const std::string idl = TypeLibraryIdl();
  EXPECT_EQ(idl.rfind("[\n  uuid(DBB51DCD-B578-4C44-A7FA-F46C6CD91383),\n  version(1.0),", 0), 0u)
      << idl;
  EXPECT_EQ(idl.substr(idl.size() - 3), "};\n");
  // 16 methods of IKivIn and 4 events, each with its id and help string.
  EXPECT_EQ(Count(idl, "        HRESULT "), 20u);
  EXPECT_EQ(Count(idl, "helpstring(\"method "), 20u);
  for (const char* part : {
           "library KIVLib\n{",
           "helpstring(\"ZU! Kiv 1.0 Type Library\")",
           "dispinterface _IKivInEvents {",
           "KIV_SHUTDOWN = 3,",
           "} KIVSTATUS;",
           "interface IKivSink : IDispatch {",
           "coclass KivIn {\n        [default] interface IKivIn;\n"
           "        [default, source] dispinterface _IKivInEvents;\n    };",
           "noncreatable",
           "} KIVFLAGS;",
           "KIV_ASYNCHRONOUS = 1\n",
           "[id(0x00000010), helpstring(\"method DirectoryRegister\")]",
           "HRESULT Request(BSTR Destination, BSTR ServiceName, VARIANT InParams, VARIANT* "
           "OutParams, KIVFLAGS Flags, VARIANT* RetCode);",
           "helpstring(\"method OnlineStatus\")]\n        HRESULT OnlineStatusUpdate();",
           "[id(0x00000013), helpstring(\"method RemoveUser\")]\n"
           "        HRESULT RemoveUser(BSTR user);",
           "[id(0x00000003), helpstring(\"method ServiceRequested2\")]\n"
           "        HRESULT ServiceRequested2(int sd, BSTR Source, BSTR ServiceName, "
           "VARIANT InParams, VARIANT* OutParams, long* RetCode);",
       }) {
    EXPECT_NE(idl.find(part), std::string::npos) << part;
  }
  EXPECT_NE(idl.find(GuidToString(CLSID_KivIn, false)), std::string::npos);
  EXPECT_EQ(idl.find("0000000c"), std::string::npos);  // DISPID 12 does not exist
}

TEST(GuidTextTest, Formats) {
  EXPECT_EQ(GuidToString(IID_IProvideClassInfo2), "{A6BC3AC0-DBAA-11CE-9DE3-00AA004BB851}");
  EXPECT_EQ(GuidToString(IID_IDispatch, false), "00020400-0000-0000-C000-000000000046");
}

}  // namespace
}  // namespace kiv::com
