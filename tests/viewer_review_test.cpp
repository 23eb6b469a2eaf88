// "录像回放" offscreen over real recordings of the simulator's stamped
// pictures: the timeline's model puts every piece on its camera's row at
// its times, a click plays from there, playing crosses a split and a gap
// showing every frame once in order, a seek (or a drag's last) shows the
// frame of its time, and a range chosen with Shift goes to the export.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "export/recording_files.h"
#include "mp43_test_frames.h"
#include "stamped_recordings.h"
#include "ui_test_util.h"
#include "viewer/event_log.h"
#include "viewer/review_player.h"
#include "viewer/review_window.h"

namespace zarvion::viewer {
namespace {

using zarvion::testing::WaitUntil;

int Stamp(const QImage& picture) {
  if (picture.isNull()) return -1;
  const QImage p = picture.convertToFormat(QImage::Format_RGB32);
  return zarvion::testing::StampedFrame(p.constBits(), p.width(), p.height(),
                                        static_cast<int>(p.bytesPerLine()))
      .value_or(-1);
}

// The entry the catalogue has for a finished file.
CatalogueEntry EntryOf(const std::string& path, CatalogueKind kind) {
  std::vector<recordings::Recording> plan;
  std::string error;
  EXPECT_TRUE(recordings::PlanRecordings({path}, &plan, &error)) << error;
  CatalogueEntry e;
  e.path = QString::fromStdString(path);
  e.kind = kind;
  e.channel = plan[0].name.channel - 1;
  e.startMs = plan[0].FrameTime(0);
  e.endMs = plan[0].FrameTime(plan[0].frames);
  e.frames = plan[0].frames;
  e.complete = true;
  return e;
}

class ReviewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string d = dir_.Path() + "/";
    split_ = {d + "CLIENT_CH01_2026_03_01_10_00_00_000.avi",
              d + "CLIENT_CH01_2026_03_01_10_00_02_000.avi"};
    event_ = d + "EVENT_CH01_2026_03_01_10_05_00_000.avi";
    other_ = d + "CLIENT_CH03_2026_03_01_23_59_00_000.avi";
    testing::WriteStampedRecording(split_[0], 0, 0, 50);
    testing::WriteStampedRecording(split_[1], 0, 50, 50);
    testing::WriteStampedRecording(event_, 0, 300, 25);
    testing::WriteStampedRecording(other_, 2, 0, 25);
    entries_ = {EntryOf(split_[1], CatalogueKind::kManual),
                EntryOf(split_[0], CatalogueKind::kManual),
                EntryOf(event_, CatalogueKind::kEvent), EntryOf(other_, CatalogueKind::kManual)};
    // A crash left the last one unfinished.
    entries_.back().complete = false;
    CatalogueEntry shot;
    shot.path = QString::fromStdString(d + "CH01_2026_03_01_10_01_00_000.bmp");
    QImage(64, 48, QImage::Format_RGB32).save(shot.path, "BMP");
    shot.kind = CatalogueKind::kSnapshot;
    shot.startMs = shot.endMs = At(10, 1);
    entries_.push_back(shot);
    EventStoreOptions options;
    options.path = QString::fromStdString(d + "events.sqlite");
    store_ = std::make_unique<EventStore>(options);
  }
  static int64_t At(int h, int m, int s = 0, int ms = 0) {
    return QDateTime(QDate(2026, 3, 1), QTime(h, m, s, ms)).toMSecsSinceEpoch();
  }
  ReviewWindow::EntrySource Source() const {
    return [this](int64_t from, int64_t to) {
      std::vector<CatalogueEntry> out;
      for (const CatalogueEntry& e : entries_) {
        if (e.startMs < to && std::max(e.endMs, e.startMs + 1) > from) out.push_back(e);
      }
      return out;
    };
  }
  static bool ShowsFrame(const ReviewPlayer& p, int frame) {
    return !p.Busy() && Stamp(p.Picture()) == frame;
  }

  testing::TempDir dir_;
  std::vector<std::string> split_;
  std::string event_, other_;
  std::vector<CatalogueEntry> entries_;
  std::unique_ptr<EventStore> store_;
};

TEST_F(ReviewTest, TimelinePutsEachPieceOnItsCamerasRowAndAClickPlaysFromThere) {
  Event motion;
  motion.kind = EventKind::kMotion;
  motion.recorder = QStringLiteral("10.0.0.5");
  motion.channel = 0;
  motion.timeMs = motion.firstMs = At(10, 5, 0, 200);
  store_->Append(motion);
  Event elsewhere = motion;  // the day before: not this day's
  elsewhere.timeMs = elsewhere.firstMs = At(10, 0) - 86400000;
  store_->Append(elsewhere);
  Event notice;  // of no camera
  notice.kind = EventKind::kServerNotice;
  notice.timeMs = At(11, 0);
  store_->Append(notice);
  store_->Flush();

  ReviewWindow window(Source(), store_.get());
  window.ShowDay(QDate(2026, 3, 1));
  const TimelineModel& m = window.Model();
  EXPECT_EQ(m.Channels(), (std::vector<int>{0, 2}));

  struct Piece {
    TimelineKind kind;
    int64_t from, to;
    bool complete;
  };
  auto pieces = [&](int channel) {
    std::vector<Piece> out;
    for (const TimelineItem& i : m.ItemsOf(channel)) out.push_back({i.kind, i.fromMs, i.toMs, i.complete});
    return out;
  };
  const std::vector<Piece> ch1 = pieces(0);
  ASSERT_EQ(ch1.size(), 5u);
  // The split's parts end to end, the snapshot, the event recording, its event.
  EXPECT_EQ(ch1[0].kind, TimelineKind::kManual);
  EXPECT_EQ(ch1[0].from, At(10, 0));
  EXPECT_EQ(ch1[0].to, At(10, 0, 2));
  EXPECT_EQ(ch1[1].kind, TimelineKind::kManual);
  EXPECT_EQ(ch1[1].from, At(10, 0, 2));
  EXPECT_EQ(ch1[1].to, At(10, 0, 4));
  EXPECT_EQ(ch1[2].kind, TimelineKind::kSnapshot);
  EXPECT_EQ(ch1[2].from, At(10, 1));
  EXPECT_EQ(ch1[3].kind, TimelineKind::kEvent);
  EXPECT_EQ(ch1[3].from, At(10, 5));
  EXPECT_EQ(ch1[3].to, At(10, 5, 1));
  EXPECT_EQ(ch1[4].kind, TimelineKind::kEventMark);
  EXPECT_EQ(ch1[4].from, At(10, 5, 0, 200));
  const std::vector<Piece> ch3 = pieces(2);
  ASSERT_EQ(ch3.size(), 1u);
  EXPECT_FALSE(ch3[0].complete);
  EXPECT_EQ(ch3[0].from, At(23, 59));
  EXPECT_EQ(window.Snapshots()->count(), 1);

  // The first camera is ready to play from its first recording.
  ReviewPlayer* player = window.Player();
  ASSERT_TRUE(WaitUntil([&] { return ShowsFrame(*player, 0); }, 5000));

  // A click on the third camera's bar plays it from there (ten seconds in:
  // frame 24 of its 25, the file holding one second only).
  window.resize(1000, 700);
  window.show();
  TimelineView* t = window.Timeline();
  t->SetView(At(23, 58), At(24 - 1, 59, 59, 999));
  const QPoint onBar(t->XOf(At(23, 59, 0, 500)) + 1, t->YOf(2));
  QTest::mouseClick(t, Qt::LeftButton, {}, onBar);
  EXPECT_EQ(window.Channel(), 2);
  ASSERT_TRUE(WaitUntil([&] { return player->FrameFile() == QString::fromStdString(other_); }, 5000));
  EXPECT_NEAR(player->FrameTimeMs(), t->TimeAt(onBar.x()), 40 + 2 * (t->TimeAt(1) - t->TimeAt(0)));

  // Shift and a drag over the first camera's split: its two parts go to
  // the export, the snapshot in the range with them.
  std::vector<CatalogueEntry> exported, shots;
  int64_t from = 0, to = 0;
  window.SetExportHandler([&](std::vector<CatalogueEntry> r, int64_t f, int64_t e,
                              std::vector<CatalogueEntry> s) {
    exported = std::move(r);
    shots = std::move(s);
    from = f;
    to = e;
  });
  t->SetView(At(9, 59), At(10, 2));
  const QPoint a(t->XOf(At(9, 59, 30)), t->YOf(0)), b(t->XOf(At(10, 1, 30)), t->YOf(0));
  QTest::mousePress(t, Qt::LeftButton, Qt::ShiftModifier, a);
  QTest::mouseMove(t, b);
  QTest::mouseRelease(t, Qt::LeftButton, Qt::ShiftModifier, b);
  ASSERT_TRUE(window.ExportButton()->isEnabled());
  window.ExportButton()->click();
  ASSERT_EQ(exported.size(), 2u);
  EXPECT_EQ(exported[0].path, QString::fromStdString(split_[0]));
  EXPECT_EQ(exported[1].path, QString::fromStdString(split_[1]));
  EXPECT_EQ(shots.size(), 1u);
  EXPECT_NEAR(from, At(9, 59, 30), 1000);
  EXPECT_NEAR(to, At(10, 1, 30), 1000);
}

TEST_F(ReviewTest, PlayerShowsEveryFrameOnceAcrossASplitAndAGapAndSeeksToTheFrameOfATime) {
  ReviewPlayer player;
  player.resize(400, 360);
  QStringList files;
  for (const std::string& f : {event_, split_[1], split_[0]}) files << QString::fromStdString(f);
  ASSERT_TRUE(player.SetFiles(files, 0));
  EXPECT_EQ(player.BeginMs(), At(10, 0));
  EXPECT_EQ(player.EndMs(), At(10, 5, 1));

  std::vector<int> shown;
  QObject::connect(&player, &ReviewPlayer::FrameShown,
                   [&] { shown.push_back(Stamp(player.Picture())); });
  player.SetSpeed(8);
  player.Play();
  // 125 frames at 25 a second, 8 times as fast, the gap passed over.
  ASSERT_TRUE(WaitUntil([&] { return !player.Playing(); }, 10000));
  std::vector<int> expected;
  for (int i = 0; i < 100; ++i) expected.push_back(i);
  for (int i = 300; i < 325; ++i) expected.push_back(i);
  EXPECT_EQ(shown, expected);

  // Seeks: one, then a burst as a drag makes; the last one's frame stays.
  player.SeekTo(At(10, 0, 3, 500));
  ASSERT_TRUE(WaitUntil([&] { return ShowsFrame(player, 87); }, 5000));
  for (int ms = 0; ms < 2000; ms += 100) player.SeekTo(At(10, 0, 3) - ms);
  player.SeekTo(At(10, 0, 1));
  ASSERT_TRUE(WaitUntil([&] { return ShowsFrame(player, 25); }, 5000));
  QTest::qWait(100);
  EXPECT_EQ(Stamp(player.Picture()), 25);
  EXPECT_EQ(player.FrameTimeMs(), At(10, 0, 1));

  player.StepBack();
  ASSERT_TRUE(WaitUntil([&] { return ShowsFrame(player, 24); }, 5000));
  player.StepForward();
  ASSERT_TRUE(WaitUntil([&] { return ShowsFrame(player, 25); }, 5000));

  // "抓图" of the frame shown, named by its camera and time.
  player.SetSnapshotFolder(QString::fromStdString(dir_.Path() + "/shots"));
  const QString shot = player.SaveSnapshot();
  EXPECT_TRUE(shot.endsWith(QStringLiteral("/shots/CH01_2026_03_01_10_00_01_000.bmp"))) << shot.toStdString();
  EXPECT_EQ(Stamp(QImage(shot)), 25);
}

}  // namespace
}  // namespace zarvion::viewer
