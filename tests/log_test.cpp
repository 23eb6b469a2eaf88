// The log: a refused connect, failed writes and undecodable frames as lines
// of their categories, and nothing on standard error unless asked, through
// the sink the control installs when it is loaded.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QGuiApplication>

#include "mp43_test_frames.h"
#include "net/connection_thread.h"
#include "net/session_log.h"
#include "net_test_util.h"
#include "platform/avi_file.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/registry.h"
#include "shell/module.h"
#include "video/channel_decoder.h"

extern char** environ;

namespace zarvion {
namespace {

struct Line {
  LogCategory category;
  std::string text;
};

// Every line of every category, kept while the capture lives.
class CapturedLog {
 public:
  CapturedLog() {
    lines.clear();
    before_ = SetLogSink(&kSink);
  }
  ~CapturedLog() { SetLogSink(before_); }

  std::vector<std::string> Of(LogCategory category) const {
    std::lock_guard lock(mutex);
    std::vector<std::string> out;
    for (const Line& l : lines) {
      if (l.category == category) out.push_back(l.text);
    }
    return out;
  }

 private:
  static bool Enabled(LogCategory) { return true; }
  static void Write(LogCategory category, LogSeverity, const char* text) {
    std::lock_guard lock(mutex);
    lines.push_back({category, text});
  }
  static inline std::mutex mutex;
  static inline std::vector<Line> lines;
  static constexpr LogSink kSink{Enabled, Write};
  const LogSink* before_ = nullptr;
};

bool Eventually(const std::function<bool()>& pred) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TEST(Log, RefusedConnectIsOneLineNamingAddressAndReason) {
  CapturedLog log;
  ControlObject obj;
  EnsureEvents(obj);
  const uint16_t port = testing::UnusedPort();
  std::strcpy(obj.szHostName, "127.0.0.1");
  obj.wHostPort = port;
  ConnectionThread thread(obj);
  ASSERT_TRUE(thread.Start());
  obj.hConnectEvent->Set();
  ASSERT_TRUE(Eventually([&] { return ReadSessionStatus(obj).errorCount == 1; }));
  obj.hStopEvent->Set();
  thread.Join();

  const auto lines = log.Of(LogCategory::kNet);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("127.0.0.1:" + std::to_string(port)), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("refused"), std::string::npos) << lines[0];
}

TEST(Log, FailedWritesNameThePathAndTheSystemsReason) {
  testing::TempDir dir;
  // A plain file where a folder is expected: ENOTDIR, also for root.
  const std::string notFolder = dir.Path() + "/plain";
  std::ofstream(notFolder) << "x";
  const std::string enotdir = std::strerror(ENOTDIR);
  CapturedLog log;

  EXPECT_EQ(AviFile::Open(notFolder + "/CLIENT_CH01.avi", kOfCreate | kOfWrite), nullptr);
  CChannelDecoder decoder;
  ASSERT_TRUE(decoder.Create(352, 288));
  EXPECT_FALSE(decoder.SaveBitmap(notFolder + "/CH01.bmp"));
  const auto recording = log.Of(LogCategory::kRecording);
  ASSERT_EQ(recording.size(), 2u);
  EXPECT_NE(recording[0].find(notFolder + "/CLIENT_CH01.avi"), std::string::npos) << recording[0];
  EXPECT_NE(recording[1].find(notFolder + "/CH01.bmp"), std::string::npos) << recording[1];
  for (const std::string& line : recording) {
    EXPECT_NE(line.find(enotdir), std::string::npos) << line;
  }

  EXPECT_FALSE(CreateDirectory(notFolder + "/sub"));
  // The registry's folder cannot be made: the write fails and says where.
  const char* before = std::getenv("ZARVION_REGISTRY_DIR");
  const std::string saved = before ? before : "";
  ::setenv("ZARVION_REGISTRY_DIR", (notFolder + "/registry").c_str(), 1);
  const uint32_t value = 1;
  EXPECT_FALSE(RegSetValue(Hive::kCurrentUser, "Software\\Test", "v", REG_DWORD, &value, 4));
  before ? ::setenv("ZARVION_REGISTRY_DIR", saved.c_str(), 1) : ::unsetenv("ZARVION_REGISTRY_DIR");
  const auto settings = log.Of(LogCategory::kSettings);
  ASSERT_EQ(settings.size(), 2u);
  EXPECT_NE(settings[0].find(notFolder + "/sub"), std::string::npos) << settings[0];
  EXPECT_NE(settings[1].find(notFolder + "/registry"), std::string::npos) << settings[1];
  for (const std::string& line : settings) {
    EXPECT_NE(line.find(enotdir), std::string::npos) << line;
  }
}

TEST(Log, UndecodableFramesAreCountedNotLoggedOneByOne) {
  CapturedLog log;
  std::vector<uint8_t> garbage(2000);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 7919 >> 3);
  {
    CChannelDecoder decoder;
    decoder.nChannel = 2;
    ASSERT_TRUE(decoder.Create(352, 288));
    for (int i = 0; i < 300; ++i) {
      EXPECT_TRUE(decoder.Decode(garbage.data(), garbage.size(), kAviIfKeyFrame));
    }
    const auto lines = log.Of(LogCategory::kVideo);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("channel 3"), std::string::npos) << lines[0];
  }
  // The rest is told when the decoder goes.
  const auto lines = log.Of(LogCategory::kVideo);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find("299 more"), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("300 in all"), std::string::npos) << lines[1];
}

// This program again, as a host process would be: standard error only.
std::string RunChild(const std::vector<std::string>& environment) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string v = *e;
    if (v.rfind("ZARVION_LOG=", 0) != 0 && v.rfind("QT_LOGGING_RULES=", 0) != 0 &&
        v.rfind("QT_MESSAGE_PATTERN=", 0) != 0) {
      env.push_back(v);
    }
  }
  env.insert(env.end(), environment.begin(), environment.end());
  std::vector<char*> envp;
  for (std::string& v : env) envp.push_back(v.data());
  envp.push_back(nullptr);
  int out[2];
  if (::pipe(out) != 0) return "no pipe";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  char self[] = "/proc/self/exe";
  char child[] = "--log-child";
  char* argv[] = {self, child, nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  if (spawned == 0) ::waitpid(pid, &status, 0);
  return spawned == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : "child failed";
}

// The child: a net and a recording failure, with whatever sink loading the
// control installed.
int ChildFailures(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (ModulePath().empty()) return 1;
  LogSessionError("127.0.0.1", 9, SessionError::kRefused, ECONNREFUSED);
  if (AviFile::Open("/proc/no-such-folder/CLIENT_CH01.avi", kOfCreate | kOfWrite)) return 1;
  return 0;
}

TEST(Log, NothingOnStandardErrorUnlessAsked) {
  const std::string quiet = RunChild({});
  EXPECT_EQ(quiet.find("zarvion."), std::string::npos) << quiet;

  const std::string raised = RunChild({"ZARVION_LOG=recording"});
  EXPECT_NE(raised.find("zarvion.recording: /proc/no-such-folder/CLIENT_CH01.avi"),
            std::string::npos)
      << raised;
  EXPECT_EQ(raised.find("zarvion.net"), std::string::npos) << raised;

  // Qt's own rules reach the same lines: the control routes them through
  // its Qt categories from the moment it is loaded.
  const std::string ruled = RunChild({"QT_LOGGING_RULES=zarvion.net=true"});
  EXPECT_NE(ruled.find("zarvion.net: connect to 127.0.0.1:9: connection refused"),
            std::string::npos)
      << ruled;
  EXPECT_EQ(ruled.find("zarvion.recording"), std::string::npos) << ruled;
}

}  // namespace
}  // namespace zarvion

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--log-child") == 0) {
    return zarvion::ChildFailures(argc, argv);
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
