// The binary layout of component objects on this platform (x86-64, System V
// calling convention), as hosts that load the library by name see it: an
// interface pointer points to a pointer to a table of function pointers;
// every function takes the interface pointer first and returns HRESULT
// (AddRef and Release return the new count). See ARCHITECTURE.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "shell/variant.h"
#include "shell/zarvinet.h"

namespace zarvion {
struct TypeLibrary;
}

namespace zarvion::abi {

using REFIID = const Guid*;
using BSTR = char16_t*;

// 24 bytes: the type at offset 0, the value at offset 8.
struct VARIANT {
  uint16_t vt;
  uint16_t reserved1;
  uint16_t reserved2;
  uint16_t reserved3;
  union {
    int32_t lVal;
    uint32_t ulVal;
    BSTR bstrVal;
    void* byref;
    int64_t llVal;
  };
  void* reserved4;
};
static_assert(sizeof(VARIANT) == 24 && offsetof(VARIANT, lVal) == 8);
static_assert(sizeof(Guid) == 16);

constexpr uint16_t VT_UI4 = 19;

struct DISPPARAMS {
  VARIANT* rgvarg;  // last argument first
  int32_t* rgdispidNamedArgs;
  uint32_t cArgs;
  uint32_t cNamedArgs;
};

constexpr DISPID DISPID_PROPERTYPUT = -3;

struct IUnknown;
struct IUnknownVtbl {
  HRESULT (*QueryInterface)(IUnknown* self, REFIID iid, void** out);
  uint32_t (*AddRef)(IUnknown* self);
  uint32_t (*Release)(IUnknown* self);
};
struct IUnknown {
  const IUnknownVtbl* vtbl;
};

struct IClassFactory;
struct IClassFactoryVtbl {
  HRESULT (*QueryInterface)(IClassFactory* self, REFIID iid, void** out);
  uint32_t (*AddRef)(IClassFactory* self);
  uint32_t (*Release)(IClassFactory* self);
  HRESULT (*CreateInstance)(IClassFactory* self, IUnknown* outer, REFIID iid, void** out);
  HRESULT (*LockServer)(IClassFactory* self, int32_t lock);
};
struct IClassFactory {
  const IClassFactoryVtbl* vtbl;
};

// IDispatch followed by IZarvinet's own members: one table serves both.
struct IZarvinet;
struct IZarvinetVtbl {
  HRESULT (*QueryInterface)(IZarvinet* self, REFIID iid, void** out);
  uint32_t (*AddRef)(IZarvinet* self);
  uint32_t (*Release)(IZarvinet* self);
  HRESULT (*GetTypeInfoCount)(IZarvinet* self, uint32_t* count);
  HRESULT (*GetTypeInfo)(IZarvinet* self, uint32_t index, uint32_t lcid, void** out);
  HRESULT(*GetIDsOfNames)
  (IZarvinet* self, REFIID iid, const char16_t** names, uint32_t count, uint32_t lcid,
   int32_t* ids);
  HRESULT(*Invoke)
  (IZarvinet* self, int32_t id, REFIID iid, uint32_t lcid, uint16_t flags, DISPPARAMS* params,
   VARIANT* result, void* excepInfo, uint32_t* argErr);
  HRESULT (*put_strHostName)(IZarvinet* self, VARIANT value);
  HRESULT (*put_strHostPort)(IZarvinet* self, VARIANT value);
  HRESULT (*ConnectServer)(IZarvinet* self, VARIANT strHost, VARIANT strPort, VARIANT strPara);
};
struct IZarvinet {
  const IZarvinetVtbl* vtbl;
};

// The type information GetTypeInfo hands out, laid out as every host
// expects it: the type-information interface's 19 members after IUnknown,
// in their standard order. Names, parameter names, documentation and
// invocation are served from the type library; the rest would hand out the
// platform's descriptor records (type, function and variable descriptions,
// type compilers, containing libraries), which this platform does not
// define: those return E_NOTIMPL and clear their out-parameters. Opaque
// records are void*; MEMBERID and INVOKEKIND are int32.
struct ITypeInfo;
struct ITypeInfoVtbl {
  HRESULT (*QueryInterface)(ITypeInfo* self, REFIID iid, void** out);
  uint32_t (*AddRef)(ITypeInfo* self);
  uint32_t (*Release)(ITypeInfo* self);
  HRESULT (*GetTypeAttr)(ITypeInfo* self, void** typeAttr);
  HRESULT (*GetTypeComp)(ITypeInfo* self, void** typeComp);
  HRESULT (*GetFuncDesc)(ITypeInfo* self, uint32_t index, void** funcDesc);
  HRESULT (*GetVarDesc)(ITypeInfo* self, uint32_t index, void** varDesc);
  // The member's name, then its parameters' names, at most `maxNames`.
  HRESULT(*GetNames)
  (ITypeInfo* self, int32_t id, BSTR* names, uint32_t maxNames, uint32_t* count);
  HRESULT (*GetRefTypeOfImplType)(ITypeInfo* self, uint32_t index, uint32_t* refType);
  HRESULT (*GetImplTypeFlags)(ITypeInfo* self, uint32_t index, int32_t* flags);
  HRESULT (*GetIDsOfNames)(ITypeInfo* self, const char16_t** names, uint32_t count, int32_t* ids);
  // Calls the member on `instance`, an interface pointer of a control.
  HRESULT(*Invoke)
  (ITypeInfo* self, void* instance, int32_t id, uint16_t flags, DISPPARAMS* params, VARIANT* result,
   void* excepInfo, uint32_t* argErr);
  // Name and help string of a member, or of the interface for id -1. Each
  // string out-parameter may be null; strings are freed with SysFreeString.
  HRESULT(*GetDocumentation)
  (ITypeInfo* self, int32_t id, BSTR* name, BSTR* doc, uint32_t* helpContext, BSTR* helpFile);
  HRESULT(*GetDllEntry)
  (ITypeInfo* self, int32_t id, int32_t invokeKind, BSTR* dllName, BSTR* name, uint16_t* ordinal);
  HRESULT (*GetRefTypeInfo)(ITypeInfo* self, uint32_t refType, void** typeInfo);
  HRESULT (*AddressOfMember)(ITypeInfo* self, int32_t id, int32_t invokeKind, void** address);
  HRESULT (*CreateInstance)(ITypeInfo* self, IUnknown* outer, REFIID iid, void** out);
  HRESULT (*GetMops)(ITypeInfo* self, int32_t id, BSTR* mops);
  HRESULT (*GetContainingTypeLib)(ITypeInfo* self, void** typeLib, uint32_t* index);
  void (*ReleaseTypeAttr)(ITypeInfo* self, void* typeAttr);
  void (*ReleaseFuncDesc)(ITypeInfo* self, void* funcDesc);
  void (*ReleaseVarDesc)(ITypeInfo* self, void* varDesc);
};
static_assert(sizeof(ITypeInfoVtbl) == 22 * sizeof(void*));
struct ITypeInfo {
  const ITypeInfoVtbl* vtbl;
};

// A byte stream the host passes in: after IUnknown, Read and Write, the
// first two members every stream interface of the platform starts with.
struct ISequentialStream;
struct ISequentialStreamVtbl {
  HRESULT (*QueryInterface)(ISequentialStream* self, REFIID iid, void** out);
  uint32_t (*AddRef)(ISequentialStream* self);
  uint32_t (*Release)(ISequentialStream* self);
  HRESULT (*Read)(ISequentialStream* self, void* data, uint32_t size, uint32_t* done);
  HRESULT (*Write)(ISequentialStream* self, const void* data, uint32_t size, uint32_t* done);
};
struct ISequentialStream {
  const ISequentialStreamVtbl* vtbl;
};

// Stream persistence of the control's extent ("_cx", "_cy"); IPersist is
// its first four members.
struct IPersistStreamInit;
struct IPersistStreamInitVtbl {
  HRESULT (*QueryInterface)(IPersistStreamInit* self, REFIID iid, void** out);
  uint32_t (*AddRef)(IPersistStreamInit* self);
  uint32_t (*Release)(IPersistStreamInit* self);
  HRESULT (*GetClassID)(IPersistStreamInit* self, Guid* clsid);
  HRESULT (*IsDirty)(IPersistStreamInit* self);
  HRESULT (*Load)(IPersistStreamInit* self, ISequentialStream* stream);
  HRESULT (*Save)(IPersistStreamInit* self, ISequentialStream* stream, int32_t clearDirty);
  HRESULT (*GetSizeMax)(IPersistStreamInit* self, uint64_t* size);
  HRESULT (*InitNew)(IPersistStreamInit* self);
};
struct IPersistStreamInit {
  const IPersistStreamInitVtbl* vtbl;
};

constexpr Guid IID_IPersist = {0x0000010C, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr Guid IID_IPersistStreamInit = {
    0x7FD52380, 0x4E07, 0x101B, {0xAE, 0x2D, 0x08, 0x00, 0x2B, 0x2E, 0xC7, 0x13}};
constexpr HRESULT STG_E_READFAULT = static_cast<HRESULT>(0x8003001E);
constexpr HRESULT STG_E_WRITEFAULT = static_cast<HRESULT>(0x8003001D);

constexpr Guid IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
constexpr Guid IID_ITypeInfo = {0x00020401, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = static_cast<HRESULT>(0x80020001);
constexpr HRESULT DISP_E_NONAMEDARGS = static_cast<HRESULT>(0x80020007);
constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000B);

// Runs `body`, turning any exception into a result code: no C++ exception
// leaves a call a host makes.
template <typename F>
HRESULT Guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

// Strings with their length in bytes in the u32 before the text and a NUL
// after it; a null BSTR is an empty string.
BSTR AllocBstr(std::u16string_view text);
void FreeBstr(BSTR s);
uint32_t BstrLength(const char16_t* s);  // in characters

// The control behind an interface pointer that this library's class object
// made, for our own host (to put its window on screen); null for any other
// pointer.
Zarvinet* ControlOf(void* unknown);

// The type information of ZARVIONLib's interface, holding one reference.
HRESULT MakeTypeInfo(std::shared_ptr<const TypeLibrary> lib, void** out);

// A host's names to dispatch ids (see TypeLibrary::NamesToIds); every name
// is unknown without a library.
HRESULT NamesToIds(const TypeLibrary* lib, const char16_t** names, uint32_t count, int32_t* ids);

// The class object, as the export DllGetClassObject hands it out.
HRESULT GetClassObject(REFIID clsid, REFIID iid, void** out);

// The argument a member sees for a VARIANT a host passed.
Variant FromAbi(const VARIANT& v);

}  // namespace zarvion::abi
