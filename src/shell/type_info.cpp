// The type information a control hands out from GetTypeInfo: the standard
// table of the type-information interface over ZARVIONLib's interface
// description (see com_abi.h for which members serve and which cannot).
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "shell/com_abi.h"
#include "shell/module.h"
#include "shell/type_library.h"

namespace zarvion::abi {
namespace {

struct TypeInfoObject {
  ITypeInfo face;
  std::atomic<uint32_t> refs{1};
  std::shared_ptr<const TypeLibrary> lib;
};

TypeInfoObject* Self(ITypeInfo* p) {
  return reinterpret_cast<TypeInfoObject*>(p);
}

std::u16string Utf8ToUtf16(std::string_view s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    uint32_t cp = c;
    size_t n = 1;
    if (c >= 0xF0 && i + 3 < s.size()) {
      cp = ((c & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) |
           (s[i + 3] & 0x3Fu);
      n = 4;
    } else if (c >= 0xE0 && i + 2 < s.size()) {
      cp = ((c & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
      n = 3;
    } else if (c >= 0xC0 && i + 1 < s.size()) {
      cp = ((c & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
      n = 2;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += n;
  }
  return out;
}

// Sets each non-null pointer out-parameter to null.
template <typename... P>
void Clear(P*... out) {
  ((out ? (void)(*out = {}) : (void)0), ...);
}

HRESULT TiQueryInterface(ITypeInfo* self, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!iid) return E_POINTER;
  if (!(*iid == IID_IUnknown || *iid == IID_ITypeInfo)) return E_NOINTERFACE;
  ++Self(self)->refs;
  *out = self;
  return S_OK;
}
uint32_t TiAddRef(ITypeInfo* self) {
  return ++Self(self)->refs;
}
uint32_t TiRelease(ITypeInfo* self) {
  const uint32_t left = --Self(self)->refs;
  if (left == 0) delete Self(self);
  return left;
}

HRESULT TiGetTypeAttr(ITypeInfo*, void** typeAttr) {
  Clear(typeAttr);
  return E_NOTIMPL;
}
HRESULT TiGetTypeComp(ITypeInfo*, void** typeComp) {
  Clear(typeComp);
  return E_NOTIMPL;
}
HRESULT TiGetFuncDesc(ITypeInfo*, uint32_t, void** funcDesc) {
  Clear(funcDesc);
  return E_NOTIMPL;
}
HRESULT TiGetVarDesc(ITypeInfo*, uint32_t, void** varDesc) {
  Clear(varDesc);
  return E_NOTIMPL;
}

HRESULT TiGetNames(ITypeInfo* self, int32_t id, BSTR* names, uint32_t maxNames, uint32_t* count) {
  return Guarded([&]() -> HRESULT {
    if (!count || (maxNames > 0 && !names)) return E_POINTER;
    *count = 0;
    const TypeMember* m = Self(self)->lib->FindMember(id);
    if (!m) return TYPE_E_ELEMENTNOTFOUND;
    std::vector<std::string> all{m->name};
    all.insert(all.end(), m->params.begin(), m->params.end());
    const uint32_t n = std::min<uint32_t>(maxNames, static_cast<uint32_t>(all.size()));
    for (uint32_t i = 0; i < n; ++i) {
      names[i] = AllocBstr(Utf8ToUtf16(all[i]));
      if (!names[i]) {
        for (uint32_t j = 0; j < i; ++j) {
          FreeBstr(names[j]);
          names[j] = nullptr;
        }
        return E_OUTOFMEMORY;
      }
    }
    *count = n;
    return S_OK;
  });
}

HRESULT TiGetRefTypeOfImplType(ITypeInfo*, uint32_t, uint32_t* refType) {
  Clear(refType);
  return E_NOTIMPL;
}
HRESULT TiGetImplTypeFlags(ITypeInfo*, uint32_t, int32_t* flags) {
  Clear(flags);
  return E_NOTIMPL;
}

HRESULT TiGetIDsOfNames(ITypeInfo* self, const char16_t** names, uint32_t count, int32_t* ids) {
  return Guarded([&] { return NamesToIds(Self(self)->lib.get(), names, count, ids); });
}

HRESULT TiInvoke(ITypeInfo*, void* instance, int32_t id, uint16_t flags, DISPPARAMS* params,
                 VARIANT* result, void* excepInfo, uint32_t* argErr) {
  // Only a control of this library has the members described here.
  if (!ControlOf(instance)) return E_INVALIDARG;
  auto* control = static_cast<IZarvinet*>(instance);
  return control->vtbl->Invoke(control, id, &IID_NULL, 0, flags, params, result, excepInfo, argErr);
}

HRESULT TiGetDocumentation(ITypeInfo* self, int32_t id, BSTR* name, BSTR* doc,
                           uint32_t* helpContext, BSTR* helpFile) {
  return Guarded([&]() -> HRESULT {
    Clear(name, doc, helpFile);
    Clear(helpContext);
    const TypeLibrary& lib = *Self(self)->lib;
    std::string n, d;
    if (id == DISPID_UNKNOWN) {
      n = lib.interfaceName;
      d = lib.interfaceHelp;
    } else if (const TypeMember* m = lib.FindMember(id)) {
      n = m->name;
      d = m->helpString;
    } else {
      return TYPE_E_ELEMENTNOTFOUND;
    }
    BSTR nb = name ? AllocBstr(Utf8ToUtf16(n)) : nullptr;
    BSTR db = doc ? AllocBstr(Utf8ToUtf16(d)) : nullptr;
    if ((name && !nb) || (doc && !db)) {
      FreeBstr(nb);
      FreeBstr(db);
      return E_OUTOFMEMORY;
    }
    if (name) *name = nb;
    if (doc) *doc = db;
    return S_OK;
  });
}

HRESULT TiGetDllEntry(ITypeInfo*, int32_t, int32_t, BSTR* dllName, BSTR* name, uint16_t* ordinal) {
  Clear(dllName, name);
  Clear(ordinal);
  return E_NOTIMPL;
}
HRESULT TiGetRefTypeInfo(ITypeInfo*, uint32_t, void** typeInfo) {
  Clear(typeInfo);
  return E_NOTIMPL;
}
HRESULT TiAddressOfMember(ITypeInfo*, int32_t, int32_t, void** address) {
  Clear(address);
  return E_NOTIMPL;
}
HRESULT TiCreateInstance(ITypeInfo*, IUnknown*, REFIID, void** out) {
  Clear(out);
  return E_NOTIMPL;
}
HRESULT TiGetMops(ITypeInfo*, int32_t, BSTR* mops) {
  Clear(mops);
  return E_NOTIMPL;
}
HRESULT TiGetContainingTypeLib(ITypeInfo*, void** typeLib, uint32_t* index) {
  Clear(typeLib);
  Clear(index);
  return E_NOTIMPL;
}
// Nothing is ever handed out for these to release.
void TiReleaseTypeAttr(ITypeInfo*, void*) {}
void TiReleaseFuncDesc(ITypeInfo*, void*) {}
void TiReleaseVarDesc(ITypeInfo*, void*) {}

constexpr ITypeInfoVtbl kTypeInfoVtbl = {
    TiQueryInterface,        // 0
    TiAddRef,                // 1
    TiRelease,               // 2
    TiGetTypeAttr,           // 3
    TiGetTypeComp,           // 4
    TiGetFuncDesc,           // 5
    TiGetVarDesc,            // 6
    TiGetNames,              // 7
    TiGetRefTypeOfImplType,  // 8
    TiGetImplTypeFlags,      // 9
    TiGetIDsOfNames,         // 10
    TiInvoke,                // 11
    TiGetDocumentation,      // 12
    TiGetDllEntry,           // 13
    TiGetRefTypeInfo,        // 14
    TiAddressOfMember,       // 15
    TiCreateInstance,        // 16
    TiGetMops,               // 17
    TiGetContainingTypeLib,  // 18
    TiReleaseTypeAttr,       // 19
    TiReleaseFuncDesc,       // 20
    TiReleaseVarDesc,        // 21
};

}  // namespace

HRESULT MakeTypeInfo(std::shared_ptr<const TypeLibrary> lib, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!lib) return E_POINTER;
  auto* info = new (std::nothrow) TypeInfoObject;
  if (!info) return E_OUTOFMEMORY;
  info->face.vtbl = &kTypeInfoVtbl;
  info->lib = std::move(lib);
  *out = &info->face;  // holds the one reference it was made with
  return S_OK;
}

HRESULT NamesToIds(const TypeLibrary* lib, const char16_t** names, uint32_t count, int32_t* ids) {
  if (count == 0) return S_OK;
  if (!names || !ids) return E_POINTER;
  std::vector<std::u16string_view> views;
  views.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    views.emplace_back(names[i] ? std::u16string_view(names[i]) : std::u16string_view());
  }
  if (lib) return lib->NamesToIds(views, std::span<DISPID>(ids, count));
  for (uint32_t i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  return DISP_E_UNKNOWNNAME;
}

}  // namespace zarvion::abi
