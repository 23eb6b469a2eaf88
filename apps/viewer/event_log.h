// The viewer's events: what happened to a recorder, a camera, a recording
// or a snapshot, kept in an SQLite database in the viewer's data folder.
//
// The GUI thread only queues: Append, Acknowledge and AcknowledgeAll hand
// their work to the store's writer thread, which opens and checks the
// database when the store is made, then writes what has come in at most
// every kBatchInterval in one transaction (WAL, synchronous=NORMAL: a
// killed viewer loses at most the batch it was writing, never the file).
// What was written comes back through Stored, queued to the receiver's
// thread; the count of unacknowledged alarms is kept in memory.
//
// A repeat of the same recorder, channel and kind while its latest row is
// unacknowledged and younger than the coalescing window (a minute) adds to
// that row's count and moves its time, so a flapping feed or a flood of
// notices stays a few rows. Motion rows are never coalesced; a motion row
// appended again with the start (time) of its key's latest row completes
// that row (its end, peak, picture, detail and file). Rows beyond the newest 100,000 or older than
// 90 days are removed when the database opens and then every few minutes.
//
// A damaged database (not a database, or failing its quick check) is
// renamed aside and a fresh one takes its place; a locked one is left to
// whoever holds it and a fresh one goes beside it. Either way the fresh
// one's first row says so (EventKind::kDatabaseSetAside).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>

struct sqlite3;

namespace zarvion::viewer {

// Stored as its number: a kind keeps its value for good, new ones take new
// numbers.
enum class EventKind : int {
  kRecorderConnected = 1,
  kRecorderLost = 2,         // a session ended
  kRecorderUnreachable = 3,  // a connect failed; detail: the reason in words
  kLoginRefused = 4,
  kVideoLost = 10,  // one channel, or every channel when the event has none
  kVideoBack = 11,
  kRecordingStarted = 20,
  kRecordingStopped = 21,
  kRecordingFailed = 22,  // detail: why (disk full, folder unwritable, session lost)
  kRecordingResumed = 23,
  kSnapshotSaved = 30,  // detail: the file
  kSnapshotFailed = 31,
  kDiskSpaceLow = 40,  // detail: the folder
  kServerNotice = 50,  // detail: the notice's text
  // The database could not be used and was set aside; detail: where it is now.
  kDatabaseSetAside = 60,
  // The alarm cannot be heard: no audio output, or it failed; detail: which.
  kSoundUnavailable = 61,
  // Motion on a camera, one row an event: its start (time), end, peak share
  // and the picture at the peak; detail: "变化 NN%".
  kMotion = 70,
  // The same on a camera whose motion the operator made an alarm. Its row is
  // written when the motion starts (time, no end yet) and completed when it
  // ends.
  kMotionAlarm = 71,
  // An export of recordings was written (detail: the file) or was not
  // (detail: why, or that it was cancelled).
  kExportDone = 80,
  kExportFailed = 81,
};

// Alarms are what the operator must not miss: a recorder lost or its login
// refused, video lost, a recording failed, disk space low, motion on a
// camera made an alarm.
bool IsAlarm(EventKind kind);
// A motion event's row (plain or alarm): never coalesced.
bool IsMotion(EventKind kind);
// What happened, in a few words, as the event list shows it ("录像机连接中断").
QString EventKindText(EventKind kind);
// Every kind, in the order of their numbers.
const std::vector<EventKind>& AllEventKinds();

// The channel of an event that concerns the whole recorder.
inline constexpr int kNoChannel = -1;

struct Event {
  int64_t id = 0;            // the row; 0 until stored
  int64_t timeMs = 0;        // the latest occurrence, ms since the epoch (UTC); 0: now
  int64_t firstMs = 0;       // the first occurrence coalesced into this row
  QString recorder;          // as the viewer names it: its address or host name
  int channel = kNoChannel;  // 0-based
  EventKind kind = EventKind::kServerNotice;
  QString detail;              // the latest occurrence's
  int64_t count = 1;           // occurrences coalesced into this row
  int64_t acknowledgedMs = 0;  // 0 while not acknowledged
  // Motion only: when it ended (0: not told), its peak changed share in
  // blocks per 1000, and the picture at the peak (PNG; may be empty).
  int64_t endMs = 0;
  int peakPermille = 0;
  QByteArray thumbnail;
  // Motion only: the event recording's file (empty: none).
  QString recording;

  bool Acknowledged() const { return acknowledgedMs != 0; }
};

struct EventFilter {
  std::optional<QString> recorder;
  std::vector<EventKind> kinds;  // empty: every kind
  int limit = 1000;
  // Rows whose occurrences overlap [fromMs, toMs) (first to latest).
  std::optional<int64_t> fromMs{};
  std::optional<int64_t> toMs{};
};

struct EventStoreOptions {
  // The database file; empty: events.sqlite in the viewer's data folder.
  QString path;
  int64_t maxRows = 100000;
  std::chrono::hours maxAge{24 * 90};
  std::chrono::milliseconds coalesceWindow{60000};
};

class EventStore : public QObject {
  Q_OBJECT

 public:
  static constexpr std::chrono::milliseconds kBatchInterval{250};
  static constexpr std::chrono::minutes kPruneInterval{10};

  // Starts the writer thread, which opens (or creates) the database, checks
  // it, sets it aside if it cannot be used and removes what retention says,
  // all before the first batch; events may be appended at once.
  explicit EventStore(EventStoreOptions options = {}, QObject* parent = nullptr);
  // Writes what is still queued, then closes the database.
  ~EventStore() override;
  EventStore(const EventStore&) = delete;
  EventStore& operator=(const EventStore&) = delete;

  // events.sqlite in the viewer's data folder (created if need be).
  static QString DefaultPath();

  // The database file in use; waits until it is open.
  QString Path() const;
  // False only when not even a fresh database could be opened: events are
  // then dropped (and the failure logged once). Waits until it is open.
  bool IsOpen() const;

  // Queues an event; its time is now when not given.
  void Append(Event event);
  // Queues the acknowledgement of one row, or of every unacknowledged one.
  void Acknowledge(int64_t id);
  void AcknowledgeAll();

  // Unacknowledged alarm rows as of the last batch written (no disk); 0
  // until the database is open. Connect to AlarmCountChanged first, then
  // read this, and no change is missed.
  int UnacknowledgedAlarms() const;

  // Waits until everything queued so far is written.
  void Flush();
  // Newest first. Waits for what was queued before, then reads on the
  // writer thread.
  QList<Event> Query(const EventFilter& filter = {});

 signals:
  // Rows written by one batch, new or updated, as they now stand (queued
  // to the receiver's thread).
  void Stored(const QList<zarvion::viewer::Event>& rows);
  void AlarmCountChanged(int count);
  // A row was acknowledged (id 0: every row that was not) at `timeMs`.
  void Acknowledged(int64_t id, int64_t timeMs);

 private:
  struct Command;
  struct Statements;
  using Key = std::tuple<QString, int, int>;  // recorder, channel, kind

  // Opening, on the writer thread before its first batch.
  void Open();
  bool OpenAt(const QString& path, QString* why, bool* locked);
  void OpenOrSetAside();
  bool Migrate();
  void Prune();

  // Hands a command to the writer thread. An append wakes it only when the
  // queue was empty (it collects batches); with `wait` it writes at once and
  // this returns once it has.
  void Submit(Command c, bool wait);
  void Run();
  void WriteBatch(std::deque<Command>& batch);
  // Coalesces into the key's latest row or adds one; the row as it stands.
  bool Record(Event e, Event* row);
  std::optional<Event> LatestOf(const Key& key);
  void CountAlarms();
  bool Select(const EventFilter& filter, QList<Event>* rows);
  bool Exec(const char* sql);
  void WriteFailed(const char* what);
  void Close();

  EventStoreOptions options_;
  QString path_;
  ::sqlite3* db_ = nullptr;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  mutable std::condition_variable done_;
  std::deque<Command> queue_;
  uint64_t queued_ = 0;   // commands ever queued
  uint64_t written_ = 0;  // commands ever written
  bool urgent_ = false;   // someone waits for the queue to be written
  bool opened_ = false;   // the writer has tried to open the database
  bool stopping_ = false;
  int alarms_ = 0;

  // Writer thread only; path_ and db_ are read elsewhere once opened_.
  std::unique_ptr<Statements> statements_;
  std::map<Key, Event> recent_;  // the latest row of keys seen lately
  std::chrono::steady_clock::time_point prunedAt_;
  bool writeFailureLogged_ = false;
  std::thread writer_;
};

}  // namespace zarvion::viewer

Q_DECLARE_METATYPE(zarvion::viewer::Event)
