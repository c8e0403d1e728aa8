// Name lookup and the ITypeInfo over the entries of KIVLib. Names are ASCII,
// so comparison folds only ASCII letters.
#include <new>
#include <string>

#include "com/ref_counted.h"
#include "com/type_library.h"

namespace kiv::com {
namespace {

char16_t FoldAscii(char16_t c) {
  return (c >= u'a' && c <= u'z') ? c - u'a' + u'A' : c;
}

bool SameName(LPCOLESTR wide, std::string_view name) {
  if (wide == nullptr) return false;
  size_t i = 0;
  for (; wide[i] != 0; ++i) {
    if (i >= name.size() || FoldAscii(wide[i]) != FoldAscii(static_cast<char16_t>(name[i]))) {
      return false;
    }
  }
  return i == name.size();
}

BSTR MakeBstr(std::string_view text) {
  std::u16string wide(text.begin(), text.end());
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

const MemberInfo* FindMemberByName(const EntryInfo& entry, LPCOLESTR name) {
  for (const MemberInfo& member : entry.members) {
    if (SameName(name, member.name)) return &member;
  }
  return nullptr;
}

HRESULT LookUpNames(const EntryInfo& entry, LPOLESTR* names, UINT count, DISPID* ids) {
  if (count == 0) return S_OK;
  if (names == nullptr || ids == nullptr) return E_POINTER;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  const MemberInfo* member = FindMemberByName(entry, names[0]);
  if (member == nullptr) return DISP_E_UNKNOWNNAME;
  ids[0] = member->id;
  HRESULT result = S_OK;
  for (UINT i = 1; i < count; ++i) {
    for (size_t p = 0; p < member->params.size(); ++p) {
      if (SameName(names[i], member->params[p].name)) ids[i] = static_cast<DISPID>(p);
    }
    if (ids[i] == DISPID_UNKNOWN) result = DISP_E_UNKNOWNNAME;
  }
  return result;
}

// A coclass's interfaces are referred to by their index in the library.
HREFTYPE RefOf(const EntryInfo& entry) {
  return static_cast<HREFTYPE>(&entry - KivTypeLibrary().entries.data());
}

class EntryTypeInfo final : public SingleInterface<ITypeInfo> {
 public:
  explicit EntryTypeInfo(const EntryInfo& entry)
      : SingleInterface<ITypeInfo>(IID_ITypeInfo), entry_(entry) {}

  HRESULT GetTypeAttr(TYPEATTR**) override { return E_NOTIMPL; }
  HRESULT GetTypeComp(ITypeComp**) override { return E_NOTIMPL; }
  HRESULT GetFuncDesc(UINT, FUNCDESC**) override { return E_NOTIMPL; }
  HRESULT GetVarDesc(UINT, VARDESC**) override { return E_NOTIMPL; }

  // The member's name, then its parameters' names.
  HRESULT GetNames(MEMBERID memid, BSTR* names, UINT maxNames, UINT* count) override {
    if (names == nullptr || count == nullptr) return E_POINTER;
    *count = 0;
    const MemberInfo* member = FindMember(entry_, memid);
    if (member == nullptr) return TYPE_E_ELEMENTNOTFOUND;
    if (maxNames > 0) names[(*count)++] = MakeBstr(member->name);
    for (const ParamInfo& param : member->params) {
      if (*count >= maxNames) break;
      names[(*count)++] = MakeBstr(param.name);
    }
    return S_OK;
  }

  HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) override {
    if (pRefType == nullptr) return E_POINTER;
    const EntryInfo* implemented = Implemented(index);
    if (implemented == nullptr) return TYPE_E_ELEMENTNOTFOUND;
    *pRefType = RefOf(*implemented);
    return S_OK;
  }

  HRESULT GetImplTypeFlags(UINT index, INT* flags) override {
    if (flags == nullptr) return E_POINTER;
    if (Implemented(index) == nullptr) return TYPE_E_ELEMENTNOTFOUND;
    *flags = entry_.implemented[index].flags;
    return S_OK;
  }

  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override {
    return LookUpNames(entry_, names, count, ids);
  }

  // Late binding through the instance's own IDispatch, which every
  // interface described here derives from.
  HRESULT Invoke(void* instance, MEMBERID memid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excepInfo, UINT* argErr) override {
    if (instance == nullptr) return E_INVALIDARG;
    if (entry_.kind != EntryKind::kDualInterface && entry_.kind != EntryKind::kDispInterface) {
      return TYPE_E_ELEMENTNOTFOUND;
    }
    if (FindMember(entry_, memid) == nullptr) return DISP_E_MEMBERNOTFOUND;
    return static_cast<IDispatch*>(instance)->Invoke(memid, IID_NULL, 0, flags, params, result,
                                                     excepInfo, argErr);
  }

  // MEMBERID_NIL (-1) documents the type itself.
  HRESULT GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* helpContext,
                           BSTR* helpFile) override {
    std::string_view nameText = entry_.name;
    std::string_view docText = entry_.help;
    if (memid != DISPID_UNKNOWN) {
      const MemberInfo* member = FindMember(entry_, memid);
      if (member == nullptr) return TYPE_E_ELEMENTNOTFOUND;
      nameText = member->name;
      docText = member->help;
    }
    if (name != nullptr) *name = MakeBstr(nameText);
    if (doc != nullptr) *doc = MakeBstr(docText);
    if (helpContext != nullptr) *helpContext = 0;
    if (helpFile != nullptr) *helpFile = nullptr;
    return S_OK;
  }

  HRESULT GetDllEntry(MEMBERID, INT, BSTR*, BSTR*, WORD*) override { return E_NOTIMPL; }

  HRESULT GetRefTypeInfo(HREFTYPE ref, ITypeInfo** ppTInfo) override {
    if (ppTInfo == nullptr) return E_POINTER;
    *ppTInfo = nullptr;
    const auto& entries = KivTypeLibrary().entries;
    if (ref >= entries.size()) return TYPE_E_ELEMENTNOTFOUND;
    return NewTypeInfo(entries[ref], ppTInfo);
  }

  HRESULT AddressOfMember(MEMBERID, INT, void**) override { return E_NOTIMPL; }
  HRESULT CreateInstance(IUnknown*, REFIID, void**) override { return E_NOTIMPL; }
  HRESULT GetMops(MEMBERID, BSTR*) override { return E_NOTIMPL; }
  HRESULT GetContainingTypeLib(ITypeLib**, UINT*) override { return E_NOTIMPL; }
  void ReleaseTypeAttr(TYPEATTR*) override {}
  void ReleaseFuncDesc(FUNCDESC*) override {}
  void ReleaseVarDesc(VARDESC*) override {}

  static HRESULT NewTypeInfo(const EntryInfo& entry, ITypeInfo** ppTInfo) {
    auto* info = new (std::nothrow) EntryTypeInfo(entry);
    if (info == nullptr) return E_OUTOFMEMORY;
    info->AddRef();
    *ppTInfo = info;
    return S_OK;
  }

 private:
  ~EntryTypeInfo() = default;

  const EntryInfo* Implemented(UINT index) const {
    if (index >= entry_.implemented.size()) return nullptr;
    return FindTypeEntry(entry_.implemented[index].name);
  }

  const EntryInfo& entry_;
};

}  // namespace

HRESULT TypeLibGetIDsOfNames(REFIID iface, LPOLESTR* names, UINT count, DISPID* ids) {
  const EntryInfo* entry = FindTypeEntry(iface);
  if (entry == nullptr ||
      (entry->kind != EntryKind::kDualInterface && entry->kind != EntryKind::kDispInterface)) {
    return DISP_E_UNKNOWNINTERFACE;
  }
  return LookUpNames(*entry, names, count, ids);
}

HRESULT TypeLibGetTypeInfo(REFGUID guid, ITypeInfo** ppTInfo) {
  if (ppTInfo == nullptr) return E_POINTER;
  *ppTInfo = nullptr;
  const EntryInfo* entry = FindTypeEntry(guid);
  if (entry == nullptr) return TYPE_E_ELEMENTNOTFOUND;
  return EntryTypeInfo::NewTypeInfo(*entry, ppTInfo);
}

}  // namespace kiv::com
