// zarvion-viewer as a user runs it: its command line, and the demo on the
// simulated recorder producing a picture of moving channels.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <QImage>

#include "ui_test_util.h"

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

}  // namespace
