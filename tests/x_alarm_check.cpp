// Run on an X server: the main window with two recorders in two tabs, full
// screen on the first; the second recorder stops. The alarm strip must be
// on the screen, above the first recorder's pictures (not over them),
// within a second. Reads
// the screen back from the X server (what the operator sees, native video
// windows included). Writes "ok" or what went wrong to the file named by
// its argument, and the last screen read to that name with ".png".
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QScreen>
#include <QThread>

#include "dvrsim/dvrsim.h"
#include "ui_test_util.h"
#include "viewer/alarm_strip.h"
#include "viewer/main_window.h"
#include "viewer/recorder_tab.h"
#include "window/control_window.h"

namespace {

using zarvion::viewer::MainWindow;
using zarvion::viewer::RecorderTab;

std::ostringstream report;
QString shotPath;
constexpr int slowdown = zarvion::testing::kSlowdown;

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

std::unique_ptr<zarvion::dvrsim::Server> Recorder() {
  zarvion::dvrsim::Options options;
  options.fps = 10;
  options.gop = 10;
  auto server = std::make_unique<zarvion::dvrsim::Server>(options);
  if (!server->Start()) return nullptr;
  return server;
}

zarvion::viewer::Recorder At(const zarvion::dvrsim::Server& server) {
  zarvion::viewer::Recorder r;
  r.host = "127.0.0.1";
  r.port = server.Port();
  r.login = "user";
  return r;
}

bool Reddish(QRgb c) {
  return qRed(c) > 180 && qGreen(c) < 60 && qBlue(c) < 60;
}

// The share of the strip's band across the top of the screen that shows
// the strip's red.
double StripShown(const QImage& screen) {
  int red = 0;
  int all = 0;
  for (int x = 4; x < screen.width() * 2 / 3; x += 7) {
    for (int y = 2; y < zarvion::viewer::AlarmStrip::kHeight - 2; y += 5) {
      ++all;
      red += Reddish(screen.pixel(x, y));
    }
  }
  return all ? static_cast<double>(red) / all : 0;
}

int Check() {
  auto watched = Recorder();
  auto other = Recorder();
  if (!watched || !other) {
    report << "the simulators did not start\n";
    return 1;
  }
  zarvion::viewer::MainWindowOptions options;
  options.remember = false;
  options.eventsPath = shotPath + ".sqlite";
  // A fresh database: alarms left by an earlier run would show at once.
  for (const char* end : {"", "-wal", "-shm"}) QFile::remove(options.eventsPath + end);
  MainWindow window(options);
  window.show();
  RecorderTab* first = window.OpenRecorder(At(*watched));
  RecorderTab* second = window.OpenRecorder(At(*other));
  window.Tabs()->setCurrentWidget(first);
  const auto live = [](RecorderTab* tab) {
    return tab->CurrentState() == RecorderTab::State::kLive;
  };
  if (!WaitFor([&] { return live(first) && live(second); }, 10000)) {
    report << "the recorders did not go live\n";
    return 1;
  }
  window.ToggleFullScreen();
  QScreen* screen = window.screen();
  // Xvfb runs no window manager to honour the request: the check places
  // the window over the whole screen as one would.
  WaitFor([] { return false; }, 300);
  if (window.geometry() != screen->geometry()) window.setGeometry(screen->geometry());
  // Full screen, pictures moving on it, and no strip yet.
  if (!WaitFor([&] { return window.geometry() == screen->geometry(); }, 5000)) {
    report << "not full screen: " << window.geometry().width() << "x" << window.geometry().height()
           << "+" << window.geometry().x() << "+" << window.geometry().y() << "\n";
    return 1;
  }
  WaitFor([] { return false; }, 1500);
  if (StripShown(screen->grabWindow(0).toImage()) > 0.1) {
    report << "a strip before any alarm\n";
    return 1;
  }

  QElapsedTimer clock;
  clock.start();
  other.reset();
  qint64 seen = -1;
  QImage shot;
  WaitFor(
      [&] {
        shot = screen->grabWindow(0).toImage();
        if (StripShown(shot) > 0.5) seen = clock.elapsed();
        return seen >= 0;
      },
      3000);
  shot.save(shotPath);
  if (seen < 0) {
    report << "no strip on the screen; strip visible " << window.Strip()->isVisible() << " at "
           << window.Strip()->geometry().y() << "\n";
    return 1;
  }
  std::printf("the strip showed %lld ms after the recorder stopped\n",
              static_cast<long long>(seen));
  if (seen > 1000 * slowdown) {
    report << "the strip took " << seen << " ms\n";
    return 1;
  }
  if (window.CurrentTab() != first || !live(first)) {
    report << "the full-screen tab changed\n";
    return 1;
  }
  // The strip takes its own row: the pictures, and the first row's
  // captions, begin below it.
  const int stripBottom = window.Strip()->mapToGlobal(QPoint(0, window.Strip()->height())).y();
  if (!WaitFor([&] { return first->Window()->mapToGlobal(QPoint(0, 0)).y() >= stripBottom; },
               2000)) {
    report << "the strip lies over the pictures: they begin at "
           << first->Window()->mapToGlobal(QPoint(0, 0)).y() << ", the strip ends at "
           << stripBottom << "\n";
    return 1;
  }
  // Below the strip, the first recorder's pictures are still there.
  const QRgb below = shot.pixel(shot.width() / 8, shot.height() / 8);
  if (Reddish(below) || below == qRgb(0, 0, 0)) {
    report << "no picture below the strip\n";
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  QApplication app(argc, argv);
  shotPath = QString::fromLocal8Bit(argv[1]) + ".png";
  const int result = Check();
  if (result == 0) report << "ok\n";
  std::ofstream(argv[1]) << report.str();
  return result;
}
