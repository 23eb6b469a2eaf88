// The viewer on a real X server (Xvfb) with a real pointer and keyboard
// (xdotool): a double-click on the pane of channel 6 of the demo enlarges
// it; the overlays over the pictures let double-clicks through; a new user
// connects from the dialog by typing; the X server's stretch of the single
// view; the alarm strip over a full-screen picture; the motion mark on its
// camera's pane and gone after the event. Skipped where Xvfb or
// xdotool is not installed.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>
#include <QImage>

#include "ui_test_util.h"

namespace {

// A shell command that runs `script` under its own X server, given up after
// `seconds`.
std::string UnderXvfb(const std::string& script, int seconds) {
  std::string quoted;
  for (char c : script) quoted += c == '\'' ? "'\\''" : std::string(1, c);
  // "-a" alone starts every search at display 99, so two of these tests
  // started together can both take it and one X server fails to start:
  // each test process starts its search elsewhere.
  const std::string first = std::to_string(100 + getpid() % 400);
  return "timeout " + std::to_string(seconds) + " xvfb-run -a -n " + first +
         " -s '-screen 0 1280x1024x24' sh -c '" + quoted + "' >/dev/null 2>&1";
}

bool Have(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

int Distance(QRgb a, QRgb b) {
  return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) +
         std::abs(qBlue(a) - qBlue(b));
}

TEST(DemoOnX, DoubleClickEnlargesThePaneUnderThePointer) {
  if (!Have("xvfb-run") || !Have("xdotool")) GTEST_SKIP() << "needs xvfb-run and xdotool";
  const std::string shot = zarvion::testing::TestHome() + "/x.png";
  // Pane 5 of the 4 x 4 grid (channel 6) lies around (360, 270) of the
  // control, which fills the top of the viewer's window.
  const int k = zarvion::testing::kSlowdown;
  const std::string script =
      "env -u QT_QPA_PLATFORM " ZARVION_BIN_DIR "/zarvion-viewer --demo & viewer=$!; "
      // Click once the title says connected, however slow the build
      // (sanitizers) starts; then read the window back from the X server
      // until it shows one picture (x_grab), as long as a loaded machine
      // takes to get there.
      "id=$(timeout " +
      std::to_string(60 * k) + " xdotool search --sync --name '已连接' | head -1); sleep 1; "
      "xdotool mousemove --window \"$id\" 360 270 sleep 0.2 click --repeat 2 --delay 60 1; "
      "env -u QT_QPA_PLATFORM " ZARVION_BIN_DIR "/x_grab \"$id\" '" + shot + "' " +
      std::to_string(60 * k) + "; status=$?; kill $viewer; wait $viewer; exit $status";
  const std::string command = UnderXvfb(script, 150 * k);
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
  QImage image(QString::fromStdString(shot));
  ASSERT_FALSE(image.isNull());
  // One channel fills the area: the left and right edges show the same
  // picture, which in the grid would be channels 5 and 8.
  const QRgb left = image.pixel(30, image.height() * 9 / 20);
  const QRgb right = image.pixel(image.width() - 30, image.height() * 9 / 20);
  EXPECT_LT(Distance(left, right), 40) << std::hex << left << " " << right;
  EXPECT_GT(Distance(left, qRgb(0, 0, 200)), 40);
}

// The single view's picture as the X server stretches it is the client's
// own stretch, caption band included, also after the window was covered.
TEST(ScaledByX, TheScreenHoldsTheClientsStretch) {
  if (!Have("xvfb-run")) GTEST_SKIP() << "needs xvfb-run";
  const std::string out = zarvion::testing::TestHome() + "/x_view.txt";
  const std::string command =
      UnderXvfb("env QT_QPA_PLATFORM=xcb " ZARVION_BIN_DIR "/x_view_check '" + out + "'",
                30 * zarvion::testing::kSlowdown);
  const int status = std::system(command.c_str());
  std::ifstream in(out);
  const std::string report((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command << "\n" << report;
  EXPECT_EQ(report, "ok\n");
}

// Overlays over the pictures under a real pointer: the mark of a stopped
// camera and the recorder's banner pass a double-click to the pane under
// them, and the enlarged stopped camera keeps its mark at once.
TEST(ViewerOnX, OverlaysPassDoubleClicksAndAStoppedCameraStaysMarkedEnlarged) {
  if (!Have("xvfb-run") || !Have("xdotool")) GTEST_SKIP() << "needs xvfb-run and xdotool";
  const std::string out = zarvion::testing::TestHome() + "/x_overlay.txt";
  const std::string command =
      UnderXvfb("env QT_QPA_PLATFORM=xcb " ZARVION_BIN_DIR "/x_overlay_check '" + out + "'",
                90 * zarvion::testing::kSlowdown);
  const int status = std::system(command.c_str());
  std::ifstream in(out);
  const std::string report((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command << "\n" << report;
  EXPECT_EQ(report, "ok\n");
}

// Full screen on one recorder while another is lost: the alarm strip is on
// the screen within a second, above the pictures, which begin below it.
TEST(ViewerOnX, AnAlarmStripShowsAboveAFullScreenPictureWithinASecond) {
  if (!Have("xvfb-run")) GTEST_SKIP() << "needs xvfb-run";
  const std::string out = zarvion::testing::TestHome() + "/x_alarm.txt";
  const std::string command =
      UnderXvfb("env QT_QPA_PLATFORM=xcb " ZARVION_BIN_DIR "/x_alarm_check '" + out + "'",
                60 * zarvion::testing::kSlowdown);
  const int status = std::system(command.c_str());
  std::ifstream in(out);
  const std::string report((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command << "\n" << report;
  EXPECT_EQ(report, "ok\n");
}

// An object crosses camera 3: the screen shows the motion mark in its pane
// alone, and no mark once the event is over.
TEST(ViewerOnX, TheMotionMarkIsOnItsCamerasPaneAndGoesAfterTheEvent) {
  if (!Have("xvfb-run")) GTEST_SKIP() << "needs xvfb-run";
  const std::string out = zarvion::testing::TestHome() + "/x_motion.txt";
  const std::string command =
      UnderXvfb("env QT_QPA_PLATFORM=xcb " ZARVION_BIN_DIR "/x_motion_check '" + out + "'",
                60 * zarvion::testing::kSlowdown);
  const int status = std::system(command.c_str());
  std::ifstream in(out);
  const std::string report((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command << "\n" << report;
  EXPECT_EQ(report, "ok\n");
}

// What a new user does: start without arguments, Ctrl+O, type the address,
// Tab, the port, Tab, the login parameter, Enter; live pictures follow.
TEST(ViewerOnX, ANewUserConnectsByTyping) {
  if (!Have("xvfb-run") || !Have("xdotool")) GTEST_SKIP() << "needs xvfb-run and xdotool";
  const std::string home = zarvion::testing::TestHome();
  const std::string shot = home + "/typed.png";
  const std::string portFile = home + "/typed-port";
  const std::string connected = home + "/typed-connected";
  const int k = zarvion::testing::kSlowdown;
  const std::string script =
      ZARVION_BIN_DIR "/zarvion-dvrsim --port 0 --fps 10 --gop 10 </dev/null >'" + portFile +
      "' & sim=$!; "
      "for i in $(seq 100); do grep -q listening '" +
      portFile +
      "' && break; sleep 0.1; done; "
      "port=$(sed 's/.*://' '" +
      portFile +
      "'); "
      // A user with nothing remembered: the viewer asks for a recorder.
      "env -u QT_QPA_PLATFORM ZARVION_REGISTRY_DIR='" +
      home + "/typed-registry' " ZARVION_BIN_DIR "/zarvion-viewer --screenshot '" + shot +
      "' --after " + std::to_string(18 * k) +
      " & viewer=$!; "
      "timeout " +
      std::to_string(15 * k) + " xdotool search --sync --name '连接录像机' >/dev/null; sleep " +
      std::to_string(k) +
      "; "
      "xdotool key ctrl+o sleep 0.3 type --delay 40 127.0.0.1; xdotool key Tab; "
      "xdotool type --delay 40 \"$port\"; xdotool key Tab; xdotool type --delay 40 guard; "
      "xdotool key Return; "
      // The title is watched for as long as the viewer runs, so a slow
      // start-up under load cannot make the wait end before the connection.
      "while kill -0 $viewer 2>/dev/null; do "
      "xdotool search --name '已连接' >/dev/null && { echo yes >'" +
      connected +
      "'; break; }; sleep 0.2; done; "
      "wait $viewer; status=$?; kill $sim; exit $status";
  const std::string command = UnderXvfb(script, 60 * k);
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
  EXPECT_TRUE(std::ifstream(connected).good()) << "the title never said connected";
  QImage image(QString::fromStdString(shot));
  ASSERT_FALSE(image.isNull());
  // The 4 x 4 grid shows pictures, not the blue of panes without signal.
  const int paneW = image.width() / 4;
  const int paneH = (image.height() - 20) / 4;
  int pictures = 0;
  for (int p = 0; p < 16; ++p) {
    const QRgb c = image.pixel((p % 4) * paneW + paneW / 4, (p / 4) * paneH + paneH * 2 / 3);
    pictures += Distance(c, qRgb(0, 0, 200)) > 40;
  }
  EXPECT_EQ(pictures, 16);
}

}  // namespace
