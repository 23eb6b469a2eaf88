// The module's entry points: the class object that makes Zarvinet objects,
// the unload test, and self-registration under HKEY_CLASSES_ROOT of the
// registry stand-in (ProgIDs, the class key, the type library and the
// interface, as a component runtime would find them).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "shell/zarvinet.h"

namespace zarvion {

constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111);
constexpr HRESULT SELFREG_E_TYPELIB = static_cast<HRESULT>(0x80040200);
constexpr HRESULT SELFREG_E_CLASS = static_cast<HRESULT>(0x80040201);

constexpr Guid IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr Guid IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr Guid IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// The component categories the class implements.
constexpr Guid CATID_Control = {
    0x40FC6ED3, 0x2438, 0x11CF, {0xA3, 0xDB, 0x08, 0x00, 0x36, 0xF1, 0x25, 0x02}};
constexpr Guid CATID_SafeForScripting = {
    0x7DD95801, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}};

class ZarvinetClassFactory {
 public:
  // `outer` non-null asks for aggregation, which the class does not offer.
  // The object answers to IUnknown, IDispatch and IZarvinet.
  HRESULT CreateInstance(const void* outer, const Guid& iid, std::unique_ptr<Zarvinet>* out);
  // Counts into the module's lock count, like a live object.
  HRESULT LockServer(bool lock);
};

// The class object for CLSID_Zarvinet (asked for as IUnknown or
// IClassFactory); any other class fails with CLASS_E_CLASSNOTAVAILABLE.
HRESULT DllGetClassObject(const Guid& clsid, const Guid& iid, ZarvinetClassFactory** out);
// S_OK when no object lives and no lock is held, else S_FALSE.
HRESULT DllCanUnloadNow();
// The module's live objects plus server locks.
long ModuleLockCount();

// Register or remove the entries, naming `modulePath` (a library file that
// carries the type library) as the server: the registrar script's entries,
// the implemented categories and the type library, all in one write of the
// class hive, so a failure leaves no part of them behind. Failures are
// SELFREG_E_TYPELIB (the file carries no readable type library) or
// SELFREG_E_CLASS (the script or the hive write failed). The plain forms
// name the file this code was loaded from.
HRESULT RegisterServer(std::string_view modulePath);
HRESULT UnregisterServer();
HRESULT DllRegisterServer();
HRESULT DllUnregisterServer();
// The full path of the file this code was loaded from (the library, or a
// program the shell is linked into), resolved once when it was loaded, so a
// later change of the process's folder does not change it; empty when it
// could not be resolved then.
std::string ModulePath();

// For hosts that link the shell themselves: registers the control library
// (libzarvion.so in the program's folder, in ../lib beside it, or in the
// folder the package installs it to, lib/<multiarch>/zarvion) for the
// user when no usable registration of the type library exists yet, so
// scripting by name works. True when a usable registration exists after.
bool EnsureControlRegistered();

// Called by Zarvinet's constructor and destructor.
void ModuleAddRef();
void ModuleRelease();
// A server lock (LockServer): true adds one; false takes one away only
// while one is held, so the count never drops below the live objects.
void ModuleLockServer(bool lock);

}  // namespace zarvion
