// Each camera's motion settings as the operator meets them: set in
// "移动侦测设置…" (the mask painted with the pointer), kept with the
// remembered recorder across a restart, obeyed by the detectors against the
// simulator (a masked crossing is no event; an alarm camera's motion is an
// alarm at once, a plain camera's is not), and each motion row pointing at
// its event recording.
#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>
#include <QAction>
#include <QCheckBox>
#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QTest>
#include <QUrl>

#include "dvrsim/encoder.h"
#include "dvrsim/pictures.h"
#include "settings/settings_store.h"
#include "video/renderer.h"
#include "viewer/event_dock.h"
#include "viewer/event_model.h"
#include "viewer/main_window.h"
#include "viewer/motion_dialog.h"
#include "viewer/review_window.h"
#include "viewer_test_util.h"

namespace zarvion::viewer {
namespace {

using namespace test;

// The centre of block (row, column) in the painter.
QPoint BlockCentre(const MaskPainter& painter, int row, int column) {
  const QRect picture = painter.PictureRect();
  return {picture.x() + (2 * column + 1) * picture.width() / (2 * kMotionGrid),
          picture.y() + (2 * row + 1) * picture.height() / (2 * kMotionGrid)};
}

void Drag(MaskPainter* painter, Qt::MouseButton button, QPoint from, QPoint to) {
  QTest::mousePress(painter, button, {}, from);
  QMouseEvent move(QEvent::MouseMove, to, painter->mapToGlobal(to), Qt::NoButton, button, {});
  QApplication::sendEvent(painter, &move);
  QTest::mouseRelease(painter, button, {}, to);
}

TEST_F(ViewerTest, CameraSettingsSetInTheDialogAreKeptAcrossARestart) {
  auto server = StartRecorder();
  ASSERT_TRUE(server);
  MotionMask painted{};
  {
    MainWindow window;
    window.resize(900, 700);
    window.show();
    RecorderTab* tab = window.OpenRecorder(At(*server));
    MotionDialog* dialog = tab->ShowMotionDialog(2);
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
    // The defaults: on, recording, 5, no mask, no alarm.
    EXPECT_TRUE(dialog->EnabledBox()->isChecked());
    EXPECT_TRUE(dialog->RecordingBox()->isChecked());
    EXPECT_FALSE(dialog->AlarmBox()->isChecked());
    EXPECT_EQ(dialog->SensitivitySlider()->value(), 5);
    dialog->resize(720, 640);
    QApplication::processEvents();

    MaskPainter* painter = dialog->Painter();
    // Left-drag masks every block passed over (the moves come merged: one
    // here), a right-drag gives them back.
    Drag(painter, Qt::LeftButton, BlockCentre(*painter, 4, 2), BlockCentre(*painter, 4, 9));
    Drag(painter, Qt::LeftButton, BlockCentre(*painter, 0, 15), BlockCentre(*painter, 0, 15));
    EXPECT_EQ(painter->Mask()[4], 0x03FC);
    EXPECT_EQ(painter->Mask()[0], 0x8000);
    Drag(painter, Qt::RightButton, BlockCentre(*painter, 0, 15), BlockCentre(*painter, 4, 9));
    EXPECT_EQ(painter->Mask()[0], 0);
    EXPECT_EQ(painter->Mask()[4], 0x01FC);  // its last blocks, columns 9 and 10, given back
    dialog->ClearButton()->click();
    EXPECT_EQ(painter->Mask(), MotionMask{});
    // With "擦除" the left button erases.
    Drag(painter, Qt::LeftButton, BlockCentre(*painter, 7, 1), BlockCentre(*painter, 8, 1));
    dialog->EraseBox()->setChecked(true);
    Drag(painter, Qt::LeftButton, BlockCentre(*painter, 7, 1), BlockCentre(*painter, 7, 1));
    painted = painter->Mask();
    EXPECT_EQ(painted[7], 0);
    EXPECT_EQ(painted[8], 0x0002);

    dialog->SensitivitySlider()->setValue(8);
    EXPECT_EQ(dialog->SensitivityNumber()->text(), QStringLiteral("8"));
    dialog->AlarmBox()->setChecked(true);
    dialog->RecordingBox()->setChecked(false);
    dialog->OkButton()->click();

    const CameraMotion set = tab->CameraMotionOf(2);
    EXPECT_EQ(set.sensitivity, 8);
    EXPECT_TRUE(set.alarm);
    EXPECT_FALSE(set.recording);
    EXPECT_TRUE(set.enabled);
    EXPECT_EQ(set.mask, painted);
    EXPECT_FALSE(tab->MotionRecording(2));
    EXPECT_EQ(tab->CameraMotionOf(3), CameraMotion{});  // the others untouched
    tab->SetMotionEnabled(5, false);
  }
  const std::vector<Recorder> recent = LoadRecent();
  ASSERT_EQ(recent.size(), 1u);
  EXPECT_EQ(recent[0].motion[2].mask, painted);
  EXPECT_FALSE(recent[0].motion[5].enabled);

  MainWindow next;
  ASSERT_TRUE(next.RestoreTabs());
  RecorderTab* tab = next.Tab(0);
  EXPECT_EQ(tab->CameraMotionOf(2).sensitivity, 8);
  EXPECT_TRUE(tab->CameraMotionOf(2).alarm);
  EXPECT_FALSE(tab->CameraMotionOf(2).recording);
  EXPECT_EQ(tab->CameraMotionOf(2).mask, painted);
  EXPECT_FALSE(tab->MotionEnabled(5));
  EXPECT_TRUE(tab->MotionEnabled(4));
  // Opening the recorder again, as from the recent menu, keeps them too.
  next.OpenRecorder(At(*server));
  EXPECT_EQ(next.Tab(0)->CameraMotionOf(2).mask, painted);
}

// Catches what the desktop would be asked to open.
class Opened : public QObject {
  Q_OBJECT

 public:
  QList<QUrl> urls;

 public slots:
  void Open(const QUrl& url) { urls.push_back(url); }
};

TEST_F(ViewerTest, MaskedMotionIsNoEventAndAnAlarmCameraRaisesTheAlarmAtOnce) {
  const std::filesystem::path record = zarvion::testing::TestHome() + "/rec-motion-settings";
  std::filesystem::create_directories(record);
  ASSERT_TRUE(RegSetString(Hive::kCurrentUser, kSettingsKey, kRecordDirValue, record.string()));
  auto server = StartRecorder();
  ASSERT_TRUE(server);
  MainWindowOptions options;
  options.remember = false;
  options.eventsPath = QString::fromStdString((record / "events.sqlite").string());
  MainWindow window(options);
  window.resize(900, 700);
  window.show();
  RecorderTab* tab = window.OpenRecorder(At(*server));
  std::vector<std::pair<int, bool>> changes;
  QObject::connect(tab, &RecorderTab::MotionChanged,
                   [&](int channel, bool active) { changes.emplace_back(channel, active); });
  ASSERT_TRUE(WaitUntil([&] { return tab->CurrentState() == State::kLive; }, 8000 * kSlow));

  // Camera 3: the rows the simulator's object crosses masked, through the
  // dialog. Camera 4 an alarm; camera 5 as it is.
  MotionMask rows{};
  for (int r = dvrsim::kObjectTop * kMotionGrid / dvrsim::kPictureHeight - 1;
       r <= (dvrsim::kObjectTop + dvrsim::kObjectHeight) * kMotionGrid / dvrsim::kPictureHeight + 1;
       ++r) {
    rows[static_cast<size_t>(r)] = 0xFFFF;
  }
  MotionDialog* dialog = tab->ShowMotionDialog(2);
  ASSERT_TRUE(dialog);
  dialog->Painter()->SetMask(rows);
  dialog->OkButton()->click();
  CameraMotion alarm;
  alarm.alarm = true;
  tab->SetCameraMotion(3, alarm);
  for (int c : {0, 1, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}) tab->SetMotionEnabled(c, false);
  QTest::qWait(4000);  // past the detectors' settle
  changes.clear();
  EventStore& store = window.Events();
  store.Flush();
  const int alarmsBefore = store.UnacknowledgedAlarms();

  for (int camera : {3, 4, 5})
    ASSERT_TRUE(server->Command("motion " + std::to_string(camera) + " 3"));
  const auto began = [&](int channel) {
    return std::find(changes.begin(), changes.end(), std::make_pair(channel, true)) !=
           changes.end();
  };
  ASSERT_TRUE(WaitUntil([&] { return began(3) && began(4); }, 4000 * kSlow));
  // The alarm is there while the motion lasts, not when it ends.
  EXPECT_TRUE(
      WaitUntil([&] { return store.UnacknowledgedAlarms() == alarmsBefore + 1; }, 2000 * kSlow));
  QTest::qWait(3000);
  EXPECT_FALSE(began(2)) << "motion in the masked rows";
  // Switched off, the events end at once.
  tab->SetMotionEnabled(3, false);
  tab->SetMotionEnabled(4, false);
  ASSERT_TRUE(WaitUntil(
      [&] {
        return std::count_if(changes.begin(), changes.end(),
                             [](const auto& c) { return !c.second; }) >= 2;
      },
      3000 * kSlow));
  store.Flush();
  EXPECT_EQ(store.UnacknowledgedAlarms(), alarmsBefore + 1);  // the plain camera's added none

  QList<Event> motion = store.Query({std::nullopt, {EventKind::kMotion, EventKind::kMotionAlarm}});
  ASSERT_EQ(motion.size(), 2);
  std::sort(motion.begin(), motion.end(),
            [](const Event& a, const Event& b) { return a.channel < b.channel; });
  EXPECT_EQ(motion[0].channel, 3);
  EXPECT_EQ(motion[0].kind, EventKind::kMotionAlarm);
  EXPECT_EQ(motion[1].channel, 4);
  EXPECT_EQ(motion[1].kind, EventKind::kMotion);
  for (const Event& e : motion) {
    EXPECT_GT(e.endMs, e.timeMs);  // the alarm's row completed at its end
    EXPECT_GT(e.peakPermille, 0);
    EXPECT_FALSE(e.thumbnail.isEmpty());
    const QString file = QStringLiteral("EVENT_CH%1_").arg(e.channel + 1, 2, 10, QLatin1Char('0'));
    EXPECT_TRUE(e.recording.contains(file)) << e.recording.toStdString();
  }

  // The row's tooltip names the file; its menu opens it and its folder.
  EventDock* dock = window.Dock();
  dock->Reload();
  int row = -1;
  for (int r = 0; r < dock->Model()->rowCount(); ++r) {
    if (dock->Model()->At(r).id == motion[1].id) row = r;
  }
  ASSERT_GE(row, 0);
  EXPECT_TRUE(dock->Model()
                  ->data(dock->Model()->index(row, EventModel::kTime), Qt::ToolTipRole)
                  .toString()
                  .contains(motion[1].recording.toHtmlEscaped()));
  Opened opened;
  QDesktopServices::setUrlHandler(QStringLiteral("file"), &opened, "Open");
  std::vector<QString> asked;
  QObject::connect(dock, &EventDock::OpenRecordingRequested,
                   [&](const Event& e) { asked.push_back(e.recording); });
  dock->PrepareRowMenu(row);
  ASSERT_TRUE(dock->OpenRecordingAction()->isEnabled());
  dock->OpenRecordingAction()->trigger();
  dock->OpenFolderAction()->trigger();
  QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0], motion[1].recording);
  // The recording opens in the review window, at the event's camera; the
  // folder in the desktop's file manager.
  ASSERT_NE(window.Review(), nullptr);
  EXPECT_TRUE(window.Review()->isVisible());
  EXPECT_EQ(window.Review()->Channel(), motion[1].channel);
  ASSERT_EQ(opened.urls.size(), 1);
  EXPECT_EQ(opened.urls[0].toLocalFile(), QFileInfo(motion[1].recording).absolutePath());
  // A row without a file offers neither.
  for (int r = 0; r < dock->Model()->rowCount(); ++r) {
    if (!dock->Model()->At(r).recording.isEmpty()) continue;
    dock->PrepareRowMenu(r);
    EXPECT_FALSE(dock->OpenRecordingAction()->isEnabled());
    break;
  }
}

// "显示移动区块" on the enlarged camera: the blocks the crossing object
// changes are drawn over its pane while it moves, and nothing once it is
// turned off.
TEST_F(ViewerTest, TheEnlargedCamerasMovingBlocksAreDrawnOnRequest) {
  auto server = StartRecorder();
  ASSERT_TRUE(server);
  RecorderTab tab;
  tab.resize(800, 640);
  tab.show();
  tab.Connect(At(*server));
  ASSERT_TRUE(WaitUntil([&] { return tab.EnlargeChannel(2); }, 8000 * kSlow));
  tab.SetShowMotionBlocks(true);
  QTest::qWait(3000);  // past the detector's settle
  ASSERT_TRUE(server->Command("motion 3 3"));
  MotionMask seen{};
  ASSERT_TRUE(WaitUntil(
      [&] {
        for (int r = 0; r < kMotionGrid; ++r) {
          seen[static_cast<size_t>(r)] |= tab.ShownMotionBlocks()[static_cast<size_t>(r)];
        }
        return tab.MotionBlocks() && tab.MotionBlocks()->isVisible();
      },
      4000 * kSlow));
  EXPECT_EQ(tab.MotionBlocks()->geometry().size(), tab.Window()->size() - QSize(0, kToolbarStrip));
  // Only where the object goes.
  for (int r = 0; r < kMotionGrid; ++r) {
    const bool crossed =
        r >= dvrsim::kObjectTop * kMotionGrid / dvrsim::kPictureHeight - 1 &&
        r <=
            (dvrsim::kObjectTop + dvrsim::kObjectHeight) * kMotionGrid / dvrsim::kPictureHeight + 1;
    if (!crossed) {
      EXPECT_EQ(seen[static_cast<size_t>(r)], 0) << "row " << r;
    }
  }
  tab.SetShowMotionBlocks(false);
  EXPECT_FALSE(tab.MotionBlocks()->isVisible());
  EXPECT_EQ(tab.ShownMotionBlocks(), MotionMask{});
}

}  // namespace
}  // namespace zarvion::viewer

#include "viewer_motion_settings_test.moc"
