// Run on an X server: a recorder's tab against the simulated recorder, its
// 4 x 4 grid on the screen. An object crosses camera 3: the screen read
// back from the X server shows the orange motion mark inside camera 3's
// pane and in no other; once the event is over, nowhere. Writes "ok" or
// what went wrong to the file named by its argument, and the screens read
// to that name with "-motion.png" and "-after.png".
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QScreen>
#include <QThread>

#include "dvrsim/dvrsim.h"
#include "ui_test_util.h"
#include "video/renderer.h"
#include "viewer/recorder_tab.h"
#include "window/control_window.h"

namespace {

using zarvion::viewer::RecorderTab;

std::ostringstream report;
QString shotBase;
constexpr int slowdown = zarvion::testing::kSlowdown;
constexpr int kCamera = 2;  // camera 3

bool WaitFor(const std::function<bool()>& done, int ms) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > static_cast<qint64>(ms) * slowdown) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
  return true;
}

// The mark's orange; no camera of the simulator shows it.
bool Orange(QRgb c) {
  return std::abs(qRed(c) - 230) <= 20 && std::abs(qGreen(c) - 120) <= 20 && qBlue(c) <= 30;
}

// Orange pixels in each pane of the grid, as the screen shows them.
std::array<int, 16> OrangePerPane(const RecorderTab& tab, const QImage& screen) {
  std::array<int, 16> counts{};
  const QPoint origin = tab.Window()->mapToGlobal(QPoint(0, 0));
  const int w = tab.Window()->width();
  const int h = tab.Window()->height() - zarvion::kToolbarStrip;
  for (int p = 0; p < 16; ++p) {
    const zarvion::Rect pane = zarvion::PaneRect(4, p / 4, p % 4, w, h);
    for (int y = pane.top; y < pane.bottom; ++y) {
      for (int x = pane.left; x < pane.right; ++x) {
        const QPoint at = origin + QPoint(x, y);
        if (screen.valid(at) && Orange(screen.pixel(at))) ++counts[static_cast<size_t>(p)];
      }
    }
  }
  return counts;
}

std::string Counts(const std::array<int, 16>& counts) {
  std::string s;
  for (int n : counts) s += " " + std::to_string(n);
  return s;
}

int Check() {
  zarvion::dvrsim::Options options;
  options.fps = 10;
  options.gop = 10;
  zarvion::dvrsim::Server server(options);
  if (!server.Start()) {
    report << "the simulator did not start: " << server.Error() << "\n";
    return 1;
  }
  RecorderTab tab;
  tab.setGeometry(0, 0, 800, 640);
  tab.show();
  zarvion::viewer::Recorder r;
  r.host = "127.0.0.1";
  r.port = server.Port();
  r.login = "user";
  tab.Connect(r);
  if (!WaitFor(
          [&] {
            for (const auto& f : tab.Window()->Object().dwChannelFrames) {
              if (f.load() < 5) return false;
            }
            return tab.CurrentState() == RecorderTab::State::kLive;
          },
          20000)) {
    report << "the tab never went live with pictures: " << tab.StateText().toStdString() << "\n";
    return 1;
  }
  // Past the detectors' settle time; no mark anywhere yet.
  WaitFor([] { return false; }, 3000);
  QScreen* screen = tab.screen();
  const std::array<int, 16> before = OrangePerPane(tab, screen->grabWindow(0).toImage());
  for (int n : before) {
    if (n > 20) {
      report << "orange before any motion:" << Counts(before) << "\n";
      return 1;
    }
  }

  server.Command("motion 3 3");
  const auto shown = [&] {
    return tab.MotionMark(kCamera) && tab.MotionMark(kCamera)->isVisible();
  };
  if (!WaitFor(shown, 5000)) {
    report << "camera 3 got no motion mark\n";
    return 1;
  }
  // The X server draws the mark's window soon after it is shown.
  QImage shot;
  std::array<int, 16> during{};
  WaitFor(
      [&] {
        shot = screen->grabWindow(0).toImage();
        during = OrangePerPane(tab, shot);
        return during[kCamera] >= 200;
      },
      2000);
  shot.save(shotBase + "-motion.png");
  if (during[kCamera] < 200) {
    report << "no mark on the screen in camera 3's pane:" << Counts(during) << "\n";
    return 1;
  }
  for (int p = 0; p < 16; ++p) {
    if (p != kCamera && during[static_cast<size_t>(p)] > 20) {
      report << "orange in pane " << p + 1 << ":" << Counts(during) << "\n";
      return 1;
    }
  }

  // The gap (10 s) after the object has gone, and the mark is gone too.
  if (!WaitFor([&] { return !shown(); }, 20000)) {
    report << "the event on camera 3 did not end\n";
    return 1;
  }
  std::array<int, 16> after{};
  WaitFor(
      [&] {
        shot = screen->grabWindow(0).toImage();
        after = OrangePerPane(tab, shot);
        return after[kCamera] <= 20;
      },
      2000);
  shot.save(shotBase + "-after.png");
  for (int n : after) {
    if (n > 20) {
      report << "a mark stays on the screen after the event:" << Counts(after) << "\n";
      return 1;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  QApplication app(argc, argv);
  shotBase = QString::fromLocal8Bit(argv[1]);
  const int result = Check();
  if (result == 0) report << "ok\n";
  std::ofstream(argv[1]) << report.str();
  return result;
}
