#include "shell/module.h"

#include <dlfcn.h>
#include <limits.h>
#include <sys/auxv.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>

#include "platform/log.h"
#include "platform/registry.h"
#include "shell/com_abi.h"
#include "shell/registrar.h"
#include "shell/resources.h"
#include "shell/type_library.h"
#include "window/log_sink.h"

namespace zarvion {
namespace {

std::atomic<long> g_lockCount{0};
// The server locks among g_lockCount.
std::atomic<long> g_serverLocks{0};

// How the two implemented categories describe themselves (locale 409).
constexpr const char* kControlCategory = "Controls";
constexpr const char* kSafeForScriptingCategory = "Controls that are safely scriptable";

std::string ClassKey() {
  return "CLSID\\" + GuidToString(CLSID_Zarvinet);
}

// The component-category manager's entries: the class's implemented
// categories, and each category's own description.
void AddCategories(RegBatch* batch) {
  const std::string implemented = ClassKey() + "\\Implemented Categories\\";
  for (auto [catid, text] : {std::pair{CATID_Control, kControlCategory},
                             std::pair{CATID_SafeForScripting, kSafeForScriptingCategory}}) {
    const std::string id = GuidToString(catid);
    batch->CreateKey(implemented + id);
    batch->SetString("Component Categories\\" + id, "409", text);
  }
}

HRESULT RunScript(RegistrarMode mode, const std::string& modulePath, RegBatch* batch) {
  auto script = FindResource("REGISTRY", IDR_ZARVINET);
  if (!script) return SELFREG_E_CLASS;
  const std::map<std::string, std::string> vars = {{"MODULE", modulePath}};
  return RunRegistrarScript(*script, vars, mode, batch) ? S_OK : SELFREG_E_CLASS;
}

// The full path of the file this code was loaded from, resolved as it is
// loaded: the name the loader was given may be relative to the folder the
// process was in then, which it may leave later. Zero-initialised, so a
// reader before the resolution sees no path rather than a wrong one.
char g_modulePath[PATH_MAX + 1];

__attribute__((constructor)) void ResolveModulePath() {
  Dl_info info{};
  if (!::dladdr(reinterpret_cast<void*>(&ResolveModulePath), &info) || !info.dli_fname) return;
  // Linked into a program, the loader names the program as it was started
  // (perhaps a bare name found on the search path); the kernel knows its file.
  Dl_info program{};
  const bool inProgram = ::dladdr(reinterpret_cast<void*>(::getauxval(AT_PHDR)), &program) &&
                         program.dli_fbase == info.dli_fbase;
  char* full = ::realpath(inProgram ? "/proc/self/exe" : info.dli_fname, nullptr);
  if (!full) return;
  if (std::strlen(full) <= PATH_MAX) std::strcpy(g_modulePath, full);
  std::free(full);
}

// Failures are logged through Qt's categories from the moment the control
// is loaded (or the program that links it starts).
__attribute__((constructor)) void LogThroughQt() {
  InstallQtLogSink();
}

std::string Folder(const std::string& path) {
  return path.substr(0, path.find_last_of('/') + 1);
}

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

void ModuleLockServer(bool lock) {
  if (lock) {
    ++g_serverLocks;
    ++g_lockCount;
    return;
  }
  // An unlock without a lock held takes nothing away: the objects' share of
  // the count stays, so the module is never called unused while one lives.
  long held = g_serverLocks.load();
  while (held > 0 && !g_serverLocks.compare_exchange_weak(held, held - 1)) {
  }
  if (held > 0) --g_lockCount;
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
  ModuleLockServer(lock);
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
  return g_modulePath;
}

HRESULT RegisterServer(std::string_view modulePath) {
  const std::string module(modulePath);
  auto text = ReadFileResource(module, "TYPELIB", IDR_TYPELIB);
  auto lib = text ? ParseTypeLibrary(*text) : std::nullopt;
  if (!lib) return SELFREG_E_TYPELIB;
  RegBatch batch;
  if (HRESULT hr = RunScript(RegistrarMode::kRegister, module, &batch); !Succeeded(hr)) return hr;
  AddCategories(&batch);
  AddTypeLibraryRegistration(*lib, module, &batch);
  return RegApply(Hive::kClassesRoot, batch) ? S_OK : SELFREG_E_CLASS;
}

HRESULT UnregisterServer() {
  auto text = FindResource("TYPELIB", IDR_TYPELIB);
  auto lib = text ? ParseTypeLibrary(*text) : std::nullopt;
  if (!lib) return SELFREG_E_TYPELIB;
  RegBatch batch;
  if (HRESULT hr = RunScript(RegistrarMode::kUnregister, std::string(), &batch); !Succeeded(hr)) {
    return hr;
  }
  // The implemented categories go with the class; the categories' own
  // entries are shared with other classes and stay.
  for (const Guid& catid : {CATID_Control, CATID_SafeForScripting}) {
    batch.DeleteKey(ClassKey() + "\\Implemented Categories\\" + GuidToString(catid));
  }
  AddTypeLibraryRemoval(*lib, &batch);
  return RegApply(Hive::kClassesRoot, batch) ? S_OK : SELFREG_E_CLASS;
}

HRESULT DllRegisterServer() {
  const std::string module = ModulePath();
  return module.empty() ? SELFREG_E_CLASS : RegisterServer(module);
}

HRESULT DllUnregisterServer() {
  return UnregisterServer();
}

bool EnsureControlRegistered() {
  std::shared_ptr<const TypeLibrary> lib;
  if (Succeeded(LoadRegisteredTypeLibrary(LIBID_ZARVIONLib, 1, 0, &lib))) return true;
  const std::string self = ModulePath();
  if (self.empty()) return false;
  const std::string folder = Folder(self);
  // The library itself; beside the program or in ../lib (a build folder);
  // where the package installs it.
  for (const std::string& candidate :
       {self, folder + "libzarvion.so", folder + "../lib/libzarvion.so",
        folder + ZARVION_CONTROL_FROM_BIN "/libzarvion.so"}) {
    char* full = ::realpath(candidate.c_str(), nullptr);
    if (!full) continue;
    const std::string path(full);
    std::free(full);
    if (!ReadFileResource(path, "TYPELIB", IDR_TYPELIB)) continue;
    // A program that links the shell carries the type library too, but
    // only the library can serve the class.
    if (path.size() < 3 || path.compare(path.size() - 3, 3, ".so") != 0) continue;
    const HRESULT hr = RegisterServer(path);
    Log(LogCategory::kShell, Succeeded(hr) ? LogSeverity::kInfo : LogSeverity::kWarning,
        "registering %s for this user: %s", path.c_str(), Succeeded(hr) ? "done" : "failed");
    return Succeeded(hr);
  }
  Log(LogCategory::kShell, LogSeverity::kWarning, "no control library to register found from %s",
      self.c_str());
  return false;
}

}  // namespace zarvion
