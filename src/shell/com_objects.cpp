// The library's exports with C linkage and the objects behind them, laid
// out as com_abi.h describes, so a host that knows only the names finds,
// creates and scripts the control. No C++ exception leaves these calls.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "shell/com_abi.h"
#include "shell/module.h"
#include "shell/persistence.h"
#include "shell/type_library.h"

namespace zarvion::abi {
namespace {

// ---- the control object ----

// The interface tables of one control, laid out together so either face
// finds the object.
struct ControlFaces {
  IZarvinet face;  // also its IDispatch and IUnknown
  IPersistStreamInit persist;
};

struct ControlComObject {
  ControlFaces faces;
  std::atomic<uint32_t> refs{0};
  // Set by a load or InitNew, cleared by a save that asks for it.
  bool dirty = false;
  Zarvinet control;
};

ControlComObject* Self(IZarvinet* p) {
  return reinterpret_cast<ControlComObject*>(p);
}

ControlComObject* Self(IPersistStreamInit* p) {
  return reinterpret_cast<ControlComObject*>(reinterpret_cast<char*>(p) -
                                             offsetof(ControlFaces, persist));
}

HRESULT CoQueryInterface(IZarvinet* self, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!iid) return E_POINTER;
  // The other container interfaces of a windowed control need the
  // container's own objects (sites, device contexts, storages), which this
  // platform does not define; see ARCHITECTURE.md.
  if (*iid == IID_IUnknown || *iid == IID_IDispatch || *iid == IID_IZarvinet) {
    *out = self;
  } else if (*iid == IID_IPersist || *iid == IID_IPersistStreamInit) {
    *out = &Self(self)->faces.persist;
  } else {
    return E_NOINTERFACE;
  }
  ++Self(self)->refs;
  return S_OK;
}
uint32_t CoAddRef(IZarvinet* self) {
  return ++Self(self)->refs;
}
uint32_t CoRelease(IZarvinet* self) {
  const uint32_t left = --Self(self)->refs;
  if (left == 0) delete Self(self);
  return left;
}

HRESULT CoGetTypeInfoCount(IZarvinet*, uint32_t* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT CoGetTypeInfo(IZarvinet*, uint32_t index, uint32_t, void** out) {
  return Guarded([&]() -> HRESULT {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    std::shared_ptr<const TypeLibrary> lib;
    if (HRESULT hr = ZarvionTypeLibrary(&lib); !Succeeded(hr)) return hr;
    return MakeTypeInfo(std::move(lib), out);
  });
}

HRESULT CoGetIDsOfNames(IZarvinet*, REFIID iid, const char16_t** names, uint32_t count, uint32_t,
                        int32_t* ids) {
  return Guarded([&]() -> HRESULT {
    if (iid && !(*iid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    std::shared_ptr<const TypeLibrary> lib;
    ZarvionTypeLibrary(&lib);
    return NamesToIds(lib.get(), names, count, ids);
  });
}

HRESULT CoInvoke(IZarvinet* self, int32_t id, REFIID iid, uint32_t, uint16_t flags,
                 DISPPARAMS* params, VARIANT* result, void*, uint32_t* argErr) {
  return Guarded([&]() -> HRESULT {
    if (iid && !(*iid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (!params) return E_POINTER;
    if (params->cArgs > 0 && !params->rgvarg) return E_POINTER;
    if (params->cNamedArgs > 0 && !params->rgdispidNamedArgs) return E_POINTER;
    // The only named argument a caller may pass is the value of a property put.
    if (params->cNamedArgs > 1 ||
        (params->cNamedArgs == 1 &&
         (!(flags & DISPATCH_PROPERTYPUT) || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT))) {
      return DISP_E_NONAMEDARGS;
    }
    if (params->cArgs > 16) return DISP_E_BADPARAMCOUNT;
    std::vector<Variant> args;
    args.reserve(params->cArgs);
    for (uint32_t i = params->cArgs; i-- > 0;) args.push_back(FromAbi(params->rgvarg[i]));
    if (argErr) *argErr = 0;
    if (result) std::memset(result, 0, sizeof *result);
    return Self(self)->control.Invoke(id, flags, args);
  });
}

HRESULT CoPutHostName(IZarvinet* self, VARIANT value) {
  return Guarded([&] { return Self(self)->control.strHostName(FromAbi(value)); });
}
HRESULT CoPutHostPort(IZarvinet* self, VARIANT value) {
  return Guarded([&] { return Self(self)->control.strHostPort(FromAbi(value)); });
}
HRESULT CoConnectServer(IZarvinet* self, VARIANT host, VARIANT port, VARIANT para) {
  return Guarded([&] {
    return Self(self)->control.ConnectServer(FromAbi(host), FromAbi(port), FromAbi(para));
  });
}

constexpr IZarvinetVtbl kControlVtbl = {
    CoQueryInterface, CoAddRef, CoRelease,     CoGetTypeInfoCount, CoGetTypeInfo,
    CoGetIDsOfNames,  CoInvoke, CoPutHostName, CoPutHostPort,      CoConnectServer};

// ---- stream persistence ----

HRESULT PsQueryInterface(IPersistStreamInit* self, REFIID iid, void** out) {
  return CoQueryInterface(&Self(self)->faces.face, iid, out);
}
uint32_t PsAddRef(IPersistStreamInit* self) {
  return CoAddRef(&Self(self)->faces.face);
}
uint32_t PsRelease(IPersistStreamInit* self) {
  return CoRelease(&Self(self)->faces.face);
}

HRESULT PsGetClassID(IPersistStreamInit*, Guid* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = CLSID_Zarvinet;
  return S_OK;
}

HRESULT PsIsDirty(IPersistStreamInit* self) {
  return Self(self)->dirty ? S_OK : S_FALSE;
}

// Reads exactly `size` bytes, or fails.
HRESULT ReadExactly(ISequentialStream* stream, char* data, uint32_t size) {
  while (size > 0) {
    uint32_t done = 0;
    HRESULT hr = stream->vtbl->Read(stream, data, size, &done);
    if (!Succeeded(hr)) return hr;
    if (done == 0 || done > size) return STG_E_READFAULT;
    data += done;
    size -= done;
  }
  return S_OK;
}

HRESULT PsLoad(IPersistStreamInit* self, ISequentialStream* stream) {
  return Guarded([&]() -> HRESULT {
    if (!stream) return E_POINTER;
    // Each property: name length (u16), the name, its type (u16), its value
    // (u32). Read piece by piece, so nothing past the two is taken from
    // the host's stream.
    std::string bytes;
    for (int property = 0; property < 2; ++property) {
      char length[2];
      if (HRESULT hr = ReadExactly(stream, length, 2); !Succeeded(hr)) return hr;
      const uint32_t nameBytes =
          static_cast<unsigned char>(length[0]) | (static_cast<unsigned char>(length[1]) << 8);
      // "_cx" and "_cy" are 6 bytes; anything longer is not ours.
      if (nameBytes > 64) return E_FAIL;
      std::string rest(nameBytes + 6, '\0');
      if (HRESULT hr = ReadExactly(stream, rest.data(), static_cast<uint32_t>(rest.size()));
          !Succeeded(hr)) {
        return hr;
      }
      bytes.append(length, 2);
      bytes += rest;
    }
    auto extent = LoadExtent(bytes);
    if (!extent) return E_FAIL;
    Self(self)->control.extent = *extent;
    Self(self)->dirty = false;
    return S_OK;
  });
}

HRESULT PsSave(IPersistStreamInit* self, ISequentialStream* stream, int32_t clearDirty) {
  return Guarded([&]() -> HRESULT {
    if (!stream) return E_POINTER;
    const std::string bytes = SaveExtent(Self(self)->control.extent);
    uint32_t done = 0;
    HRESULT hr =
        stream->vtbl->Write(stream, bytes.data(), static_cast<uint32_t>(bytes.size()), &done);
    if (!Succeeded(hr)) return hr;
    if (done != bytes.size()) return STG_E_WRITEFAULT;
    if (clearDirty) Self(self)->dirty = false;
    return S_OK;
  });
}

HRESULT PsGetSizeMax(IPersistStreamInit* self, uint64_t* size) {
  return Guarded([&]() -> HRESULT {
    if (!size) return E_POINTER;
    *size = SaveExtent(Self(self)->control.extent).size();
    return S_OK;
  });
}

HRESULT PsInitNew(IPersistStreamInit* self) {
  Self(self)->control.extent = InitialExtent();
  Self(self)->dirty = true;
  return S_OK;
}

constexpr IPersistStreamInitVtbl kPersistVtbl = {PsQueryInterface, PsAddRef,     PsRelease,
                                                 PsGetClassID,     PsIsDirty,    PsLoad,
                                                 PsSave,           PsGetSizeMax, PsInitNew};

// ---- the class object ----

// One per library; its own references do not hold the module (LockServer
// does), as the unload test counts only objects and server locks.
IClassFactory g_factory;

HRESULT CfQueryInterface(IClassFactory* self, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!iid) return E_POINTER;
  if (!(*iid == IID_IUnknown || *iid == IID_IClassFactory)) return E_NOINTERFACE;
  *out = self;
  return S_OK;
}
uint32_t CfAddRef(IClassFactory*) {
  return 2;
}
uint32_t CfRelease(IClassFactory*) {
  return 1;
}

HRESULT CfCreateInstance(IClassFactory*, IUnknown* outer, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  if (!iid) return E_POINTER;
  return Guarded([&]() -> HRESULT {
    auto* object = new (std::nothrow) ControlComObject;
    if (!object) return E_OUTOFMEMORY;
    object->faces.face.vtbl = &kControlVtbl;
    object->faces.persist.vtbl = &kPersistVtbl;
    object->refs = 1;
    const HRESULT hr = CoQueryInterface(&object->faces.face, iid, out);
    CoRelease(&object->faces.face);  // destroys it again when the query failed
    return hr;
  });
}

HRESULT CfLockServer(IClassFactory*, int32_t lock) {
  ModuleLockServer(lock != 0);
  return S_OK;
}

constexpr IClassFactoryVtbl kFactoryVtbl = {CfQueryInterface, CfAddRef, CfRelease, CfCreateInstance,
                                            CfLockServer};

}  // namespace

BSTR AllocBstr(std::u16string_view text) {
  const size_t bytes = text.size() * sizeof(char16_t);
  if (bytes > UINT32_MAX - 8) return nullptr;
  auto* block = static_cast<char*>(std::malloc(4 + bytes + sizeof(char16_t)));
  if (!block) return nullptr;
  const uint32_t length = static_cast<uint32_t>(bytes);
  std::memcpy(block, &length, 4);
  auto* s = reinterpret_cast<char16_t*>(block + 4);
  if (!text.empty()) std::memcpy(s, text.data(), bytes);
  s[text.size()] = u'\0';
  return s;
}

void FreeBstr(BSTR s) {
  if (s) std::free(reinterpret_cast<char*>(s) - 4);
}

uint32_t BstrLength(const char16_t* s) {
  if (!s) return 0;
  uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<const char*>(s) - 4, 4);
  return bytes / sizeof(char16_t);
}

Variant FromAbi(const VARIANT& v) {
  switch (v.vt) {
    case VT_BSTR:
      return v.bstrVal ? Variant::Bstr(std::u16string_view(v.bstrVal, BstrLength(v.bstrVal)))
                       : Variant::NullBstr();
    case VT_I4:
      return Variant::I4(v.lVal);
    default:
      // Any other type leaves a setting unchanged, as an empty value does.
      return Variant();
  }
}

Zarvinet* ControlOf(void* unknown) {
  auto* face = static_cast<IZarvinet*>(unknown);
  if (!face || face->vtbl != &kControlVtbl) return nullptr;
  return &Self(face)->control;
}

HRESULT GetClassObject(REFIID clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!clsid || !iid) return E_POINTER;
  if (!(*clsid == CLSID_Zarvinet)) return CLASS_E_CLASSNOTAVAILABLE;
  g_factory.vtbl = &kFactoryVtbl;
  return CfQueryInterface(&g_factory, iid, out);
}

}  // namespace zarvion::abi

using zarvion::HRESULT;

extern "C" {

__attribute__((visibility("default"))) HRESULT DllCanUnloadNow() noexcept {
  return zarvion::DllCanUnloadNow();
}

__attribute__((visibility("default"))) HRESULT DllGetClassObject(const zarvion::Guid* clsid,
                                                                 const zarvion::Guid* iid,
                                                                 void** out) noexcept {
  return zarvion::abi::GetClassObject(clsid, iid, out);
}

__attribute__((visibility("default"))) HRESULT DllRegisterServer() noexcept {
  return zarvion::abi::Guarded([] { return zarvion::DllRegisterServer(); });
}

__attribute__((visibility("default"))) HRESULT DllUnregisterServer() noexcept {
  return zarvion::abi::Guarded([] { return zarvion::DllUnregisterServer(); });
}

// The string allocator hosts use for the BSTRs they pass and receive.
__attribute__((visibility("default"))) char16_t* SysAllocStringLen(const char16_t* text,
                                                                   uint32_t length) noexcept {
  if (!text && length > 0) return nullptr;
  try {
    return zarvion::abi::AllocBstr(std::u16string_view(text ? text : u"", length));
  } catch (...) {
    return nullptr;
  }
}

__attribute__((visibility("default"))) char16_t* SysAllocString(const char16_t* text) noexcept {
  if (!text) return nullptr;
  return SysAllocStringLen(text, static_cast<uint32_t>(std::char_traits<char16_t>::length(text)));
}

__attribute__((visibility("default"))) void SysFreeString(char16_t* s) noexcept {
  zarvion::abi::FreeBstr(s);
}

__attribute__((visibility("default"))) uint32_t SysStringLen(const char16_t* s) noexcept {
  return zarvion::abi::BstrLength(s);
}

}  // extern "C"
