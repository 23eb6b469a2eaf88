#include "viewer/recording_catalogue.h"

#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include "export/recording_files.h"
#include "platform/avi_repair.h"
#include "platform/avi_summary.h"
#include "platform/log.h"
#include "viewer/sqlite_helpers.h"

namespace zarvion::viewer {

namespace {

using sql::BindText;
using sql::Statement;
using sql::Text;

using Clock = std::chrono::steady_clock;

// The schema, one step per version: step i brings user_version i to i + 1.
// A released step is never changed; later needs add a step.
constexpr const char* kMigrations[] = {
    "CREATE TABLE recordings("
    "  id INTEGER PRIMARY KEY,"
    "  path TEXT NOT NULL UNIQUE,"
    "  kind INTEGER NOT NULL,"
    "  channel INTEGER NOT NULL,"
    "  start_ms INTEGER NOT NULL,"  // ms since the epoch (UTC)
    "  end_ms INTEGER NOT NULL,"
    "  frames INTEGER NOT NULL DEFAULT 0,"
    "  key_frames INTEGER NOT NULL DEFAULT 0,"
    "  bytes INTEGER NOT NULL DEFAULT 0,"
    "  rate_num INTEGER NOT NULL DEFAULT 0,"
    "  rate_den INTEGER NOT NULL DEFAULT 1,"
    "  recorder TEXT NOT NULL DEFAULT '',"
    "  complete INTEGER NOT NULL DEFAULT 0,"
    // The file as it was read: one of the same size and time is not read again.
    "  file_size INTEGER NOT NULL DEFAULT -1,"
    "  file_mtime INTEGER NOT NULL DEFAULT -1);"
    "CREATE INDEX recordings_by_start ON recordings(start_ms);"
    "CREATE INDEX recordings_open ON recordings(start_ms) WHERE complete = 0;",
};
constexpr int kSchemaVersion = static_cast<int>(std::size(kMigrations));

constexpr const char* kColumns =
    "id, path, kind, channel, start_ms, end_ms, frames, key_frames, bytes, rate_num, rate_den,"
    " recorder, complete";

// A closed recording whose writer still holds the file is read again this
// often, this many times, before it is entered as it stands.
constexpr auto kBusyRetry = std::chrono::milliseconds(200);
constexpr int kBusyRetries = 50;
// Entries written by a reconcile in one transaction.
constexpr size_t kReconcileBatch = 256;

int64_t NowMs() {
  return QDateTime::currentMSecsSinceEpoch();
}

CatalogueEntry EntryOf(sqlite3_stmt* s) {
  CatalogueEntry e;
  e.id = sqlite3_column_int64(s, 0);
  e.path = Text(s, 1);
  e.kind = static_cast<CatalogueKind>(sqlite3_column_int(s, 2));
  e.channel = sqlite3_column_int(s, 3);
  e.startMs = sqlite3_column_int64(s, 4);
  e.endMs = sqlite3_column_int64(s, 5);
  e.frames = sqlite3_column_int64(s, 6);
  e.keyFrames = sqlite3_column_int64(s, 7);
  e.bytes = sqlite3_column_int64(s, 8);
  e.rateNum = sqlite3_column_int(s, 9);
  e.rateDen = sqlite3_column_int(s, 10);
  e.recorder = Text(s, 11);
  e.complete = sqlite3_column_int(s, 12) != 0;
  return e;
}

// An entry and the file's size and time as read.
struct Row {
  CatalogueEntry entry;
  int64_t fileSize = -1;
  int64_t fileMtime = -1;
};

CatalogueKind KindOfPrefix(const std::string& prefix) {
  if (prefix == "CLIENT") return CatalogueKind::kManual;
  if (prefix == "EVENT") return CatalogueKind::kEvent;
  return CatalogueKind::kOther;
}

bool IsSnapshotName(const QString& name) {
  return name.startsWith(QLatin1String("CH")) &&
         (name.endsWith(QLatin1String(".bmp"), Qt::CaseInsensitive) ||
          name.endsWith(QLatin1String(".jpg"), Qt::CaseInsensitive) ||
          name.endsWith(QLatin1String(".png"), Qt::CaseInsensitive));
}

// A snapshot's name is a recording's without prefix and with another
// ending: "CHnn_YYYY_MM_DD_HH_MM_SS_mmm.bmp".
std::optional<recordings::RecordingName> ParseSnapshotName(const QString& path) {
  const QString name = QFileInfo(path).fileName();
  if (!IsSnapshotName(name)) return std::nullopt;
  const QString as = QStringLiteral("S_") + name.left(name.size() - 4) + QStringLiteral(".avi");
  return recordings::ParseRecordingName(as.toStdString());
}

// The frames, key frames, bytes, rate and end of a recording, from its file
// (its start as the entry has it). False when the file cannot be read.
bool ReadRecording(Row* row, AviSummary* summary = nullptr) {
  CatalogueEntry& e = row->entry;
  std::optional<AviSummary> s = ReadAviSummary(QFile::encodeName(e.path).toStdString());
  if (!s) return false;
  if (summary) *summary = *s;
  row->fileSize = static_cast<int64_t>(s->bytes);
  row->fileMtime = s->modifiedNs;
  e.bytes = static_cast<int64_t>(s->bytes);
  if (s->ours) {
    e.frames = s->frames;
    e.keyFrames = s->keyFrames;
    e.complete = s->indexed;
    FrameRate rate = s->rate;
    if (rate.rate == 0 || rate.scale == 0) rate = FrameRate{};
    e.rateNum = s->rateTrusted ? static_cast<int>(rate.rate) : 0;
    e.rateDen = s->rateTrusted ? static_cast<int>(rate.scale) : 1;
    e.endMs = e.startMs + static_cast<int64_t>(uint64_t{s->frames} * 1000 * rate.scale / rate.rate);
    return true;
  }
  // Another writer's AVI: what the demuxer makes of it.
  std::vector<recordings::Recording> plan;
  std::string error;
  if (!recordings::PlanRecordings({QFile::encodeName(e.path).toStdString()}, &plan, &error) ||
      plan.empty()) {
    e.complete = false;
    e.endMs = e.startMs;
    return true;
  }
  const recordings::Recording& r = plan.front();
  e.frames = r.frames;
  e.keyFrames = 0;
  e.complete = true;
  e.rateNum = r.rateSource == recordings::RateSource::kHeader ? static_cast<int>(r.rate.rate) : 0;
  e.rateDen = r.rateSource == recordings::RateSource::kHeader ? static_cast<int>(r.rate.scale) : 1;
  e.endMs = r.frames ? r.FrameTime(r.frames) : e.startMs;
  return true;
}

// An entry for a file of a folder, from its name: nothing for a name that
// is neither a recording's nor a snapshot's.
std::optional<Row> RowOfName(const QString& path) {
  Row row;
  CatalogueEntry& e = row.entry;
  e.path = path;
  const std::string local = QFile::encodeName(path).toStdString();
  if (std::optional<recordings::RecordingName> name = recordings::ParseRecordingName(local)) {
    e.kind = KindOfPrefix(name->prefix);
    e.channel = std::max(name->channel - 1, 0);
    e.startMs = name->start;
    e.endMs = name->start;
    return row;
  }
  if (std::optional<recordings::RecordingName> name = ParseSnapshotName(path)) {
    e.kind = CatalogueKind::kSnapshot;
    e.channel = std::max(name->channel - 1, 0);
    e.startMs = name->start;
    e.endMs = name->start;
    e.frames = 1;
    e.complete = true;
    return row;
  }
  return std::nullopt;
}

// A file's path as the folders' scan spells it, so a file told by a tab
// and found by a scan is one entry.
QString CleanPath(const QString& file) {
  return QDir::cleanPath(QFileInfo(file).absoluteFilePath());
}

}  // namespace

struct RecordingCatalogue::Impl {
  struct Command {
    enum class Type { kStarted, kFinished, kPut, kRemove, kFlush };
    Type type = Type::kFlush;
    Row row;                     // kStarted: the entry as it begins; kFinished: its path
    std::vector<Row> rows;       // kPut
    std::vector<QString> paths;  // kRemove
    int retries = 0;
    Clock::time_point notBefore{};
  };

  RecordingCatalogue* owner = nullptr;
  QString path;

  // The writer thread and what it is given.
  std::thread writer;
  mutable std::mutex mutex;
  std::condition_variable wake;
  mutable std::condition_variable done;
  std::deque<Command> queue;
  std::vector<Command> deferred;  // closed files their writer still holds
  uint64_t pending = 0;           // asked and not yet written
  bool stopping = false;
  bool opened = false;
  std::set<QString> writing;  // Started and not Finished: they end now

  sqlite3* db = nullptr;  // the writer's
  Statement upsert, remove, startOf;

  // Reads: a connection of their own, one reader at a time.
  mutable std::mutex readMutex;
  sqlite3* reader = nullptr;
  Statement entries;
  // The longest recording entered: a query looks back this far for one
  // that began before its range.
  std::atomic<int64_t> longestMs{0};

  std::thread reconciler;
  std::atomic<bool> reconciling{false};
  std::atomic<bool> cancelReconcile{false};

  ~Impl() {
    if (reader) sqlite3_close(reader);
  }

  bool Exec(sqlite3* on, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(on, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    Log(LogCategory::kViewer, LogSeverity::kError, "recordings database %s: %s (%.60s)",
        path.toUtf8().constData(), message ? message : sqlite3_errmsg(on), sql);
    sqlite3_free(message);
    return false;
  }

  // --- opening (writer thread) ---------------------------------------------

  bool OpenAt(const QString& file, QString* why) {
    QDir().mkpath(QFileInfo(file).absolutePath());
    sqlite3* handle = nullptr;
    int rc = sqlite3_open_v2(file.toUtf8().constData(), &handle,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    auto fail = [&](const QString& text) {
      *why = text;
      sqlite3_close(handle);
      return false;
    };
    if (rc != SQLITE_OK) {
      return fail(QString::fromUtf8(handle ? sqlite3_errmsg(handle) : sqlite3_errstr(rc)));
    }
    sqlite3_busy_timeout(handle, 2000);
    sqlite3_stmt* s = nullptr;
    QString verdict;
    rc = sqlite3_prepare_v2(handle, "PRAGMA quick_check", -1, &s, nullptr);
    if (rc == SQLITE_OK) {
      while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        if (verdict.isEmpty()) verdict = Text(s, 0);
      }
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_DONE) return fail(QString::fromUtf8(sqlite3_errmsg(handle)));
    if (verdict != QLatin1String("ok")) return fail(verdict);
    QString journal;
    if (sqlite3_prepare_v2(handle, "PRAGMA journal_mode=WAL", -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
      journal = Text(s, 0);
    }
    sqlite3_finalize(s);
    if (journal.compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
      return fail(QStringLiteral("journal mode stays ") + journal);
    }
    db = handle;
    path = file;
    if (!Exec(db, "PRAGMA synchronous=NORMAL") || !Migrate() || !Prepare()) {
      *why = QString::fromUtf8(sqlite3_errmsg(db));
      CloseWriter();
      return false;
    }
    if (sqlite3_open_v2(file.toUtf8().constData(), &reader, SQLITE_OPEN_READONLY, nullptr) !=
            SQLITE_OK ||
        !entries.Prepare(reader, (std::string("SELECT ") + kColumns +
                                  " FROM recordings WHERE start_ms < ?2 AND start_ms >= ?3"
                                  " AND (end_ms > ?1 OR start_ms >= ?1 OR complete = 0)"
                                  " UNION ALL SELECT " +
                                  kColumns +
                                  " FROM recordings WHERE complete = 0 AND start_ms < ?3"
                                  " AND start_ms < ?2 ORDER BY start_ms, id")
                                     .c_str())) {
      *why = QString::fromUtf8(reader ? sqlite3_errmsg(reader) : "no reader");
      sqlite3_close(reader);
      reader = nullptr;
      CloseWriter();
      return false;
    }
    sqlite3_busy_timeout(reader, 2000);
    if (sqlite3_prepare_v2(db, "SELECT MAX(end_ms - start_ms) FROM recordings", -1, &s, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
      longestMs = sqlite3_column_int64(s, 0);
    }
    sqlite3_finalize(s);
    return true;
  }

  bool Migrate() {
    return sql::Migrate(db, kMigrations, kSchemaVersion,
                        [this](const char* step) { return Exec(db, step); });
  }

  bool Prepare() {
    return upsert.Prepare(
               db,
               "INSERT INTO recordings(path, kind, channel, start_ms, end_ms, frames, key_frames,"
               " bytes, rate_num, rate_den, recorder, complete, file_size, file_mtime)"
               " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14)"
               " ON CONFLICT(path) DO UPDATE SET kind = excluded.kind,"
               " channel = excluded.channel, start_ms = excluded.start_ms,"
               " end_ms = excluded.end_ms, frames = excluded.frames,"
               " key_frames = excluded.key_frames, bytes = excluded.bytes,"
               " rate_num = excluded.rate_num, rate_den = excluded.rate_den,"
               " recorder = CASE WHEN excluded.recorder = '' THEN recorder"
               " ELSE excluded.recorder END,"
               " complete = excluded.complete, file_size = excluded.file_size,"
               " file_mtime = excluded.file_mtime") &&
           remove.Prepare(db, "DELETE FROM recordings WHERE path = ?1") &&
           startOf.Prepare(db,
                           "SELECT kind, channel, start_ms, recorder FROM recordings"
                           " WHERE path = ?1");
  }

  void CloseWriter() {
    upsert.Reset();
    remove.Reset();
    startOf.Reset();
    if (db) sqlite3_close(db);
    db = nullptr;
  }

  void Open() {
    const QString wanted = path;
    QString why;
    if (!OpenAt(wanted, &why)) {
      // The catalogue only indexes the folders: the file is kept for
      // whoever wants to look at it, and a fresh one is filled again.
      const QString stamp =
          QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
      const QString aside = wanted + QStringLiteral(".damaged-") + stamp;
      for (const QString& end : {QString(), QStringLiteral("-wal")}) {
        if (QFile::exists(wanted + end)) QFile::rename(wanted + end, aside + end);
      }
      QFile::remove(wanted + QStringLiteral("-shm"));
      Log(LogCategory::kViewer, LogSeverity::kError,
          "recordings database %s cannot be used (%s); kept as %s, starting afresh",
          wanted.toUtf8().constData(), why.toUtf8().constData(), aside.toUtf8().constData());
      QString again;
      if (!OpenAt(wanted, &again)) {
        Log(LogCategory::kViewer, LogSeverity::kError,
            "recordings database %s cannot be opened either (%s); recordings are not catalogued",
            wanted.toUtf8().constData(), again.toUtf8().constData());
        path = wanted;
      }
    }
    std::lock_guard<std::mutex> lock(mutex);
    opened = true;
    done.notify_all();
  }

  void WaitOpened() const {
    std::unique_lock<std::mutex> lock(mutex);
    done.wait(lock, [&] { return opened; });
  }

  // --- the GUI side ------------------------------------------------------------

  void Submit(Command c) {
    std::lock_guard<std::mutex> lock(mutex);
    queue.push_back(std::move(c));
    ++pending;
    wake.notify_one();
  }

  void Flush() {
    std::unique_lock<std::mutex> lock(mutex);
    wake.notify_one();
    done.wait(lock, [&] { return pending == 0; });
  }

  // --- the writer thread ---------------------------------------------------------

  void Run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      auto due = Clock::time_point::max();
      for (const Command& c : deferred) due = std::min(due, c.notBefore);
      wake.wait_until(lock, due, [&] {
        return stopping || !queue.empty() || (!deferred.empty() && Clock::now() >= due);
      });
      if (stopping && queue.empty() && deferred.empty()) break;
      std::deque<Command> batch;
      const auto now = Clock::now();
      for (auto it = deferred.begin(); it != deferred.end();) {
        if (stopping || now >= it->notBefore) {
          batch.push_back(std::move(*it));
          it = deferred.erase(it);
        } else {
          ++it;
        }
      }
      for (Command& c : queue) batch.push_back(std::move(c));
      queue.clear();
      const bool last = stopping;
      lock.unlock();
      std::vector<Command> again;
      const bool changed = WriteBatch(batch, last, &again);
      if (changed) emit owner->Changed();
      lock.lock();
      pending -= batch.size() - again.size();
      for (Command& c : again) deferred.push_back(std::move(c));
      done.notify_all();
    }
  }

  void Put(const Row& row) {
    const CatalogueEntry& e = row.entry;
    sqlite3_stmt* s = upsert.Use();
    BindText(s, 1, e.path);
    sqlite3_bind_int(s, 2, static_cast<int>(e.kind));
    sqlite3_bind_int(s, 3, e.channel);
    sqlite3_bind_int64(s, 4, e.startMs);
    sqlite3_bind_int64(s, 5, std::max(e.endMs, e.startMs));
    sqlite3_bind_int64(s, 6, e.frames);
    sqlite3_bind_int64(s, 7, e.keyFrames);
    sqlite3_bind_int64(s, 8, e.bytes);
    sqlite3_bind_int(s, 9, e.rateNum);
    sqlite3_bind_int(s, 10, e.rateDen > 0 ? e.rateDen : 1);
    BindText(s, 11, e.recorder);
    sqlite3_bind_int(s, 12, e.complete ? 1 : 0);
    sqlite3_bind_int64(s, 13, row.fileSize);
    sqlite3_bind_int64(s, 14, row.fileMtime);
    if (sqlite3_step(s) != SQLITE_DONE) {
      Log(LogCategory::kViewer, LogSeverity::kError, "recordings database: cannot enter %s: %s",
          e.path.toUtf8().constData(), sqlite3_errmsg(db));
    }
    upsert.Done();
    int64_t longest = longestMs.load();
    const int64_t span = e.endMs - e.startMs;
    while (span > longest && !longestMs.compare_exchange_weak(longest, span)) {
    }
  }

  // A closed recording: what its file holds. False when its writer still
  // holds it and it is to be read again later.
  bool Complete(Command& c, bool last) {
    Row row;
    row.entry.path = c.row.entry.path;
    sqlite3_stmt* s = startOf.Use();
    BindText(s, 1, row.entry.path);
    if (sqlite3_step(s) == SQLITE_ROW) {
      row.entry.kind = static_cast<CatalogueKind>(sqlite3_column_int(s, 0));
      row.entry.channel = sqlite3_column_int(s, 1);
      row.entry.startMs = sqlite3_column_int64(s, 2);
      row.entry.recorder = Text(s, 3);
    } else if (std::optional<Row> named = RowOfName(row.entry.path)) {
      row.entry = named->entry;
    } else {
      row.entry.kind = CatalogueKind::kOther;
      row.entry.startMs = NowMs();
    }
    startOf.Done();
    AviSummary summary;
    if (!ReadRecording(&row, &summary)) {
      // Nothing was kept (the first frame could not be written).
      sqlite3_stmt* r = remove.Use();
      BindText(r, 1, row.entry.path);
      sqlite3_step(r);
      remove.Done();
      return true;
    }
    if (summary.busy && !last && c.retries < kBusyRetries) {
      ++c.retries;
      c.notBefore = Clock::now() + kBusyRetry;
      return false;
    }
    if (summary.busy) row.fileSize = -1;  // read again at the next reconcile
    Put(row);
    return true;
  }

  bool WriteBatch(std::deque<Command>& batch, bool last, std::vector<Command>* again) {
    if (!db) return false;
    bool changed = false;
    Exec(db, "BEGIN");
    for (Command& c : batch) {
      switch (c.type) {
        case Command::Type::kStarted:
        case Command::Type::kPut:
          if (c.type == Command::Type::kStarted) {
            Put(c.row);
          } else {
            for (const Row& row : c.rows) Put(row);
          }
          changed = true;
          break;
        case Command::Type::kFinished:
          if (Complete(c, last)) {
            changed = true;
            std::lock_guard<std::mutex> lock(mutex);
            writing.erase(c.row.entry.path);
          } else {
            again->push_back(std::move(c));
          }
          break;
        case Command::Type::kRemove:
          for (const QString& gone : c.paths) {
            sqlite3_stmt* s = remove.Use();
            BindText(s, 1, gone);
            sqlite3_step(s);
            remove.Done();
            changed = changed || sqlite3_changes(db) > 0;
          }
          break;
        case Command::Type::kFlush:
          break;
      }
    }
    if (!Exec(db, "COMMIT")) {
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      return false;
    }
    return changed;
  }

  // --- reads ---------------------------------------------------------------

  std::vector<CatalogueEntry> Entries(int64_t fromMs, int64_t toMs) {
    WaitOpened();
    std::vector<CatalogueEntry> out;
    std::set<QString> now;
    {
      std::lock_guard<std::mutex> lock(mutex);
      now = writing;
    }
    const int64_t nowMs = NowMs();
    std::lock_guard<std::mutex> lock(readMutex);
    if (!reader) return out;
    sqlite3_stmt* s = entries.Use();
    sqlite3_bind_int64(s, 1, fromMs);
    sqlite3_bind_int64(s, 2, toMs);
    sqlite3_bind_int64(s, 3, fromMs - longestMs.load() - 1);
    while (sqlite3_step(s) == SQLITE_ROW) {
      CatalogueEntry e = EntryOf(s);
      if (!e.complete && now.count(e.path)) e.endMs = std::max(e.endMs, nowMs);
      const bool overlaps =
          e.startMs < toMs && (e.endMs > fromMs || (e.startMs >= fromMs && e.endMs == e.startMs));
      if (overlaps) out.push_back(std::move(e));
    }
    entries.Done();
    return out;
  }

  // --- reconciling (a thread of its own) ----------------------------------------

  struct Known {
    int64_t size = -1;
    int64_t mtime = -1;
  };

  std::unordered_map<std::string, Known> LoadKnown() {
    std::unordered_map<std::string, Known> known;
    std::lock_guard<std::mutex> lock(readMutex);
    if (!reader) return known;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(reader, "SELECT path, file_size, file_mtime FROM recordings", -1, &s,
                           nullptr) != SQLITE_OK) {
      return known;
    }
    known.reserve(16384);
    while (sqlite3_step(s) == SQLITE_ROW) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
      known[std::string(text, static_cast<size_t>(sqlite3_column_bytes(s, 0)))] =
          Known{sqlite3_column_int64(s, 1), sqlite3_column_int64(s, 2)};
    }
    sqlite3_finalize(s);
    return known;
  }

  void Reconcile(const QStringList& folders) {
    std::unordered_map<std::string, Known> known = LoadKnown();
    std::set<QString> underWay;
    {
      std::lock_guard<std::mutex> lock(mutex);
      underWay = writing;
    }
    // The files of the folders (the folders themselves only), each with its
    // size and time; the unchanged ones are done with at once.
    struct Found {
      Row row;  // as its name says
      struct stat st;
    };
    std::vector<Found> toRead;
    std::unordered_set<std::string> seen;
    std::set<std::string> listed;
    for (const QString& folder : folders) {
      const QString clean = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
      const std::string dirName = QFile::encodeName(clean).toStdString();
      DIR* dir = ::opendir(dirName.c_str());
      if (!dir) continue;
      if (!listed.insert(dirName).second) {
        ::closedir(dir);
        continue;
      }
      std::vector<std::string> names;
      while (dirent* d = ::readdir(dir)) {
        if (d->d_name[0] != '.') names.emplace_back(d->d_name);
      }
      std::set<std::string> all(names.begin(), names.end());
      for (const std::string& name : names) {
        if (cancelReconcile) break;
        const std::string full = dirName + "/" + name;
        // A damaged recording whose frames were copied beside it is
        // catalogued as its copy.
        if (all.count(RepairedCopyName(name))) continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode)) {
          continue;
        }
        const int64_t mtime = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
        if (auto it = known.find(full); it != known.end()) {
          seen.insert(full);
          if (it->second.size == st.st_size && it->second.mtime == mtime) continue;
        }
        const QString path = QFile::decodeName(full.c_str());
        if (underWay.count(path)) {
          seen.insert(full);
          continue;
        }
        // Only names that say when they begin can be placed in time.
        std::optional<Row> named = RowOfName(path);
        if (!named) continue;
        toRead.push_back(Found{std::move(*named), st});
      }
      ::closedir(dir);
    }

    const int total = static_cast<int>(toRead.size());
    emit owner->ReconcileProgress(0, total);
    std::vector<Row> rows;
    auto lastTold = Clock::now();
    int doneCount = 0;
    for (Found& f : toRead) {
      if (cancelReconcile) break;
      Row& row = f.row;
      seen.insert(QFile::encodeName(row.entry.path).toStdString());
      if (row.entry.kind == CatalogueKind::kSnapshot) {
        row.entry.bytes = f.st.st_size;
        row.fileSize = f.st.st_size;
        row.fileMtime = int64_t{f.st.st_mtim.tv_sec} * 1000000000 + f.st.st_mtim.tv_nsec;
      } else {
        EnterRecording(&row);
      }
      rows.push_back(std::move(row));
      ++doneCount;
      if (rows.size() >= kReconcileBatch) {
        Command c;
        c.type = Command::Type::kPut;
        c.rows.swap(rows);
        Submit(std::move(c));
      }
      if (Clock::now() - lastTold >= std::chrono::milliseconds(100)) {
        lastTold = Clock::now();
        emit owner->ReconcileProgress(doneCount, total);
      }
    }
    if (!rows.empty()) {
      Command c;
      c.type = Command::Type::kPut;
      c.rows.swap(rows);
      Submit(std::move(c));
    }
    if (!cancelReconcile) {
      // Entries whose file is gone: those of the folders looked through
      // that were not seen, and those elsewhere whose file is not there.
      Command c;
      c.type = Command::Type::kRemove;
      for (const auto& [file, facts] : known) {
        if (seen.count(file)) continue;
        const size_t slash = file.rfind('/');
        const std::string dirName =
            slash == std::string::npos ? std::string() : file.substr(0, slash);
        struct stat st {};
        if (listed.count(dirName) || ::lstat(file.c_str(), &st) != 0) {
          const QString path = QFile::decodeName(file.c_str());
          std::lock_guard<std::mutex> lock(mutex);
          if (!writing.count(path)) c.paths.push_back(path);
        }
      }
      if (!c.paths.empty()) Submit(std::move(c));
    }
    Flush();
    emit owner->ReconcileProgress(total, total);
  }

  // A recording found in a folder: read; one a crash left without its
  // index is repaired first.
  void EnterRecording(Row* row) {
    AviSummary summary;
    if (!ReadRecording(row, &summary)) return;
    if (summary.ours && !summary.indexed && !summary.busy) {
      AviRepairOptions options;
      options.cancel = &cancelReconcile;
      const AviRepairResult result =
          RepairAvi(QFile::encodeName(row->entry.path).toStdString(), options);
      if (result.status == AviRepair::kRepaired) {
        ReadRecording(row, &summary);
      } else if (result.status == AviRepair::kCopied) {
        // The damaged file stays as it is; the catalogue names its copy.
        const QString copy = QFileInfo(row->entry.path).absolutePath() + QLatin1Char('/') +
                             QFile::decodeName(result.copy.c_str());
        Command c;
        c.type = Command::Type::kRemove;
        c.paths.push_back(row->entry.path);
        Submit(std::move(c));
        row->entry.path = copy;
        ReadRecording(row, &summary);
      }
    }
    // Read again at the next reconcile until it is whole.
    if (summary.busy || !row->entry.complete) row->fileSize = -1;
  }
};

RecordingCatalogue::RecordingCatalogue(QString path, QObject* parent)
    : QObject(parent), d_(std::make_unique<Impl>()) {
  d_->owner = this;
  d_->path = path.isEmpty() ? DefaultPath() : path;
  d_->writer = std::thread([this] {
    d_->Open();
    d_->Run();
  });
}

RecordingCatalogue::~RecordingCatalogue() {
  d_->cancelReconcile = true;
  if (d_->reconciler.joinable()) d_->reconciler.join();
  {
    std::lock_guard<std::mutex> lock(d_->mutex);
    d_->stopping = true;
  }
  d_->wake.notify_all();
  d_->writer.join();
  {
    std::lock_guard<std::mutex> lock(d_->readMutex);
    d_->entries.Reset();
  }
  d_->CloseWriter();
}

QString RecordingCatalogue::DefaultPath() {
  const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
  QDir().mkpath(folder);
  return folder + QStringLiteral("/recordings.sqlite");
}

QString RecordingCatalogue::Path() const {
  d_->WaitOpened();
  return d_->path;
}

bool RecordingCatalogue::IsOpen() const {
  d_->WaitOpened();
  return d_->db != nullptr;
}

int64_t RecordingCatalogue::StartOfName(const QString& file) {
  std::optional<Row> row = RowOfName(file);
  return row ? row->entry.startMs : 0;
}

void RecordingCatalogue::Started(const QString& file, CatalogueKind kind, const QString& recorder,
                                 int channel, int64_t startMs) {
  Impl::Command c;
  c.type = Impl::Command::Type::kStarted;
  CatalogueEntry& e = c.row.entry;
  e.path = CleanPath(file);
  e.kind = kind;
  e.recorder = recorder;
  e.channel = channel;
  e.startMs = startMs;
  e.endMs = startMs;
  {
    std::lock_guard<std::mutex> lock(d_->mutex);
    d_->writing.insert(e.path);
  }
  d_->Submit(std::move(c));
}

void RecordingCatalogue::Finished(const QString& file) {
  Impl::Command c;
  c.type = Impl::Command::Type::kFinished;
  c.row.entry.path = CleanPath(file);
  d_->Submit(std::move(c));
}

void RecordingCatalogue::SnapshotSaved(const QString& file, const QString& recorder, int channel,
                                       int64_t timeMs) {
  Impl::Command c;
  c.type = Impl::Command::Type::kPut;
  Row row;
  CatalogueEntry& e = row.entry;
  e.path = CleanPath(file);
  e.kind = CatalogueKind::kSnapshot;
  e.recorder = recorder;
  // Shown in a grid, the snapshot's camera is the one its name gives.
  std::optional<Row> named = channel < 0 ? RowOfName(e.path) : std::nullopt;
  e.channel = named ? named->entry.channel : std::max(channel, 0);
  e.startMs = timeMs;
  e.endMs = timeMs;
  e.frames = 1;
  e.complete = true;
  struct stat st {};
  if (::stat(QFile::encodeName(e.path).constData(), &st) == 0) {
    e.bytes = st.st_size;
    row.fileSize = st.st_size;
    row.fileMtime = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  }
  c.rows.push_back(std::move(row));
  d_->Submit(std::move(c));
}

void RecordingCatalogue::Reconcile(const QStringList& folders) {
  if (d_->reconciler.joinable()) {
    d_->cancelReconcile = true;
    d_->reconciler.join();
  }
  d_->cancelReconcile = false;
  d_->reconciling = true;
  d_->reconciler = std::thread([this, folders] {
    d_->WaitOpened();
    d_->Reconcile(folders);
    d_->reconciling = false;
    emit Reconciled();
  });
}

bool RecordingCatalogue::Reconciling() const {
  return d_->reconciling;
}

std::vector<CatalogueEntry> RecordingCatalogue::Entries(int64_t fromMs, int64_t toMs) const {
  return d_->Entries(fromMs, toMs);
}

void RecordingCatalogue::Flush() {
  d_->Flush();
}

}  // namespace zarvion::viewer
