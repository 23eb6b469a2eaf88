// Recorders given by host name: what counts as a name, the lookup, and the
// connect dialog and a tab that resolve one against the simulator.
#include <gtest/gtest.h>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>

#include "viewer/connect_dialog.h"
#include "viewer/host_resolver.h"
#include "viewer/main_window.h"
#include "viewer_test_util.h"

namespace zarvion::viewer {
namespace {

using namespace test;

TEST(HostNames, DigitsAndDotsAreAnAddressNeverAName) {
  for (const char* text : {"127.0.0.1", "127.000.000.001", "1.2.3", "1.2.3.256", "10", "..."}) {
    EXPECT_TRUE(LooksLikeAddress(text)) << text;
    EXPECT_FALSE(IsHostName(text)) << text;
  }
  for (const char* name : {"localhost", "recorder-7", "cam1.site.example", "cam1.site.example.",
                           "1.2.3.x", "3com.example", "a"}) {
    EXPECT_FALSE(LooksLikeAddress(name)) << name;
    EXPECT_TRUE(IsHostName(name)) << name;
  }
  const QString longLabel(64, 'a');
  const QString longName = (QString(60, 'a') + '.').repeated(5);  // 305 characters
  for (const QString& bad : {QString(""), QString("-cam.example"), QString("cam-.example"),
                             QString("a..b"), QString(".a"), QString("a b"), QString("cam_1"),
                             QString("a:80"), QString("录像机.example"), longLabel, longName}) {
    EXPECT_FALSE(IsHostName(bad)) << bad.toStdString();
  }
  EXPECT_TRUE(IsHostName(QString(63, 'a') + ".example"));
}

TEST(HostResolver, GivesAnIpv4AddressOrAReasonAndNothingOnceCancelled) {
  HostResolver resolver;
  QSignalSpy spy(&resolver, &HostResolver::Resolved);
  resolver.Resolve("localhost");
  EXPECT_TRUE(resolver.Busy());
  ASSERT_TRUE(WaitUntil([&] { return spy.count() == 1; }, 10000 * kSlow));
  EXPECT_EQ(spy[0][0].toString(), "localhost");
  EXPECT_TRUE(spy[0][1].toString().startsWith("127.")) << spy[0][1].toString().toStdString();
  EXPECT_TRUE(spy[0][2].toString().isEmpty());
  EXPECT_FALSE(resolver.Busy());

  resolver.Resolve("no-such-recorder.invalid");
  ASSERT_TRUE(WaitUntil([&] { return spy.count() == 2; }, 10000 * kSlow));
  EXPECT_TRUE(spy[1][1].toString().isEmpty());
  EXPECT_TRUE(spy[1][2].toString().contains("no-such-recorder.invalid"));

  // A lookup given up, or replaced by another, answers nothing.
  resolver.Resolve("no-such-recorder.invalid");
  resolver.Cancel();
  resolver.Resolve("localhost");
  ASSERT_TRUE(WaitUntil([&] { return spy.count() == 3; }, 10000 * kSlow));
  EXPECT_EQ(spy[2][0].toString(), "localhost");
  QTest::qWait(200);
  EXPECT_EQ(spy.count(), 3);
}

TEST_F(ViewerTest, DialogResolvesLocalhostAndTheTabShowsTheName) {
  auto server = StartRecorder();
  ASSERT_TRUE(server);
  MainWindow window;
  window.show();
  ConnectDialog* dialog = window.ShowConnectDialog();
  ASSERT_TRUE(dialog);
  dialog->Address()->setText("localhost");
  dialog->Port()->setText(QString::number(server->Port()));
  dialog->Login()->setText("user");
  ASSERT_TRUE(dialog->OkButton()->isEnabled());
  EXPECT_TRUE(dialog->Message()->text().isEmpty());
  QTest::mouseClick(dialog->OkButton(), Qt::LeftButton);

  ASSERT_TRUE(WaitUntil([&] { return window.OpenDialog() == nullptr; }, 10000 * kSlow));
  RecorderTab* tab = window.CurrentTab();
  ASSERT_TRUE(tab);
  ASSERT_TRUE(WaitUntil([&] { return tab->CurrentState() == State::kLive; }, 10000 * kSlow));
  // The recorder logs a request once it has answered it, so the viewer may be
  // live a moment before the login is in the log.
  EXPECT_TRUE(WaitUntil([&] { return Logins(*server) == 1; }, 2000 * kSlow));
  EXPECT_EQ(tab->Title(), QString("localhost:%1").arg(server->Port()));
  EXPECT_TRUE(window.Tabs()->tabText(window.Tabs()->currentIndex()).contains("localhost"));
  // The name is what is remembered, so the next try looks it up again.
  EXPECT_EQ(LoadRecent().at(0).host, "localhost");
}

TEST_F(ViewerTest, DialogSaysWhyANameDoesNotResolveAndDoesNotConnect) {
  MainWindow window;
  window.show();
  ConnectDialog* dialog = window.ShowConnectDialog();
  ASSERT_TRUE(dialog);
  dialog->Address()->setText("no-such-recorder.invalid");
  dialog->Port()->setText("9000");
  QTest::mouseClick(dialog->OkButton(), Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return dialog->OkButton()->isEnabled(); }, 10000 * kSlow));
  EXPECT_TRUE(dialog->Message()->text().contains("no-such-recorder.invalid"))
      << dialog->Message()->text().toStdString();
  EXPECT_EQ(window.OpenDialog(), dialog);  // still open, to correct the name
  EXPECT_EQ(dialog->result(), QDialog::Rejected);
  RecorderTab* tab = window.CurrentTab();
  EXPECT_TRUE(!tab || tab->CurrentState() == State::kIdle);
  EXPECT_TRUE(LoadRecent().empty());
}

TEST_F(ViewerTest, TabGivenANameConnectsToItsAddressAndRetriesOneThatDoesNotResolve) {
  auto server = StartRecorder();
  ASSERT_TRUE(server);
  RecorderTab tab;
  tab.show();
  Recorder r = At(*server);
  r.host = "localhost";
  tab.Connect(r);
  ASSERT_TRUE(WaitUntil([&] { return tab.CurrentState() == State::kLive; }, 10000 * kSlow));
  EXPECT_TRUE(tab.StateText().contains("localhost"));

  r.host = "no-such-recorder.invalid";
  tab.Connect(r);
  ASSERT_TRUE(WaitUntil([&] { return tab.CurrentState() == State::kWaiting; }, 10000 * kSlow));
  EXPECT_TRUE(tab.BannerText().contains("no-such-recorder.invalid"))
      << tab.BannerText().toStdString();
  EXPECT_EQ(Logins(*server), 1);
  // Disconnecting in the middle of a lookup leaves it disconnected.
  tab.Connect(r);
  tab.Disconnect();
  QTest::qWait(300);
  EXPECT_EQ(tab.CurrentState(), State::kDisconnected);
}

}  // namespace
}  // namespace zarvion::viewer
