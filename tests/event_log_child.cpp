// An events writer for the kill test: appends events to the database given
// without pause, each with its own recorder ("0", "1", ...) so none is
// coalesced, and writes "N\n" to its standard output whenever the store
// says it has written the events before N. It runs until it is killed (or
// a generous bound).
//
//   event_log_child DATABASE
#include <unistd.h>

#include <algorithm>
#include <string>

#include <QCoreApplication>
#include <QTimer>

#include "viewer/event_log.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  QCoreApplication app(argc, argv);
  zarvion::viewer::EventStoreOptions options;
  options.path = QString::fromLocal8Bit(argv[1]);
  zarvion::viewer::EventStore store(options);
  if (!store.IsOpen()) return 3;

  qlonglong stored = 0;
  QObject::connect(&store, &zarvion::viewer::EventStore::Stored, &app,
                   [&](const QList<zarvion::viewer::Event>& rows) {
                     for (const zarvion::viewer::Event& e : rows) {
                       stored = std::max(stored, e.recorder.toLongLong() + 1);
                     }
                     const std::string line = std::to_string(stored) + "\n";
                     if (::write(1, line.data(), line.size()) != ssize_t(line.size())) app.exit(5);
                   });
  int64_t next = 0;
  QTimer feed;
  QObject::connect(&feed, &QTimer::timeout, &app, [&] {
    for (int i = 0; i < 20; ++i) {
      zarvion::viewer::Event e;
      e.recorder = QString::number(next++);
      e.kind = zarvion::viewer::EventKind::kServerNotice;
      e.detail = QStringLiteral("notice");
      store.Append(std::move(e));
    }
    if (next >= 2000000) app.quit();
  });
  feed.start(1);
  return app.exec();
}
