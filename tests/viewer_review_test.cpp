// "录像回放" offscreen over real recordings of the simulator's stamped
// pictures, found by the viewer's own catalogue: an event opens its camera
// at its time, the timeline's model puts every piece (a split, an event
// recording, a crash's repaired file, a snapshot, an event) on its camera's
// row at its times, a click plays from there, playing crosses a split and a gap
// showing every frame once in order, a seek (or a drag's last) shows the
// frame of its time, and a range chosen with Shift goes to the export.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "avi_test_util.h"
#include "mp43_test_frames.h"
#include "stamped_recordings.h"
#include "ui_test_util.h"
#include "viewer/event_log.h"
#include "viewer/export_dialog.h"
#include "viewer/main_window.h"
#include "viewer/recording_catalogue.h"
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

class ReviewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string d = dir_.Path() + "/";
    split_ = {d + "CLIENT_CH01_2026_03_01_10_00_00_000.avi",
              d + "CLIENT_CH01_2026_03_01_10_00_02_000.avi"};
    event_ = d + "EVENT_CH01_2026_03_01_10_05_00_000.avi";
    crashed_ = d + "CLIENT_CH03_2026_03_01_23_59_00_000.avi";
    testing::WriteStampedRecording(split_[0], 0, 0, 50);
    testing::WriteStampedRecording(split_[1], 0, 50, 50);
    testing::WriteStampedRecording(event_, 0, 300, 25);
    testing::WriteStampedRecording(crashed_, 2, 0, 25);
    zarvion::testing::CutOffIndex(crashed_);
    QImage(64, 48, QImage::Format_RGB32)
        .save(QString::fromStdString(d + "CH01_2026_03_01_10_01_00_000.bmp"), "BMP");
  }
  static int64_t At(int h, int m, int s = 0, int ms = 0) {
    return QDateTime(QDate(2026, 3, 1), QTime(h, m, s, ms)).toMSecsSinceEpoch();
  }
  static bool ShowsFrame(const ReviewPlayer& p, int frame) {
    return !p.Busy() && Stamp(p.Picture()) == frame;
  }

  testing::TempDir dir_;
  std::vector<std::string> split_;
  std::string event_, crashed_;
};

TEST_F(ReviewTest, AnEventOpensItsCameraAtItsTimeAndTheTimelineHoldsEachPieceWhereItBelongs) {
  const QString d = QString::fromStdString(dir_.Path());
  MainWindow main(MainWindowOptions{.remember = false,
                                    .eventsPath = d + "/events.sqlite",
                                    .cataloguePath = d + "/recordings.sqlite"});
  RecordingCatalogue& catalogue = main.Catalogue();
  ASSERT_TRUE(WaitUntil([&] { return !catalogue.Reconciling(); }, 10000));
  catalogue.Reconcile({d});
  ASSERT_TRUE(WaitUntil([&] { return !catalogue.Reconciling(); }, 20000));

  Event motion;
  motion.kind = EventKind::kMotion;
  motion.recorder = QStringLiteral("10.0.0.5");
  motion.channel = 0;
  motion.timeMs = motion.firstMs = At(10, 5, 0, 200);
  main.Events().Append(motion);
  Event elsewhere = motion;  // the day before: not this day's
  elsewhere.timeMs = elsewhere.firstMs = At(10, 0) - 86400000;
  main.Events().Append(elsewhere);
  Event notice;  // of no camera
  notice.kind = EventKind::kServerNotice;
  notice.timeMs = At(11, 0);
  main.Events().Append(notice);
  main.Events().Flush();

  // The event's camera, at its time: frame 5 of the event recording.
  ReviewWindow* window = main.ShowReview(motion);
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->Day(), QDate(2026, 3, 1));
  EXPECT_EQ(window->Channel(), 0);
  ReviewPlayer* player = window->Player();
  ASSERT_TRUE(WaitUntil([&] { return ShowsFrame(*player, 305); }, 5000));
  EXPECT_EQ(player->FrameTimeMs(), At(10, 5, 0, 200));

  const TimelineModel& m = window->Model();
  EXPECT_EQ(m.Channels(), (std::vector<int>{0, 2}));
  struct Piece {
    TimelineKind kind;
    int64_t from, to;
    bool complete;
  };
  auto pieces = [&](int channel) {
    std::vector<Piece> out;
    for (const TimelineItem& i : m.ItemsOf(channel)) {
      out.push_back({i.kind, i.fromMs, i.toMs, i.complete});
    }
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
  // The crash's file, repaired, with all its frames.
  const std::vector<Piece> ch3 = pieces(2);
  ASSERT_EQ(ch3.size(), 1u);
  EXPECT_TRUE(ch3[0].complete);
  EXPECT_EQ(ch3[0].from, At(23, 59));
  EXPECT_EQ(ch3[0].to, At(23, 59, 1));
  EXPECT_EQ(window->Snapshots()->count(), 1);

  // A click on the third camera's bar plays the repaired file from there.
  window->resize(1000, 700);
  TimelineView* t = window->Timeline();
  t->SetView(At(23, 58), At(23, 59, 59, 999));
  const QPoint onBar(t->XOf(At(23, 59, 0, 500)) + 1, t->YOf(2));
  QTest::mouseClick(t, Qt::LeftButton, {}, onBar);
  EXPECT_EQ(window->Channel(), 2);
  ASSERT_TRUE(WaitUntil(
      [&] { return !player->Busy() && player->FrameFile() == QString::fromStdString(crashed_); },
      5000));
  const int64_t pixel = t->TimeAt(1) - t->TimeAt(0);
  EXPECT_NEAR(player->FrameTimeMs(), t->TimeAt(onBar.x()) - 20, 20 + 2 * pixel);
  EXPECT_EQ(Stamp(player->Picture()), (player->FrameTimeMs() - At(23, 59)) / 40);

  // Shift and a drag over the first camera's split: "导出…" offers its two
  // parts for export, the snapshot in the range with them.
  t->SetView(At(9, 59), At(10, 2));
  const QPoint a(t->XOf(At(9, 59, 30)), t->YOf(0)), b(t->XOf(At(10, 1, 30)), t->YOf(0));
  QTest::mousePress(t, Qt::LeftButton, Qt::ShiftModifier, a);
  QTest::mouseMove(t, b);
  QTest::mouseRelease(t, Qt::LeftButton, Qt::ShiftModifier, b);
  ASSERT_TRUE(window->ExportButton()->isEnabled());
  window->ExportButton()->click();
  ExportDialog* dialog = window->findChild<ExportDialog*>();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->isVisible());
  delete dialog;
  std::vector<CatalogueEntry> exported, shots;
  int64_t from = 0, to = 0;
  window->SetExportHandler(
      [&](std::vector<CatalogueEntry> r, int64_t f, int64_t e, std::vector<CatalogueEntry> s) {
        exported = std::move(r);
        shots = std::move(s);
        from = f;
        to = e;
      });
  window->ExportButton()->click();
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
  EXPECT_TRUE(shot.endsWith(QStringLiteral("/shots/CH01_2026_03_01_10_00_01_000.bmp")))
      << shot.toStdString();
  EXPECT_EQ(Stamp(QImage(shot)), 25);
}

}  // namespace
}  // namespace zarvion::viewer
