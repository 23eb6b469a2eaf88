// Opening the events' database: the file checked, the schema brought to
// this version, a damaged or locked file set aside, old rows removed. All of
// it runs on the store's writer thread.
#include <sqlite3.h>

#include <string>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "platform/log.h"
#include "viewer/event_log.h"
#include "viewer/event_store_sql.h"

namespace zarvion::viewer {

using event_sql::kColumns;
using event_sql::NowMs;
using event_sql::Text;

namespace {

// The schema, one step per version: step i brings user_version i to i + 1.
// A step is never changed once released; later needs add a step.
constexpr const char* kMigrations[] = {
    "CREATE TABLE events("
    "  id INTEGER PRIMARY KEY,"
    "  time INTEGER NOT NULL,"        // latest occurrence, ms since the epoch (UTC)
    "  first_time INTEGER NOT NULL,"  // first occurrence coalesced into the row
    "  recorder TEXT NOT NULL,"
    "  channel INTEGER,"  // NULL: the whole recorder
    "  kind INTEGER NOT NULL,"
    "  detail TEXT NOT NULL DEFAULT '',"
    "  count INTEGER NOT NULL DEFAULT 1,"
    "  acknowledged INTEGER);"  // ms since the epoch; NULL until acknowledged
    "CREATE INDEX events_by_time ON events(time);"
    "CREATE INDEX events_by_key ON events(recorder, channel, kind, time);"
    "CREATE INDEX events_unacknowledged ON events(kind) WHERE acknowledged IS NULL;",
    // Motion events: when they ended, their peak share, the picture at the peak.
    "ALTER TABLE events ADD COLUMN end_time INTEGER;"
    "ALTER TABLE events ADD COLUMN peak INTEGER;"
    "ALTER TABLE events ADD COLUMN thumbnail BLOB;",
    // Motion events: the file their event recording went to.
    "ALTER TABLE events ADD COLUMN recording TEXT;",
};
constexpr int kSchemaVersion = static_cast<int>(std::size(kMigrations));

}  // namespace

// --- opening -----------------------------------------------------------------

void EventStore::Open() {
  OpenOrSetAside();
  if (db_) {
    Prune();
    CountAlarms();
  }
  prunedAt_ = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  opened_ = true;
  done_.notify_all();
}

bool EventStore::Exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  Log(LogCategory::kViewer, LogSeverity::kError, "events database %s: %s (%s)",
      path_.toUtf8().constData(), message ? message : sqlite3_errmsg(db_), sql);
  sqlite3_free(message);
  return false;
}

bool EventStore::OpenAt(const QString& path, QString* why, bool* locked) {
  *locked = false;
  QDir().mkpath(QFileInfo(path).absolutePath());
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.toUtf8().constData(), &db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  auto fail = [&](int code) {
    *locked = code == SQLITE_BUSY || code == SQLITE_LOCKED;
    *why = QString::fromUtf8(db ? sqlite3_errmsg(db) : sqlite3_errstr(code));
    sqlite3_close(db);
    return false;
  };
  if (rc != SQLITE_OK) return fail(rc);
  sqlite3_extended_result_codes(db, 0);
  sqlite3_busy_timeout(db, 2000);

  // A quick check reads every page: a file that is not a database, or one
  // torn inside, fails here rather than at some later write.
  sqlite3_stmt* check = nullptr;
  rc = sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &check, nullptr);
  if (rc != SQLITE_OK) return fail(rc);
  QString verdict;
  while ((rc = sqlite3_step(check)) == SQLITE_ROW) {
    if (verdict.isEmpty()) verdict = Text(check, 0);
  }
  sqlite3_finalize(check);
  if (rc != SQLITE_DONE) return fail(rc);
  if (verdict != QLatin1String("ok")) {
    *why = verdict;
    sqlite3_close(db);
    return false;
  }

  sqlite3_stmt* mode = nullptr;
  rc = sqlite3_prepare_v2(db, "PRAGMA journal_mode=WAL", -1, &mode, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(mode);
  const QString journal = rc == SQLITE_ROW ? Text(mode, 0) : QString();
  sqlite3_finalize(mode);
  if (rc != SQLITE_ROW) return fail(rc);
  if (journal.compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
    *why = QStringLiteral("journal mode stays ") + journal;
    sqlite3_close(db);
    return false;
  }
  db_ = db;
  path_ = path;
  if (!Exec("PRAGMA synchronous=NORMAL") || !Migrate()) {
    *why = QString::fromUtf8(sqlite3_errmsg(db_));
    *locked = sqlite3_errcode(db_) == SQLITE_BUSY || sqlite3_errcode(db_) == SQLITE_LOCKED;
    sqlite3_close(db_);
    db_ = nullptr;
    return false;
  }

  statements_ = std::make_unique<Statements>();
  const std::string select = std::string("SELECT ") + kColumns +
                             " FROM events WHERE recorder = ?1 AND channel IS ?2 AND kind = ?3"
                             " ORDER BY time DESC, id DESC LIMIT 1";
  if (!statements_->insert.Prepare(
          db_,
          "INSERT INTO events(time, first_time, recorder, channel, kind, detail, count,"
          " end_time, peak, thumbnail, recording)"
          " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)") ||
      !statements_->update.Prepare(
          db_, "UPDATE events SET time = ?2, detail = ?3, count = ?4 WHERE id = ?1") ||
      !statements_->complete.Prepare(db_,
                                     "UPDATE events SET end_time = ?2, peak = ?3, thumbnail = ?4,"
                                     " detail = ?5, recording = ?6 WHERE id = ?1") ||
      !statements_->latest.Prepare(db_, select.c_str()) ||
      !statements_->acknowledge.Prepare(
          db_, "UPDATE events SET acknowledged = ?2 WHERE id = ?1 AND acknowledged IS NULL") ||
      !statements_->acknowledgeAll.Prepare(
          db_, "UPDATE events SET acknowledged = ?1 WHERE acknowledged IS NULL") ||
      !statements_->countAlarms.Prepare(
          db_, "SELECT kind, COUNT(*) FROM events WHERE acknowledged IS NULL GROUP BY kind")) {
    *why = QString::fromUtf8(sqlite3_errmsg(db_));
    Close();
    return false;
  }
  return true;
}

bool EventStore::Migrate() {
  return sql::Migrate(db_, kMigrations, kSchemaVersion,
                      [this](const char* step) { return Exec(step); });
}

void EventStore::OpenOrSetAside() {
  const QString path = path_;
  QString why;
  bool locked = false;
  if (OpenAt(path, &why, &locked)) return;

  // The file is kept for whoever wants to look at it; a locked one is
  // someone else's and stays where it is, the fresh one goes beside it.
  const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
  QString aside = path;
  QString fresh = path;
  if (locked) {
    const QFileInfo info(path);
    fresh = info.absolutePath() + QLatin1Char('/') + info.completeBaseName() + QLatin1Char('-') +
            stamp + QLatin1Char('.') + info.suffix();
  } else {
    aside = path + QStringLiteral(".damaged-") + stamp;
    for (const QString& end : {QString(), QStringLiteral("-wal")}) {
      if (QFile::exists(path + end) && !QFile::rename(path + end, aside + end)) {
        Log(LogCategory::kViewer, LogSeverity::kError, "events database: cannot move %s aside",
            (path + end).toUtf8().constData());
      }
    }
    QFile::remove(path + QStringLiteral("-shm"));
  }
  Log(LogCategory::kViewer, LogSeverity::kError,
      "events database %s cannot be used (%s); kept as %s, going on with %s",
      path.toUtf8().constData(), why.toUtf8().constData(), aside.toUtf8().constData(),
      fresh.toUtf8().constData());
  if (!OpenAt(fresh, &why, &locked)) {
    Log(LogCategory::kViewer, LogSeverity::kError,
        "events database %s cannot be opened either (%s); events are not kept",
        fresh.toUtf8().constData(), why.toUtf8().constData());
    path_ = fresh;
    return;
  }
  Event e;
  e.recorder = QString();
  e.kind = EventKind::kDatabaseSetAside;
  e.detail = aside;
  Append(std::move(e));
}

void EventStore::Close() {
  recent_.clear();
  statements_.reset();
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
}

void EventStore::Prune() {
  const int64_t oldest =
      NowMs() - std::chrono::duration_cast<std::chrono::milliseconds>(options_.maxAge).count();
  const std::string sql =
      "DELETE FROM events WHERE time < " + std::to_string(oldest) +
      ";DELETE FROM events WHERE id IN (SELECT id FROM events ORDER BY time DESC, id DESC"
      " LIMIT -1 OFFSET " +
      std::to_string(options_.maxRows) + ")";
  if (!Exec(sql.c_str())) WriteFailed("removing old events");
  recent_.clear();
}

}  // namespace zarvion::viewer
