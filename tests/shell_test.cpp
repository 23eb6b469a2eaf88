// The scriptable object: what each member stores, its byte limits, the
// connect request and scripting by name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "core_test_env.h"
#include "platform/registry.h"
#include "shell/module.h"
#include "shell/zarvinet.h"

using namespace zarvion;

namespace {

std::string Host(const Zarvinet& z) {
  return z.Object().szHostName;
}

std::u16string Repeat(char16_t c, size_t n) {
  return std::u16string(n, c);
}

TEST(Zarvinet, PropertiesHonourOnlyStrings) {
  Zarvinet z;
  ASSERT_EQ(z.strHostName(Variant::Bstr(u"10.0.0.7")), S_OK);
  ASSERT_EQ(z.strHostPort(Variant::Bstr(u"8000")), S_OK);
  EXPECT_EQ(z.strHostName(Variant::I4(42)), S_OK);
  EXPECT_EQ(z.strHostPort(Variant::I4(42)), S_OK);
  EXPECT_EQ(z.strHostName(Variant()), S_OK);
  EXPECT_EQ(Host(z), "10.0.0.7");
  EXPECT_EQ(z.Object().wHostPort, 8000);

  struct {
    std::u16string text;
    uint16_t port;
  } const ports[] = {
      {u"70000", 4464},        {u"abc", 0}, {u"", 0}, {u" 81x", 81}, {u"-1", 65535}, {u"+65536", 0},
      {u"99999999999", 65535},
  };
  for (const auto& p : ports) {
    z.strHostPort(Variant::Bstr(p.text));
    EXPECT_EQ(z.Object().wHostPort, p.port) << std::string(p.text.begin(), p.text.end());
  }

  // The property takes an empty or null string as emptying the host.
  z.strHostName(Variant::Bstr(u""));
  EXPECT_EQ(Host(z), "");
  z.strHostName(Variant::Bstr(u"h"));
  z.strHostName(Variant::NullBstr());
  EXPECT_EQ(Host(z), "");
  EXPECT_FALSE(z.Object().hConnectEvent);  // properties never ask to connect
}

TEST(Zarvinet, ConnectServerKeepsEmptyHostAndPortAndSignalsOnce) {
  Zarvinet z;
  z.strHostName(Variant::Bstr(u"192.168.1.2"));
  z.strHostPort(Variant::Bstr(u"5000"));
  ASSERT_EQ(z.ConnectServer(Variant::Bstr(u""), Variant::NullBstr(), Variant::Bstr(u"user=1")),
            S_OK);
  EXPECT_EQ(Host(z), "192.168.1.2");
  EXPECT_EQ(z.Object().wHostPort, 5000);
  EXPECT_STREQ(z.Object().szLoginPara, "user=1");

  // Made before any window exists; the window's own EnsureEvents keeps them
  // and so finds the request already set.
  ControlObject& obj = z.Object();
  ASSERT_TRUE(obj.hConnectEvent && obj.hStopEvent && obj.hIoEvent);
  EXPECT_TRUE(obj.hConnectEvent->IsSet());
  EXPECT_FALSE(obj.hStopEvent->IsSet());
  EXPECT_FALSE(obj.hIoEvent->IsSet());
  Event* connect = obj.hConnectEvent.get();
  EnsureEvents(obj);
  EXPECT_EQ(obj.hConnectEvent.get(), connect);
  EXPECT_TRUE(obj.hConnectEvent->IsSet());

  // A later call replaces what it is given, zeroes the old parameter
  // entirely and leaves the events as they were.
  obj.hConnectEvent->Reset();
  ASSERT_EQ(
      z.ConnectServer(Variant::Bstr(u"10.1.1.1"), Variant::Bstr(u"70000"), Variant::Bstr(u"")),
      S_OK);
  EXPECT_EQ(obj.hConnectEvent.get(), connect);
  EXPECT_TRUE(connect->IsSet());
  EXPECT_EQ(Host(z), "10.1.1.1");
  EXPECT_EQ(obj.wHostPort, 4464);
  for (char c : obj.szLoginPara) ASSERT_EQ(c, '\0');

  // Non-string arguments change nothing but still ask to connect.
  connect->Reset();
  ASSERT_EQ(z.ConnectServer(Variant::I4(1), Variant(), Variant::Null()), S_OK);
  EXPECT_EQ(Host(z), "10.1.1.1");
  EXPECT_TRUE(connect->IsSet());
}

TEST(Zarvinet, ByteLimitsCutBetweenCharacters) {
  Zarvinet z;
  ControlObject& obj = z.Object();

  // A long parameter fills the whole Login payload: 128 bytes, no NUL in it.
  z.ConnectServer(Variant(), Variant(), Variant::Bstr(Repeat(u'p', 200)));
  EXPECT_EQ(std::string(obj.szLoginPara, kLoginPayloadSize), std::string(128, 'p'));
  EXPECT_EQ(obj.szLoginPara[128], '\0');

  z.strHostName(Variant::Bstr(Repeat(u'h', 70)));
  EXPECT_EQ(Host(z), std::string(63, 'h'));

  // A two-byte character that would cross a limit is left out whole.
  z.strHostName(Variant::Bstr(Repeat(u'h', 62) + u"中"));
  EXPECT_EQ(Host(z), std::string(62, 'h'));
  z.strHostName(Variant::Bstr(Repeat(u'h', 61) + u"中"));
  EXPECT_EQ(Host(z), std::string(61, 'h') + "\xD6\xD0");
  z.ConnectServer(Variant(), Variant(), Variant::Bstr(Repeat(u'p', 127) + u"中文"));
  EXPECT_EQ(std::string(obj.szLoginPara), std::string(127, 'p'));
  for (size_t i = 127; i < sizeof obj.szLoginPara; ++i) ASSERT_EQ(obj.szLoginPara[i], '\0');
  z.ConnectServer(Variant(), Variant(), Variant::Bstr(Repeat(u'p', 126) + u"中文"));
  EXPECT_EQ(std::string(obj.szLoginPara, 128), std::string(126, 'p') + "\xD6\xD0");
}

TEST(Zarvinet, UnconvertibleTextChangesNothing) {
  Zarvinet z;
  z.strHostName(Variant::Bstr(u"1.2.3.4"));
  z.strHostPort(Variant::Bstr(u"99"));
  const std::u16string bad = u"a\xDC00";  // lone surrogate
  EXPECT_EQ(z.strHostName(Variant::Bstr(bad)), E_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(z.strHostPort(Variant::Bstr(bad)), E_NO_UNICODE_TRANSLATION);
  // One bad argument stops all three and the connect request.
  EXPECT_EQ(z.ConnectServer(Variant::Bstr(u"5.6.7.8"), Variant::Bstr(u"1"), Variant::Bstr(bad)),
            E_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(Host(z), "1.2.3.4");
  EXPECT_EQ(z.Object().wHostPort, 99);
  EXPECT_FALSE(z.Object().hConnectEvent);
}

class ScriptingTest : public zarvion::testing::TempHomeTest {};

TEST_F(ScriptingTest, ScriptingByNameNeedsTheRegisteredTypeLibrary) {
  Zarvinet z;
  const std::u16string_view connect[] = {u"ConnectServer"};
  DISPID id = 0;
  EXPECT_EQ(z.GetIDsOfNames(connect, std::span(&id, 1)), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
  const Variant host[] = {Variant::Bstr(u"8.8.8.8")};
  EXPECT_FALSE(Succeeded(z.Invoke(DISPID_strHostName, DISPATCH_PROPERTYPUT, host)));
  EXPECT_EQ(Host(z), "");

  // This program carries the same type library as the control library.
  ASSERT_EQ(RegisterServer(ModulePath()), S_OK);
  // One member per call; the names after it are its parameters, which get
  // their positions.
  DISPID ids[4] = {};
  auto lookUp = [&](std::initializer_list<std::u16string_view> names) {
    std::fill(std::begin(ids), std::end(ids), 99);
    return z.GetIDsOfNames(std::span(names.begin(), names.size()), ids);
  };
  ASSERT_EQ(lookUp({u"strHostName"}), S_OK);
  EXPECT_EQ(ids[0], DISPID_strHostName);
  ASSERT_EQ(lookUp({u"STRHOSTPORT"}), S_OK);
  EXPECT_EQ(ids[0], DISPID_strHostPort);
  ASSERT_EQ(lookUp({u"ConnectServer", u"strHost", u"strPort", u"strPara"}), S_OK);
  EXPECT_EQ(std::vector<DISPID>(ids, ids + 4), (std::vector<DISPID>{3, 0, 1, 2}));
  ASSERT_EQ(lookUp({u"connectserver", u"STRPARA", u"strhost"}), S_OK);
  EXPECT_EQ(std::vector<DISPID>(ids, ids + 3), (std::vector<DISPID>{3, 2, 0}));
  ASSERT_EQ(lookUp({u"strHostName", u"newVal"}), S_OK);
  EXPECT_EQ(ids[1], 0);
  // A member's name in a parameter's place is no parameter.
  EXPECT_EQ(lookUp({u"ConnectServer", u"strHostPort", u"strPort"}), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(std::vector<DISPID>(ids, ids + 3), (std::vector<DISPID>{3, DISPID_UNKNOWN, 1}));
  EXPECT_EQ(lookUp({u"strHostName", u"Disconnect"}), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], DISPID_strHostName);
  EXPECT_EQ(ids[1], DISPID_UNKNOWN);
  EXPECT_EQ(lookUp({u"Disconnect", u"strHost"}), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], DISPID_UNKNOWN);
  EXPECT_EQ(ids[1], DISPID_UNKNOWN);
  ASSERT_EQ(lookUp({u"ConnectServer"}), S_OK);

  const Variant args[] = {Variant::Bstr(u"127.0.0.1"), Variant::Bstr(u"9000"), Variant::Bstr(u"p")};
  ASSERT_EQ(z.Invoke(ids[0], DISPATCH_METHOD, args), S_OK);
  EXPECT_EQ(Host(z), "127.0.0.1");
  EXPECT_EQ(z.Object().wHostPort, 9000);
  EXPECT_STREQ(z.Object().szLoginPara, "p");
  EXPECT_TRUE(z.Object().hConnectEvent->IsSet());

  const Variant one[] = {Variant::Bstr(u"8.8.8.8")};
  EXPECT_EQ(z.Invoke(DISPID_strHostName, DISPATCH_PROPERTYPUT, one), S_OK);
  EXPECT_EQ(Host(z), "8.8.8.8");
  EXPECT_EQ(z.Invoke(DISPID_strHostName, DISPATCH_METHOD, one), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(z.Invoke(DISPID_ConnectServer, DISPATCH_METHOD, one), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(z.Invoke(DISPID_strHostPort, DISPATCH_PROPERTYPUT, args), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(z.Invoke(4, DISPATCH_METHOD, one), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(Host(z), "8.8.8.8");
}

TEST(Module, ClassObjectAndLockCount) {
  ZarvinetClassFactory* factory = nullptr;
  const Guid other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(DllGetClassObject(other, IID_IClassFactory, &factory), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(factory, nullptr);
  ASSERT_EQ(DllGetClassObject(CLSID_Zarvinet, IID_IClassFactory, &factory), S_OK);
  ASSERT_NE(factory, nullptr);

  const long base = ModuleLockCount();
  EXPECT_EQ(DllCanUnloadNow(), base == 0 ? S_OK : S_FALSE);
  std::unique_ptr<Zarvinet> obj;
  int outer = 0;
  EXPECT_EQ(factory->CreateInstance(&outer, IID_IZarvinet, &obj), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(factory->CreateInstance(nullptr, other, &obj), E_NOINTERFACE);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IZarvinet, nullptr), E_POINTER);
  EXPECT_FALSE(obj);
  EXPECT_EQ(ModuleLockCount(), base);  // nothing was left alive

  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, &obj), S_OK);
  ASSERT_TRUE(obj);
  EXPECT_EQ(ModuleLockCount(), base + 1);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  factory->LockServer(true);
  obj.reset();
  EXPECT_EQ(ModuleLockCount(), base + 1);
  factory->LockServer(false);
  EXPECT_EQ(ModuleLockCount(), base);

  // An unlock without a lock held takes nothing from a live object's share.
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, &obj), S_OK);
  EXPECT_EQ(factory->LockServer(false), S_OK);
  EXPECT_EQ(factory->LockServer(false), S_OK);
  EXPECT_EQ(ModuleLockCount(), base + 1);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  factory->LockServer(true);
  obj.reset();
  EXPECT_EQ(ModuleLockCount(), base + 1);
  factory->LockServer(false);
  EXPECT_EQ(ModuleLockCount(), base);
}

class RegistrationTest : public zarvion::testing::TempHomeTest {};

TEST_F(RegistrationTest, RegisterResolvesProgIdAndUnregisterKeepsClsidKey) {
  const std::string module = ModulePath();
  const std::string cls = "CLSID\\" + GuidToString(CLSID_Zarvinet);
  ASSERT_TRUE(RegSetString(Hive::kClassesRoot, "CLSID\\{OTHER}", "", "another class"));
  ASSERT_TRUE(RegCreateKey(Hive::kClassesRoot, cls + "\\Stale"));  // from an old version
  ASSERT_EQ(RegisterServer(module), S_OK);

  std::string curVer, clsid, server, model;
  ASSERT_TRUE(RegGetString(Hive::kClassesRoot, "Zarvion.Zarvinet\\CurVer", "", &curVer));
  ASSERT_TRUE(RegGetString(Hive::kClassesRoot, curVer + "\\CLSID", "", &clsid));
  EXPECT_EQ(curVer, "Zarvion.Zarvinet.1");
  EXPECT_EQ(clsid, GuidToString(CLSID_Zarvinet));
  ASSERT_TRUE(
      RegGetString(Hive::kClassesRoot, "CLSID\\" + clsid + "\\InprocServer32", "", &server));
  ASSERT_TRUE(RegGetString(Hive::kClassesRoot, cls + "\\InprocServer32", "ThreadingModel", &model));
  EXPECT_EQ(server, module);
  EXPECT_EQ(model, "Apartment");
  std::string libid;
  ASSERT_TRUE(RegGetString(Hive::kClassesRoot, cls + "\\TypeLib", "", &libid));
  EXPECT_EQ(std::set<std::string>({clsid, libid, GuidToString(IID_IZarvinet)}).size(), 3u);
  EXPECT_EQ(RegEnumSubKeys(Hive::kClassesRoot, cls + "\\Implemented Categories"),
            (std::vector<std::string>{GuidToString(CATID_Control),
                                      GuidToString(CATID_SafeForScripting)}));
  EXPECT_FALSE(RegKeyExists(Hive::kClassesRoot, cls + "\\Stale"));
  std::string misc;
  ASSERT_TRUE(RegGetString(Hive::kClassesRoot, cls + "\\MiscStatus\\1", "", &misc));
  EXPECT_EQ(misc, "131473");

  ASSERT_EQ(UnregisterServer(), S_OK);
  EXPECT_FALSE(RegKeyExists(Hive::kClassesRoot, cls));
  EXPECT_FALSE(RegKeyExists(Hive::kClassesRoot, "Zarvion.Zarvinet"));
  EXPECT_FALSE(RegKeyExists(Hive::kClassesRoot, "Zarvion.Zarvinet.1"));
  EXPECT_TRUE(RegKeyExists(Hive::kClassesRoot, "CLSID\\{OTHER}"));
}

}  // namespace
