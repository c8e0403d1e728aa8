// The type library KIVLib 1.0, kept as constant data in the library: every
// entry with its name, help string, id and members. Automation objects
// answer GetIDsOfNames and GetTypeInfo from it; `kiv typelib` prints it as
// IDL. Everything here is immutable and may be read from any thread.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "kiv/com.h"

namespace kiv::com {

enum class EntryKind { kDispInterface, kAlias, kEnum, kDualInterface, kCoClass };

// `type` is the parameter's type as IDL spells it ("VARIANT*", "long").
struct ParamInfo {
  std::string_view name;
  std::string_view type;
};

struct MemberInfo {
  DISPID id;
  std::string_view name;
  std::string_view help;
  std::span<const ParamInfo> params;
};

struct EnumValueInfo {
  std::string_view name;
  LONG value;
};

// IMPLTYPEFLAGS of a coclass's interfaces.
constexpr INT IMPLTYPEFLAG_FDEFAULT = 0x1;
constexpr INT IMPLTYPEFLAG_FSOURCE = 0x2;

struct ImplementedInfo {
  std::string_view name;  // an interface entry of the library
  INT flags;
};

struct EntryInfo {
  EntryKind kind;
  std::string_view name;  // empty for the unnamed enumerations
  std::string_view help;
  GUID guid;  // IID_NULL for aliases and enumerations
  std::span<const MemberInfo> members;
  std::span<const EnumValueInfo> values;
  std::span<const ImplementedInfo> implemented;
  int aliasOf;  // index of the aliased entry, -1 when not an alias
  bool creatable;
};

struct LibraryInfo {
  std::string_view name;
  WORD majorVersion;
  WORD minorVersion;
  std::string_view help;
  GUID guid;
  std::span<const EntryInfo> entries;
};

const LibraryInfo& KivTypeLibrary();

// Nullptr when no entry has that guid (IID_NULL never matches) or name.
const EntryInfo* FindTypeEntry(REFGUID guid);
const EntryInfo* FindTypeEntry(std::string_view name);
const MemberInfo* FindMember(const EntryInfo& entry, DISPID id);

// IDispatch::GetIDsOfNames over an interface entry: names[0] is a member
// (case-insensitive, as automation names are), names[1..] its parameters,
// whose ids are their positions. Unknown names get DISPID_UNKNOWN and the
// result DISP_E_UNKNOWNNAME; an unknown interface gives DISP_E_UNKNOWNINTERFACE.
HRESULT TypeLibGetIDsOfNames(REFIID iface, LPOLESTR* names, UINT count, DISPID* ids);

// A new ITypeInfo (one reference for the caller) describing the entry with
// that guid; TYPE_E_ELEMENTNOTFOUND when there is none. The ITypeInfo
// answers names, ids, documentation and a coclass's interfaces; the
// description structures (TYPEATTR, FUNCDESC, ...) give E_NOTIMPL.
HRESULT TypeLibGetTypeInfo(REFGUID guid, ITypeInfo** ppTInfo);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case; without braces
// when `braces` is false.
std::string GuidToString(REFGUID guid, bool braces = true);

// The library as IDL text.
std::string TypeLibraryIdl();

}  // namespace kiv::com
