// The content of KIVLib. Member tables are in slot order; the DISPIDs are
// fixed because compiled clients bind to them.
#include "com/type_library.h"

#include <array>
#include <cstdio>

namespace kiv::com {
namespace {

constexpr ParamInfo kCreateServices[] = {{"pVarServs", "VARIANT*"}, {"NbServices", "long"}};
constexpr ParamInfo kSetService[] = {
    {"pVarServs", "VARIANT*"}, {"Index", "long"}, {"Name", "BSTR"}, {"Description", "BSTR"}};
constexpr ParamInfo kVarArrayCreate[] = {{"pArray", "VARIANT*"}, {"Size", "long"}};
constexpr ParamInfo kVarArrayGetElement[] = {
    {"pArray", "VARIANT*"}, {"Index", "long"}, {"Element", "VARIANT*"}};
constexpr ParamInfo kVarArraySetElement[] = {
    {"pArray", "VARIANT*"}, {"Index", "long"}, {"Element", "VARIANT"}};
constexpr ParamInfo kUnRegister[] = {{"Service", "VARIANT*"}, {"RetCode", "VARIANT*"}};
constexpr ParamInfo kRequest[] = {{"Destination", "BSTR"}, {"ServiceName", "BSTR"},
                                  {"InParams", "VARIANT"}, {"OutParams", "VARIANT*"},
                                  {"Flags", "KIVFLAGS"},   {"RetCode", "VARIANT*"}};
constexpr ParamInfo kRegister[] = {
    {"Directory", "BSTR"}, {"SatName", "BSTR"}, {"Service", "VARIANT*"}, {"RetCode", "VARIANT*"}};
constexpr ParamInfo kGetSatelliteId[] = {{"SatId", "long*"}};
constexpr ParamInfo kPingSatellite[] = {
    {"SatName", "BSTR"}, {"SatId", "long"}, {"Status", "KIVSTATUS*"}};
constexpr ParamInfo kDirectoryPingSatellite[] = {{"SatName", "BSTR"},
                                                 {"HostName", "BSTR"},
                                                 {"PortNumber", "long"},
                                                 {"SatId", "long"},
                                                 {"Status", "KIVSTATUS*"}};
constexpr ParamInfo kDirectoryRegister[] = {{"Directory", "BSTR"},
                                            {"Port", "long"},
                                            {"SatName", "BSTR"},
                                            {"Service", "VARIANT*"},
                                            {"RetCode", "VARIANT*"}};
constexpr ParamInfo kSetLog[] = {{"log", "unsigned char*"}};
constexpr ParamInfo kUser[] = {{"user", "BSTR"}};

constexpr MemberInfo kIKivInMembers[] = {
    {3, "CreateServices", "method CreateServices", kCreateServices},
    {4, "SetService", "method SetService", kSetService},
    {5, "VarArrayCreate", "method VarArrayCreate", kVarArrayCreate},
    {6, "VarArrayGetElement", "method VarArrayGetElement", kVarArrayGetElement},
    {7, "VarArraySetElement", "method VarArraySetElement", kVarArraySetElement},
    {8, "UnRegister", "method UnRegister", kUnRegister},
    {9, "Request", "method Request", kRequest},
    {10, "Register", "method Register", kRegister},
    {11, "GetSatelliteId", "method GetSatelliteId", kGetSatelliteId},
    {13, "PingSatellite", "method PingSatellite", kPingSatellite},
    {14, "TerminateSatellite", "method TerminateSatellite", {}},
    {15, "DirectoryPingSatellite", "method DirectoryPingSatellite", kDirectoryPingSatellite},
    {16, "DirectoryRegister", "method DirectoryRegister", kDirectoryRegister},
    {17, "SetLog", "method SetLog", kSetLog},
    {18, "AddUser", "method AddUser", kUser},
    {19, "RemoveUser", "method RemoveUser", kUser},
};

constexpr ParamInfo kServiceRequested[] = {{"Source", "BSTR"},
                                           {"ServiceName", "BSTR"},
                                           {"InParams", "VARIANT"},
                                           {"OutParams", "VARIANT*"},
                                           {"RetCode", "long*"}};
constexpr ParamInfo kStatusRequested[] = {{"SatId", "long"}, {"Status", "KIVSTATUS*"}};
constexpr ParamInfo kServiceRequested2[] = {
    {"sd", "int"},           {"Source", "BSTR"},        {"ServiceName", "BSTR"},
    {"InParams", "VARIANT"}, {"OutParams", "VARIANT*"}, {"RetCode", "long*"}};

constexpr MemberInfo kEventMembers[] = {
    {1, "ServiceRequested", "method ServiceRequested", kServiceRequested},
    {2, "StatusRequested", "method StatusRequested", kStatusRequested},
    {3, "ServiceRequested2", "method ServiceRequested2", kServiceRequested2},
    // Fired with SatId and Status although declared without parameters;
    // clients written against this declaration rely on both.
    {4, "OnlineStatusUpdate", "method OnlineStatus", {}},
};

constexpr EnumValueInfo kStatusValues[] = {
    {"KIV_UNKNOWN", 0},  {"KIV_ALIVE", 1},   {"KIV_DEAD", 2},
    {"KIV_SHUTDOWN", 3}, {"KIV_ADDUSER", 4}, {"KIV_DELUSER", 5},
};
constexpr EnumValueInfo kFlagValues[] = {{"KIV_NOFLAGS", 0}, {"KIV_ASYNCHRONOUS", 1}};

constexpr ImplementedInfo kKivInImplemented[] = {
    {"IKivIn", IMPLTYPEFLAG_FDEFAULT},
    {"_IKivInEvents", IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE},
};
constexpr ImplementedInfo kKivSinkImplemented[] = {{"IKivSink", IMPLTYPEFLAG_FDEFAULT}};

constexpr EntryInfo kEntries[] = {
    {EntryKind::kDispInterface,
     "_IKivInEvents",
     "_IKivInEvents Interface",
     DIID__IKivInEvents,
     kEventMembers,
     {},
     {},
     -1,
     false},
    {EntryKind::kAlias, "KIVSTATUS", "status of the satellite", IID_NULL, {}, {}, {}, 2, false},
    {EntryKind::kEnum, "", "status of the satellite", IID_NULL, {}, kStatusValues, {}, -1, false},
    {EntryKind::kDualInterface,
     "IKivSink",
     "IKivSink Interface",
     IID_IKivSink,
     {},
     {},
     {},
     -1,
     false},
    {EntryKind::kCoClass, "KivIn", "KivIn Class", CLSID_KivIn, {}, {}, kKivInImplemented, -1, true},
    {EntryKind::kDualInterface,
     "IKivIn",
     "IKivIn Interface",
     IID_IKivIn,
     kIKivInMembers,
     {},
     {},
     -1,
     false},
    {EntryKind::kAlias, "KIVFLAGS", "Flags of the Request", IID_NULL, {}, {}, {}, 7, false},
    {EntryKind::kEnum, "", "Flags of the Request", IID_NULL, {}, kFlagValues, {}, -1, false},
    {EntryKind::kCoClass,
     "KivSink",
     "KivSink Class",
     CLSID_KivSink,
     {},
     {},
     kKivSinkImplemented,
     -1,
     false},
};

constexpr LibraryInfo kLibrary = {"KIVLib",     1,       0, "ZU! Kiv 1.0 Type Library",
                                  LIBID_KIVLib, kEntries};

}  // namespace

const LibraryInfo& KivTypeLibrary() {
  return kLibrary;
}

const EntryInfo* FindTypeEntry(REFGUID guid) {
  if (IsEqualGUID(guid, IID_NULL)) return nullptr;
  for (const EntryInfo& entry : kEntries) {
    if (IsEqualGUID(entry.guid, guid)) return &entry;
  }
  return nullptr;
}

const EntryInfo* FindTypeEntry(std::string_view name) {
  if (name.empty()) return nullptr;
  for (const EntryInfo& entry : kEntries) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

const MemberInfo* FindMember(const EntryInfo& entry, DISPID id) {
  for (const MemberInfo& member : entry.members) {
    if (member.id == id) return &member;
  }
  return nullptr;
}

std::string GuidToString(REFGUID guid, bool braces) {
  char text[40];
  // Formatted with the braces in place, then cut: no string concatenation.
  const int length = std::snprintf(
      text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
      static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
      guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return braces ? std::string(text, static_cast<std::size_t>(length))
                : std::string(text + 1, static_cast<std::size_t>(length) - 2);
}

}  // namespace kiv::com
