// zarvion-viewer as a user runs it: its command line, the login from a file
// or standard input, and the demo on the simulated recorder producing a
// picture of moving channels.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QImage>

#include "dvrsim/dvrsim.h"
#include "net/protocol.h"
#include "ui_test_util.h"

extern char** environ;

namespace {

struct Result {
  int status = -1;
  std::string output;
};

// Runs the viewer offscreen; stdout and stderr together.
Result Viewer(const std::string& args) {
  const std::string command = "QT_QPA_PLATFORM=offscreen timeout " +
                              std::to_string(60 * zarvion::testing::kSlowdown) +
                              " " ZARVION_BIN_DIR "/zarvion-viewer " + args + " 2>&1";
  Result r;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return r;
  char buffer[512];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) r.output.append(buffer, n);
  const int status = pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TEST(Viewer, BadArgumentsGetOneLineAndStatus2) {
  for (const char* args : {"--port", "--port 70000", "--port x1", "--bogus", "--after 2",
                           "--demo --host 127.0.0.1", "--screenshot a.png --after soon"}) {
    const Result r = Viewer(args);
    EXPECT_EQ(r.status, 2) << args;
    ASSERT_FALSE(r.output.empty()) << args;
    EXPECT_EQ(r.output.find('\n'), r.output.size() - 1) << args << ": " << r.output;
    EXPECT_EQ(r.output.rfind("zarvion-viewer: ", 0), 0u) << r.output;
  }
}

TEST(Viewer, DemoShowsPicturesOfEveryPane) {
  const std::string shot = zarvion::testing::TestHome() + "/demo.png";
  // The screenshot is taken after a fixed time; a loaded machine (or a
  // sanitizer build) may need longer for every channel's first key frame,
  // so a shot missing some is taken again later.
  int pictures = 0;
  bool differ = false;
  for (const char* after : {"2.5", "8", "20"}) {
    const Result r = Viewer("--demo --screenshot '" + shot + "' --after " + after);
    ASSERT_EQ(r.status, 0) << r.output;
    QImage image(QString::fromStdString(shot));
    ASSERT_FALSE(image.isNull());
    // The 4 x 4 grid of the simulated recorder's channels: the panes hold
    // pictures (not the blue of a channel without signal), and differ.
    const int paneW = image.width() / 4;
    const int paneH = (image.height() - 20) / 4;
    pictures = 0;
    QRgb first = 0;
    differ = false;
    for (int p = 0; p < 16; ++p) {
      const QRgb c = image.pixel((p % 4) * paneW + paneW / 4, (p / 4) * paneH + paneH / 2);
      pictures += c != qRgb(0, 0, 200);
      if (p == 0) first = c;
      differ |= c != first;
    }
    if (pictures == 16) break;
  }
  EXPECT_EQ(pictures, 16);
  EXPECT_TRUE(differ);
}

TEST(Viewer, CommandLineRecorderIsRememberedWithoutItsLogin) {
  // Nothing listens on port 1 of this machine; the viewer keeps trying.
  const Result r = Viewer("--host 127.0.0.1 --port 1 --login secret-word --screenshot '" +
                          zarvion::testing::TestHome() + "/cli.png' --after 0.5");
  ASSERT_EQ(r.status, 0) << r.output;
  const std::string hive =
      std::string(std::getenv("ZARVION_REGISTRY_DIR")) + "/HKEY_CURRENT_USER.reg";
  std::ifstream in(hive);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("[HKEY_CURRENT_USER\\SoftWare\\Holmvard\\ZarvionViewer\\Recent\\0]\n"
                            "\"szHost\"=\"127.0.0.1\"\n\"dwPort\"=dword:00000001\n"),
            std::string::npos)
      << text.str();
  EXPECT_EQ(text.str().find("secret-word"), std::string::npos);
  // The viewer writes nothing under the control's own key.
  EXPECT_EQ(text.str().find("Holmvard\\Zarvion]"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(stat(hive.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

std::string WriteFile(const std::string& name, const std::string& text, mode_t mode) {
  const std::string path = zarvion::testing::TestHome() + "/" + name;
  std::ofstream(path) << text;
  chmod(path.c_str(), mode);
  return path;
}

TEST(ViewerLogin, AFileOthersMayReadIsRefused) {
  const std::string path = WriteFile("open-login", "user=guest;pass=x\n", 0644);
  const Result r = Viewer("--host 127.0.0.1 --port 1 --login-file '" + path + "'");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.output, "zarvion-viewer: the login file " + path +
                          " may be read by group or others (mode 0644); make it the owner's "
                          "only (chmod 600)\n");
  // Nor a missing file, a folder, or two logins at once.
  for (const std::string& args :
       {std::string("--login-file '" + zarvion::testing::TestHome() + "/none'"),
        "--login-file '" + zarvion::testing::TestHome() + "'",
        "--login x --login-file '" + path + "'", std::string("--login-file")}) {
    const Result bad = Viewer("--host 127.0.0.1 --port 1 " + args);
    EXPECT_EQ(bad.status, 2) << args;
    EXPECT_EQ(bad.output.rfind("zarvion-viewer: ", 0), 0u) << bad.output;
    EXPECT_EQ(bad.output.find('\n'), bad.output.size() - 1) << bad.output;
  }
}

// The viewer against the simulated recorder, its login given as `args`
// and `input` on its standard input: what the recorder received as login,
// and whether the viewer's command line showed it.
struct Login {
  std::string received;
  bool inCommandLine = true;
};
Login RunWithLogin(const std::vector<std::string>& loginArgs, const std::string& input,
                   const std::string& secret) {
  zarvion::dvrsim::Options options;
  options.channels = 1;
  zarvion::dvrsim::Server server(options);
  Login result;
  if (!server.Start()) return result;
  std::vector<std::string> args = {ZARVION_BIN_DIR "/zarvion-viewer", "--host", "127.0.0.1",
                                   "--port", std::to_string(server.Port())};
  args.insert(args.end(), loginArgs.begin(), loginArgs.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int in[2];
  if (pipe2(in, O_CLOEXEC) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  pid_t pid = 0;
  const bool started =
      posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  if (started) {
    if (write(in[1], input.data(), input.size()) < 0) ADD_FAILURE() << "stdin";
  }
  close(in[1]);
  if (!started) return result;
  const bool loggedIn = server.WaitFor(
      [](const zarvion::dvrsim::LoggedMessage& m) { return m.header.code == zarvion::kLogin; },
      60000 * zarvion::testing::kSlowdown);
  std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
  const std::string shown((std::istreambuf_iterator<char>(cmdline)),
                          std::istreambuf_iterator<char>());
  result.inCommandLine = shown.empty() || shown.find(secret) != std::string::npos;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  if (!loggedIn) return result;
  for (const auto& m : server.Messages()) {
    if (m.header.code != zarvion::kLogin) continue;
    result.received.assign(m.payload.begin(), m.payload.end());
    result.received.resize(result.received.find('\0') == std::string::npos
                               ? result.received.size()
                               : result.received.find('\0'));
  }
  return result;
}

TEST(ViewerLogin, FromAnOwnersFileOrStandardInputItReachesTheRecorderUnseen) {
  const std::string secret = "user=guest;pass=s3cr3t";
  const std::string path = WriteFile("login", secret + "\nsecond line\n", 0600);
  Login fromFile = RunWithLogin({"--login-file", path}, "", secret);
  EXPECT_EQ(fromFile.received, secret);
  EXPECT_FALSE(fromFile.inCommandLine);

  Login fromInput = RunWithLogin({"--login", "-"}, secret + "\r\n", secret);
  EXPECT_EQ(fromInput.received, secret);
  EXPECT_FALSE(fromInput.inCommandLine);
}

}  // namespace
