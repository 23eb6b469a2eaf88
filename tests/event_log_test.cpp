// The events database through the real store on files of a temporary
// folder: what it keeps across a reopening, how it coalesces floods, what
// retention removes, a damaged file set aside, and a writer killed with
// SIGKILL while it appends.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "viewer/event_log.h"

extern char** environ;

namespace zarvion::viewer {
namespace {

using namespace std::chrono_literals;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

Event Make(const QString& recorder, int channel, EventKind kind, const QString& detail = {},
           int64_t timeMs = 0) {
  Event e;
  e.recorder = recorder;
  e.channel = channel;
  e.kind = kind;
  e.detail = detail;
  e.timeMs = timeMs;
  return e;
}

class EventStoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<EventStore> Open(EventStoreOptions options = {}) {
    options.path = Path();
    return std::make_unique<EventStore>(options);
  }
  QString Path() const { return dir_.filePath(QStringLiteral("events.sqlite")); }

  QTemporaryDir dir_;
};

TEST_F(EventStoreTest, EventsSurviveReopeningWithEveryField) {
  const int64_t t = NowMs() - 5000;
  {
    auto store = Open();
    ASSERT_TRUE(store->IsOpen());
    store->Append(Make(QStringLiteral("大门"), kNoChannel, EventKind::kRecorderConnected, {}, t));
    store->Append(Make(QStringLiteral("10.0.0.7"), 3, EventKind::kSnapshotSaved,
                       QStringLiteral("/图/a.bmp"), t + 1));
  }
  auto store = Open();
  const QList<Event> rows = store->Query();
  ASSERT_EQ(rows.size(), 2);
  EXPECT_EQ(rows[0].recorder, QStringLiteral("10.0.0.7"));
  EXPECT_EQ(rows[0].channel, 3);
  EXPECT_EQ(rows[0].kind, EventKind::kSnapshotSaved);
  EXPECT_EQ(rows[0].detail, QStringLiteral("/图/a.bmp"));
  EXPECT_EQ(rows[0].timeMs, t + 1);
  EXPECT_EQ(rows[0].count, 1);
  EXPECT_FALSE(rows[0].Acknowledged());
  EXPECT_EQ(rows[1].recorder, QStringLiteral("大门"));
  EXPECT_EQ(rows[1].channel, kNoChannel);
  EXPECT_EQ(rows[1].timeMs, t);

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(Path().toUtf8().constData(), &db), SQLITE_OK);
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &s, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), "wal");
  sqlite3_finalize(s);
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &s, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  EXPECT_GE(sqlite3_column_int(s, 0), 1);
  sqlite3_finalize(s);
  sqlite3_close(db);
}

// A motion event is a row of its own with its end, peak and picture, also
// in a database made before motion rows existed.
TEST_F(EventStoreTest, MotionRowsKeepTheirOwnFieldsAndAreNotCoalesced) {
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Path().toUtf8().constData(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE events(id INTEGER PRIMARY KEY, time INTEGER NOT NULL,"
                           " first_time INTEGER NOT NULL, recorder TEXT NOT NULL, channel INTEGER,"
                           " kind INTEGER NOT NULL, detail TEXT NOT NULL DEFAULT '',"
                           " count INTEGER NOT NULL DEFAULT 1, acknowledged INTEGER);"
                           "INSERT INTO events(time, first_time, recorder, channel, kind)"
                           " VALUES(strftime('%s', 'now') * 1000 - 60000, 0, 'old', NULL, 1);"
                           "PRAGMA user_version=1;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  const int64_t t = NowMs() - 20000;
  {
    auto store = Open();
    for (int i = 0; i < 2; ++i) {
      Event e = Make(QStringLiteral("r"), 2, EventKind::kMotion, QStringLiteral("变化 12%"),
                     t + i * 5000);
      e.endMs = e.timeMs + 3000;
      e.peakPermille = 120 + i;
      e.thumbnail = i ? QByteArray("\x89PNG-ish", 8) : QByteArray();
      store->Append(e);
    }
  }
  auto store = Open();
  const QList<Event> rows = store->Query();
  ASSERT_EQ(rows.size(), 3);
  EXPECT_EQ(rows[2].recorder, QStringLiteral("old"));
  EXPECT_EQ(rows[2].endMs, 0);
  for (int i = 0; i < 2; ++i) {
    const Event& e = rows[1 - i];
    EXPECT_EQ(e.kind, EventKind::kMotion);
    EXPECT_EQ(e.count, 1);
    EXPECT_EQ(e.timeMs, t + i * 5000);
    EXPECT_EQ(e.endMs, e.timeMs + 3000);
    EXPECT_EQ(e.peakPermille, 120 + i);
  }
  EXPECT_TRUE(rows[1].thumbnail.isEmpty());
  EXPECT_EQ(rows[0].thumbnail, QByteArray("\x89PNG-ish", 8));
  EXPECT_FALSE(IsAlarm(EventKind::kMotion));
}

// A database of the step before motion rows had files keeps its rows and
// takes files. An alarm camera's row is written at the start (an alarm at
// once) and completed at the end, still one row.
TEST_F(EventStoreTest, MotionRowsCarryTheirFileAndAnAlarmRowIsCompletedAtItsEnd) {
  const int64_t t = NowMs() - 20000;
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Path().toUtf8().constData(), &db), SQLITE_OK);
    const std::string made =
        "CREATE TABLE events(id INTEGER PRIMARY KEY, time INTEGER NOT NULL,"
        " first_time INTEGER NOT NULL, recorder TEXT NOT NULL, channel INTEGER,"
        " kind INTEGER NOT NULL, detail TEXT NOT NULL DEFAULT '',"
        " count INTEGER NOT NULL DEFAULT 1, acknowledged INTEGER,"
        " end_time INTEGER, peak INTEGER, thumbnail BLOB);"
        "INSERT INTO events(time, first_time, recorder, channel, kind, end_time, peak)"
        " VALUES(" +
        std::to_string(t - 60000) + ", " + std::to_string(t - 60000) + ", 'r', 1, 70, " +
        std::to_string(t - 50000) +
        ", 90);"
        "PRAGMA user_version=2;";
    ASSERT_EQ(sqlite3_exec(db, made.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  const QString file = QStringLiteral("/rec/EVENT_CH02_2026_01_02_03_04_05_006.avi");
  {
    auto store = Open();
    Event start = Make(QStringLiteral("r"), 1, EventKind::kMotionAlarm, {}, t);
    start.recording = file;
    store->Append(start);
    store->Flush();
    EXPECT_EQ(store->UnacknowledgedAlarms(), 1);
    Event end = start;
    end.endMs = t + 4000;
    end.peakPermille = 210;
    end.detail = QStringLiteral("变化 21%");
    end.thumbnail = QByteArray("\x89PNG", 4);
    end.recording.clear();  // what the start told stays
    store->Append(end);
    // A plain row of the same camera with its own start is a row of its own.
    Event plain = Make(QStringLiteral("r"), 1, EventKind::kMotion, {}, t + 9000);
    plain.recording = file;
    store->Append(plain);
  }
  auto store = Open();
  const QList<Event> rows = store->Query();
  ASSERT_EQ(rows.size(), 3);
  EXPECT_EQ(rows[0].kind, EventKind::kMotion);
  EXPECT_EQ(rows[0].recording, file);
  const Event& alarm = rows[1];
  EXPECT_EQ(alarm.kind, EventKind::kMotionAlarm);
  EXPECT_EQ(alarm.timeMs, t);
  EXPECT_EQ(alarm.endMs, t + 4000);
  EXPECT_EQ(alarm.peakPermille, 210);
  EXPECT_EQ(alarm.count, 1);
  EXPECT_EQ(alarm.detail, QStringLiteral("变化 21%"));
  EXPECT_EQ(alarm.thumbnail, QByteArray("\x89PNG", 4));
  EXPECT_EQ(alarm.recording, file);
  EXPECT_EQ(rows[2].peakPermille, 90);
  EXPECT_TRUE(rows[2].recording.isEmpty());
  store->Flush();
  EXPECT_EQ(store->UnacknowledgedAlarms(), 1);
}

TEST_F(EventStoreTest, FloodsAndFlappingCoalesceIntoFewRows) {
  auto store = Open();
  for (int i = 0; i < 10000; ++i) {
    store->Append(Make(QStringLiteral("r"), kNoChannel, EventKind::kServerNotice,
                       QStringLiteral("notice %1").arg(i)));
  }
  for (int i = 0; i < 1000; ++i) {
    store->Append(Make(QStringLiteral("r"), 2, EventKind::kVideoLost));
    store->Append(Make(QStringLiteral("r"), 2, EventKind::kVideoBack));
  }
  QList<Event> rows = store->Query();
  ASSERT_EQ(rows.size(), 3);
  for (const Event& e : rows) {
    if (e.kind == EventKind::kServerNotice) {
      EXPECT_EQ(e.count, 10000);
      EXPECT_EQ(e.detail, QStringLiteral("notice 9999"));  // the latest one's
    } else {
      EXPECT_EQ(e.channel, 2);
      EXPECT_EQ(e.count, 1000);
    }
  }

  // A repeat after the row was acknowledged, or long after it, is a row of its own.
  const int64_t lost = rows[0].kind == EventKind::kVideoLost ? rows[0].id : rows[1].id;
  store->Acknowledge(lost);
  store->Append(Make(QStringLiteral("r"), 2, EventKind::kVideoLost));
  store->Append(Make(QStringLiteral("r"), 5, EventKind::kVideoLost, {}, NowMs() - 120000));
  store->Append(Make(QStringLiteral("r"), 5, EventKind::kVideoLost));
  rows = store->Query({QStringLiteral("r"), {EventKind::kVideoLost}});
  ASSERT_EQ(rows.size(), 4);
  for (const Event& e : rows) EXPECT_EQ(e.count, e.id == lost ? 1000 : 1);
}

TEST_F(EventStoreTest, RetentionRemovesTheOldestBeyondTheLimits) {
  const int64_t now = NowMs();
  EventStoreOptions options;
  options.maxRows = 100;
  {
    auto store = Open(options);
    for (int i = 0; i < 3; ++i) {
      store->Append(Make(
          QStringLiteral("old"), i, EventKind::kVideoLost, {},
          now - std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::hours(24 * 91))
                    .count()));
    }
    for (int i = 0; i < 50; ++i) {
      store->Append(
          Make(QString::number(i), kNoChannel, EventKind::kServerNotice, {}, now - 100000 + i));
    }
  }
  {
    auto store = Open(options);
    const QList<Event> rows = store->Query();
    ASSERT_EQ(rows.size(), 50);  // those older than 90 days went, the limit was not reached
    for (int i = 50; i < 150; ++i) {
      store->Append(
          Make(QString::number(i), kNoChannel, EventKind::kServerNotice, {}, now - 100000 + i));
    }
  }
  auto store = Open(options);
  const QList<Event> rows = store->Query({std::nullopt, {}, 1000});
  ASSERT_EQ(rows.size(), 100);
  EXPECT_EQ(rows.front().recorder, QStringLiteral("149"));
  EXPECT_EQ(rows.back().recorder, QStringLiteral("50"));
}

TEST_F(EventStoreTest, AcknowledgementAndTheUnacknowledgedAlarmCount) {
  {
    auto store = Open();
    store->Append(Make(QStringLiteral("a"), kNoChannel, EventKind::kRecorderLost));
    store->Append(Make(QStringLiteral("a"), 1, EventKind::kVideoLost));
    store->Append(Make(QStringLiteral("a"), 2, EventKind::kVideoLost));
    store->Append(Make(QStringLiteral("b"), 0, EventKind::kRecordingFailed));
    store->Append(Make(QStringLiteral("b"), kNoChannel, EventKind::kRecorderConnected));
    store->Append(Make(QStringLiteral("b"), 0, EventKind::kSnapshotSaved));
    store->Flush();
    EXPECT_EQ(store->UnacknowledgedAlarms(), 4);

    const QList<Event> video = store->Query({QStringLiteral("a"), {EventKind::kVideoLost}});
    ASSERT_EQ(video.size(), 2);
    store->Acknowledge(video[0].id);
    store->Flush();
    EXPECT_EQ(store->UnacknowledgedAlarms(), 3);
    const QList<Event> again = store->Query({QStringLiteral("a"), {EventKind::kVideoLost}});
    EXPECT_TRUE(again[0].Acknowledged());
    EXPECT_FALSE(again[1].Acknowledged());
    EXPECT_EQ(store->Query({QStringLiteral("b"), {}}).size(), 3);
  }
  // Counted again from the file at the next start.
  auto store = Open();
  store->Flush();
  EXPECT_EQ(store->UnacknowledgedAlarms(), 3);
  store->AcknowledgeAll();
  store->Flush();
  EXPECT_EQ(store->UnacknowledgedAlarms(), 0);
  for (const Event& e : store->Query()) EXPECT_TRUE(e.Acknowledged());
}

// The one event of a fresh database after a damaged one was set aside; the
// file it names holds what the damaged file held.
void ExpectSetAside(EventStore& store, const QString& path, const QByteArray& damaged) {
  EXPECT_EQ(store.Path(), path);
  const QList<Event> rows = store.Query();
  ASSERT_EQ(rows.size(), 1);
  EXPECT_EQ(rows[0].kind, EventKind::kDatabaseSetAside);
  EXPECT_TRUE(rows[0].detail.startsWith(path + QStringLiteral(".damaged-")))
      << rows[0].detail.toStdString();
  QFile kept(rows[0].detail);
  ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
  EXPECT_EQ(kept.readAll(), damaged);
}

TEST_F(EventStoreTest, DamagedDatabaseIsSetAsideAndReportedOnce) {
  // Not a database at all.
  QByteArray garbage(20000, 'x');
  {
    QFile f(Path());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(garbage);
  }
  {
    auto store = Open();
    ExpectSetAside(*store, Path(), garbage);
  }
  {
    auto store = Open();  // the fresh one is used from now on, without a second report
    EXPECT_EQ(store->Query().size(), 1);
  }

  // A database torn inside: its header is fine, some pages are not.
  QDir(dir_.path()).removeRecursively();
  QDir().mkpath(dir_.path());
  {
    auto store = Open();
    for (int i = 0; i < 3000; ++i) {
      store->Append(Make(QString::number(i), i % 16, EventKind::kServerNotice,
                         QString(40, QLatin1Char('n'))));
    }
  }
  QByteArray torn;
  {
    QFile f(Path());
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_GT(f.size(), 16 * 4096);
    f.seek(8 * 4096);
    f.write(QByteArray(4 * 4096, '\xA5'));
    f.close();
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    torn = f.readAll();
  }
  auto store = Open();
  ExpectSetAside(*store, Path(), torn);
}

TEST_F(EventStoreTest, LockedDatabaseIsLeftAloneAndAFreshOneGoesBeside) {
  { Open()->Append(Make(QStringLiteral("r"), 1, EventKind::kVideoLost)); }
  // Another program holds the file for itself.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(Path().toUtf8().constData(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;", nullptr, nullptr,
                         nullptr),
            SQLITE_OK);
  {
    auto store = Open();
    EXPECT_NE(store->Path(), Path());
    EXPECT_EQ(QFileInfo(store->Path()).absolutePath(), QFileInfo(Path()).absolutePath());
    const QList<Event> rows = store->Query();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].kind, EventKind::kDatabaseSetAside);
    EXPECT_EQ(rows[0].detail, Path());
  }
  sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  // Once free, the file is used again with what it held.
  auto store = Open();
  EXPECT_EQ(store->Path(), Path());
  const QList<Event> rows = store->Query();
  ASSERT_EQ(rows.size(), 1);
  EXPECT_EQ(rows[0].kind, EventKind::kVideoLost);
}

// --- kill -9 -------------------------------------------------------------------

TEST_F(EventStoreTest, KilledWriterLeavesAGoodDatabaseWithEverythingItHadStored) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  const std::string program = std::string(ZARVION_BIN_DIR) + "/event_log_child";
  const std::string path = Path().toStdString();
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(path.c_str()), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);

  // Kills it after a few batches, while it goes on appending.
  long long told = 0;
  int reports = 0;
  std::string pending;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (reports < 4 && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0) continue;
    char buf[256];
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    pending.append(buf, static_cast<size_t>(n));
    for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
      told = std::stoll(pending.substr(0, end));
      ++reports;
    }
  }
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(fds[0]);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself, status " << status;
  ASSERT_EQ(reports, 4);
  ASSERT_GT(told, 0);

  // The file opens as it is (nothing set aside) and holds an unbroken run
  // from the first event, at least up to what the writer was told was stored.
  EventStoreOptions options;
  options.maxRows = 10000000;
  auto store = Open(options);
  const QList<Event> rows = store->Query({std::nullopt, {}, 10000000});
  ASSERT_GE(rows.size(), told);
  EXPECT_EQ(rows.back().kind, EventKind::kServerNotice);
  for (qsizetype i = 0; i < rows.size(); ++i) {
    ASSERT_EQ(rows[i].recorder.toLongLong(), rows.size() - 1 - i);
  }
  EXPECT_FALSE(QFile::exists(Path() + QStringLiteral(".damaged-")));
  EXPECT_EQ(QDir(dir_.path()).entryList({QStringLiteral("*.damaged-*")}, QDir::Files).size(), 0);
}

}  // namespace
}  // namespace zarvion::viewer
