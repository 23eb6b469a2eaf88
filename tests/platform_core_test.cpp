// Code page conversions, the file-backed registry, the file helpers and
// frame rates.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include "platform/code_page.h"
#include "platform/files.h"
#include "platform/frame_rate.h"
#include "platform/registry.h"
#include "platform/unique_fd.h"

namespace fs = std::filesystem;
using namespace zarvion;

namespace {

// "中文" in GBK.
const std::string kZhongWenGbk = "\xD6\xD0\xCE\xC4";

TEST(CodePage, RoundTripsAndLimitsNeverSplitUnlessAsked) {
  EXPECT_EQ(Utf16ToGbk(u"中文", 100), kZhongWenGbk);
  EXPECT_EQ(GbkToUtf16(kZhongWenGbk), u"中文");
  EXPECT_EQ(GbkToUtf8(kZhongWenGbk), "中文");
  EXPECT_EQ(Utf8ToGbk("中文"), kZhongWenGbk);
  // The euro sign is the single byte 0x80 of the system code page.
  EXPECT_EQ(Utf16ToGbk(u"€", 10), "\x80");

  // "a中文": a two-byte character straddles a limit of 2 or 4.
  EXPECT_EQ(Utf16ToGbk(u"a中文", 2, Cut::kWholeCharacters), "a");
  EXPECT_EQ(Utf16ToGbk(u"a中文", 2, Cut::kBytes), "a\xD6");
  EXPECT_EQ(Utf16ToGbk(u"a中文", 3, Cut::kWholeCharacters), "a\xD6\xD0");
  EXPECT_EQ(Utf8ToGbk("a中文", 4), "a\xD6\xD0");
  EXPECT_EQ(Utf8ToGbk("a中文", 4, Cut::kBytes), "a\xD6\xD0\xCE");
  EXPECT_EQ(Utf16ToGbk(u"", 0), "");
}

TEST(CodePage, UnconvertibleInputFailsOrIsReplaced) {
  EXPECT_FALSE(Utf16ToGbk(u"\xD800x", 10));     // lone surrogate
  EXPECT_FALSE(Utf16ToGbk(u"\U0001F600", 10));  // no GBK form
  EXPECT_FALSE(Utf8ToGbk("\xFF\xFE"));          // not UTF-8
  EXPECT_FALSE(GbkToUtf16("a\xD6"));            // truncated pair
  // Untrusted GBK never fails: bad bytes become U+FFFD, the rest survives.
  EXPECT_EQ(GbkToUtf8("a\xFF"
                      "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(GbkToUtf8(kZhongWenGbk + "\xD6"), "中文\xEF\xBF\xBD");
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("zarvion-reg-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    ::setenv("ZARVION_REGISTRY_DIR", (dir_ / "reg").c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("ZARVION_REGISTRY_DIR");
    fs::remove_all(dir_);
  }
  std::string HiveText(Hive h) {
    std::ifstream in(HiveFilePath(h));
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  fs::path dir_;
};

TEST_F(RegistryTest, TypedValuesCaseInsensitiveNamesAndSizes) {
  const char* key = "SoftWare\\Holmvard\\Zarvion";
  uint32_t v = 0;
  EXPECT_FALSE(RegGetDword(Hive::kCurrentUser, key, "dwDefaultDrawMode", &v));
  EXPECT_FALSE(fs::exists(HiveFilePath(Hive::kCurrentUser)));  // reads create nothing

  ASSERT_TRUE(RegSetDword(Hive::kCurrentUser, key, "dwDefaultDrawMode", 0x00090000));
  ASSERT_TRUE(
      RegGetDword(Hive::kCurrentUser, "software\\HOLMVARD\\zarvion\\", "DWDEFAULTDRAWMODE", &v));
  EXPECT_EQ(v, 0x00090000u);
  EXPECT_TRUE(RegKeyExists(Hive::kCurrentUser, "SOFTWARE\\holmvard"));
  EXPECT_FALSE(RegKeyExists(Hive::kClassesRoot, key));  // hives are separate

  // A text stored without its zero reads back terminated; the terminator
  // needs room, so 259 bytes fit a 260-byte buffer and 260 do not.
  std::string text(259, 'x');
  ASSERT_TRUE(RegSetValue(Hive::kCurrentUser, key, "szDir", REG_SZ, text.data(), 259));
  char buf[260];
  uint32_t size = sizeof buf;
  ASSERT_TRUE(RegGetValue(Hive::kCurrentUser, key, "szDir", REG_SZ, buf, &size));
  EXPECT_EQ(size, 260u);
  EXPECT_EQ(std::string(buf), text);
  text += 'y';
  ASSERT_TRUE(RegSetValue(Hive::kCurrentUser, key, "szDir", REG_SZ, text.data(), 260));
  size = sizeof buf;
  EXPECT_FALSE(RegGetValue(Hive::kCurrentUser, key, "szDir", REG_SZ, buf, &size));
  EXPECT_EQ(size, 261u);

  // Type mismatch fails both ways.
  size = sizeof buf;
  EXPECT_FALSE(RegGetValue(Hive::kCurrentUser, key, "szDir", REG_DWORD, buf, &size));
  EXPECT_FALSE(RegGetDword(Hive::kCurrentUser, key, "szDir", &v));
  EXPECT_FALSE(RegSetValue(Hive::kCurrentUser, key, "bad", REG_DWORD, &v, 2));
}

TEST_F(RegistryTest, BytesSurviveTheTextFileExactly) {
  const char* key = "Software\\Test";
  // GBK, UTF-8 with quotes and backslashes, an empty text, raw binary.
  ASSERT_TRUE(RegSetString(Hive::kCurrentUser, key, "gbk", kZhongWenGbk));
  ASSERT_TRUE(RegSetString(Hive::kCurrentUser, key, "utf8", "C:\\路径 \"x\"\\"));
  ASSERT_TRUE(RegSetString(Hive::kCurrentUser, key, "", ""));
  const char bin[] = {0, 1, '\n', '"', static_cast<char>(0xFF)};
  ASSERT_TRUE(RegSetValue(Hive::kCurrentUser, key, "bin", REG_BINARY, bin, sizeof bin));

  std::string s;
  ASSERT_TRUE(RegGetString(Hive::kCurrentUser, key, "gbk", &s));
  EXPECT_EQ(s, kZhongWenGbk);
  ASSERT_TRUE(RegGetString(Hive::kCurrentUser, key, "utf8", &s));
  EXPECT_EQ(s, "C:\\路径 \"x\"\\");
  ASSERT_TRUE(RegGetString(Hive::kCurrentUser, key, "", &s));
  EXPECT_EQ(s, "");
  char out[16];
  uint32_t size = sizeof out;
  ASSERT_TRUE(RegGetValue(Hive::kCurrentUser, key, "bin", REG_BINARY, out, &size));
  EXPECT_EQ(std::string(out, size), std::string(bin, sizeof bin));

  const std::string file = HiveText(Hive::kCurrentUser);
  EXPECT_EQ(file.rfind("REGEDIT4\n", 0), 0u);
  EXPECT_NE(file.find("[HKEY_CURRENT_USER\\Software\\Test]\n"), std::string::npos);
  EXPECT_NE(file.find("\"gbk\"=hex(1):d6,d0,ce,c4,00\n"), std::string::npos);
  EXPECT_NE(file.find("\"utf8\"=\"C:\\\\路径 \\\"x\\\"\\\\\"\n"), std::string::npos);
  EXPECT_NE(file.find("@=\"\"\n"), std::string::npos);
}

TEST_F(RegistryTest, HandEditedFilesAreReadAndBadLinesSkipped) {
  fs::create_directories(dir_ / "reg");
  std::ofstream(HiveFilePath(Hive::kClassesRoot))
      << "REGEDIT4\r\n\r\n; comment\r\n[HKEY_CLASSES_ROOT\\A\\B]\r\n"
         "\"n\"=dword:0000002a\r\n\"broken\"=dword:xyz\r\n\"long\"=hex(1):41,\\\r\n  42,00\r\n"
         "[HKEY_CURRENT_USER\\Elsewhere]\r\n\"n\"=dword:1\r\n";
  uint32_t v = 0;
  ASSERT_TRUE(RegGetDword(Hive::kClassesRoot, "a\\b", "n", &v));
  EXPECT_EQ(v, 42u);
  std::string s;
  ASSERT_TRUE(RegGetString(Hive::kClassesRoot, "A\\B", "long", &s));
  EXPECT_EQ(s, "AB");
  EXPECT_FALSE(RegGetDword(Hive::kClassesRoot, "A\\B", "broken", &v));
  EXPECT_FALSE(RegKeyExists(Hive::kClassesRoot, "Elsewhere"));
  EXPECT_EQ(RegEnumSubKeys(Hive::kClassesRoot, ""), std::vector<std::string>{"A"});
}

TEST_F(RegistryTest, DeletingKeysAndValues) {
  ASSERT_TRUE(RegCreateKey(Hive::kClassesRoot, "CLSID\\{X}\\Programmable"));
  ASSERT_TRUE(RegSetString(Hive::kClassesRoot, "CLSID\\{X}\\InprocServer32", "", "/lib.so"));
  ASSERT_TRUE(RegSetString(Hive::kClassesRoot, "CLSID\\{Y}", "", "other"));
  EXPECT_EQ(RegEnumSubKeys(Hive::kClassesRoot, "clsid\\{x}"),
            (std::vector<std::string>{"Programmable", "InprocServer32"}));

  ASSERT_TRUE(RegDeleteKey(Hive::kClassesRoot, "clsid\\{x}"));
  EXPECT_FALSE(RegKeyExists(Hive::kClassesRoot, "CLSID\\{X}"));
  EXPECT_FALSE(RegKeyExists(Hive::kClassesRoot, "CLSID\\{X}\\InprocServer32"));
  EXPECT_TRUE(RegKeyExists(Hive::kClassesRoot, "CLSID\\{Y}"));
  EXPECT_TRUE(RegDeleteKey(Hive::kClassesRoot, "CLSID\\{X}"));  // already gone
  // A key whose name only starts like the deleted one stays.
  ASSERT_TRUE(RegCreateKey(Hive::kClassesRoot, "CLSID\\{Y}Z"));
  ASSERT_TRUE(RegDeleteKey(Hive::kClassesRoot, "CLSID\\{Y}"));
  EXPECT_TRUE(RegKeyExists(Hive::kClassesRoot, "CLSID\\{Y}Z"));

  ASSERT_TRUE(RegSetDword(Hive::kClassesRoot, "K", "a", 1));
  ASSERT_TRUE(RegSetDword(Hive::kClassesRoot, "K", "b", 2));
  ASSERT_TRUE(RegDeleteValue(Hive::kClassesRoot, "K", "A"));
  EXPECT_EQ(RegEnumValues(Hive::kClassesRoot, "K"), std::vector<std::string>{"b"});
}

// Two processes writing different values of one hive at the same time.
TEST_F(RegistryTest, ConcurrentWritersInTwoProcessesLoseNothing) {
  constexpr int kWrites = 60;
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      bool ok = true;
      for (int i = 0; i < kWrites; ++i) {
        std::string name = "p" + std::to_string(c) + "_" + std::to_string(i);
        ok = RegSetDword(Hive::kCurrentUser, "Software\\Race", name, i) && ok;
      }
      ::_exit(ok ? 0 : 1);
    }
    children[c] = pid;
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(RegEnumValues(Hive::kCurrentUser, "Software\\Race").size(), 2u * kWrites);
  for (int c = 0; c < 2; ++c) {
    for (int i = 0; i < kWrites; ++i) {
      uint32_t v = 999;
      std::string name = "p" + std::to_string(c) + "_" + std::to_string(i);
      ASSERT_TRUE(RegGetDword(Hive::kCurrentUser, "Software\\Race", name, &v)) << name;
      EXPECT_EQ(v, static_cast<uint32_t>(i));
    }
  }
  EXPECT_FALSE(fs::exists(HiveFilePath(Hive::kCurrentUser) + ".tmp"));
}

TEST(Registry, DefaultFolderFollowsXdgThenHome) {
  ::unsetenv("ZARVION_REGISTRY_DIR");
  const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
  std::string saved = oldXdg ? oldXdg : "";
  ::setenv("XDG_CONFIG_HOME", "/x/conf", 1);
  EXPECT_EQ(RegistryFolder(), "/x/conf/zarvion");
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(RegistryFolder(), HomeFolder() + "/.config/zarvion");
  EXPECT_EQ(HiveFilePath(Hive::kClassesRoot),
            HomeFolder() + "/.config/zarvion/HKEY_CLASSES_ROOT.reg");
  if (oldXdg) ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
}

// Runs `body` in a child process as a user the password database does not
// know, without HOME or any registry variable; its exit status and what it
// wrote to standard error.
std::pair<int, std::string> AsUserWithoutHome(int (*body)()) {
  int err[2];
  if (::pipe(err) != 0) return {-1, ""};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(err[1], 2);
    ::close(err[0]);
    ::unsetenv("HOME");
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("ZARVION_REGISTRY_DIR");
    if (::setgid(54321) != 0 || ::setuid(54321) != 0) ::_exit(90);
    ::_exit(body());
  }
  ::close(err[1]);
  std::string text;
  char buf[256];
  ssize_t n;
  while ((n = ::read(err[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  ::close(err[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

TEST(Registry, WithoutHomeTheFolderComesFromThePasswordDatabaseOrThereIsNone) {
  const char* oldHome = std::getenv("HOME");
  const std::string savedHome = oldHome ? oldHome : "";
  const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
  const std::string savedXdg = oldXdg ? oldXdg : "";
  ::unsetenv("ZARVION_REGISTRY_DIR");
  ::unsetenv("XDG_CONFIG_HOME");
  ::unsetenv("HOME");
  const passwd* pw = ::getpwuid(::getuid());
  const std::string known = pw && pw->pw_dir && *pw->pw_dir ? pw->pw_dir : "";
  const std::string folder = RegistryFolder();
  ::setenv("HOME", "", 1);  // an empty HOME names no folder either
  const std::string withEmptyHome = RegistryFolder();
  if (oldHome) ::setenv("HOME", savedHome.c_str(), 1);
  if (oldXdg) ::setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1);
  ASSERT_FALSE(known.empty()) << "this user has no home in the password database";
  EXPECT_EQ(folder, known + "/.config/zarvion");
  EXPECT_EQ(withEmptyHome, folder);

  if (::geteuid() != 0) GTEST_SKIP() << "becoming a user without an entry needs root";
  const auto [status, message] = AsUserWithoutHome(+[] {
    const bool wrote = RegSetString(Hive::kCurrentUser, "Software\\Test", "v", "x");
    std::string got;
    const bool read = RegGetString(Hive::kCurrentUser, "Software\\Test", "v", &got);
    // A second write fails the same way, and the reason is told only once.
    const bool wroteAgain = RegSetString(Hive::kCurrentUser, "Software\\Test", "w", "y");
    return RegistryFolder().empty() && HiveFilePath(Hive::kClassesRoot).empty() && !wrote &&
                   !read && !wroteAgain
               ? 0
               : 1;
  });
  EXPECT_EQ(status, 0) << message;
  EXPECT_NE(message.find("HOME"), std::string::npos) << message;
  EXPECT_NE(message.find("ZARVION_REGISTRY_DIR"), std::string::npos) << message;
  EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
  EXPECT_FALSE(fs::exists("/.config/zarvion"));
}

TEST(Files, FoldersFilesAndClock) {
  fs::path dir = fs::temp_directory_path() / ("zarvion-files-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  EXPECT_FALSE(PathFileExists(dir.string()));
  EXPECT_FALSE(PathFileExists(""));
  EXPECT_FALSE(CreateDirectory((dir / "a" / "b").string()));  // one level only
  ASSERT_TRUE(CreateDirectory(dir.string()));
  EXPECT_FALSE(CreateDirectory(dir.string()));  // exists already
  EXPECT_TRUE(PathFileExists(dir.string()));

  const std::string path = (dir / "f.bin").string();
  ASSERT_TRUE(WriteFile(path, "abcdef", 6));
  ASSERT_TRUE(WriteFile(path, "xy", 2));  // truncates
  EXPECT_EQ(fs::file_size(path), 2u);
  File f;
  ASSERT_TRUE(f.Create(path));
  ASSERT_TRUE(f.Write("0123456789", 10));
  ASSERT_TRUE(f.Seek(2));
  ASSERT_TRUE(f.Write("AB", 2));
  ASSERT_TRUE(f.Close());
  EXPECT_FALSE(f.Write("z", 1));
  std::ifstream in(path);
  std::string content;
  in >> content;
  EXPECT_EQ(content, "01AB456789");
  EXPECT_FALSE(WriteFile((dir / "missing" / "f").string(), "x", 1));

  LocalTime t = GetLocalTime();
  EXPECT_GE(t.wYear, 2020);
  EXPECT_TRUE(t.wMonth >= 1 && t.wMonth <= 12 && t.wDay >= 1 && t.wDay <= 31);
  EXPECT_TRUE(t.wHour < 24 && t.wMinute < 60 && t.wSecond < 60 && t.wMilliseconds < 1000);
  fs::remove_all(dir);
}

// A descriptor is closed once, by whichever owner holds it last.
TEST(Files, ADescriptorHasOneOwnerAndIsClosedOnce) {
  auto open = [](int fd) { return ::fcntl(fd, F_GETFD) != -1; };
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  const int r = fds[0], w = fds[1];
  {
    UniqueFd a(r);
    UniqueFd b(std::move(a));
    EXPECT_FALSE(a.Valid());
    UniqueFd c(w);
    c = std::move(b);  // lets go of w
    EXPECT_FALSE(open(w));
    EXPECT_EQ(c.Get(), r);
    EXPECT_TRUE(open(r));
  }
  EXPECT_FALSE(open(r));

  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  UniqueFd kept(fds[0]);
  const int released = UniqueFd(fds[1]).Release();
  EXPECT_TRUE(open(released));
  ::close(released);
  EXPECT_TRUE(kept.Close());
  EXPECT_FALSE(kept.Valid());
  EXPECT_FALSE(kept.Close());
  EXPECT_FALSE(open(fds[0]));
}

TEST(FrameRates, ArrivalGivesTheUsualRateNearbyElseTheMeasuredOne) {
  // Near a usual rate (network jitter of a percent or two): that rate.
  EXPECT_EQ(NearestFrameRate(24.6), (FrameRate{25, 1}));
  EXPECT_EQ(NearestFrameRate(29.95), (FrameRate{30000, 1001}));
  EXPECT_EQ(NearestFrameRate(7.4), (FrameRate{15, 2}));
  EXPECT_EQ(NearestFrameRate(17.3), (FrameRate{17300, 1000}));
  EXPECT_EQ(NearestFrameRate(0), std::nullopt);
  EXPECT_EQ((FrameRate{30000, 1001}).MicrosecondsPerFrame(), 33367u);

  // 2 s of frames 40 ms apart (minus a late one) before a rate is told; the
  // first 5 s decide it.
  ArrivalRate a;
  const auto t0 = ArrivalRate::Clock::time_point{};
  auto at = [&](int ms) { return t0 + std::chrono::milliseconds(ms); };
  for (int i = 0; i < 50; ++i) a.Frame(at(i * 40 + (i == 20 ? 30 : 0)));
  EXPECT_EQ(a.Rate(), std::nullopt);
  EXPECT_EQ(a.Rate(std::chrono::seconds(1)), (FrameRate{25, 1}));
  for (int i = 50; i < 200; ++i) a.Frame(at(i * 40));
  EXPECT_TRUE(a.Settled());
  EXPECT_EQ(a.Rate(), (FrameRate{25, 1}));
  a.Frame(at(60000));  // a pause after the first seconds changes nothing
  EXPECT_EQ(a.Rate(), (FrameRate{25, 1}));
}

}  // namespace
