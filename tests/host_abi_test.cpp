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

// A stream the host owns: a byte buffer read from the front, written at the
// end, handing out at most `chunk` bytes per read.
struct HostStream {
  ISequentialStream face;
  std::string bytes;
  size_t readAt = 0;
  uint32_t chunk = UINT32_MAX;

  HostStream() : face{&kVtbl} {}
  static HostStream* Self(ISequentialStream* p) { return reinterpret_cast<HostStream*>(p); }
  static HRESULT QueryInterface(ISequentialStream*, REFIID, void** out) {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  static uint32_t AddRef(ISequentialStream*) { return 1; }
  static uint32_t Release(ISequentialStream*) { return 1; }
  static HRESULT Read(ISequentialStream* p, void* data, uint32_t size, uint32_t* done) {
    HostStream* s = Self(p);
    const size_t n = std::min<size_t>({size, s->chunk, s->bytes.size() - s->readAt});
    std::memcpy(data, s->bytes.data() + s->readAt, n);
    s->readAt += n;
    *done = static_cast<uint32_t>(n);
    return n < size ? S_FALSE : S_OK;
  }
  static HRESULT Write(ISequentialStream* p, const void* data, uint32_t size, uint32_t* done) {
    Self(p)->bytes.append(static_cast<const char*>(data), size);
    *done = size;
    return S_OK;
  }
  static constexpr ISequentialStreamVtbl kVtbl = {QueryInterface, AddRef, Release, Read, Write};
};

// The record behind a control the library made. Zarvinet's type
// information lives in the library only, so the checked cast is left out.
__attribute__((no_sanitize("vptr"))) const ControlObject& RecordOf(Zarvinet* z) {
  return z->Object();
}
__attribute__((no_sanitize("vptr"))) HimetricSize ExtentOf(Zarvinet* z) {
  return z->extent;
}

// What the control writes for an extent: "_cx" and "_cy" as UTF-16 names
// with VT_UI4 values, built here without the library's code.
std::string SaveExtentForTest(std::pair<uint32_t, uint32_t> extent) {
  std::string out;
  for (auto [name, value] : {std::pair{"_cx", extent.first}, std::pair{"_cy", extent.second}}) {
    out += std::string("\x06\x00", 2);
    for (int i = 0; i < 3; ++i) out += std::string{name[i], '\0'};
    out += std::string("\x13\x00", 2);
    for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  }
  return out;
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

  // Names after the member's are its parameters, by position.
  const char16_t* names[] = {u"ConnectServer", u"strpara", u"strHostName"};
  int32_t ids[3] = {};
  EXPECT_EQ(control->vtbl->GetIDsOfNames(control, &IID_NULL, names, 1, 0, ids), S_OK);
  EXPECT_EQ(ids[0], 3);
  EXPECT_EQ(control->vtbl->GetIDsOfNames(control, &IID_NULL, names, 3, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], 3);
  EXPECT_EQ(ids[1], 2);
  EXPECT_EQ(ids[2], DISPID_UNKNOWN);
  const char16_t* unknownMember[] = {u"Disconnect", u"strHost"};
  EXPECT_EQ(control->vtbl->GetIDsOfNames(control, &IID_NULL, unknownMember, 2, 0, ids),
            DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], DISPID_UNKNOWN);
  EXPECT_EQ(ids[1], DISPID_UNKNOWN);

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

  // Stream persistence of the extent, on a stream the host made.
  void* persisted = nullptr;
  ASSERT_EQ(control->vtbl->QueryInterface(control, &IID_IPersistStreamInit, &persisted), S_OK);
  auto* persist = static_cast<IPersistStreamInit*>(persisted);
  void* identity = nullptr;
  ASSERT_EQ(persist->vtbl->QueryInterface(persist, &IID_IUnknown, &identity), S_OK);
  EXPECT_EQ(identity, object);
  persist->vtbl->Release(persist);
  Guid clsid{};
  ASSERT_EQ(persist->vtbl->GetClassID(persist, &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_Zarvinet);
  uint64_t sizeMax = 0;
  ASSERT_EQ(persist->vtbl->GetSizeMax(persist, &sizeMax), S_OK);
  EXPECT_EQ(sizeMax, 28u);
  HostStream saved;
  ASSERT_EQ(persist->vtbl->Save(persist, &saved.face, 1), S_OK);
  EXPECT_EQ(saved.bytes, SaveExtentForTest({9366, 5636}));

  HostStream loaded;
  loaded.bytes = SaveExtentForTest({1234, 5678});
  loaded.chunk = 3;  // a stream that hands out a little at a time
  ASSERT_EQ(persist->vtbl->Load(persist, &loaded.face), S_OK);
  EXPECT_EQ(ExtentOf(made).cx, 1234u);
  EXPECT_EQ(ExtentOf(made).cy, 5678u);
  EXPECT_EQ(persist->vtbl->IsDirty(persist), S_FALSE);
  HostStream cut;
  cut.bytes = loaded.bytes.substr(0, 20);
  EXPECT_FALSE(Succeeded(persist->vtbl->Load(persist, &cut.face)));
  EXPECT_EQ(ExtentOf(made).cx, 1234u);
  ASSERT_EQ(persist->vtbl->InitNew(persist), S_OK);
  EXPECT_EQ(ExtentOf(made).cx, 9366u);
  EXPECT_EQ(persist->vtbl->IsDirty(persist), S_OK);
  EXPECT_EQ(persist->vtbl->Release(persist), 1u);

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

TEST_F(HostTest, RegsvrRegistersRemovesAndRefusesWhatIsNoControlLibrary) {
  ProgramRun run = RunProgram(kRegsvr + " " + kLibrary);
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(RegKeyExists(Hive::kClassesRoot, kClassKey));
  run = RunProgram(kRegsvr + " -u " + kLibrary);
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
  EXPECT_NE(run.output.find("DllUnregisterServer"), std::string::npos) << run.output;
  EXPECT_FALSE(RegKeyExists(Hive::kClassesRoot, kClassKey));
  EXPECT_EQ(RunProgram(kRegsvr).status, 2);

  const std::string missing = root_.string() + "/missing/libzarvion.so";
  run = RunProgram(kRegsvr + " " + missing);
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

TEST_F(HostTest, RegistrationNamesTheFileLoadedEvenAfterTheProcessMovedOn) {
  // Loaded as ./libzarvion.so from the library's folder, registered from a
  // folder that holds no such file.
  const std::string elsewhere = MakeFolder("elsewhere");
  const ProgramRun run = RunProgram(std::string(ZARVION_BIN_DIR) + "/relative_load_child " +
                                    ZARVION_LIB_DIR + " " + elsewhere);
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output, "00000000\n");
  char* full = ::realpath(kLibrary.c_str(), nullptr);
  ASSERT_NE(full, nullptr);
  const std::string library(full);
  std::free(full);
  std::string server;
  ASSERT_TRUE(RegGetString(Hive::kClassesRoot, kClassKey + "\\InprocServer32", "", &server));
  EXPECT_EQ(server, library);
}

}  // namespace
