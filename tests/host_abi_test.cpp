// The control library as a host that knows only its exported names sees
// it: registered by zarvion-regsvr, loaded with dlopen from the path the
// registration names, the class object, the control's interfaces by their
// table layout, scripting by name, the unload test and unregistration.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core_test_env.h"
#include "platform/registry.h"
#include "shell/com_abi.h"
#include "shell/module.h"

using namespace zarvion;
using namespace zarvion::abi;

namespace {

using CanUnloadNowFn = HRESULT (*)();
using GetClassObjectFn = HRESULT (*)(const Guid*, const Guid*, void**);
using RegistrationFn = HRESULT (*)();
using ControlOfFn = Zarvinet* (*)(void*);

std::string GuidText(const Guid& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1,
                g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4],
                g.data4[5], g.data4[6], g.data4[7]);
  return buf;
}

const std::string kLibrary = std::string(ZARVION_LIB_DIR) + "/libzarvion.so";
const std::string kRegsvr = std::string(ZARVION_BIN_DIR) + "/zarvion-regsvr";
const std::string kClassKey = "CLSID\\" + GuidText(CLSID_Zarvinet);

struct ProgramRun {
  int status = -1;
  std::string output;
};

ProgramRun RunProgram(const std::string& command) {
  ProgramRun run;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return run;
  char buf[512];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) run.output.append(buf, n);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// One BSTR the host owns: its length in bytes before the text, a NUL after.
class HostBstr {
 public:
  explicit HostBstr(std::u16string_view text) : block_((text.size() + 3) * 2 + 4) {
    const uint32_t bytes = static_cast<uint32_t>(text.size() * 2);
    std::memcpy(block_.data(), &bytes, 4);
    std::memcpy(block_.data() + 4, text.data(), bytes);
  }
  BSTR get() { return reinterpret_cast<BSTR>(block_.data() + 4); }

 private:
  std::vector<char> block_;
};

VARIANT BstrArg(HostBstr& s) {
  VARIANT v{};
  v.vt = VT_BSTR;
  v.bstrVal = s.get();
  return v;
}

struct Library {
  void* handle = nullptr;
  CanUnloadNowFn canUnloadNow = nullptr;
  GetClassObjectFn getClassObject = nullptr;
  RegistrationFn registerServer = nullptr;
  RegistrationFn unregisterServer = nullptr;

  // The library stays loaded for the process: it starts Qt, which is not
  // made to be unloaded.
  explicit Library(const std::string& path) {
    handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) return;
    canUnloadNow = reinterpret_cast<CanUnloadNowFn>(::dlsym(handle, "DllCanUnloadNow"));
    getClassObject = reinterpret_cast<GetClassObjectFn>(::dlsym(handle, "DllGetClassObject"));
    registerServer = reinterpret_cast<RegistrationFn>(::dlsym(handle, "DllRegisterServer"));
    unregisterServer = reinterpret_cast<RegistrationFn>(::dlsym(handle, "DllUnregisterServer"));
  }
  bool complete() const {
    return handle && canUnloadNow && getClassObject && registerServer && unregisterServer;
  }
};

// The record behind a control the library made. Zarvinet's type
// information lives in the library only, so the checked cast is left out.
__attribute__((no_sanitize("vptr"))) const ControlObject& RecordOf(Zarvinet* z) {
  return z->Object();
}

class HostTest : public zarvion::testing::TempHomeTest {};

TEST_F(HostTest, HostFindsCreatesAndScriptsTheControl) {
  // Before registration the class can be made, but not scripted by name.
  {
    Library direct(kLibrary);
    ASSERT_TRUE(direct.complete()) << ::dlerror();
    void* factory = nullptr;
    ASSERT_EQ(direct.getClassObject(&CLSID_Zarvinet, &IID_IClassFactory, &factory), S_OK);
    auto* cf = static_cast<IClassFactory*>(factory);
    void* object = nullptr;
    ASSERT_EQ(cf->vtbl->CreateInstance(cf, nullptr, &IID_IDispatch, &object), S_OK);
    auto* control = static_cast<zarvion::abi::IZarvinet*>(object);
    const char16_t* name = u"ConnectServer";
    int32_t id = 0;
    EXPECT_EQ(control->vtbl->GetIDsOfNames(control, &IID_NULL, &name, 1, 0, &id),
              DISP_E_UNKNOWNNAME);
    EXPECT_EQ(id, DISPID_UNKNOWN);
    control->vtbl->Release(control);
    cf->vtbl->Release(cf);
  }

  const ProgramRun reg = RunProgram(kRegsvr + " " + kLibrary);
  ASSERT_EQ(reg.status, 0) << reg.output;
  EXPECT_EQ(std::count(reg.output.begin(), reg.output.end(), '\n'), 1) << reg.output;

  std::string server;
  ASSERT_TRUE(RegGetString(Hive::kClassesRoot, kClassKey + "\\InprocServer32", "", &server));
  ASSERT_EQ(server.front(), '/');
  Library lib(server);
  ASSERT_TRUE(lib.complete()) << ::dlerror();

  const Guid other = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  void* none = &none;
  EXPECT_EQ(lib.getClassObject(&other, &IID_IClassFactory, &none), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(none, nullptr);

  void* factory = nullptr;
  ASSERT_EQ(lib.getClassObject(&CLSID_Zarvinet, &IID_IClassFactory, &factory), S_OK);
  auto* cf = static_cast<IClassFactory*>(factory);
  ASSERT_EQ(lib.canUnloadNow(), S_OK);

  // Aggregation is refused and nothing is left alive.
  IUnknown outer{};
  void* object = &object;
  EXPECT_EQ(cf->vtbl->CreateInstance(cf, &outer, &IID_IDispatch, &object), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(lib.canUnloadNow(), S_OK);
  EXPECT_EQ(cf->vtbl->CreateInstance(cf, nullptr, &IID_IClassFactory, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(lib.canUnloadNow(), S_OK);

  ASSERT_EQ(cf->vtbl->CreateInstance(cf, nullptr, &IID_IDispatch, &object), S_OK);
  auto* control = static_cast<zarvion::abi::IZarvinet*>(object);
  EXPECT_EQ(lib.canUnloadNow(), S_FALSE);

  void* same = nullptr;
  ASSERT_EQ(control->vtbl->QueryInterface(control, &IID_IZarvinet, &same), S_OK);
  EXPECT_EQ(same, object);
  control->vtbl->Release(control);
  ASSERT_EQ(control->vtbl->QueryInterface(control, &IID_IUnknown, &same), S_OK);
  EXPECT_EQ(same, object);
  control->vtbl->Release(control);
  // IViewObject: a container interface this platform gives no meaning.
  const Guid viewObject = {0x0000010D, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  same = &same;
  EXPECT_EQ(control->vtbl->QueryInterface(control, &viewObject, &same), E_NOINTERFACE);
  EXPECT_EQ(same, nullptr);

  const char16_t* names[] = {u"ConnectServer", u"strhostname", u"Disconnect"};
  int32_t ids[3] = {};
  EXPECT_EQ(control->vtbl->GetIDsOfNames(control, &IID_NULL, names, 1, 0, ids), S_OK);
  EXPECT_EQ(ids[0], 3);
  EXPECT_EQ(control->vtbl->GetIDsOfNames(control, &IID_NULL, names, 3, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[1], 1);
  EXPECT_EQ(ids[2], DISPID_UNKNOWN);

  uint32_t count = 0;
  ASSERT_EQ(control->vtbl->GetTypeInfoCount(control, &count), S_OK);
  EXPECT_EQ(count, 1u);
  void* info = nullptr;
  ASSERT_EQ(control->vtbl->GetTypeInfo(control, 0, 0, &info), S_OK);
  auto* typeInfo = static_cast<ITypeInfo*>(info);
  BSTR doc = nullptr;
  ASSERT_EQ(typeInfo->vtbl->GetDocumentation(typeInfo, 3, nullptr, &doc, nullptr, nullptr), S_OK);
  EXPECT_EQ(std::u16string(doc), u"连接服务器");
  reinterpret_cast<void (*)(BSTR)>(::dlsym(lib.handle, "SysFreeString"))(doc);
  EXPECT_EQ(typeInfo->vtbl->Release(typeInfo), 0u);
  info = &info;
  EXPECT_EQ(control->vtbl->GetTypeInfo(control, 1, 0, &info), DISP_E_BADINDEX);
  EXPECT_EQ(info, nullptr);

  // ConnectServer through Invoke: arguments last first.
  HostBstr host(u"127.0.0.1"), port(u"9000"), para(u"user=admin");
  VARIANT args[3] = {BstrArg(para), BstrArg(port), BstrArg(host)};
  DISPPARAMS params{args, nullptr, 3, 0};
  VARIANT result{};
  result.vt = VT_I4;
  ASSERT_EQ(control->vtbl->Invoke(control, 3, &IID_NULL, 0, DISPATCH_METHOD, &params, &result,
                                  nullptr, nullptr),
            S_OK);
  EXPECT_EQ(result.vt, VT_EMPTY);
  auto controlOf =
      reinterpret_cast<ControlOfFn>(::dlsym(lib.handle, "_ZN7zarvion3abi9ControlOfEPv"));
  ASSERT_NE(controlOf, nullptr);
  Zarvinet* made = controlOf(object);
  ASSERT_NE(made, nullptr);
  const ControlObject* z = &RecordOf(made);
  EXPECT_STREQ(z->szHostName, "127.0.0.1");
  EXPECT_EQ(z->wHostPort, 9000);
  EXPECT_STREQ(z->szLoginPara, "user=admin");
  ASSERT_TRUE(z->hConnectEvent);
  EXPECT_TRUE(z->hConnectEvent->IsSet());

  // Calls a caller got wrong change nothing.
  const Guid someIid = {1, 1, 1, {1, 1, 1, 1, 1, 1, 1, 1}};
  EXPECT_EQ(control->vtbl->Invoke(control, 3, &someIid, 0, DISPATCH_METHOD, &params, nullptr,
                                  nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);
  EXPECT_EQ(control->vtbl->Invoke(control, 3, &IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr,
                                  nullptr, nullptr),
            E_POINTER);
  int32_t named = 0;
  DISPPARAMS withNames{args, &named, 3, 1};
  EXPECT_EQ(control->vtbl->Invoke(control, 3, &IID_NULL, 0, DISPATCH_METHOD, &withNames, nullptr,
                                  nullptr, nullptr),
            DISP_E_NONAMEDARGS);
  DISPPARAMS two{args, nullptr, 2, 0};
  EXPECT_EQ(control->vtbl->Invoke(control, 3, &IID_NULL, 0, DISPATCH_METHOD, &two, nullptr, nullptr,
                                  nullptr),
            DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(control->vtbl->Invoke(control, 9, &IID_NULL, 0, DISPATCH_METHOD, &params, nullptr,
                                  nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  EXPECT_STREQ(z->szHostName, "127.0.0.1");

  // The property put with its named argument, and the v-table member.
  HostBstr newHost(u"10.1.2.3");
  VARIANT value = BstrArg(newHost);
  int32_t putId = DISPID_PROPERTYPUT;
  DISPPARAMS put{&value, &putId, 1, 1};
  ASSERT_EQ(control->vtbl->Invoke(control, 1, &IID_NULL, 0, DISPATCH_PROPERTYPUT, &put, nullptr,
                                  nullptr, nullptr),
            S_OK);
  EXPECT_STREQ(z->szHostName, "10.1.2.3");
  HostBstr newPort(u"70000");
  ASSERT_EQ(control->vtbl->put_strHostPort(control, BstrArg(newPort)), S_OK);
  EXPECT_EQ(z->wHostPort, 4464);
  VARIANT nullText{};
  nullText.vt = VT_BSTR;  // a null BSTR is an empty string
  ASSERT_EQ(control->vtbl->put_strHostName(control, nullText), S_OK);
  EXPECT_STREQ(z->szHostName, "");

  // The unload test counts live objects and server locks only.
  ASSERT_EQ(cf->vtbl->LockServer(cf, 1), S_OK);
  EXPECT_EQ(control->vtbl->Release(control), 0u);
  EXPECT_EQ(lib.canUnloadNow(), S_FALSE);
  ASSERT_EQ(cf->vtbl->LockServer(cf, 0), S_OK);
  EXPECT_EQ(lib.canUnloadNow(), S_OK);
  cf->vtbl->Release(cf);

  ASSERT_EQ(lib.unregisterServer(), S_OK);
  EXPECT_FALSE(RegKeyExists(Hive::kClassesRoot, kClassKey));
  EXPECT_FALSE(RegKeyExists(Hive::kClassesRoot, "Zarvion.Zarvinet"));
  EXPECT_FALSE(RegKeyExists(Hive::kClassesRoot, "Zarvion.Zarvinet.1"));
  EXPECT_FALSE(RegKeyExists(Hive::kClassesRoot, "TypeLib\\" + GuidText(LIBID_ZARVIONLib)));
  EXPECT_FALSE(RegKeyExists(Hive::kClassesRoot, "Interface\\" + GuidText(IID_IZarvinet)));
  EXPECT_TRUE(RegKeyExists(Hive::kClassesRoot, "CLSID"));
}

TEST_F(HostTest, RegsvrRefusesWhatIsNoControlLibrary) {
  const std::string missing = root_.string() + "/missing/libzarvion.so";
  ProgramRun run = RunProgram(kRegsvr + " " + missing);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
  EXPECT_NE(run.output.find(missing), std::string::npos) << run.output;

  const std::string plain = std::string(ZARVION_LIB_DIR) + "/libzarvion_test_plain.so";
  for (const std::string flag : {"", "-u "}) {
    run = RunProgram(kRegsvr + " " + flag + plain);
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
    EXPECT_NE(run.output.find(flag.empty() ? "DllRegisterServer" : "DllUnregisterServer"),
              std::string::npos)
        << run.output;
  }

  // A file that is no library at all.
  const std::string text = root_.string() + "/notes.txt";
  FILE* f = std::fopen(text.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("not a library\n", f);
  std::fclose(f);
  run = RunProgram(kRegsvr + " " + text);
  EXPECT_EQ(run.status, 2) << run.output;
  EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
  EXPECT_FALSE(RegKeyExists(Hive::kClassesRoot, kClassKey));
}

}  // namespace
