// The viewer's pieces as an operator meets them: the connect dialog, the
// remembered recorders, a tab that marks a lost feed and reconnects by
// itself, several recorders side by side, full screen. Real widgets
// offscreen, the simulated recorder as the peer.
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include "dvrsim/dvrsim.h"
#include "platform/registry.h"
#include "ui_test_util.h"
#include "viewer/connect_dialog.h"
#include "viewer/main_window.h"
#include "viewer/recent_recorders.h"
#include "viewer/reconnect_policy.h"
#include "viewer/recorder_tab.h"
#include "window/control_window.h"

namespace zarvion::viewer {
namespace {

using testing::WaitUntil;
using State = RecorderTab::State;

const int kSlow = zarvion::testing::kSlowdown;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::unique_ptr<dvrsim::Server> StartRecorder(uint16_t port = 0, const char* login = nullptr) {
  dvrsim::Options options;
  options.port = port;
  options.fps = 10;
  options.gop = 10;
  if (login) options.login = login;
  auto server = std::make_unique<dvrsim::Server>(options);
  if (!server->Start()) return nullptr;
  return server;
}

int Logins(const dvrsim::Server& server) {
  int n = 0;
  for (const auto& m : server.Messages()) n += m.header.code == kLogin;
  return n;
}

// The colour at the middle of each of the 16 panes of a tab's control.
std::vector<QRgb> PaneColours(RecorderTab& tab) {
  const QImage image = tab.Window()->grab().toImage();
  const int paneW = image.width() / 4;
  const int paneH = (image.height() - 20) / 4;
  std::vector<QRgb> colours;
  for (int p = 0; p < 16; ++p) {
    colours.push_back(image.pixel((p % 4) * paneW + paneW / 4, (p / 4) * paneH + paneH * 2 / 3));
  }
  return colours;
}

bool AllPanesWithoutSignal(RecorderTab& tab) {
  for (QRgb c : PaneColours(tab)) {
    if (c != qRgb(0, 0, 200)) return false;
  }
  return true;
}

// True once pictures show and keep changing, i.e. frames keep arriving.
bool PicturesMove(RecorderTab& tab, int timeoutMs) {
  if (!WaitUntil([&] { return !AllPanesWithoutSignal(tab); }, timeoutMs)) return false;
  const QImage before = tab.Window()->grab().toImage();
  return WaitUntil([&] { return tab.Window()->grab().toImage() != before; }, timeoutMs);
}

Recorder At(const dvrsim::Server& server, const std::string& login = "user") {
  Recorder r;
  r.host = "127.0.0.1";
  r.port = server.Port();
  r.login = login;
  return r;
}

class ViewerTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteKey(Hive::kCurrentUser, kViewerKey); }
};

// ---- reconnect policy ------------------------------------------------------

TEST(ReconnectPolicy, DoublesUpToThirtyAndStartsOverAfterAStableSession) {
  ReconnectPolicy p;
  std::vector<int> delays;
  for (int i = 0; i < 8; ++i) delays.push_back(p.AfterFailedConnect());
  EXPECT_EQ(delays, (std::vector<int>{1, 2, 4, 8, 16, 30, 30, 30}));
  // A short session is part of the same outage.
  EXPECT_EQ(p.AfterSessionEnded(std::chrono::seconds(5)), 30);
  EXPECT_EQ(p.AfterSessionEnded(std::chrono::seconds(30)), 1);
  EXPECT_EQ(p.AfterFailedConnect(), 2);
  p.Reset();
  EXPECT_EQ(p.AfterFailedConnect(), 1);
}

// ---- connect dialog --------------------------------------------------------

TEST(ConnectDialog, ExplainsBadInputAndKeepsOkDisabled) {
  ConnectDialog dialog;
  dialog.show();
  EXPECT_FALSE(dialog.OkButton()->isEnabled());  // nothing entered yet
  EXPECT_TRUE(dialog.Message()->text().isEmpty());
  dialog.Port()->setText("9000");
  for (const char* bad : {"localhost", "1.2.3", "1.2.3.256", "1.2.3.4.5", "1..2.3", "a.b.c.d"}) {
    dialog.Address()->setText(QString::fromUtf8(bad));
    EXPECT_FALSE(dialog.OkButton()->isEnabled()) << bad;
    EXPECT_FALSE(dialog.Message()->text().isEmpty()) << bad;
  }
  dialog.Address()->setText("192.168.1.10");
  EXPECT_TRUE(dialog.OkButton()->isEnabled());
  EXPECT_TRUE(dialog.Message()->text().isEmpty());
  for (const char* bad : {"0", "65536", "-1", "80a", "99999"}) {
    dialog.Port()->setText(bad);
    EXPECT_FALSE(dialog.OkButton()->isEnabled()) << bad;
    EXPECT_FALSE(dialog.Message()->text().isEmpty()) << bad;
  }
  for (const char* good : {"1", "65535"}) {
    dialog.Port()->setText(good);
    EXPECT_TRUE(dialog.OkButton()->isEnabled()) << good;
  }
}

TEST(ConnectDialog, TypedAsAPersonAddressTabPortTabLoginEnter) {
  ConnectDialog dialog;
  dialog.show();
  dialog.activateWindow();
  ASSERT_TRUE(WaitUntil([&] { return dialog.Address()->hasFocus(); }, 2000));
  QTest::keyClicks(QApplication::focusWidget(), "10.0.0.7");
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  QTest::keyClicks(QApplication::focusWidget(), "8123");
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  QTest::keyClicks(QApplication::focusWidget(), "guard 7");
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), dialog.OkButton());
  QTest::keyClick(dialog.Login(), Qt::Key_Return);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  const Recorder r = dialog.Entered();
  EXPECT_EQ(r.host, "10.0.0.7");
  EXPECT_EQ(r.port, 8123);
  EXPECT_EQ(r.login, "guard 7");
  EXPECT_FALSE(r.rememberLogin);
}

// ---- remembered recorders --------------------------------------------------

TEST_F(ViewerTest, RemembersTheLastTenMostRecentFirstAndALoginOnlyWhenAsked) {
  for (int i = 1; i <= 12; ++i) {
    Recorder r;
    r.host = "10.0.0." + std::to_string(i);
    r.port = 9000;
    r.login = "secret" + std::to_string(i);
    r.rememberLogin = i == 11;
    ASSERT_TRUE(RememberRecorder(r));
  }
  Recorder again;
  again.host = "10.0.0.5";
  again.port = 9000;
  ASSERT_TRUE(RememberRecorder(again));
  const std::vector<Recorder> recent = LoadRecent();
  ASSERT_EQ(recent.size(), kMaxRecent);
  EXPECT_EQ(recent[0].host, "10.0.0.5");
  EXPECT_EQ(recent[1].host, "10.0.0.12");
  EXPECT_EQ(recent[2].host, "10.0.0.11");
  EXPECT_TRUE(recent[2].rememberLogin);
  EXPECT_EQ(recent[2].login, "secret11");
  EXPECT_FALSE(recent[1].rememberLogin);
  EXPECT_TRUE(recent[1].login.empty());
  EXPECT_EQ(recent[9].host, "10.0.0.3");  // 1 and 2 dropped, 5 moved up

  const std::string hive = ReadFile(HiveFilePath(Hive::kCurrentUser));
  EXPECT_NE(hive.find("secret11"), std::string::npos);
  EXPECT_EQ(hive.find("secret12"), std::string::npos);
  EXPECT_EQ(hive.find("secret1\""), std::string::npos);
  struct stat st {};
  ASSERT_EQ(stat(HiveFilePath(Hive::kCurrentUser).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// ---- the main window against the simulator ---------------------------------

TEST_F(ViewerTest, DialogConnectsRemembersAndTheRecentEntryConnectsAgain) {
  auto server = StartRecorder();
  ASSERT_TRUE(server);
  MainWindow window;
  window.show();
  ConnectDialog* dialog = window.ShowConnectDialog();
  ASSERT_TRUE(dialog);
  dialog->Address()->setText("127.0.0.1");
  dialog->Port()->setText(QString::number(server->Port()));
  dialog->Login()->setText("guard-pass");
  QTest::mouseClick(dialog->OkButton(), Qt::LeftButton);

  RecorderTab* tab = window.CurrentTab();
  ASSERT_TRUE(tab);
  ASSERT_TRUE(WaitUntil([&] { return Logins(*server) == 1; }, 5000 * kSlow));
  ASSERT_TRUE(WaitUntil([&] { return tab->CurrentState() == State::kLive; }, 5000 * kSlow));
  EXPECT_TRUE(window.windowTitle().contains(QString::fromUtf8("已连接")));
  EXPECT_TRUE(tab->BannerText().isEmpty());
  EXPECT_FALSE(tab->Banner()->isVisible());

  // Remembered under the viewer's own key, without the login parameter.
  const std::vector<Recorder> recent = LoadRecent();
  ASSERT_EQ(recent.size(), 1u);
  EXPECT_EQ(recent[0].port, server->Port());
  const std::string hive = ReadFile(HiveFilePath(Hive::kCurrentUser));
  EXPECT_NE(hive.find("ZarvionViewer\\Recent"), std::string::npos);
  EXPECT_EQ(hive.find("guard-pass"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(stat(HiveFilePath(Hive::kCurrentUser).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  ASSERT_EQ(window.RecentMenu()->actions().size(), 1);
  QAction* entry = window.RecentMenu()->actions()[0];
  EXPECT_EQ(entry->text(), QString("127.0.0.1:%1").arg(server->Port()));
  window.DisconnectCurrent();
  EXPECT_EQ(tab->CurrentState(), State::kDisconnected);
  EXPECT_TRUE(AllPanesWithoutSignal(*tab));
  entry->trigger();
  EXPECT_EQ(window.Tabs()->count(), 1);
  ASSERT_TRUE(WaitUntil([&] { return Logins(*server) == 2; }, 5000 * kSlow));
  ASSERT_TRUE(WaitUntil([&] { return tab->CurrentState() == State::kLive; }, 5000 * kSlow));
}

TEST_F(ViewerTest, TickedLoginIsRemembered) {
  MainWindow window;
  ConnectDialog* dialog = window.ShowConnectDialog();
  dialog->Address()->setText("127.0.0.1");
  dialog->Port()->setText("1");
  dialog->Login()->setText("keep-me");
  dialog->RememberLogin()->setChecked(true);
  dialog->accept();
  const std::vector<Recorder> recent = LoadRecent();
  ASSERT_EQ(recent.size(), 1u);
  EXPECT_EQ(recent[0].login, "keep-me");
  // The next dialog starts from it.
  window.CurrentTab()->Disconnect();
  ConnectDialog* next = window.ShowConnectDialog();
  EXPECT_EQ(next->Login()->text(), "keep-me");
  EXPECT_TRUE(next->RememberLogin()->isChecked());
}

TEST_F(ViewerTest, RefusedConnectSaysWhyAndRetries) {
  auto probe = StartRecorder();
  ASSERT_TRUE(probe);
  const uint16_t port = probe->Port();
  probe.reset();  // nothing listens there now
  RecorderTab tab;
  tab.show();
  Recorder r;
  r.host = "127.0.0.1";
  r.port = port;
  tab.Connect(r);
  ASSERT_TRUE(WaitUntil([&] { return tab.CurrentState() == State::kWaiting; }, 5000 * kSlow))
      << tab.StateText().toStdString();
  EXPECT_TRUE(tab.BannerText().startsWith(
      QString::fromUtf8("无法连接 127.0.0.1:%1：连接被拒绝，").arg(port)))
      << tab.BannerText().toStdString();
  EXPECT_TRUE(tab.BannerText().endsWith(QString::fromUtf8("秒后重试")));
  EXPECT_TRUE(tab.Banner()->isVisible());
  // It tries again by itself: a recorder that appears is picked up.
  auto server = StartRecorder(port);
  ASSERT_TRUE(server);
  ASSERT_TRUE(WaitUntil([&] { return tab.CurrentState() == State::kLive; }, 8000 * kSlow));
  EXPECT_GE(Logins(*server), 1);
}

TEST_F(ViewerTest, LostSessionShowsNoSignalAndComesBackLiveByItself) {
  auto server = StartRecorder();
  ASSERT_TRUE(server);
  const uint16_t port = server->Port();
  RecorderTab tab;
  tab.resize(800, 640);
  tab.show();
  tab.Connect(At(*server));
  ASSERT_TRUE(WaitUntil([&] { return tab.CurrentState() == State::kLive; }, 5000 * kSlow));
  ASSERT_TRUE(PicturesMove(tab, 5000 * kSlow));

  server.reset();
  ASSERT_TRUE(WaitUntil([&] { return tab.CurrentState() == State::kWaiting; }, 3000 * kSlow));
  EXPECT_EQ(tab.BannerText(), QString::fromUtf8("连接中断，正在重连…"));
  EXPECT_TRUE(tab.Banner()->isVisible());
  EXPECT_TRUE(tab.StateText().contains(QString::fromUtf8("录像机关闭了连接")));
  ASSERT_TRUE(WaitUntil([&] { return AllPanesWithoutSignal(tab); }, 2000 * kSlow));

  server = StartRecorder(port);
  ASSERT_TRUE(server);
  ASSERT_TRUE(WaitUntil([&] { return tab.CurrentState() == State::kLive; }, 8000 * kSlow));
  EXPECT_EQ(tab.Sessions(), 2);
  EXPECT_TRUE(PicturesMove(tab, 5000 * kSlow));
  EXPECT_FALSE(tab.Banner()->isVisible());
}

TEST_F(ViewerTest, TwoRecordersInTwoTabsAndClosingOneLeavesTheOther) {
  auto first = StartRecorder();
  auto second = StartRecorder();
  ASSERT_TRUE(first && second);
  MainWindow window;
  window.show();
  RecorderTab* a = window.OpenRecorder(At(*first));
  RecorderTab* b = window.OpenRecorder(At(*second));
  ASSERT_NE(a, b);
  ASSERT_EQ(window.Tabs()->count(), 2);
  ASSERT_TRUE(WaitUntil(
      [&] { return a->CurrentState() == State::kLive && b->CurrentState() == State::kLive; },
      5000 * kSlow));
  EXPECT_EQ(window.Tabs()->tabText(0), QString("127.0.0.1:%1").arg(first->Port()));
  ASSERT_TRUE(PicturesMove(*b, 5000 * kSlow));
  window.Tabs()->setCurrentIndex(0);
  ASSERT_TRUE(PicturesMove(*a, 5000 * kSlow));

  window.CloseTab(0);  // returns once a's connection thread is joined
  EXPECT_EQ(window.Tabs()->count(), 1);
  EXPECT_TRUE(WaitUntil([&] { return first->ConnectedClients() == 0; }, 5000 * kSlow));
  EXPECT_EQ(window.CurrentTab(), b);
  EXPECT_EQ(b->CurrentState(), State::kLive);
  EXPECT_TRUE(PicturesMove(*b, 5000 * kSlow));
  EXPECT_EQ(second->ConnectedClients(), 1);

  // The open tab is what the next start restores.
  const std::vector<Recorder> open = LoadOpenTabs();
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(open[0].port, second->Port());
}

TEST_F(ViewerTest, OpenTabsAreRestored) {
  {
    MainWindow window;
    Recorder r;
    r.host = "127.0.0.1";
    r.port = 1;
    window.OpenRecorder(r);
    r.port = 2;
    window.OpenRecorder(r);
  }
  MainWindow next;
  ASSERT_TRUE(next.RestoreTabs());
  ASSERT_EQ(next.Tabs()->count(), 2);
  EXPECT_EQ(next.Tab(0)->Target()->port, 1);
  EXPECT_EQ(next.Tab(1)->Target()->port, 2);
}

TEST_F(ViewerTest, F11TogglesFullScreenAndEscLeavesIt) {
  MainWindow window;
  window.NewTab();
  window.show();
  window.activateWindow();
  ASSERT_TRUE(WaitUntil([&] { return window.isActiveWindow(); }, 2000));
  QTest::keyClick(&window, Qt::Key_F11);
  EXPECT_TRUE(window.windowState() & Qt::WindowFullScreen);
  EXPECT_FALSE(window.Tabs()->tabBar()->isVisible());
  QTest::keyClick(&window, Qt::Key_Escape);
  EXPECT_FALSE(window.windowState() & Qt::WindowFullScreen);
  EXPECT_TRUE(window.Tabs()->tabBar()->isVisible());
  QTest::keyClick(&window, Qt::Key_F11);
  QTest::keyClick(&window, Qt::Key_F11);
  EXPECT_FALSE(window.windowState() & Qt::WindowFullScreen);
}

TEST(QtTexts, QtsOwnTextsAreChinese) {
  ASSERT_TRUE(LoadQtTranslations(*qApp)) << "the Qt zh_CN translations are not installed";
  EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QString::fromUtf8("取消"));
  EXPECT_EQ(QCoreApplication::translate("QFileDialog", "Directory:"), QString::fromUtf8("目录："));
}

}  // namespace
}  // namespace zarvion::viewer
