// Registration of the control (every entry by value, the removal rules, no
// half registration), the registrar script, the embedded type library and
// resources, the persisted extent and the picture drawn without a window.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPalette>
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core_test_env.h"
#include "platform/registry.h"
#include "shell/inactive_picture.h"
#include "shell/module.h"
#include "shell/persistence.h"
#include "shell/registrar.h"
#include "shell/resources.h"
#include "shell/type_library.h"
#include "zarvion_version.h"

using namespace zarvion;

namespace {

const std::string kClassKey = "CLSID\\" + GuidToString(CLSID_Zarvinet);

std::string Get(const std::string& key, const std::string& value = "") {
  std::string out;
  if (!RegGetString(Hive::kClassesRoot, key, value, &out)) return "<missing>";
  return out;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The hive's keys with their values, in name order: what it holds,
// whatever order the keys were written in.
std::vector<std::string> HiveContents() {
  std::vector<std::string> blocks;
  std::stringstream in(ReadFile(HiveFilePath(Hive::kClassesRoot)));
  std::string line, block;
  while (std::getline(in, line)) {
    if (line.empty()) {
      if (!block.empty()) blocks.push_back(block);
      block.clear();
    } else {
      block += line + "\n";
    }
  }
  if (!block.empty()) blocks.push_back(block);
  std::sort(blocks.begin(), blocks.end());
  return blocks;
}

class RegistrationTest : public zarvion::testing::TempHomeTest {};

TEST_F(RegistrationTest, EveryEntryByValueAndTheRemovalRules) {
  const std::string module = ModulePath();
  const std::string clsid = GuidToString(CLSID_Zarvinet);
  const std::string libid = GuidToString(LIBID_ZARVIONLib);
  // Left from an older registration, and another class's entries.
  ASSERT_TRUE(RegCreateKey(Hive::kClassesRoot, kClassKey + "\\Control\\Old"));
  ASSERT_TRUE(RegSetString(Hive::kClassesRoot, kClassKey + "\\ToolboxBitmap32", "x", "y"));
  ASSERT_TRUE(RegSetString(Hive::kClassesRoot, "CLSID\\{OTHER}", "", "another class"));
  ASSERT_EQ(RegisterServer(module), S_OK);

  const std::vector<std::pair<std::string, std::string>> rows = {
      {"Zarvion.Zarvinet.1", "Zarvinet Class"},
      {"Zarvion.Zarvinet.1\\CLSID", clsid},
      {"Zarvion.Zarvinet", "Zarvinet Class"},
      {"Zarvion.Zarvinet\\CLSID", clsid},
      {"Zarvion.Zarvinet\\CurVer", "Zarvion.Zarvinet.1"},
      {kClassKey, "Zarvinet Class"},
      {kClassKey + "\\ProgID", "Zarvion.Zarvinet.1"},
      {kClassKey + "\\VersionIndependentProgID", "Zarvion.Zarvinet"},
      {kClassKey + "\\InprocServer32", module},
      {kClassKey + "\\ToolboxBitmap32", module + ", 101"},
      {kClassKey + "\\MiscStatus", "0"},
      {kClassKey + "\\MiscStatus\\1", "131473"},
      {kClassKey + "\\TypeLib", libid},
      {kClassKey + "\\Version", "1.0"},
  };
  for (const auto& [key, data] : rows) EXPECT_EQ(Get(key), data) << key;
  EXPECT_EQ(Get(kClassKey + "\\InprocServer32", "ThreadingModel"), "Apartment");
  for (const char* keyOnly : {"Programmable", "Control"}) {
    EXPECT_TRUE(RegKeyExists(Hive::kClassesRoot, kClassKey + "\\" + keyOnly)) << keyOnly;
    EXPECT_TRUE(RegEnumValues(Hive::kClassesRoot, kClassKey + "\\" + keyOnly).empty());
  }
  // Forced removal cleared what an older registration left.
  EXPECT_TRUE(RegEnumSubKeys(Hive::kClassesRoot, kClassKey + "\\Control").empty());
  EXPECT_EQ(RegEnumValues(Hive::kClassesRoot, kClassKey + "\\ToolboxBitmap32"),
            std::vector<std::string>{""});
  EXPECT_EQ(RegEnumSubKeys(Hive::kClassesRoot, kClassKey + "\\Implemented Categories"),
            (std::vector<std::string>{GuidToString(CATID_Control),
                                      GuidToString(CATID_SafeForScripting)}));
  EXPECT_EQ(Get("Component Categories\\" + GuidToString(CATID_Control), "409"), "Controls");
  EXPECT_EQ(Get("Component Categories\\" + GuidToString(CATID_SafeForScripting), "409"),
            "Controls that are safely scriptable");

  // The type library's and the interface's standard keys.
  const std::string lib = "TypeLib\\" + libid + "\\1.0";
  const std::string iface = "Interface\\" + GuidToString(IID_IZarvinet);
  EXPECT_EQ(Get(lib), "Zarvion 1.0 Type Library");
  EXPECT_EQ(Get(lib + "\\0\\win32"), module);
  EXPECT_EQ(Get(lib + "\\FLAGS"), "0");
  EXPECT_EQ(Get(lib + "\\HELPDIR"), module.substr(0, module.rfind('/') + 1));
  EXPECT_EQ(Get(iface), "IZarvinet");
  EXPECT_EQ(Get(iface + "\\TypeLib"), libid);
  EXPECT_EQ(Get(iface + "\\TypeLib", "Version"), "1.0");
  EXPECT_EQ(Get(iface + "\\ProxyStubClsid32"), "{00020424-0000-0000-C000-000000000046}");

  // Registering again gives the same entries.
  const auto once = HiveContents();
  ASSERT_EQ(RegisterServer(module), S_OK);
  EXPECT_EQ(HiveContents(), once);

  ASSERT_EQ(UnregisterServer(), S_OK);
  for (const std::string& gone : {kClassKey, std::string("Zarvion.Zarvinet"),
                                  std::string("Zarvion.Zarvinet.1"), "TypeLib\\" + libid, iface}) {
    EXPECT_FALSE(RegKeyExists(Hive::kClassesRoot, gone)) << gone;
  }
  EXPECT_EQ(Get("CLSID\\{OTHER}"), "another class");
  // Category descriptions are shared with other classes.
  EXPECT_EQ(Get("Component Categories\\" + GuidToString(CATID_Control), "409"), "Controls");
  // Removing what is not there succeeds.
  EXPECT_EQ(UnregisterServer(), S_OK);
}

TEST_F(RegistrationTest, AFailureLeavesNoHalfRegistration) {
  ASSERT_TRUE(RegSetString(Hive::kClassesRoot, "CLSID\\{OTHER}", "", "another class"));
  const std::string before = ReadFile(HiveFilePath(Hive::kClassesRoot));

  // A file without the type library cannot be the server.
  const std::string text = MakeFolder("lib") + "/libzarvion.so";
  std::ofstream(text) << "not a library";
  EXPECT_EQ(RegisterServer(text), SELFREG_E_TYPELIB);
  EXPECT_EQ(RegisterServer(MakeFolder("nothing") + "/missing.so"), SELFREG_E_TYPELIB);
  EXPECT_EQ(ReadFile(HiveFilePath(Hive::kClassesRoot)), before);

  // A batch fails whole when one change is bad, wherever it stands.
  RegBatch batch;
  batch.DeleteKey("CLSID\\{OTHER}");
  batch.SetString("Zarvion.Zarvinet", "", "half");
  batch.CreateKey(std::string("Bad\nName"));
  EXPECT_FALSE(RegApply(Hive::kClassesRoot, batch));
  EXPECT_EQ(ReadFile(HiveFilePath(Hive::kClassesRoot)), before);

  // The changes apply in order, in one write.
  RegBatch good;
  good.SetString("A\\B", "v", "1");
  good.DeleteKey("A");
  good.SetString("A\\C", "", "2");
  good.CreateKey("E\\F");
  good.DeleteKeyIfEmpty("E\\F");
  good.DeleteKeyIfEmpty("A");
  ASSERT_TRUE(RegApply(Hive::kClassesRoot, good));
  EXPECT_FALSE(RegKeyExists(Hive::kClassesRoot, "A\\B"));
  EXPECT_EQ(Get("A\\C"), "2");
  EXPECT_FALSE(RegKeyExists(Hive::kClassesRoot, "E\\F"));
  EXPECT_TRUE(RegKeyExists(Hive::kClassesRoot, "A"));
}

TEST_F(RegistrationTest, EnsureControlRegisteredRegistersTheLibraryOnce) {
  ASSERT_TRUE(EnsureControlRegistered());
  const std::string library =
      std::filesystem::canonical(std::string(ZARVION_LIB_DIR) + "/libzarvion.so").string();
  EXPECT_EQ(Get(kClassKey + "\\InprocServer32"), library);
  EXPECT_EQ(Get("TypeLib\\" + GuidToString(LIBID_ZARVIONLib) + "\\1.0\\0\\win32"), library);
  const std::string once = ReadFile(HiveFilePath(Hive::kClassesRoot));
  ASSERT_TRUE(EnsureControlRegistered());
  EXPECT_EQ(ReadFile(HiveFilePath(Hive::kClassesRoot)), once);

  // A registration whose file has gone is replaced.
  const std::string moved = MakeFolder("old") + "/libzarvion.so";
  std::filesystem::copy_file(library, moved);
  ASSERT_EQ(RegisterServer(moved), S_OK);
  std::filesystem::remove(moved);
  ASSERT_TRUE(EnsureControlRegistered());
  EXPECT_EQ(Get(kClassKey + "\\InprocServer32"), library);
}

TEST_F(RegistrationTest, TheTypeLibraryIsLoadedOnceAndShared) {
  ASSERT_EQ(RegisterServer(ModulePath()), S_OK);
  std::vector<std::thread> threads;
  std::atomic<int> resolved{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      Zarvinet z;
      const std::u16string_view names[] = {u"ConnectServer", u"strPara", u"strHost"};
      DISPID ids[3] = {};
      if (z.GetIDsOfNames(names, ids) == S_OK && ids[0] == 3 && ids[1] == 2 && ids[2] == 0) {
        ++resolved;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(resolved.load(), 8);
  std::shared_ptr<const TypeLibrary> a, b;
  ASSERT_EQ(ZarvionTypeLibrary(&a), S_OK);
  // Kept for the process, even once the registration is gone.
  ASSERT_EQ(UnregisterServer(), S_OK);
  ASSERT_EQ(ZarvionTypeLibrary(&b), S_OK);
  EXPECT_EQ(a.get(), b.get());
}

// Runs a script and reports the batch as readable lines.
std::vector<std::string> Ops(std::string_view script, RegistrarMode mode,
                             std::map<std::string, std::string> vars = {{"MODULE", "/m.so"}}) {
  RegBatch batch;
  batch.CreateKey("Before");
  if (!RunRegistrarScript(script, vars, mode, &batch)) {
    EXPECT_EQ(batch.size(), 1u);  // nothing added on failure
    return {"<failed>"};
  }
  std::vector<std::string> out;
  for (size_t i = 1; i < batch.ops().size(); ++i) {
    const auto& op = batch.ops()[i];
    switch (op.kind) {
      case RegBatch::Op::kCreateKey:
        out.push_back("create " + op.key);
        break;
      case RegBatch::Op::kSetValue:
        out.push_back("set " + op.key + "[" + op.value + "]=" +
                      (op.type == REG_SZ ? op.data.substr(0, op.data.size() - 1)
                                         : std::to_string(op.data.size()) + " bytes"));
        break;
      case RegBatch::Op::kDeleteKey:
        out.push_back("delete " + op.key);
        break;
      case RegBatch::Op::kDeleteKeyIfEmpty:
        out.push_back("delete-if-empty " + op.key);
        break;
    }
  }
  return out;
}

TEST(Registrar, ScriptModesAndRules) {
  const char* script = R"(HKCR
{
  A.B = s 'It''s %MODULE%'
  {
    val Named = d '7'
  }
  NoRemove Root
  {
    ForceRemove {01234567-89AB-CDEF-0123-456789ABCDEF} = s '100%%'
    {
      'Sub Key'
    }
    Kept = s 'k'
  }
})";
  EXPECT_EQ(Ops(script, RegistrarMode::kRegister),
            (std::vector<std::string>{
                "create A.B", "set A.B[]=It's /m.so", "set A.B[Named]=4 bytes", "create Root",
                "delete Root\\{01234567-89AB-CDEF-0123-456789ABCDEF}",
                "create Root\\{01234567-89AB-CDEF-0123-456789ABCDEF}",
                "set Root\\{01234567-89AB-CDEF-0123-456789ABCDEF}[]=100%",
                "create Root\\{01234567-89AB-CDEF-0123-456789ABCDEF}\\Sub Key", "create Root\\Kept",
                "set Root\\Kept[]=k"}));
  EXPECT_EQ(
      Ops(script, RegistrarMode::kUnregister),
      (std::vector<std::string>{"delete A.B", "delete Root\\{01234567-89AB-CDEF-0123-456789ABCDEF}",
                                "delete Root\\Kept"}));

  const std::vector<std::string> failed = {"<failed>"};
  EXPECT_EQ(Ops("HKCR { A = s '%OTHER%' }", RegistrarMode::kRegister), failed);
  EXPECT_EQ(Ops("HKCR { A = s 'open }", RegistrarMode::kRegister), failed);
  EXPECT_EQ(Ops("HKCR { A { B }", RegistrarMode::kRegister), failed);
  EXPECT_EQ(Ops("HKCU { A }", RegistrarMode::kRegister), failed);
  EXPECT_EQ(Ops("HKCR { A = x 'v' }", RegistrarMode::kRegister), failed);
  EXPECT_EQ(Ops("HKCR { A = d '4294967296' }", RegistrarMode::kRegister), failed);
  EXPECT_EQ(Ops("HKCR { val A = s 'v' }", RegistrarMode::kRegister), failed);
  EXPECT_EQ(Ops("HKCR { 'A\\B' }", RegistrarMode::kRegister), failed);
}

TEST(Registrar, TheEmbeddedScriptNamesTheClassAndTypeLibrary) {
  auto script = FindResource("REGISTRY", IDR_ZARVINET);
  ASSERT_TRUE(script);
  EXPECT_NE(script->find(GuidToString(CLSID_Zarvinet)), std::string_view::npos);
  EXPECT_NE(script->find(GuidToString(LIBID_ZARVIONLib)), std::string_view::npos);
  // Removal keeps the CLSID key and takes the class's key whole.
  EXPECT_EQ(Ops(*script, RegistrarMode::kUnregister),
            (std::vector<std::string>{"delete Zarvion.Zarvinet.1", "delete Zarvion.Zarvinet",
                                      "delete " + kClassKey}));
}

TEST(TypeLibrary, TheEmbeddedLibraryDescribesTheInterface) {
  auto text = FindResource("TYPELIB", IDR_TYPELIB);
  ASSERT_TRUE(text);
  auto lib = ParseTypeLibrary(*text);
  ASSERT_TRUE(lib);
  EXPECT_EQ(lib->libraryName, "ZARVIONLib");
  EXPECT_EQ(lib->libid, LIBID_ZARVIONLib);
  EXPECT_EQ(lib->majorVersion, 1);
  EXPECT_EQ(lib->minorVersion, 0);
  EXPECT_EQ(lib->lcid, 0u);
  EXPECT_EQ(lib->sysKind, "win32");
  EXPECT_EQ(lib->libraryHelp, "Zarvion 1.0 Type Library");
  EXPECT_EQ(lib->coclassName, "Zarvinet");
  EXPECT_EQ(lib->clsid, CLSID_Zarvinet);
  EXPECT_EQ(lib->coclassFlags, std::vector<std::string>{"creatable"});
  EXPECT_EQ(lib->defaultInterface, "IZarvinet");
  EXPECT_EQ(lib->coclassHelp, "Zarvinet Class");
  EXPECT_EQ(lib->interfaceName, "IZarvinet");
  EXPECT_EQ(lib->iid, IID_IZarvinet);
  EXPECT_EQ(lib->interfaceFlags, (std::vector<std::string>{"dual", "oleautomation"}));
  EXPECT_EQ(lib->interfaceBase, "IDispatch");
  EXPECT_EQ(lib->interfaceHelp, "IZarvinet Interface");
  ASSERT_EQ(lib->members.size(), 3u);
  const struct {
    DISPID id;
    const char* name;
    MemberKind kind;
    std::vector<std::string> params;
    const char* help;
  } expected[] = {
      {1, "strHostName", MemberKind::kPropertyPut, {"newVal"}, "视频服务器的IP地址"},
      {2, "strHostPort", MemberKind::kPropertyPut, {"newVal"}, "以字符串描述的服务器端口"},
      {3, "ConnectServer", MemberKind::kMethod, {"strHost", "strPort", "strPara"}, "连接服务器"},
  };
  for (size_t i = 0; i < 3; ++i) {
    const TypeMember& m = lib->members[i];
    EXPECT_EQ(m.id, expected[i].id);
    EXPECT_EQ(m.name, expected[i].name);
    EXPECT_EQ(m.kind, expected[i].kind);
    EXPECT_EQ(m.params, expected[i].params);
    EXPECT_EQ(m.helpString, expected[i].help);
  }
}

TEST(TypeLibrary, MalformedTextIsRefused) {
  const std::string lib =
      "library | L | {6DE63C68-61C4-409F-989F-69AB8EAE0157} | 1.0 | 0 | win32 | h\n";
  const std::string iface =
      "interface | I | {A12C870A-7E21-45CC-815F-2EF3B07B899A} | dual | IDispatch | h\n";
  const std::string member = "member | 1 | M | method | a b | h\n";
  const std::string coclass =
      "coclass | C | {9DEF5882-A4D2-448E-A2C8-A8A88279B83E} | creatable | I default | h\n";
  EXPECT_TRUE(ParseTypeLibrary(lib + iface + member + coclass));
  EXPECT_FALSE(ParseTypeLibrary(iface + member + coclass));                 // no library
  EXPECT_FALSE(ParseTypeLibrary(lib + iface + member));                     // no coclass
  EXPECT_FALSE(ParseTypeLibrary(lib + iface + member + member + coclass));  // id twice
  EXPECT_FALSE(ParseTypeLibrary(lib + member + iface + coclass));           // member first
  EXPECT_FALSE(ParseTypeLibrary(lib + lib + iface + coclass));
  EXPECT_FALSE(ParseTypeLibrary(lib + iface + "member | x | M | method | a | h\n" + coclass));
  EXPECT_FALSE(ParseTypeLibrary(lib + iface + "member | 2 | P | propput | a b | h\n" + coclass));
  EXPECT_FALSE(ParseTypeLibrary(lib + iface + "member | 2 | P | propget | a | h\n" + coclass));
  EXPECT_FALSE(ParseTypeLibrary("library | L | {6DE63C68-61C4-409F-989F} | 1.0 | 0 | win32 | h\n" +
                                iface + coclass));
  EXPECT_FALSE(ParseTypeLibrary(lib + iface + "coclass | C | " + GuidToString(CLSID_Zarvinet) +
                                " | creatable | J default | h\n"));
}

TEST(Resources, TheLibraryCarriesItsResources) {
  auto bitmap = FindResource("BITMAP", IDB_ZARVINET);
  ASSERT_TRUE(bitmap);
  QImage image;
  ASSERT_TRUE(image.loadFromData(reinterpret_cast<const uchar*>(bitmap->data()),
                                 static_cast<int>(bitmap->size()), "BMP"));
  EXPECT_EQ(image.size(), QSize(16, 16));
  EXPECT_EQ(image.colorCount(), 16);
  EXPECT_EQ(bitmap->substr(28, 2), std::string_view("\x04\x00", 2));  // 4 bits per pixel

  EXPECT_EQ(FindResource("STRING", IDS_PROJNAME), std::string_view("Zarvion"));
  // The record carries the project's one version number.
  EXPECT_EQ(VersionValue("FileVersion"), ZARVION_VERSION);
  EXPECT_EQ(VersionValue("ProductVersion"), ZARVION_VERSION);
  EXPECT_EQ(VersionValue("OriginalFilename"), "Zarvion.DLL");
  EXPECT_FALSE(VersionValue("Nothing"));
  EXPECT_FALSE(FindResource("BITMAP", 999));

  // The same table, read from the file of this program.
  EXPECT_EQ(ReadFileResource(ModulePath(), "TYPELIB", IDR_TYPELIB),
            std::string(*FindResource("TYPELIB", IDR_TYPELIB)));
}

class ResourceFileTest : public zarvion::testing::TempHomeTest {};

TEST_F(ResourceFileTest, DamagedTablesAndFilesGiveNoResource) {
  std::string table;
  {
    // A table of one entry, "T" id 5, holding "abc".
    auto u32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    table = "ZRSC" + u32(1) + u32(1) + std::string("T") + std::string(11, '\0') + u32(5) + u32(36) +
            u32(3) + "abc";
  }
  EXPECT_EQ(FindInResourceTable(table, "T", 5), std::string_view("abc"));
  for (size_t cut = 0; cut < table.size(); ++cut) {
    EXPECT_FALSE(FindInResourceTable(std::string_view(table).substr(0, cut), "T", 5)) << cut;
  }
  std::string badCount = table;
  badCount[8] = '\x7f';
  EXPECT_FALSE(FindInResourceTable(badCount, "T", 5));
  std::string badOffset = table;
  badOffset[28] = '\xff';
  EXPECT_FALSE(FindInResourceTable(badOffset, "T", 5));

  const std::string folder = MakeFolder("files");
  std::ofstream(folder + "/text") << "plain text, no ELF header";
  EXPECT_FALSE(ReadFileResource(folder + "/text", "TYPELIB", IDR_TYPELIB));
  // An ELF header whose section table lies beyond the file.
  std::string elf = ReadFile(ModulePath()).substr(0, 64);
  std::ofstream(folder + "/cut", std::ios::binary) << elf;
  EXPECT_FALSE(ReadFileResource(folder + "/cut", "TYPELIB", IDR_TYPELIB));
  EXPECT_FALSE(ReadFileResource(folder + "/missing", "TYPELIB", IDR_TYPELIB));
}

TEST(Persistence, TheExtentSurvivesStreamAndStorage) {
  // 236 x 142 dialog units of 9-point 宋体: 354 x 213 pixels at 96 dpi.
  EXPECT_EQ(DialogUnitsToPixelsX(236, 6), 354);
  EXPECT_EQ(DialogUnitsToPixelsY(142, 12), 213);
  EXPECT_EQ(InitialExtent(), (HimetricSize{9366, 5636}));
  EXPECT_EQ(Zarvinet().extent, InitialExtent());

  for (const HimetricSize extent :
       {HimetricSize{9366, 5636}, HimetricSize{0, 0}, HimetricSize{UINT32_MAX, 1}}) {
    const std::string stream = SaveExtent(extent);
    EXPECT_EQ(LoadExtent(stream), extent);
    Storage storage;
    storage.SetStream("Other", "x");
    SaveExtent(extent, &storage);
    auto back = Storage::Parse(storage.Serialize());
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->Stream(kContentsStream));
    EXPECT_EQ(LoadExtent(*back), extent);
  }

  const std::string stream = SaveExtent({1, 2});
  // "_cx" as three UTF-16 characters, then VT_UI4.
  EXPECT_EQ(stream.substr(0, 10), std::string("\x06\x00_\x00"
                                              "c\x00x\x00\x13\x00",
                                              10));
  for (size_t cut = 0; cut < stream.size(); ++cut) {
    EXPECT_FALSE(LoadExtent(stream.substr(0, cut))) << cut;
  }
  EXPECT_FALSE(LoadExtent(stream + "x"));
  std::string otherType = stream;
  otherType[8] = 3;  // VT_I4
  EXPECT_FALSE(LoadExtent(otherType));
  std::string swapped = stream;
  swapped[4] = 'y';
  EXPECT_FALSE(LoadExtent(swapped));

  const std::string storage = [] {
    Storage s;
    SaveExtent({1, 2}, &s);
    return s.Serialize();
  }();
  for (size_t cut = 0; cut < storage.size(); ++cut) {
    EXPECT_FALSE(Storage::Parse(storage.substr(0, cut))) << cut;
  }
  EXPECT_FALSE(LoadExtent(Storage()));
}

TEST(InactivePicture, OutlineFillAndCentredText) {
  const QRect bounds(10, 5, 300, 80);
  QImage image(330, 100, QImage::Format_RGB32);
  image.fill(Qt::white);
  {
    QPainter painter(&image);
    DrawInactivePicture(painter, bounds);
  }
  const QRgb black = qRgb(0, 0, 0), gray = qRgb(128, 128, 128), white = qRgb(255, 255, 255);
  for (int x = bounds.left(); x <= bounds.right(); ++x) {
    ASSERT_EQ(image.pixel(x, bounds.top()), black) << x;
    ASSERT_EQ(image.pixel(x, bounds.bottom()), black) << x;
  }
  for (int y = bounds.top(); y <= bounds.bottom(); ++y) {
    ASSERT_EQ(image.pixel(bounds.left(), y), black) << y;
    ASSERT_EQ(image.pixel(bounds.right(), y), black) << y;
  }
  EXPECT_EQ(image.pixel(bounds.left() - 1, bounds.top() + 10), white);
  EXPECT_EQ(image.pixel(bounds.right() + 1, bounds.top() + 10), white);
  EXPECT_EQ(image.pixel(bounds.left() + 1, bounds.top() + 1), gray);
  EXPECT_EQ(image.pixel(bounds.right() - 1, bounds.bottom() - 1), gray);

  // The text: whatever inside the outline is not gray, centred both ways,
  // on one line and in the window-text colour.
  int left = INT_MAX, right = -1, top = INT_MAX, bottom = -1;
  for (int y = bounds.top() + 1; y < bounds.bottom(); ++y) {
    for (int x = bounds.left() + 1; x < bounds.right(); ++x) {
      if (image.pixel(x, y) == gray) continue;
      left = std::min(left, x);
      right = std::max(right, x);
      top = std::min(top, y);
      bottom = std::max(bottom, y);
    }
  }
  ASSERT_GE(right, left) << "no text drawn";
  const int inLeft = left - (bounds.left() + 1), inRight = (bounds.right() - 1) - right;
  EXPECT_NEAR(inLeft, inRight, 3);
  // Glyph ink sits a little above the line's middle; the line itself is
  // centred, so allow for the descender's room.
  const int inTop = top - (bounds.top() + 1), inBottom = (bounds.bottom() - 1) - bottom;
  EXPECT_NEAR(inTop, inBottom, 6);
  EXPECT_LT(bottom - top, 30);  // one line
  EXPECT_GT(right - left, 60);  // the whole text, not a few letters

  // Compared with the same text drawn by itself in the window-text colour.
  QImage reference(bounds.size(), QImage::Format_RGB32);
  reference.fill(gray);
  {
    QPainter painter(&reference);
    painter.setPen(QGuiApplication::palette().color(QPalette::WindowText));
    painter.drawText(reference.rect(), Qt::AlignCenter | Qt::TextSingleLine,
                     QString::fromLatin1(kInactivePictureText));
  }
  int differing = 0;
  for (int y = 1; y < bounds.height() - 1; ++y) {
    for (int x = 1; x < bounds.width() - 1; ++x) {
      differing += image.pixel(bounds.left() + x, bounds.top() + y) != reference.pixel(x, y);
    }
  }
  EXPECT_EQ(differing, 0);
  // Nothing at all for an empty rectangle.
  QImage untouched = image;
  {
    QPainter painter(&untouched);
    DrawInactivePicture(painter, QRect(0, 0, 0, 0));
  }
  EXPECT_EQ(untouched, image);
}

}  // namespace
