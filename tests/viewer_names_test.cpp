// Names the operator gives a recorder and its cameras: kept in the hive with
// the remembered recorder, given in "命名", shown in the tab, the window's
// title, the recent menu and, when chosen, the panes' captions.
#include <gtest/gtest.h>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include "video/renderer.h"
#include "viewer/main_window.h"
#include "viewer/name_dialog.h"
#include "viewer_test_util.h"

namespace zarvion::viewer {
namespace {

using namespace test;

const std::string kRecentEntry = std::string(kViewerKey) + "\\Recent\\0";

TEST_F(ViewerTest, NamesAreKeptWithTheRecorderAndEntriesWithoutThemStillLoad) {
  // An entry as the viewer stored it before recorders had names.
  ASSERT_TRUE(RegSetString(Hive::kCurrentUser, kRecentEntry, "szHost", "10.0.0.7"));
  ASSERT_TRUE(RegSetDword(Hive::kCurrentUser, kRecentEntry, "dwPort", 9000));
  ASSERT_TRUE(RegSetString(Hive::kCurrentUser, kRecentEntry, "szLoginPara", "kept"));
  std::vector<Recorder> recent = LoadRecent();
  ASSERT_EQ(recent.size(), 1u);
  EXPECT_EQ(recent[0].login, "kept");
  EXPECT_TRUE(recent[0].name.empty());
  EXPECT_FALSE(recent[0].cameraCaptions);
  EXPECT_EQ(recent[0].MenuText(), "10.0.0.7:9000");

  Recorder named = recent[0];
  named.login = "not this";
  named.name = "东门";
  named.cameras[2] = "仓库";
  named.cameraCaptions = true;
  ASSERT_TRUE(SaveOpenTabs({recent[0]}));
  ASSERT_TRUE(NameRecorder(named));
  for (const auto& list : {LoadRecent(), LoadOpenTabs()}) {
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].login, "kept");  // renaming leaves the login alone
    EXPECT_EQ(list[0].name, "东门");
    EXPECT_EQ(list[0].cameras[2], "仓库");
    EXPECT_TRUE(list[0].cameras[3].empty());
    EXPECT_TRUE(list[0].cameraCaptions);
  }
  EXPECT_EQ(LoadRecent()[0].MenuText(), QString::fromUtf8("东门 (10.0.0.7:9000)"));

  // Connecting again, from a dialog that knows no names, keeps them.
  Recorder again;
  again.host = "10.0.0.7";
  again.port = 9000;
  ASSERT_TRUE(RememberRecorder(again));
  EXPECT_EQ(LoadRecent()[0].name, "东门");
  EXPECT_EQ(LoadRecent()[0].cameras[2], "仓库");
}

// The top band of a pane, where its caption is, in the control's picture.
QImage CaptionBand(RecorderTab& tab, int slot, int extra = 0) {
  const QImage image = tab.Window()->grab().toImage();
  const Rect pane = PaneRect(4, slot / 4, slot % 4, image.width(), image.height() - kToolbarStrip);
  return image.copy(pane.left, pane.top, pane.Width() + extra, 24);
}

// Right-clicks `widget` at `point` as the pointer would.
void RightClick(QWidget* widget, const QPoint& point) {
  QContextMenuEvent event(QContextMenuEvent::Mouse, point, widget->mapToGlobal(point));
  QApplication::sendEvent(widget, &event);
}

// Without a session the panes show their captions unchanging: the captions
// alone are compared. Off, they are what they were to the pixel.
TEST_F(ViewerTest, NamingFromATabOrAPaneShowsTheNamesWhereChosen) {
  MainWindow window;
  window.show();
  Recorder nobody;
  nobody.host = "127.0.0.1";
  nobody.port = 1;
  RecorderTab* tab = window.OpenRecorder(nobody);
  tab->SetReconnectPolicy(ReconnectPolicy(std::chrono::seconds(60)));
  ASSERT_TRUE(WaitUntil([&] { return tab->CurrentState() == State::kWaiting; }, 5000 * kSlow));
  EXPECT_EQ(tab->RecorderName(), "127.0.0.1:1");
  EXPECT_EQ(tab->CameraName(2), "CH 3");
  ASSERT_TRUE(WaitUntil([&] { return !CaptionBand(*tab, 2).isNull(); }, 2000 * kSlow));
  QTest::qWait(300);
  const QImage plain2 = CaptionBand(*tab, 2);
  const QImage plain0 = CaptionBand(*tab, 0, 8);

  // The tab's menu; Cancel keeps nothing.
  RightClick(window.Tabs()->tabBar(), window.Tabs()->tabBar()->tabRect(0).center());
  EXPECT_EQ(window.TabMenuTab(), tab);
  window.TabMenu()->actions()[0]->trigger();
  NameDialog* dialog = window.OpenNameDialog();
  ASSERT_TRUE(dialog);
  EXPECT_EQ(dialog->RecorderField()->placeholderText(), "127.0.0.1:1");
  EXPECT_EQ(dialog->CameraField(2)->placeholderText(), "CH 3");
  EXPECT_TRUE(dialog->CameraField(15));
  dialog->RecorderField()->setText("东门");
  QTest::mouseClick(dialog->CancelButton(), Qt::LeftButton);
  EXPECT_EQ(tab->RecorderName(), "127.0.0.1:1");
  EXPECT_TRUE(LoadRecent()[0].name.empty());

  // A pane's menu opens the dialog at that pane's camera.
  const QImage image = tab->Window()->grab().toImage();
  const Rect pane5 = PaneRect(4, 1, 1, image.width(), image.height() - kToolbarStrip);
  RightClick(tab->Window(), QPoint((pane5.left + pane5.right) / 2, (pane5.top + pane5.bottom) / 2));
  EXPECT_EQ(tab->PaneMenuChannel(), 5);
  tab->PaneMenu()->actions()[0]->trigger();
  dialog = window.OpenNameDialog();
  ASSERT_TRUE(dialog);
  EXPECT_EQ(dialog->focusWidget(), dialog->CameraField(5));
  dialog->RecorderField()->setText(" 东门 ");
  dialog->CameraField(0)->setText(QString(40, QChar(0x4ED3)));  // far wider than its pane
  dialog->CameraField(2)->setText("仓库");
  QTest::mouseClick(dialog->OkButton(), Qt::LeftButton);
  EXPECT_EQ(tab->RecorderName(), "东门");
  EXPECT_EQ(tab->Title(), "127.0.0.1:1");  // events stay keyed by the address
  EXPECT_EQ(tab->CameraName(2), "仓库");
  EXPECT_EQ(tab->CameraName(3), "CH 4");
  EXPECT_EQ(window.Tabs()->tabText(0), "东门");
  EXPECT_TRUE(window.Tabs()->tabToolTip(0).startsWith("东门 (127.0.0.1:1)\n"));
  EXPECT_TRUE(window.windowTitle().contains("东门"));
  EXPECT_EQ(window.RecentMenu()->actions()[0]->text(), QString::fromUtf8("东门 (127.0.0.1:1)"));
  EXPECT_EQ(LoadOpenTabs()[0].cameras[2], "仓库");
  QTest::qWait(300);
  EXPECT_EQ(CaptionBand(*tab, 2), plain2);  // names kept, captions not chosen

  window.ShowNameDialog(tab, 2);
  window.OpenNameDialog()->CaptionsBox()->setChecked(true);
  QTest::mouseClick(window.OpenNameDialog()->OkButton(), Qt::LeftButton);
  EXPECT_TRUE(LoadRecent()[0].cameraCaptions);
  ASSERT_TRUE(WaitUntil([&] { return CaptionBand(*tab, 2) != plain2; }, 2000 * kSlow));
  // The long name stops inside its pane: the border and the next pane's
  // start are as they were.
  const QImage named0 = CaptionBand(*tab, 0, 8);
  EXPECT_NE(named0, plain0);
  const int edge = named0.width() - 8 - 4;
  EXPECT_EQ(named0.copy(edge, 0, 12, named0.height()), plain0.copy(edge, 0, 12, plain0.height()));

  window.ShowNameDialog(tab);
  window.OpenNameDialog()->CaptionsBox()->setChecked(false);
  QTest::mouseClick(window.OpenNameDialog()->OkButton(), Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return CaptionBand(*tab, 2) == plain2; }, 2000 * kSlow));
  EXPECT_EQ(CaptionBand(*tab, 0, 8), plain0);
}

// The dialog offers the recorder's own cameras once a session told how many.
TEST_F(ViewerTest, TheNameDialogHasAFieldPerCameraOfTheRecorder) {
  dvrsim::Options options;
  options.channels = 6;
  dvrsim::Server server(options);
  ASSERT_TRUE(server.Start());
  MainWindow window(MainWindowOptions{.remember = false, .eventsPath = {}});
  RecorderTab* tab = window.OpenRecorder(At(server));
  EXPECT_EQ(tab->ChannelCount(), 16);
  ASSERT_TRUE(WaitUntil([&] { return tab->CurrentState() == State::kLive; }, 5000 * kSlow));
  EXPECT_EQ(tab->ChannelCount(), 6);
  NameDialog* dialog = window.ShowNameDialog(tab, 4);
  ASSERT_TRUE(dialog);
  EXPECT_TRUE(dialog->CameraField(5));
  EXPECT_FALSE(dialog->CameraField(6));
  dialog->CameraField(4)->setText("后门");
  QTest::mouseClick(dialog->OkButton(), Qt::LeftButton);
  EXPECT_EQ(tab->CameraName(4), "后门");
}

}  // namespace
}  // namespace zarvion::viewer
