#include "viewer/event_log.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include "platform/log.h"
#include "viewer/event_store_sql.h"

namespace zarvion::viewer {

using event_sql::kColumns;
using event_sql::NowMs;
using event_sql::Text;

namespace {

// Keys remembered for coalescing before the memory starts over (the
// database still has them; a miss only costs a lookup).
constexpr size_t kMaxRecentKeys = 10000;

Event RowOf(sqlite3_stmt* s) {
  Event e;
  e.id = sqlite3_column_int64(s, 0);
  e.timeMs = sqlite3_column_int64(s, 1);
  e.firstMs = sqlite3_column_int64(s, 2);
  e.recorder = Text(s, 3);
  e.channel = sqlite3_column_type(s, 4) == SQLITE_NULL ? kNoChannel : sqlite3_column_int(s, 4);
  e.kind = static_cast<EventKind>(sqlite3_column_int(s, 5));
  e.detail = Text(s, 6);
  e.count = sqlite3_column_int64(s, 7);
  e.acknowledgedMs = sqlite3_column_int64(s, 8);  // NULL reads as 0
  e.endMs = sqlite3_column_int64(s, 9);
  e.peakPermille = sqlite3_column_int(s, 10);
  if (const void* png = sqlite3_column_blob(s, 11)) {
    e.thumbnail = QByteArray(static_cast<const char*>(png), sqlite3_column_bytes(s, 11));
  }
  e.recording = Text(s, 12);
  return e;
}

void BindText(sqlite3_stmt* s, int index, const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  sqlite3_bind_text(s, index, utf8.constData(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
}

void BindChannel(sqlite3_stmt* s, int index, int channel) {
  if (channel == kNoChannel) {
    sqlite3_bind_null(s, index);
  } else {
    sqlite3_bind_int(s, index, channel);
  }
}

}  // namespace

QString EventKindText(EventKind kind) {
  switch (kind) {
    case EventKind::kRecorderConnected:
      return EventStore::tr("录像机已连接");
    case EventKind::kRecorderLost:
      return EventStore::tr("录像机连接中断");
    case EventKind::kRecorderUnreachable:
      return EventStore::tr("无法连接录像机");
    case EventKind::kLoginRefused:
      return EventStore::tr("登录被拒绝");
    case EventKind::kVideoLost:
      return EventStore::tr("视频丢失");
    case EventKind::kVideoBack:
      return EventStore::tr("视频恢复");
    case EventKind::kRecordingStarted:
      return EventStore::tr("开始录像");
    case EventKind::kRecordingStopped:
      return EventStore::tr("录像已停止");
    case EventKind::kRecordingFailed:
      return EventStore::tr("录像中断");
    case EventKind::kRecordingResumed:
      return EventStore::tr("录像已恢复");
    case EventKind::kSnapshotSaved:
      return EventStore::tr("抓图已保存");
    case EventKind::kSnapshotFailed:
      return EventStore::tr("抓图失败");
    case EventKind::kDiskSpaceLow:
      return EventStore::tr("磁盘空间不足");
    case EventKind::kServerNotice:
      return EventStore::tr("录像机消息");
    case EventKind::kDatabaseSetAside:
      return EventStore::tr("事件数据库已另存");
    case EventKind::kSoundUnavailable:
      return EventStore::tr("无法播放报警声音");
    case EventKind::kMotion:
      return EventStore::tr("移动侦测");
    case EventKind::kMotionAlarm:
      return EventStore::tr("移动报警");
    case EventKind::kExportDone:
      return EventStore::tr("录像已导出");
    case EventKind::kExportFailed:
      return EventStore::tr("录像导出失败");
  }
  return EventStore::tr("未知事件");
}

bool IsAlarm(EventKind kind) {
  switch (kind) {
    case EventKind::kRecorderLost:
    case EventKind::kLoginRefused:
    case EventKind::kVideoLost:
    case EventKind::kRecordingFailed:
    case EventKind::kDiskSpaceLow:
    case EventKind::kMotionAlarm:
      return true;
    default:
      return false;
  }
}

bool IsMotion(EventKind kind) {
  return kind == EventKind::kMotion || kind == EventKind::kMotionAlarm;
}

const std::vector<EventKind>& AllEventKinds() {
  static const std::vector<EventKind> kinds = {
      EventKind::kRecorderConnected, EventKind::kRecorderLost,     EventKind::kRecorderUnreachable,
      EventKind::kLoginRefused,      EventKind::kVideoLost,        EventKind::kVideoBack,
      EventKind::kRecordingStarted,  EventKind::kRecordingStopped, EventKind::kRecordingFailed,
      EventKind::kRecordingResumed,  EventKind::kSnapshotSaved,    EventKind::kSnapshotFailed,
      EventKind::kDiskSpaceLow,      EventKind::kServerNotice,     EventKind::kDatabaseSetAside,
      EventKind::kSoundUnavailable,  EventKind::kMotion,           EventKind::kMotionAlarm,
      EventKind::kExportDone,        EventKind::kExportFailed,
  };
  return kinds;
}

struct EventStore::Command {
  enum class Type { kAppend, kAcknowledge, kAcknowledgeAll, kQuery, kFlush };
  Type type = Type::kFlush;
  Event event;
  int64_t id = 0;
  int64_t timeMs = 0;
  EventFilter filter;
  QList<Event>* rows = nullptr;
};

EventStore::EventStore(EventStoreOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options)) {
  qRegisterMetaType<Event>();
  qRegisterMetaType<QList<Event>>();
  path_ = options_.path.isEmpty() ? DefaultPath() : options_.path;
  writer_ = std::thread([this] {
    Open();
    Run();
  });
}

EventStore::~EventStore() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  writer_.join();
  Close();
}

QString EventStore::DefaultPath() {
  const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
  QDir().mkpath(folder);
  return folder + QStringLiteral("/events.sqlite");
}

QString EventStore::Path() const {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return opened_; });
  return path_;
}

bool EventStore::IsOpen() const {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return opened_; });
  return db_ != nullptr;
}

// --- the GUI side ---------------------------------------------------------------

void EventStore::Append(Event event) {
  if (event.timeMs == 0) event.timeMs = NowMs();
  if (event.count < 1) event.count = 1;
  Command c;
  c.type = Command::Type::kAppend;
  c.event = std::move(event);
  Submit(std::move(c), false);
}

void EventStore::Acknowledge(int64_t id) {
  Command c;
  c.type = Command::Type::kAcknowledge;
  c.id = id;
  c.timeMs = NowMs();
  Submit(std::move(c), false);
}

void EventStore::AcknowledgeAll() {
  Command c;
  c.type = Command::Type::kAcknowledgeAll;
  c.timeMs = NowMs();
  Submit(std::move(c), false);
}

int EventStore::UnacknowledgedAlarms() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return alarms_;
}

void EventStore::Flush() {
  Command c;
  c.type = Command::Type::kFlush;
  Submit(std::move(c), true);
}

QList<Event> EventStore::Query(const EventFilter& filter) {
  QList<Event> rows;
  Command c;
  c.type = Command::Type::kQuery;
  c.filter = filter;
  c.rows = &rows;
  Submit(std::move(c), true);
  return rows;
}

void EventStore::Submit(Command c, bool wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  const bool append = c.type == Command::Type::kAppend;
  queue_.push_back(std::move(c));
  const uint64_t mine = ++queued_;
  if (wait) urgent_ = true;
  if (!append || queue_.size() == 1) wake_.notify_one();
  if (wait) done_.wait(lock, [&] { return written_ >= mine; });
}

// --- the writer thread ----------------------------------------------------------

void EventStore::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const auto pruneAt = prunedAt_ + kPruneInterval;
    wake_.wait_until(lock, pruneAt, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) {
      if (stopping_) break;
      lock.unlock();
      if (db_) Prune();
      prunedAt_ = std::chrono::steady_clock::now();
      lock.lock();
      continue;
    }
    // Gathers what comes in for a while, so a burst is one transaction.
    wake_.wait_for(lock, kBatchInterval, [&] { return stopping_ || urgent_; });
    urgent_ = false;
    std::deque<Command> batch;
    batch.swap(queue_);
    lock.unlock();
    WriteBatch(batch);
    if (db_ && std::chrono::steady_clock::now() - prunedAt_ >= kPruneInterval) {
      Prune();
      prunedAt_ = std::chrono::steady_clock::now();
    }
    lock.lock();
    written_ += batch.size();
    done_.notify_all();
  }
}

void EventStore::WriteFailed(const char* what) {
  if (writeFailureLogged_) return;
  writeFailureLogged_ = true;
  Log(LogCategory::kViewer, LogSeverity::kError, "events database %s: %s failed: %s",
      path_.toUtf8().constData(), what, db_ ? sqlite3_errmsg(db_) : "not open");
}

std::optional<Event> EventStore::LatestOf(const Key& key) {
  if (auto it = recent_.find(key); it != recent_.end()) return it->second;
  sqlite3_stmt* s = statements_->latest.Use();
  BindText(s, 1, std::get<0>(key));
  BindChannel(s, 2, std::get<1>(key));
  sqlite3_bind_int(s, 3, std::get<2>(key));
  std::optional<Event> row;
  if (sqlite3_step(s) == SQLITE_ROW) row = RowOf(s);
  sqlite3_reset(s);
  return row;
}

bool EventStore::Record(Event e, Event* row) {
  const Key key{e.recorder, e.channel, static_cast<int>(e.kind)};
  const int64_t window = options_.coalesceWindow.count();
  std::optional<Event> latest = LatestOf(key);
  // Each motion event is a row of its own, with its own times and picture;
  // told again with its start, it is completed.
  if (latest && IsMotion(e.kind) && latest->firstMs == e.timeMs) {
    latest->endMs = e.endMs;
    latest->peakPermille = e.peakPermille;
    if (!e.thumbnail.isEmpty()) latest->thumbnail = e.thumbnail;
    if (!e.detail.isEmpty()) latest->detail = e.detail;
    if (!e.recording.isEmpty()) latest->recording = e.recording;
    sqlite3_stmt* s = statements_->complete.Use();
    sqlite3_bind_int64(s, 1, latest->id);
    if (latest->endMs != 0) sqlite3_bind_int64(s, 2, latest->endMs);
    sqlite3_bind_int(s, 3, latest->peakPermille);
    if (!latest->thumbnail.isEmpty()) {
      sqlite3_bind_blob(s, 4, latest->thumbnail.constData(),
                        static_cast<int>(latest->thumbnail.size()), SQLITE_TRANSIENT);
    }
    BindText(s, 5, latest->detail);
    if (!latest->recording.isEmpty()) BindText(s, 6, latest->recording);
    if (sqlite3_step(s) != SQLITE_DONE) return false;
    *row = *latest;
  } else if (latest && !IsMotion(e.kind) && !latest->Acknowledged() &&
             std::llabs(e.timeMs - latest->timeMs) < window) {
    latest->count += e.count;
    latest->timeMs = std::max(latest->timeMs, e.timeMs);
    if (!e.detail.isEmpty()) latest->detail = e.detail;
    sqlite3_stmt* s = statements_->update.Use();
    sqlite3_bind_int64(s, 1, latest->id);
    sqlite3_bind_int64(s, 2, latest->timeMs);
    BindText(s, 3, latest->detail);
    sqlite3_bind_int64(s, 4, latest->count);
    if (sqlite3_step(s) != SQLITE_DONE) return false;
    *row = *latest;
  } else {
    sqlite3_stmt* s = statements_->insert.Use();
    e.firstMs = e.timeMs;
    sqlite3_bind_int64(s, 1, e.timeMs);
    sqlite3_bind_int64(s, 2, e.firstMs);
    BindText(s, 3, e.recorder);
    BindChannel(s, 4, e.channel);
    sqlite3_bind_int(s, 5, static_cast<int>(e.kind));
    BindText(s, 6, e.detail);
    sqlite3_bind_int64(s, 7, e.count);
    if (e.endMs != 0) sqlite3_bind_int64(s, 8, e.endMs);
    if (IsMotion(e.kind)) sqlite3_bind_int(s, 9, e.peakPermille);
    if (!e.thumbnail.isEmpty()) {
      sqlite3_bind_blob(s, 10, e.thumbnail.constData(), static_cast<int>(e.thumbnail.size()),
                        SQLITE_TRANSIENT);
    }
    if (!e.recording.isEmpty()) BindText(s, 11, e.recording);
    if (sqlite3_step(s) != SQLITE_DONE) return false;
    e.id = sqlite3_last_insert_rowid(db_);
    e.acknowledgedMs = 0;
    *row = std::move(e);
  }
  if (recent_.size() >= kMaxRecentKeys) recent_.clear();
  recent_[key] = *row;
  return true;
}

void EventStore::WriteBatch(std::deque<Command>& batch) {
  if (!db_) {
    for (Command& c : batch) {
      if (c.rows) c.rows->clear();
    }
    return;
  }
  // Rows in the order they were first touched, each as it ends up.
  QList<Event> touched;
  std::map<int64_t, qsizetype> touchedAt;
  std::vector<std::pair<int64_t, int64_t>> acknowledged;
  bool ok = Exec("BEGIN");
  for (Command& c : batch) {
    if (!ok && c.type != Command::Type::kQuery) continue;
    switch (c.type) {
      case Command::Type::kAppend: {
        Event row;
        if (!Record(std::move(c.event), &row)) {
          ok = false;
          WriteFailed("writing an event");
          break;
        }
        if (auto it = touchedAt.find(row.id); it != touchedAt.end()) {
          touched[it->second] = row;
        } else {
          touchedAt[row.id] = touched.size();
          touched.push_back(row);
        }
        break;
      }
      case Command::Type::kAcknowledge: {
        sqlite3_stmt* s = statements_->acknowledge.Use();
        sqlite3_bind_int64(s, 1, c.id);
        sqlite3_bind_int64(s, 2, c.timeMs);
        if (sqlite3_step(s) != SQLITE_DONE) {
          ok = false;
          WriteFailed("acknowledging an event");
          break;
        }
        if (sqlite3_changes(db_) > 0) acknowledged.emplace_back(c.id, c.timeMs);
        for (auto it = recent_.begin(); it != recent_.end(); ++it) {
          if (it->second.id == c.id) {
            recent_.erase(it);
            break;
          }
        }
        if (auto it = touchedAt.find(c.id); it != touchedAt.end()) {
          touched[it->second].acknowledgedMs = c.timeMs;
        }
        break;
      }
      case Command::Type::kAcknowledgeAll: {
        sqlite3_stmt* s = statements_->acknowledgeAll.Use();
        sqlite3_bind_int64(s, 1, c.timeMs);
        if (sqlite3_step(s) != SQLITE_DONE) {
          ok = false;
          WriteFailed("acknowledging the events");
          break;
        }
        acknowledged.emplace_back(0, c.timeMs);
        recent_.clear();
        for (Event& e : touched) {
          if (!e.Acknowledged()) e.acknowledgedMs = c.timeMs;
        }
        break;
      }
      case Command::Type::kQuery:
        if (!Select(c.filter, c.rows)) WriteFailed("reading the events");
        break;
      case Command::Type::kFlush:
        break;
    }
  }
  if (ok) ok = Exec("COMMIT");
  if (!ok) {
    // What the batch changed is lost; the memory of latest rows may be
    // ahead of the file, so it starts over from the file.
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    recent_.clear();
    return;
  }
  writeFailureLogged_ = false;
  if (!touched.isEmpty()) emit Stored(touched);
  for (const auto& [id, timeMs] : acknowledged) emit Acknowledged(id, timeMs);
  CountAlarms();
}

void EventStore::CountAlarms() {
  sqlite3_stmt* s = statements_->countAlarms.Use();
  int count = 0;
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    if (IsAlarm(static_cast<EventKind>(sqlite3_column_int(s, 0)))) {
      count += sqlite3_column_int(s, 1);
    }
  }
  sqlite3_reset(s);
  if (rc != SQLITE_DONE) return;
  bool changed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    changed = alarms_ != count;
    alarms_ = count;
  }
  if (changed) emit AlarmCountChanged(count);
}

bool EventStore::Select(const EventFilter& filter, QList<Event>* rows) {
  std::string sql = std::string("SELECT ") + kColumns + " FROM events WHERE 1";
  if (filter.recorder) sql += " AND recorder = ?1";
  if (!filter.kinds.empty()) {
    sql += " AND kind IN (";
    for (size_t i = 0; i < filter.kinds.size(); ++i) {
      sql += (i ? "," : "") + std::to_string(static_cast<int>(filter.kinds[i]));
    }
    sql += ")";
  }
  if (filter.fromMs) sql += " AND time >= " + std::to_string(*filter.fromMs);
  if (filter.toMs) sql += " AND first_time < " + std::to_string(*filter.toMs);
  sql += " ORDER BY time DESC, id DESC LIMIT " + std::to_string(std::max(filter.limit, 0));
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) return false;
  if (filter.recorder) BindText(s, 1, *filter.recorder);
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) rows->push_back(RowOf(s));
  sqlite3_finalize(s);
  return rc == SQLITE_DONE;
}

}  // namespace zarvion::viewer
