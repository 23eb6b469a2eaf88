// One tab against the simulator: a refused connect says why, a lost feed
// never looks live, and both come back by themselves.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>
#include <QLabel>
#include <QPushButton>

#include <sstream>

#include "platform/socket.h"
#include "viewer/login_source.h"
#include "viewer_test_util.h"

namespace zarvion::viewer {
namespace {

using namespace test;

// A tab live on `server`, its pictures moving.
void GoLive(RecorderTab& tab, const dvrsim::Server& server) {
  tab.resize(800, 640);
  tab.show();
  tab.Connect(At(server));
  ASSERT_TRUE(WaitUntil([&] { return tab.CurrentState() == State::kLive; }, 5000 * kSlow));
  ASSERT_TRUE(PicturesMove(tab, 5000 * kSlow));
  EXPECT_FALSE(tab.Banner()->isVisible());
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
  // The simulator logs a login once it has answered it, so the viewer may
  // already be live when the log shows it.
  EXPECT_TRUE(WaitUntil([&] { return Logins(*server) >= 1; }, 2000 * kSlow));
}

TEST_F(ViewerTest, LostSessionShowsNoSignalAndComesBackLiveByItself) {
  auto server = StartRecorder();
  ASSERT_TRUE(server);
  const uint16_t port = server->Port();
  RecorderTab tab;
  GoLive(tab, *server);
  if (HasFatalFailure()) return;

  server.reset();
  ASSERT_TRUE(WaitUntil([&] { return tab.CurrentState() == State::kWaiting; }, 3000 * kSlow));
  // The session showed pictures: the next try is a second away.
  EXPECT_EQ(tab.BannerText(), QString::fromUtf8("连接中断，正在重连… 1 秒后重试"));
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

// The banner counts the wait down second by second, and a session that
// showed pictures starts the delays over however short it was.
TEST_F(ViewerTest, TheWaitCountsDownAndStartsOverAfterPictures) {
  auto probe = StartRecorder();
  ASSERT_TRUE(probe);
  const uint16_t port = probe->Port();
  probe.reset();
  RecorderTab tab;
  tab.resize(800, 640);
  tab.show();
  tab.SetReconnectPolicy(ReconnectPolicy(std::chrono::seconds(3)));
  std::vector<int> counted;  // the seconds the banner showed, in order
  QObject::connect(&tab, &RecorderTab::Changed, [&] {
    const QString text = tab.BannerText();
    const int end = text.lastIndexOf(QString::fromUtf8(" 秒后重试"));
    if (tab.CurrentState() != State::kWaiting || end < 0) return;
    const int start = text.lastIndexOf(QString::fromUtf8("，"), end) + 1;
    const int seconds = text.mid(start, end - start).toInt();
    if (counted.empty() || counted.back() != seconds) counted.push_back(seconds);
  });
  Recorder r;
  r.host = "127.0.0.1";
  r.port = port;
  tab.Connect(r);
  ASSERT_TRUE(WaitUntil([&] { return tab.CurrentState() == State::kWaiting; }, 5000 * kSlow));
  EXPECT_TRUE(tab.RetryButton()->isVisible());
  auto server = StartRecorder(port);
  ASSERT_TRUE(server);
  ASSERT_TRUE(WaitUntil([&] { return tab.CurrentState() == State::kLive; }, 8000 * kSlow));
  // Whole seconds left, from the first delay down; a busy machine may show a
  // second late, never one out of order.
  ASSERT_FALSE(counted.empty());
  EXPECT_EQ(counted.front(), 3);
  EXPECT_GE(counted.back(), 1);
  EXPECT_TRUE(std::is_sorted(counted.rbegin(), counted.rend()) &&
              std::adjacent_find(counted.begin(), counted.end()) == counted.end())
      << ::testing::PrintToString(counted);
  EXPECT_FALSE(tab.RetryButton()->isVisible());

  ASSERT_TRUE(PicturesMove(tab, 5000 * kSlow));
  server.reset();
  ASSERT_TRUE(WaitUntil([&] { return tab.CurrentState() == State::kWaiting; }, 3000 * kSlow));
  // The first delay again (3 s), not the doubled one the failed connect left.
  const QString banner = tab.BannerText();
  const QString prefix = QString::fromUtf8("连接中断，正在重连… ");
  const QString suffix = QString::fromUtf8(" 秒后重试");
  ASSERT_TRUE(banner.startsWith(prefix) && banner.endsWith(suffix)) << banner.toStdString();
  const int left = banner.mid(prefix.size(), banner.size() - prefix.size() - suffix.size()).toInt();
  EXPECT_TRUE(left >= 1 && left <= 3) << banner.toStdString();
}

// A recorder that stays connected but stops sending: the pictures on screen
// are marked as old within seconds, and the mark goes when frames come
// again, without a reconnect.
TEST_F(ViewerTest, AConnectedRecorderThatStopsSendingIsMarkedStalled) {
  auto server = StartRecorder();
  ASSERT_TRUE(server);
  RecorderTab tab;
  GoLive(tab, *server);
  if (HasFatalFailure()) return;

  ASSERT_TRUE(server->Command("pause"));
  ASSERT_TRUE(WaitUntil([&] { return tab.Banner()->isVisible(); }, 6000 * kSlow));
  EXPECT_TRUE(tab.BannerText().startsWith(QString::fromUtf8("画面已停止：")))
      << tab.BannerText().toStdString();
  EXPECT_TRUE(tab.BannerText().endsWith(QString::fromUtf8(" 秒未收到视频")));
  // The banner speaks for every pane: none gets a mark of its own.
  for (int c = 0; c < 16; ++c) EXPECT_FALSE(tab.PaneMark(c) && tab.PaneMark(c)->isVisible());
  EXPECT_TRUE(tab.StateText().contains(QString::fromUtf8("秒未收到视频")));
  EXPECT_EQ(tab.CurrentState(), State::kLive);

  ASSERT_TRUE(server->Command("resume"));
  ASSERT_TRUE(WaitUntil([&] { return !tab.Banner()->isVisible(); }, 3000 * kSlow));
  EXPECT_TRUE(PicturesMove(tab, 5000 * kSlow));
  EXPECT_EQ(tab.Sessions(), 1);
  EXPECT_EQ(Logins(*server), 1);
  EXPECT_FALSE(server->Command("pause now"));
}

// One camera stops while the others go on: its pane, and only its pane, is
// marked, the recorder's banner stays away, and the mark goes when the
// channel sends again. The camera stops before the tab has first looked at
// the session: its pictures from before that look count too.
TEST_F(ViewerTest, AChannelThatStopsWhileOthersGoOnIsMarkedOnItsPane) {
  auto server = StartRecorder();
  ASSERT_TRUE(server);
  RecorderTab tab;
  tab.resize(800, 640);
  tab.show();
  tab.Connect(At(*server));
  // Everything but timers runs: the session starts and pictures come, but
  // the tab's poll has not looked yet.
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500 * kSlow);
  while (std::chrono::steady_clock::now() < end) {
    QCoreApplication::processEvents(QEventLoop::X11ExcludeTimers, 5);
    QThread::msleep(2);
  }
  ASSERT_TRUE(server->Command("pause 2"));
  ASSERT_TRUE(WaitUntil([&] { return tab.CurrentState() == State::kLive; }, 5000 * kSlow));
  EXPECT_FALSE(server->Command("pause 17"));
  EXPECT_FALSE(server->Command("pause two"));

  auto marked = [&](int c) { return tab.PaneMark(c) && tab.PaneMark(c)->isVisible(); };
  ASSERT_TRUE(WaitUntil([&] { return marked(1); }, 6000 * kSlow));
  EXPECT_TRUE(tab.PaneMark(1)->text().startsWith(QString::fromUtf8("画面已停止 ")));
  for (int c : {0, 2, 5, 15}) EXPECT_FALSE(marked(c)) << c;
  EXPECT_FALSE(tab.Banner()->isVisible());
  EXPECT_TRUE(tab.StateText().endsWith(QString::fromUtf8("1 路画面已停止")))
      << tab.StateText().toStdString();
  // Over the second pane of the top row.
  const QRect mark = tab.PaneMark(1)->geometry();
  const QRect pane(tab.Window()->mapTo(&tab, QPoint(tab.Window()->width() / 4, 0)),
                   QSize(tab.Window()->width() / 4, (tab.Window()->height() - 20) / 4));
  EXPECT_TRUE(pane.adjusted(-2, -2, 2, 2).contains(mark)) << mark.x() << "," << mark.y();

  ASSERT_TRUE(server->Command("resume 2"));
  ASSERT_TRUE(WaitUntil([&] { return !marked(1); }, 3000 * kSlow));
  EXPECT_EQ(tab.StateText(), QString::fromUtf8("已连接 %1").arg(tab.Title()));
  EXPECT_EQ(tab.Sessions(), 1);
}

TEST_F(ViewerTest, ConnectThatHangsIsGivenUpAsTimedOut) {
  // A listener whose backlog is full drops further connection requests, so
  // a connect to it stays pending until someone gives up.
  const int full = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(full, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(full, 0), 0);
  ASSERT_EQ(getsockname(full, reinterpret_cast<sockaddr*>(&a), &len), 0);
  const uint16_t port = ntohs(a.sin_port);
  Socket filler = Socket::Create(SOCK_STREAM);
  ASSERT_TRUE(filler.Connect("127.0.0.1", port, nullptr, 1000));
  RecorderTab tab(nullptr, std::chrono::milliseconds(300));
  tab.show();
  Recorder r;
  r.host = "127.0.0.1";
  r.port = port;
  tab.Connect(r);
  ASSERT_TRUE(WaitUntil([&] { return tab.CurrentState() == State::kWaiting; }, 5000 * kSlow))
      << tab.StateText().toStdString();
  EXPECT_TRUE(tab.BannerText().contains(QString::fromUtf8("连接超时")))
      << tab.BannerText().toStdString();
  // And it keeps trying.
  EXPECT_TRUE(WaitUntil([&] { return tab.CurrentState() == State::kConnecting; }, 5000 * kSlow));
  close(full);
}

// A tab holding a login parameter leaves no core file behind; one without
// changes nothing.
TEST_F(ViewerTest, ALoginMakesTheProcessNotDumpable) {
  auto server = StartRecorder();
  ASSERT_TRUE(server);
  ASSERT_EQ(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 1);
  RecorderTab plain;
  plain.Connect(At(*server, ""));
  EXPECT_EQ(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 1);
  RecorderTab withLogin;
  Recorder r = At(*server);
  r.login = "user=guest;pass=x";
  withLogin.Connect(r);
  EXPECT_EQ(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 0);
}

TEST(LoginLine, FirstLineWithoutItsEndAndNoLongerThanTheLimit) {
  auto read = [](const std::string& text) {
    std::istringstream in(text);
    return ReadLoginLine(in);
  };
  EXPECT_EQ(read("a b=c\r\nnext\n"), "a b=c");
  EXPECT_EQ(read("no end"), "no end");
  EXPECT_EQ(read(""), "");
  EXPECT_EQ(read(std::string(kMaxLoginBytes, 'x') + "\n"), std::string(kMaxLoginBytes, 'x'));
  EXPECT_EQ(read(std::string(kMaxLoginBytes + 1, 'x')), std::nullopt);
}

}  // namespace
}  // namespace zarvion::viewer
