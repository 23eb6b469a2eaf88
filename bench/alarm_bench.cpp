// The GUI thread's stalls while events arrive at 1,000 a second through the
// real main window (a tab's EventOccurred, as its recorder's would), with
// the event list shown and every tenth event an alarm (the strip and the
// alarm sound follow them). A 1 ms timer measures how late the thread
// comes back to it; the median and longest gaps are printed, the longest
// against its bound of 50 ms. Options: --seconds N (default 10); others
// (the benchmark library's, passed by scripts/bench) are ignored.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include "viewer/event_dock.h"
#include "viewer/main_window.h"
#include "viewer/recorder_tab.h"

int main(int argc, char** argv) {
  int seconds = 10;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::max(1, std::atoi(argv[i + 1]));
  }
  QApplication app(argc, argv);
  QTemporaryDir dir;
  zarvion::viewer::MainWindowOptions options;
  options.remember = false;
  options.eventsPath = dir.filePath(QStringLiteral("events.sqlite"));
  zarvion::viewer::MainWindow window(options);
  window.resize(1280, 900);
  window.show();
  window.Dock()->show();
  zarvion::viewer::RecorderTab* tab = window.NewTab();

  constexpr int kPerSecond = 1000;
  constexpr int kTickMs = 10;
  int64_t sent = 0;
  QTimer source;
  source.setTimerType(Qt::PreciseTimer);
  QObject::connect(&source, &QTimer::timeout, [&] {
    for (int i = 0; i < kPerSecond * kTickMs / 1000; ++i, ++sent) {
      zarvion::viewer::Event e;
      // Mostly new rows: many recorders, so few repeats are coalesced.
      e.recorder = QStringLiteral("10.0.%1.%2:7000").arg(sent / 250 % 250).arg(sent % 250);
      e.channel = static_cast<int>(sent % 16);
      e.kind = sent % 10 == 0 ? zarvion::viewer::EventKind::kVideoLost
                              : zarvion::viewer::EventKind::kServerNotice;
      e.detail = QStringLiteral("notice %1").arg(sent);
      emit tab->EventOccurred(e);
    }
  });

  std::vector<qint64> gaps;
  gaps.reserve(static_cast<size_t>(seconds) * 1000);
  QElapsedTimer clock;
  qint64 last = -1;
  QTimer beat;
  beat.setTimerType(Qt::PreciseTimer);
  QObject::connect(&beat, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    if (last >= 0) gaps.push_back(now - last);
    last = now;
  });
  QTimer::singleShot(1000, [&] {  // the window settles first
    clock.start();
    source.start(kTickMs);
    beat.start(1);
    QTimer::singleShot(seconds * 1000, &app, &QApplication::quit);
  });
  app.exec();
  source.stop();
  beat.stop();

  std::sort(gaps.begin(), gaps.end());
  const double median = gaps.empty() ? 0 : gaps[gaps.size() / 2] / 1e6;
  const double longest = gaps.empty() ? 0 : gaps.back() / 1e6;
  const double p99 = gaps.empty() ? 0 : gaps[gaps.size() * 99 / 100] / 1e6;
  window.Events().Flush();
  std::printf("events sent          %lld in %d s\n", static_cast<long long>(sent), seconds);
  std::printf("rows in the list     %d\n", window.Dock()->Model()->rowCount());
  std::printf("GUI gap median (ms)  %.2f\n", median);
  std::printf("GUI gap 99th (ms)    %.2f\n", p99);
  std::printf("GUI gap max (ms)     %.2f %s\n", longest,
              longest < 50 ? "(under 50)" : "(50 OR MORE)");
  return 0;
}
