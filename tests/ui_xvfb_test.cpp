// The demo on a real X server (Xvfb) with a real pointer (xdotool): a
// double-click on the pane of channel 6 enlarges it. Skipped where Xvfb or
// xdotool is not installed.
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <QImage>

#include "ui_test_util.h"

namespace {

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
      "env -u QT_QPA_PLATFORM " ZARVION_BIN_DIR "/zarvion-viewer --demo --screenshot '" + shot +
      "' --after " + std::to_string(12 * k) +
      " & viewer=$!; "
      // Click once the title says connected and the first frames had a
      // second to arrive, however slow the build (sanitizers) starts.
      "id=$(timeout " +
      std::to_string(15 * k) + " xdotool search --sync --name '已连接' | head -1); sleep " +
      std::to_string(2 * k) +
      "; "
      "xdotool mousemove --window \"$id\" 360 270 sleep 0.2 click --repeat 2 --delay 60 1; "
      "wait $viewer";
  const std::string command = "timeout " + std::to_string(40 * k) +
                              " xvfb-run -a -s '-screen 0 1280x1024x24' sh -c '" +
                              [&] {
                                std::string quoted;
                                for (char c : script)
                                  quoted += c == '\'' ? "'\\''" : std::string(1, c);
                                return quoted;
                              }() +
                              "' >/dev/null 2>&1";
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

}  // namespace
