// KIVLib as IDL text, entries in library order. Aliases print as the
// typedef of the enumeration they name; the unnamed enumeration itself
// prints nothing of its own.
#include <sstream>

#include "com/type_library.h"

namespace kiv::com {
namespace {

void PrintMembers(std::ostringstream& out, const EntryInfo& entry) {
  for (const MemberInfo& member : entry.members) {
    out << "        [id(0x" << std::hex;
    out.width(8);
    out.fill('0');
    out << member.id << std::dec << "), helpstring(\"" << member.help << "\")]\n";
    out << "        HRESULT " << member.name << "(";
    for (size_t i = 0; i < member.params.size(); ++i) {
      if (i > 0) out << ", ";
      out << member.params[i].type << " " << member.params[i].name;
    }
    out << ");\n";
  }
}

void PrintEntry(std::ostringstream& out, const LibraryInfo& library, const EntryInfo& entry) {
  switch (entry.kind) {
    case EntryKind::kDispInterface:
      out << "    [\n      uuid(" << GuidToString(entry.guid, false) << "),\n      helpstring(\""
          << entry.help << "\")\n    ]\n    dispinterface " << entry.name
          << " {\n        properties:\n        methods:\n";
      PrintMembers(out, entry);
      out << "    };\n\n";
      break;
    case EntryKind::kAlias: {
      const EntryInfo& target = library.entries[entry.aliasOf];
      out << "    typedef [helpstring(\"" << entry.help << "\")]\n    enum {\n";
      for (size_t i = 0; i < target.values.size(); ++i) {
        out << "        " << target.values[i].name << " = " << target.values[i].value
            << (i + 1 < target.values.size() ? ",\n" : "\n");
      }
      out << "    } " << entry.name << ";\n\n";
      break;
    }
    case EntryKind::kEnum:
      break;
    case EntryKind::kDualInterface:
      out << "    [\n      odl,\n      uuid(" << GuidToString(entry.guid, false)
          << "),\n      helpstring(\"" << entry.help << "\"),\n      dual,\n      oleautomation\n"
          << "    ]\n    interface " << entry.name << " : IDispatch {\n";
      PrintMembers(out, entry);
      out << "    };\n\n";
      break;
    case EntryKind::kCoClass:
      out << "    [\n      uuid(" << GuidToString(entry.guid, false) << "),\n      helpstring(\""
          << entry.help << "\")" << (entry.creatable ? "" : ",\n      noncreatable")
          << "\n    ]\n    coclass " << entry.name << " {\n";
      for (const ImplementedInfo& implemented : entry.implemented) {
        const EntryInfo* target = FindTypeEntry(implemented.name);
        out << "        [";
        if (implemented.flags & IMPLTYPEFLAG_FDEFAULT) out << "default";
        if (implemented.flags & IMPLTYPEFLAG_FSOURCE) out << ", source";
        out << "] "
            << (target != nullptr && target->kind == EntryKind::kDispInterface ? "dispinterface"
                                                                               : "interface")
            << " " << implemented.name << ";\n";
      }
      out << "    };\n\n";
      break;
  }
}

}  // namespace

std::string TypeLibraryIdl() {
  const LibraryInfo& library = KivTypeLibrary();
  std::ostringstream out;
  out << "[\n  uuid(" << GuidToString(library.guid, false) << "),\n  version("
      << library.majorVersion << "." << library.minorVersion << "),\n  helpstring(\""
      << library.help << "\")\n]\nlibrary " << library.name << "\n{\n"
      << "    importlib(\"stdole2.tlb\");\n\n";
  // Forward declarations, since a coclass may name an interface listed after it.
  for (const EntryInfo& entry : library.entries) {
    if (entry.kind == EntryKind::kDualInterface) out << "    interface " << entry.name << ";\n";
    if (entry.kind == EntryKind::kDispInterface) out << "    dispinterface " << entry.name << ";\n";
  }
  out << "\n";
  for (const EntryInfo& entry : library.entries) PrintEntry(out, library, entry);
  out << "};\n";
  return out.str();
}

}  // namespace kiv::com
