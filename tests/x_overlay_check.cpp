// Run on an X server with xdotool: a recorder's tab against the simulated
// recorder, driven by the real pointer. A camera stops; a double-click on
// the mark over its pane enlarges it, and the enlarged camera carries the
// mark and the stopped state at once. Then the whole recorder stops; a
// double-click on the banner enlarges the pane under it, and the banner
// leaves the first row's captions free. Writes "ok" or what went wrong to
// the file named by its argument; exits 0 only when all is as expected.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include <QApplication>
#include <QElapsedTimer>
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
QString shotPath;  // where the screen is saved when the mark is looked for
// Generous: the check runs under sanitizers on a loaded machine too.
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

void DoubleClickAt(QPoint global) {
  const std::string command = "xdotool mousemove " + std::to_string(global.x()) + " " +
                              std::to_string(global.y()) +
                              " sleep 0.2 click --repeat 2 --delay 60 1";
  if (std::system(command.c_str()) != 0) report << "xdotool failed: " << command << "\n";
}

bool Shown(const QLabel* label) {
  return label && label->isVisible();
}

// The number of seconds a mark says its camera has stopped for; -1 if none.
int MarkSeconds(const QLabel* mark) {
  if (!Shown(mark)) return -1;
  const QString digits = mark->text().section(' ', 1, 1);
  bool ok = false;
  const int n = digits.toInt(&ok);
  return ok ? n : -1;
}

bool Reddish(QRgb c) {
  return qRed(c) > 110 && qGreen(c) < 60 && qBlue(c) < 60;
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
  auto mode = [&] { return tab.Window()->Object().dwDrawMode.load(); };
  // Every channel has sent a few pictures.
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

  // Camera 6 stops; its pane's mark takes no click from its pane.
  server.Command("pause 6");
  if (!WaitFor([&] { return Shown(tab.PaneMark(5)); }, 10000)) {
    report << "camera 6 was never marked\n";
    return 1;
  }
  QLabel* mark = tab.PaneMark(5);
  DoubleClickAt(mark->mapToGlobal(mark->rect().center()));
  if (!WaitFor([&] { return mode() == 5; }, 5000)) {
    report << "a double-click on the mark did not enlarge camera 6 (view " << std::hex << mode()
           << std::dec << ")\n";
    return 1;
  }
  // At once: the mark over the whole area, and the tab says the camera stopped.
  const QRect area(tab.Window()->mapTo(&tab, QPoint(0, 0)),
                   QSize(tab.Window()->width(), tab.Window()->height() - zarvion::kToolbarStrip));
  auto markOverArea = [&] {
    return Shown(tab.PaneMark(5)) && tab.PaneMark(5)->geometry().contains(area.center()) &&
           tab.PicturesStopped() && tab.StateText().endsWith(QString::fromUtf8("1 路画面已停止"));
  };
  if (!WaitFor(markOverArea, 1000)) {
    report << "the enlarged stopped camera lost its mark: " << tab.StateText().toStdString()
           << "\n";
    return 1;
  }
  // And it keeps it while nothing arrives at all; no banner takes over.
  const int first = MarkSeconds(tab.PaneMark(5));
  bool kept = true;
  WaitFor(
      [&] {
        kept = kept && markOverArea() && !tab.Banner()->isVisible();
        return !kept || MarkSeconds(tab.PaneMark(5)) >= first + 4;
      },
      15000);
  if (!kept || MarkSeconds(tab.PaneMark(5)) < first + 4) {
    report << "the enlarged camera's mark did not stay (" << first << " -> "
           << MarkSeconds(tab.PaneMark(5)) << " s, banner " << tab.Banner()->isVisible()
           << "): " << tab.StateText().toStdString() << "\n";
    return 1;
  }
  // The mark is on the screen, above the picture the X server stretches.
  const QPoint markCentre = tab.PaneMark(5)->mapToGlobal(tab.PaneMark(5)->rect().center());
  const QImage screen = tab.screen()->grabWindow(0).toImage();
  screen.save(shotPath);
  const QRect onScreen(tab.PaneMark(5)->mapToGlobal(QPoint(0, 0)), tab.PaneMark(5)->size());
  int red = 0;
  for (int y = onScreen.top(); y <= onScreen.bottom(); ++y) {
    for (int x = onScreen.left(); x <= onScreen.right(); ++x) red += Reddish(screen.pixel(x, y));
  }
  if (red < onScreen.width() * onScreen.height() / 2) {
    report << "the mark is not on the screen over the single view (" << red << " red pixels in "
           << onScreen.width() << " x " << onScreen.height() << ")\n";
    return 1;
  }

  // Back to the grid through the mark; then the whole recorder stops.
  DoubleClickAt(markCentre);
  if (!WaitFor([&] { return mode() == 0x00100000; }, 5000)) {
    report << "a double-click on the single view's mark did not return to the grid\n";
    return 1;
  }
  server.Command("resume 6");
  server.Command("pause");
  if (!WaitFor([&] { return tab.Banner()->isVisible(); }, 10000)) {
    report << "the stopped recorder got no banner\n";
    return 1;
  }
  // The banner leaves the captions of the first row free.
  const QRect banner = tab.Banner()->geometry();
  const QRect captions(area.left(), area.top(), area.width(), 20);
  if (banner.intersects(captions)) {
    report << "the banner hides the first row's captions\n";
    return 1;
  }
  // A double-click on the banner reaches the pane under it: bottom row,
  // second pane, channel 14.
  const QPoint onBanner(area.left() + area.width() * 3 / 8, banner.center().y());
  const zarvion::Rect pane = zarvion::PaneRect(4, 3, 1, area.width(), area.height());
  const QPoint inArea = onBanner - area.topLeft();
  if (inArea.x() <= pane.left || inArea.x() >= pane.right || inArea.y() <= pane.top ||
      inArea.y() >= pane.bottom) {
    report << "the banner is not over the bottom row\n";
    return 1;
  }
  DoubleClickAt(tab.mapToGlobal(onBanner));
  if (!WaitFor([&] { return mode() == 13; }, 5000)) {
    report << "a double-click on the banner did not enlarge the pane under it (view " << std::hex
           << mode() << std::dec << ")\n";
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
