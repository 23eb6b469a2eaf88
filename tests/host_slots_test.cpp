// A host written from the documented binary layout alone: its own GUIDs,
// records and function-pointer types, every call made through a table slot
// by its fixed index. It calls every slot of every interface the control
// hands out and checks each one's effect, so a table whose members moved
// (even in step with our own declarations) fails here. ConnectServer is
// checked end to end: the simulated recorder, in a process of its own on
// loopback, must receive the login parameter it was given.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QWidget>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/control_object.h"
#include "platform/registry.h"
#include "shell/zarvinet.h"
#include "window/control_window.h"

extern char** environ;

namespace {

// ---- the layout, as documented ----

using HRESULT = int32_t;
constexpr HRESULT kOk = 0, kFalse = 1;
constexpr HRESULT kNotImpl = static_cast<HRESULT>(0x80004001);
constexpr HRESULT kNoInterface = static_cast<HRESULT>(0x80004002);
constexpr HRESULT kNoAggregation = static_cast<HRESULT>(0x80040110);
constexpr HRESULT kUnknownName = static_cast<HRESULT>(0x80020006);
constexpr HRESULT kBadIndex = static_cast<HRESULT>(0x8002000B);

struct GUID {
  uint32_t a;
  uint16_t b, c;
  uint8_t d[8];
};
bool Same(const GUID& x, const GUID& y) {
  return std::memcmp(&x, &y, sizeof x) == 0;
}
constexpr GUID kIUnknown = {0x00000000, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID kIClassFactory = {0x00000001, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID kIDispatch = {0x00020400, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID kITypeInfo = {0x00020401, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID kIPersist = {0x0000010C, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr GUID kIPersistStreamInit = {
    0x7FD52380, 0x4E07, 0x101B, {0xAE, 0x2D, 0x08, 0x00, 0x2B, 0x2E, 0xC7, 0x13}};
constexpr GUID kNull = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
constexpr GUID kOther = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
// The published identifiers of the class and its interface.
constexpr GUID kClsid = {
    0x9DEF5882, 0xA4D2, 0x448E, {0xA2, 0xC8, 0xA8, 0xA8, 0x82, 0x79, 0xB8, 0x3E}};
constexpr GUID kIZarvinet = {
    0xA12C870A, 0x7E21, 0x45CC, {0x81, 0x5F, 0x2E, 0xF3, 0xB0, 0x7B, 0x89, 0x9A}};

struct VARIANT {
  uint16_t vt, r1, r2, r3;
  void* value;  // offset 8
  void* r4;
};
static_assert(sizeof(VARIANT) == 24);
constexpr uint16_t kVtBstr = 8;
struct DISPPARAMS {
  VARIANT* args;  // last argument first
  int32_t* named;
  uint32_t count, namedCount;
};
using BSTR = char16_t*;

// The function in slot `index` of the interface `p`, as type F.
template <typename F>
F Slot(void* p, int index) {
  return reinterpret_cast<F>((*static_cast<void***>(p))[index]);
}

using QueryInterfaceFn = HRESULT (*)(void*, const GUID*, void**);
using CountFn = uint32_t (*)(void*);
HRESULT Query(void* p, const GUID& iid, void** out) {
  return Slot<QueryInterfaceFn>(p, 0)(p, &iid, out);
}
uint32_t AddRef(void* p) {
  return Slot<CountFn>(p, 1)(p);
}
uint32_t Release(void* p) {
  return Slot<CountFn>(p, 2)(p);
}

// A BSTR the host owns: length in bytes before the text, a NUL after it.
class HostBstr {
 public:
  explicit HostBstr(std::u16string_view text) : block_(4 + (text.size() + 1) * 2) {
    const uint32_t bytes = static_cast<uint32_t>(text.size() * 2);
    std::memcpy(block_.data(), &bytes, 4);
    std::memcpy(block_.data() + 4, text.data(), bytes);
  }
  VARIANT Arg() {
    VARIANT v{};
    v.vt = kVtBstr;
    v.value = block_.data() + 4;
    return v;
  }

 private:
  std::vector<char> block_;
};

// A stream the host owns: IUnknown, Read, Write.
struct HostStream {
  void* vtbl;
  std::string bytes;
  size_t readAt = 0;

  static HRESULT QueryInterface(void*, const GUID*, void** out) {
    *out = nullptr;
    return kNoInterface;
  }
  static uint32_t Count(void*) { return 1; }
  static HRESULT Read(void* p, void* data, uint32_t size, uint32_t* done) {
    auto* s = static_cast<HostStream*>(p);
    const size_t n = std::min<size_t>(size, s->bytes.size() - s->readAt);
    std::memcpy(data, s->bytes.data() + s->readAt, n);
    s->readAt += n;
    *done = static_cast<uint32_t>(n);
    return n < size ? kFalse : kOk;
  }
  static HRESULT Write(void* p, const void* data, uint32_t size, uint32_t* done) {
    static_cast<HostStream*>(p)->bytes.append(static_cast<const char*>(data), size);
    *done = size;
    return kOk;
  }
  static inline void* table[5] = {reinterpret_cast<void*>(&QueryInterface),
                                  reinterpret_cast<void*>(&Count), reinterpret_cast<void*>(&Count),
                                  reinterpret_cast<void*>(&Read), reinterpret_cast<void*>(&Write)};
  HostStream() : vtbl(table) {}
};

// "_cx" and "_cy" as the control persists them: u16 name length, UTF-16
// name, u16 type VT_UI4, u32 value.
std::string ExtentBytes(uint32_t cx, uint32_t cy) {
  std::string out;
  for (auto [name, value] : {std::pair{"_cx", cx}, std::pair{"_cy", cy}}) {
    out += std::string("\x06\x00", 2);
    for (int i = 0; i < 3; ++i) out += std::string{name[i], '\0'};
    out += std::string("\x13\x00", 2);
    for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  }
  return out;
}

// ---- the library as a host finds it ----

struct Library {
  void* handle = nullptr;
  HRESULT (*canUnloadNow)() = nullptr;
  HRESULT (*getClassObject)(const GUID*, const GUID*, void**) = nullptr;
  void (*freeString)(BSTR) = nullptr;
  zarvion::Zarvinet* (*controlOf)(void*) = nullptr;
  // CreateControlWindow: its std::unique_ptr comes back as one pointer in
  // memory the caller provides, which this record stands for.
  struct ReturnedWindow {
    QWidget* widget;
    ~ReturnedWindow() {}  // not trivial, so returned in memory as the library does
  };
  ReturnedWindow (*createWindow)(zarvion::Zarvinet&, QWidget*,
                                 zarvion::ControlWindowOptions) = nullptr;
};

std::string Run(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return out;
  char buf[256];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  ::pclose(pipe);
  return out;
}

// Registered by zarvion-regsvr, then loaded from the file the class's
// registration names, found through the ProgID.
const Library& TheLibrary() {
  static Library lib = [] {
    Library l;
    const std::string lib = std::string(ZARVION_LIB_DIR) + "/libzarvion.so";
    Run(std::string(ZARVION_BIN_DIR) + "/zarvion-regsvr " + lib);
    std::string clsid, server;
    if (!zarvion::RegGetString(zarvion::Hive::kClassesRoot, "Zarvion.Zarvinet\\CLSID", "",
                               &clsid) ||
        clsid != "{9DEF5882-A4D2-448E-A2C8-A8A88279B83E}" ||
        !zarvion::RegGetString(zarvion::Hive::kClassesRoot, "CLSID\\" + clsid + "\\InprocServer32",
                               "", &server)) {
      return l;
    }
    l.handle = ::dlopen(server.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!l.handle) return l;
    auto sym = [&](const char* name) { return ::dlsym(l.handle, name); };
    l.canUnloadNow = reinterpret_cast<decltype(l.canUnloadNow)>(sym("DllCanUnloadNow"));
    l.getClassObject = reinterpret_cast<decltype(l.getClassObject)>(sym("DllGetClassObject"));
    l.freeString = reinterpret_cast<decltype(l.freeString)>(sym("SysFreeString"));
    // Our own host's C++ entries: the control behind a pointer, its window.
    l.controlOf = reinterpret_cast<decltype(l.controlOf)>(sym("_ZN7zarvion3abi9ControlOfEPv"));
    l.createWindow = reinterpret_cast<decltype(l.createWindow)>(
        sym("_ZN7zarvion19CreateControlWindowERNS_8ZarvinetEP7QWidgetNS_20ControlWindowOptionsE"));
    return l;
  }();
  return lib;
}

class HostSlots : public ::testing::Test {
 protected:
  void SetUp() override {
    const Library& lib = TheLibrary();
    ASSERT_TRUE(lib.handle && lib.canUnloadNow && lib.getClassObject && lib.freeString &&
                lib.controlOf && lib.createWindow);
    ASSERT_EQ(lib.getClassObject(&kClsid, &kIClassFactory, &factory_), kOk);
    ASSERT_EQ(CreateInstance(nullptr, kIZarvinet, &control_), kOk);
  }
  void TearDown() override {
    if (control_) {
      EXPECT_EQ(Release(control_), 0u);
    }
    if (factory_) Release(factory_);
    EXPECT_EQ(TheLibrary().canUnloadNow(), kOk);
  }
  HRESULT CreateInstance(void* outer, const GUID& iid, void** out) {
    using Fn = HRESULT (*)(void*, void*, const GUID*, void**);
    return Slot<Fn>(factory_, 3)(factory_, outer, &iid, out);
  }
  HRESULT LockServer(int32_t lock) {
    return Slot<HRESULT (*)(void*, int32_t)>(factory_, 4)(factory_, lock);
  }
  // The control's record. Zarvinet's type information is in the library
  // only, so the checked access is left out.
  __attribute__((no_sanitize("vptr"))) const zarvion::ControlObject& Record() {
    return TheLibrary().controlOf(control_)->Object();
  }
  // The control's window, made by the library's code.
  __attribute__((no_sanitize("vptr"))) QWidget* OpenWindow() {
    return TheLibrary().createWindow(*TheLibrary().controlOf(control_), nullptr, {}).widget;
  }
  std::u16string Take(BSTR s) {
    std::u16string text = s ? s : u"";
    TheLibrary().freeString(s);
    return text;
  }

  void* factory_ = nullptr;
  void* control_ = nullptr;
};

TEST_F(HostSlots, ClassObjectSlots) {
  const Library& lib = TheLibrary();
  void* p = &p;
  EXPECT_EQ(Query(factory_, kIUnknown, &p), kOk);  // 0
  EXPECT_EQ(p, factory_);
  EXPECT_EQ(Query(factory_, kIDispatch, &p), kNoInterface);
  EXPECT_EQ(p, nullptr);
  // 1 and 2: the one class object lives as long as the library.
  EXPECT_GT(AddRef(factory_), 0u);
  EXPECT_GT(Release(factory_), 0u);

  // 3: CreateInstance refuses aggregation, makes nothing, and makes a control.
  void* outer[1] = {nullptr};
  p = &p;
  EXPECT_EQ(CreateInstance(outer, kIDispatch, &p), kNoAggregation);
  EXPECT_EQ(p, nullptr);
  void* second = nullptr;
  ASSERT_EQ(CreateInstance(nullptr, kIDispatch, &second), kOk);
  EXPECT_NE(second, control_);
  EXPECT_EQ(Release(second), 0u);

  // 4: LockServer holds the library; an unlock without a lock takes away
  // nothing, so a live control still holds it.
  EXPECT_EQ(LockServer(0), kOk);
  EXPECT_EQ(lib.canUnloadNow(), kFalse);
  EXPECT_EQ(Release(control_), 0u);
  control_ = nullptr;
  EXPECT_EQ(lib.canUnloadNow(), kOk);
  EXPECT_EQ(LockServer(1), kOk);
  EXPECT_EQ(lib.canUnloadNow(), kFalse);
  EXPECT_EQ(LockServer(0), kOk);
  EXPECT_EQ(lib.canUnloadNow(), kOk);
  EXPECT_EQ(LockServer(0), kOk);
  ASSERT_EQ(CreateInstance(nullptr, kIZarvinet, &control_), kOk);
  EXPECT_EQ(lib.canUnloadNow(), kFalse);
}

TEST_F(HostSlots, DispatchAndPropertySlots) {
  void* p = nullptr;
  for (const GUID* iid : {&kIUnknown, &kIDispatch, &kIZarvinet}) {  // 0
    ASSERT_EQ(Query(control_, *iid, &p), kOk);
    EXPECT_EQ(p, control_);
    Release(control_);
  }
  EXPECT_EQ(AddRef(control_), 2u);   // 1
  EXPECT_EQ(Release(control_), 1u);  // 2

  uint32_t count = 7;
  ASSERT_EQ(Slot<HRESULT (*)(void*, uint32_t*)>(control_, 3)(control_, &count), kOk);
  EXPECT_EQ(count, 1u);

  using GetTypeInfoFn = HRESULT (*)(void*, uint32_t, uint32_t, void**);
  void* info = nullptr;
  ASSERT_EQ(Slot<GetTypeInfoFn>(control_, 4)(control_, 0, 0, &info), kOk);
  void* same = nullptr;
  ASSERT_EQ(Query(info, kITypeInfo, &same), kOk);
  EXPECT_EQ(same, info);
  Release(same);
  EXPECT_EQ(Release(info), 0u);
  info = &info;
  EXPECT_EQ(Slot<GetTypeInfoFn>(control_, 4)(control_, 1, 0, &info), kBadIndex);
  EXPECT_EQ(info, nullptr);

  // 5: a member's name, then its parameters' names, which get positions.
  using NamesFn = HRESULT (*)(void*, const GUID*, const char16_t**, uint32_t, uint32_t, int32_t*);
  const auto names = Slot<NamesFn>(control_, 5);
  const char16_t* connect[] = {u"ConnectServer", u"strHost", u"strPort", u"strPara"};
  int32_t ids[4] = {};
  ASSERT_EQ(names(control_, &kNull, connect, 4, 0, ids), kOk);
  EXPECT_EQ(std::vector<int32_t>(ids, ids + 4), (std::vector<int32_t>{3, 0, 1, 2}));
  const char16_t* reordered[] = {u"connectserver", u"STRPARA", u"strHost"};
  ASSERT_EQ(names(control_, &kNull, reordered, 3, 0, ids), kOk);
  EXPECT_EQ(std::vector<int32_t>(ids, ids + 3), (std::vector<int32_t>{3, 2, 0}));
  const char16_t* wrong[] = {u"ConnectServer", u"strHost", u"strHostName"};
  EXPECT_EQ(names(control_, &kNull, wrong, 3, 0, ids), kUnknownName);
  EXPECT_EQ(std::vector<int32_t>(ids, ids + 3), (std::vector<int32_t>{3, 0, -1}));
  const char16_t* property[] = {u"strHostPort"};
  ASSERT_EQ(names(control_, &kNull, property, 1, 0, ids), kOk);
  EXPECT_EQ(ids[0], 2);

  // 6: Invoke, a property put with its named argument.
  HostBstr viaInvoke(u"10.0.0.6");
  VARIANT value = viaInvoke.Arg();
  int32_t putId = -3;
  DISPPARAMS put{&value, &putId, 1, 1};
  using InvokeFn = HRESULT (*)(void*, int32_t, const GUID*, uint32_t, uint16_t, DISPPARAMS*,
                               VARIANT*, void*, uint32_t*);
  ASSERT_EQ(Slot<InvokeFn>(control_, 6)(control_, 1, &kNull, 0, 4, &put, nullptr, nullptr, nullptr),
            kOk);
  EXPECT_STREQ(Record().szHostName, "10.0.0.6");

  // 7 and 8: each property its own setting, by value on the stack.
  using PutFn = HRESULT (*)(void*, VARIANT);
  HostBstr host(u"10.0.0.7"), port(u"8008");
  ASSERT_EQ(Slot<PutFn>(control_, 7)(control_, host.Arg()), kOk);
  EXPECT_STREQ(Record().szHostName, "10.0.0.7");
  EXPECT_EQ(Record().wHostPort, 0);
  ASSERT_EQ(Slot<PutFn>(control_, 8)(control_, port.Arg()), kOk);
  EXPECT_EQ(Record().wHostPort, 8008);
  EXPECT_STREQ(Record().szHostName, "10.0.0.7");
  EXPECT_FALSE(Record().hConnectEvent) << "only ConnectServer asks for a connection";
}

TEST_F(HostSlots, PersistenceSlots) {
  void* persist = nullptr;
  ASSERT_EQ(Query(control_, kIPersistStreamInit, &persist), kOk);
  EXPECT_NE(persist, control_);
  void* viaPersist = nullptr;
  ASSERT_EQ(Query(control_, kIPersist, &viaPersist), kOk);
  EXPECT_EQ(viaPersist, persist);
  Release(viaPersist);
  void* identity = nullptr;
  ASSERT_EQ(Query(persist, kIUnknown, &identity), kOk);  // 0
  EXPECT_EQ(identity, control_);
  Release(identity);
  EXPECT_EQ(AddRef(persist), 3u);   // 1: the control's count
  EXPECT_EQ(Release(persist), 2u);  // 2

  GUID clsid{};
  ASSERT_EQ(Slot<HRESULT (*)(void*, GUID*)>(persist, 3)(persist, &clsid), kOk);
  EXPECT_TRUE(Same(clsid, kClsid));
  const auto isDirty = Slot<HRESULT (*)(void*)>(persist, 4);
  EXPECT_EQ(isDirty(persist), kFalse);

  using SaveFn = HRESULT (*)(void*, void*, int32_t);
  HostStream initial;
  ASSERT_EQ(Slot<SaveFn>(persist, 6)(persist, &initial, 1), kOk);
  EXPECT_EQ(initial.bytes, ExtentBytes(9366, 5636));
  uint64_t size = 0;
  ASSERT_EQ(Slot<HRESULT (*)(void*, uint64_t*)>(persist, 7)(persist, &size), kOk);
  EXPECT_EQ(size, initial.bytes.size());

  HostStream loaded;
  loaded.bytes = ExtentBytes(1234, 5678);
  ASSERT_EQ(Slot<HRESULT (*)(void*, void*)>(persist, 5)(persist, &loaded), kOk);
  HostStream saved;
  ASSERT_EQ(Slot<SaveFn>(persist, 6)(persist, &saved, 1), kOk);
  EXPECT_EQ(saved.bytes, loaded.bytes);

  ASSERT_EQ(Slot<HRESULT (*)(void*)>(persist, 8)(persist), kOk);
  EXPECT_EQ(isDirty(persist), kOk);
  HostStream fresh;
  ASSERT_EQ(Slot<SaveFn>(persist, 6)(persist, &fresh, 1), kOk);
  EXPECT_EQ(fresh.bytes, initial.bytes);
  EXPECT_EQ(isDirty(persist), kFalse);
  EXPECT_EQ(Release(persist), 1u);
}

TEST_F(HostSlots, TypeInformationSlots) {
  void* info = nullptr;
  ASSERT_EQ(
      Slot<HRESULT (*)(void*, uint32_t, uint32_t, void**)>(control_, 4)(control_, 0, 0, &info),
      kOk);
  void* p = &p;
  EXPECT_EQ(Query(info, kIDispatch, &p), kNoInterface);  // 0
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(AddRef(info), 2u);   // 1
  EXPECT_EQ(Release(info), 1u);  // 2

  // What this platform cannot describe answers "not implemented" and
  // leaves no stale pointer or value behind.
  static int marker;
  void* const stale = &marker;
  using OutFn = HRESULT (*)(void*, void**);
  using IndexOutFn = HRESULT (*)(void*, uint32_t, void**);
  for (int slot : {3, 4}) {  // type attributes, type compiler
    p = stale;
    EXPECT_EQ(Slot<OutFn>(info, slot)(info, &p), kNotImpl) << slot;
    EXPECT_EQ(p, nullptr) << slot;
  }
  for (int slot : {5, 6, 14}) {  // function and variable descriptions, referenced type
    p = stale;
    EXPECT_EQ(Slot<IndexOutFn>(info, slot)(info, 0, &p), kNotImpl) << slot;
    EXPECT_EQ(p, nullptr) << slot;
  }
  uint32_t refType = 99;
  EXPECT_EQ(Slot<HRESULT (*)(void*, uint32_t, uint32_t*)>(info, 8)(info, 0, &refType), kNotImpl);
  EXPECT_EQ(refType, 0u);
  int32_t implFlags = 99;
  EXPECT_EQ(Slot<HRESULT (*)(void*, uint32_t, int32_t*)>(info, 9)(info, 0, &implFlags), kNotImpl);
  EXPECT_EQ(implFlags, 0);
  BSTR dll = reinterpret_cast<BSTR>(stale), entry = dll;
  uint16_t ordinal = 99;
  using DllEntryFn = HRESULT (*)(void*, int32_t, int32_t, BSTR*, BSTR*, uint16_t*);
  EXPECT_EQ(Slot<DllEntryFn>(info, 13)(info, 3, 1, &dll, &entry, &ordinal), kNotImpl);
  EXPECT_EQ(dll, nullptr);
  EXPECT_EQ(entry, nullptr);
  EXPECT_EQ(ordinal, 0);
  p = stale;
  EXPECT_EQ(Slot<HRESULT (*)(void*, int32_t, int32_t, void**)>(info, 15)(info, 3, 1, &p), kNotImpl);
  EXPECT_EQ(p, nullptr);
  p = stale;
  using CreateFn = HRESULT (*)(void*, void*, const GUID*, void**);
  EXPECT_EQ(Slot<CreateFn>(info, 16)(info, nullptr, &kIZarvinet, &p), kNotImpl);
  EXPECT_EQ(p, nullptr);
  BSTR mops = reinterpret_cast<BSTR>(stale);
  EXPECT_EQ(Slot<HRESULT (*)(void*, int32_t, BSTR*)>(info, 17)(info, 3, &mops), kNotImpl);
  EXPECT_EQ(mops, nullptr);
  p = stale;
  uint32_t index = 99;
  EXPECT_EQ(Slot<HRESULT (*)(void*, void**, uint32_t*)>(info, 18)(info, &p, &index), kNotImpl);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(index, 0u);
  for (int slot : {19, 20, 21}) Slot<void (*)(void*, void*)>(info, slot)(info, nullptr);

  // 7: names of a member and its parameters.
  BSTR got[4] = {};
  uint32_t count = 0;
  using GetNamesFn = HRESULT (*)(void*, int32_t, BSTR*, uint32_t, uint32_t*);
  ASSERT_EQ(Slot<GetNamesFn>(info, 7)(info, 3, got, 4, &count), kOk);
  ASSERT_EQ(count, 4u);
  EXPECT_EQ(Take(got[0]), u"ConnectServer");
  EXPECT_EQ(Take(got[1]), u"strHost");
  EXPECT_EQ(Take(got[2]), u"strPort");
  EXPECT_EQ(Take(got[3]), u"strPara");
  ASSERT_EQ(Slot<GetNamesFn>(info, 7)(info, 2, got, 1, &count), kOk);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(Take(got[0]), u"strHostPort");

  // 10: names to ids, parameters by position.
  const char16_t* names[] = {u"ConnectServer", u"strPara"};
  int32_t ids[2] = {};
  using IdsFn = HRESULT (*)(void*, const char16_t**, uint32_t, int32_t*);
  ASSERT_EQ(Slot<IdsFn>(info, 10)(info, names, 2, ids), kOk);
  EXPECT_EQ(ids[0], 3);
  EXPECT_EQ(ids[1], 2);

  // 11: a member invoked on the control.
  HostBstr port(u"8011");
  VARIANT value = port.Arg();
  int32_t putId = -3;
  DISPPARAMS put{&value, &putId, 1, 1};
  using InvokeFn =
      HRESULT (*)(void*, void*, int32_t, uint16_t, DISPPARAMS*, VARIANT*, void*, uint32_t*);
  ASSERT_EQ(Slot<InvokeFn>(info, 11)(info, control_, 2, 4, &put, nullptr, nullptr, nullptr), kOk);
  EXPECT_EQ(Record().wHostPort, 8011);

  // 12: documentation of a member and of the interface.
  BSTR name = nullptr, doc = nullptr, file = reinterpret_cast<BSTR>(stale);
  uint32_t context = 99;
  using DocFn = HRESULT (*)(void*, int32_t, BSTR*, BSTR*, uint32_t*, BSTR*);
  ASSERT_EQ(Slot<DocFn>(info, 12)(info, 3, &name, &doc, &context, &file), kOk);
  EXPECT_EQ(Take(name), u"ConnectServer");
  EXPECT_EQ(Take(doc), u"连接服务器");
  EXPECT_EQ(context, 0u);
  EXPECT_EQ(file, nullptr);
  ASSERT_EQ(Slot<DocFn>(info, 12)(info, -1, &name, &doc, nullptr, nullptr), kOk);
  EXPECT_EQ(Take(name), u"IZarvinet");
  EXPECT_EQ(Take(doc), u"IZarvinet Interface");

  EXPECT_EQ(Release(info), 0u);
}

// The simulated recorder in a process of its own, on a free loopback port,
// accepting only the login "host-slot".
class Recorder {
 public:
  explicit Recorder(const std::string& log) {
    int out[2];
    if (::pipe(out) != 0) return;
    const std::string program = std::string(ZARVION_BIN_DIR) + "/zarvion-dvrsim";
    std::vector<std::string> args = {program, "--port",  "0",         "--channels", "1", "--fps",
                                     "5",     "--login", "host-slot", "--log",      log};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    // "listening on 127.0.0.1:PORT"
    std::string line;
    char c;
    while (pid_ > 0 && ::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(out[0]);
    const size_t colon = line.rfind(':');
    if (line.rfind("listening on ", 0) == 0 && colon != std::string::npos) {
      port_ = line.substr(colon + 1);
    }
  }
  ~Recorder() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status;
    ::waitpid(pid_, &status, 0);
  }
  const std::string& port() const { return port_; }

 private:
  pid_t pid_ = -1;
  std::string port_;
};

// The login payload as the recorder's log shows it: 128 bytes in hex.
std::string LoginHex(std::string_view text) {
  std::string bytes(text);
  bytes.resize(128, '\0');
  std::string hex;
  char buf[3];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, "%02x", c);
    hex += buf;
  }
  return hex;
}

bool LogHas(const std::string& log, const std::string& name, const std::string& payload = "") {
  std::ifstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("\"name\":\"" + name + "\"") != std::string::npos &&
        line.find("\"payload\":\"" + payload) != std::string::npos) {
      return true;
    }
  }
  return false;
}

TEST_F(HostSlots, ConnectServerSlotReachesTheRecorder) {
  const std::string log =
      ::testing::TempDir() + "host-slots-" + std::to_string(::getpid()) + ".log";
  Recorder recorder(log);
  ASSERT_FALSE(recorder.port().empty());

  // 9: host, port and login parameter by value, and the connect request.
  using ConnectFn = HRESULT (*)(void*, VARIANT, VARIANT, VARIANT);
  HostBstr host(u"127.0.0.1"), port(std::u16string(recorder.port().begin(), recorder.port().end())),
      para(u"host-slot");
  ASSERT_EQ(Slot<ConnectFn>(control_, 9)(control_, host.Arg(), port.Arg(), para.Arg()), kOk);
  EXPECT_STREQ(Record().szHostName, "127.0.0.1");
  EXPECT_EQ(std::to_string(Record().wHostPort), recorder.port());
  ASSERT_TRUE(Record().hConnectEvent);
  EXPECT_TRUE(Record().hConnectEvent->IsSet());

  // The window's connection thread finds the request set and logs in; the
  // recorder sends video only after the login it accepts.
  std::unique_ptr<QWidget> window(OpenWindow());
  ASSERT_TRUE(window);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (Record().dwFramesReceived.load() == 0 && std::chrono::steady_clock::now() < deadline) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_GT(Record().dwFramesReceived.load(), 0u) << "no video from the recorder";
  EXPECT_TRUE(LogHas(log, "Login", LoginHex("host-slot")));
  window.reset();
  std::remove(log.c_str());
}

}  // namespace
