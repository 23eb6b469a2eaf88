#include "shell/module.h"

#include <dlfcn.h>

#include <atomic>

#include "platform/registry.h"

namespace zarvion {
namespace {

std::atomic<long> g_lockCount{0};

constexpr const char* kClassName = "Zarvinet Class";
// OLEMISC for the content aspect: set client site first, activate when
// visible, inside-out, can't link inside, recompose on resize.
constexpr const char* kMiscStatus = "131473";
// The automation marshaller every dual interface uses.
constexpr const char* kOleAutomationProxy = "{00020424-0000-0000-C000-000000000046}";

std::string ClassKey() {
  return "CLSID\\" + GuidToString(CLSID_Zarvinet);
}

// Writes a batch of entries, stopping at the first failure.
class Writer {
 public:
  Writer& Key(const std::string& key) {
    ok_ = ok_ && RegCreateKey(Hive::kClassesRoot, key);
    return *this;
  }
  Writer& Text(const std::string& key, std::string_view value, std::string_view text) {
    ok_ = ok_ && RegSetString(Hive::kClassesRoot, key, value, text);
    return *this;
  }
  bool ok() const { return ok_; }

 private:
  bool ok_ = true;
};

}  // namespace

void ModuleAddRef() {
  ++g_lockCount;
}
void ModuleRelease() {
  --g_lockCount;
}
long ModuleLockCount() {
  return g_lockCount.load();
}

HRESULT ZarvinetClassFactory::CreateInstance(const void* outer, const Guid& iid,
                                             std::unique_ptr<Zarvinet>* out) {
  if (!out) return E_POINTER;
  out->reset();
  if (outer) return CLASS_E_NOAGGREGATION;
  if (!(iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IZarvinet)) {
    return E_NOINTERFACE;
  }
  *out = std::make_unique<Zarvinet>();
  return S_OK;
}

HRESULT ZarvinetClassFactory::LockServer(bool lock) {
  if (lock) {
    ModuleAddRef();
  } else {
    ModuleRelease();
  }
  return S_OK;
}

HRESULT DllGetClassObject(const Guid& clsid, const Guid& iid, ZarvinetClassFactory** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!(clsid == CLSID_Zarvinet)) return CLASS_E_CLASSNOTAVAILABLE;
  if (!(iid == IID_IUnknown || iid == IID_IClassFactory)) return E_NOINTERFACE;
  static ZarvinetClassFactory factory;
  *out = &factory;
  return S_OK;
}

HRESULT DllCanUnloadNow() {
  return g_lockCount.load() == 0 ? S_OK : S_FALSE;
}

std::string ModulePath() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&ModulePath), &info) && info.dli_fname) {
    return info.dli_fname;
  }
  return std::string();
}

HRESULT RegisterServer(std::string_view modulePath) {
  const std::string module(modulePath);
  const std::string clsid = GuidToString(CLSID_Zarvinet);
  const std::string libid = GuidToString(LIBID_ZARVIONLib);
  const std::string iid = GuidToString(IID_IZarvinet);
  const std::string cls = ClassKey();
  const TypeDescription& t = ZarvionTypeDescription();

  // The class key is replaced whole, so nothing of an earlier registration
  // survives under it.
  if (!RegDeleteKey(Hive::kClassesRoot, cls)) return E_FAIL;
  Writer w;
  w.Text(kProgId, "", kClassName)
      .Text(std::string(kProgId) + "\\CLSID", "", clsid)
      .Text(kVersionIndependentProgId, "", kClassName)
      .Text(std::string(kVersionIndependentProgId) + "\\CLSID", "", clsid)
      .Text(std::string(kVersionIndependentProgId) + "\\CurVer", "", kProgId)
      .Text(cls, "", kClassName)
      .Text(cls + "\\ProgID", "", kProgId)
      .Text(cls + "\\VersionIndependentProgID", "", kVersionIndependentProgId)
      .Key(cls + "\\Programmable")
      .Text(cls + "\\InprocServer32", "", module)
      .Text(cls + "\\InprocServer32", "ThreadingModel", "Apartment")
      .Key(cls + "\\Control")
      .Text(cls + "\\ToolboxBitmap32", "", module + ", 101")
      .Text(cls + "\\MiscStatus", "", "0")
      .Text(cls + "\\MiscStatus\\1", "", kMiscStatus)
      .Text(cls + "\\TypeLib", "", libid)
      .Text(cls + "\\Version", "", "1.0")
      .Key(cls + "\\Implemented Categories\\" + GuidToString(CATID_Control))
      .Key(cls + "\\Implemented Categories\\" + GuidToString(CATID_SafeForScripting));
  // The type library and its interface, as the library registration writes them.
  const std::string lib = "TypeLib\\" + libid + "\\1.0";
  const std::string folder = module.substr(0, module.find_last_of('/') + 1);
  w.Text(lib, "", t.libraryHelp)
      .Text(lib + "\\0\\win32", "", module)
      .Text(lib + "\\FLAGS", "", "0")
      .Text(lib + "\\HELPDIR", "", folder)
      .Text("Interface\\" + iid, "", t.interfaceName)
      .Text("Interface\\" + iid + "\\ProxyStubClsid32", "", kOleAutomationProxy)
      .Text("Interface\\" + iid + "\\TypeLib", "", libid)
      .Text("Interface\\" + iid + "\\TypeLib", "Version", "1.0");
  return w.ok() ? S_OK : E_FAIL;
}

HRESULT UnregisterServer() {
  // The CLSID key itself belongs to every class and stays.
  bool ok = RegDeleteKey(Hive::kClassesRoot, ClassKey());
  ok = RegDeleteKey(Hive::kClassesRoot, kProgId) && ok;
  ok = RegDeleteKey(Hive::kClassesRoot, kVersionIndependentProgId) && ok;
  ok = RegDeleteKey(Hive::kClassesRoot, "TypeLib\\" + GuidToString(LIBID_ZARVIONLib)) && ok;
  ok = RegDeleteKey(Hive::kClassesRoot, "Interface\\" + GuidToString(IID_IZarvinet)) && ok;
  return ok ? S_OK : E_FAIL;
}

HRESULT DllRegisterServer() {
  const std::string module = ModulePath();
  return module.empty() ? E_FAIL : RegisterServer(module);
}

HRESULT DllUnregisterServer() {
  return UnregisterServer();
}

}  // namespace zarvion
