// The main window as an operator meets it: connect from the dialog, the
// recent recorders, several recorders in tabs, tabs restored, full screen,
// Qt's own texts in Chinese, the language menu.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QPushButton>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include "mp43_test_frames.h"
#include "platform/avi_file.h"
#include "platform/registry.h"
#include "settings/settings_store.h"
#include "viewer/connect_dialog.h"
#include "viewer/language.h"
#include "viewer/main_window.h"
#include "viewer_test_util.h"
#include "window/window_layout.h"

namespace zarvion::viewer {
namespace {

using namespace test;

// A recorder that closes the session on our login is said to refuse it,
// tried three times and then left alone; "立即重连" in the menu makes one
// more try each, and another login connects.
TEST_F(ViewerTest, ARefusedLoginIsToldAndTriedThreeTimesOnly) {
  auto server = StartRecorder(0, "right");
  ASSERT_TRUE(server);
  MainWindow window(MainWindowOptions{.remember = false, .eventsPath = {}});
  window.show();
  EXPECT_FALSE(window.RetryAction()->isEnabled());
  RecorderTab* tab = window.OpenRecorder(At(*server, "wrong"));
  const auto firstDelay = std::chrono::milliseconds(300);
  tab->SetReconnectPolicy(ReconnectPolicy(firstDelay));
  const QString refused = QString::fromUtf8("录像机拒绝了登录参数");
  ASSERT_TRUE(WaitUntil([&] { return tab->BannerText().contains(refused); }, 5000 * kSlow))
      << tab->BannerText().toStdString();
  EXPECT_TRUE(window.windowTitle().contains(refused));
  EXPECT_FALSE(tab->StateText().contains(QString::fromUtf8("关闭了连接")));

  ASSERT_TRUE(WaitUntil([&] { return tab->RetryStopped(); }, 5000 * kSlow));
  EXPECT_EQ(Logins(*server), 3);
  EXPECT_TRUE(tab->BannerText().endsWith(refused + QString::fromUtf8("，已停止重试")))
      << tab->BannerText().toStdString();
  EXPECT_TRUE(tab->Banner()->isVisible());
  // Longer than the fourth delay would have been.
  QTest::qWait(static_cast<int>(firstDelay.count()) * 5);
  EXPECT_EQ(Logins(*server), 3);

  EXPECT_TRUE(window.RetryAction()->isEnabled());
  window.RetryAction()->trigger();
  ASSERT_TRUE(WaitUntil([&] { return Logins(*server) == 4 && tab->RetryStopped(); }, 5000 * kSlow));
  // The banner's button asks for another login by then (the alarm list's
  // test follows it); the menu tries the same one again.
  ASSERT_TRUE(tab->RetryButton()->isVisible());
  window.RetryAction()->trigger();
  ASSERT_TRUE(WaitUntil([&] { return Logins(*server) == 5 && tab->RetryStopped(); }, 5000 * kSlow));
  QTest::qWait(static_cast<int>(firstDelay.count()) * 2);
  EXPECT_EQ(Logins(*server), 5);

  window.OpenRecorder(At(*server, "right"));
  ASSERT_TRUE(WaitUntil([&] { return tab->CurrentState() == State::kLive; }, 5000 * kSlow));
  EXPECT_TRUE(WaitUntil([&] { return !window.RetryAction()->isEnabled(); }, 2000 * kSlow));
  EXPECT_FALSE(tab->RetryButton()->isVisible());
}

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
  // With the login parameter typed in this run, though the hive lacks it.
  std::string login;
  for (const auto& m : server->Messages()) {
    if (m.header.code == zarvion::kLogin) login = reinterpret_cast<const char*>(m.payload.data());
  }
  EXPECT_EQ(login, "guard-pass");
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

// Two recorders, each in a tab of one main window.
struct TwoTabs {
  std::unique_ptr<dvrsim::Server> first = StartRecorder();
  std::unique_ptr<dvrsim::Server> second = StartRecorder();
  MainWindow window;
  RecorderTab* a = nullptr;
  RecorderTab* b = nullptr;

  // Whether both recorders started and both tabs went live.
  bool Open() {
    if (!first || !second) return false;
    window.show();
    a = window.OpenRecorder(At(*first));
    b = window.OpenRecorder(At(*second));
    return a != b && window.Tabs()->count() == 2 &&
           WaitUntil(
               [&] {
                 return a->CurrentState() == State::kLive && b->CurrentState() == State::kLive;
               },
               5000 * kSlow);
  }
};

TEST_F(ViewerTest, TwoRecordersInTwoTabsAndClosingOneLeavesTheOther) {
  TwoTabs t;
  ASSERT_TRUE(t.Open());
  dvrsim::Server& first = *t.first;
  dvrsim::Server& second = *t.second;
  MainWindow& window = t.window;
  RecorderTab* const a = t.a;
  RecorderTab* const b = t.b;
  EXPECT_EQ(window.Tabs()->tabText(0), QString("127.0.0.1:%1").arg(first.Port()));
  ASSERT_TRUE(PicturesMove(*b, 5000 * kSlow));
  window.Tabs()->setCurrentIndex(0);
  ASSERT_TRUE(PicturesMove(*a, 5000 * kSlow));

  window.CloseTab(0);  // returns once a's connection thread is joined
  EXPECT_EQ(window.Tabs()->count(), 1);
  EXPECT_TRUE(WaitUntil([&] { return first.ConnectedClients() == 0; }, 5000 * kSlow));
  EXPECT_EQ(window.CurrentTab(), b);
  EXPECT_EQ(b->CurrentState(), State::kLive);
  EXPECT_TRUE(PicturesMove(*b, 5000 * kSlow));
  EXPECT_EQ(second.ConnectedClients(), 1);

  // The open tab is what the next start restores.
  const std::vector<Recorder> open = LoadOpenTabs();
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(open[0].port, second.Port());
}

// The dot in a tab's title: green only while all its pictures are live. A
// camera that stops in a tab the operator is not looking at turns it red,
// its tooltip says how many, and it turns green when the camera is back.
TEST_F(ViewerTest, ATabInTheBackgroundWhosePicturesStopIsNoLongerGreen) {
  TwoTabs t;
  ASSERT_TRUE(t.Open());
  QTabWidget* tabs = t.window.Tabs();
  auto dot = [&](int index) {
    return tabs->tabIcon(index).pixmap(12, 12).toImage().pixelColor(6, 6);
  };
  const QColor green(0, 170, 0), red(200, 0, 0);
  tabs->setCurrentIndex(0);
  ASSERT_TRUE(PicturesMove(*t.a, 5000 * kSlow));
  EXPECT_EQ(dot(1), green);

  ASSERT_TRUE(t.second->Command("pause 4"));
  ASSERT_TRUE(WaitUntil([&] { return dot(1) == red; }, 6000 * kSlow));
  EXPECT_TRUE(tabs->tabToolTip(1).endsWith(QString::fromUtf8("1 路画面已停止")))
      << tabs->tabToolTip(1).toStdString();
  EXPECT_EQ(dot(0), green);
  EXPECT_EQ(t.b->CurrentState(), State::kLive);

  ASSERT_TRUE(t.second->Command("resume 4"));
  EXPECT_TRUE(WaitUntil([&] { return dot(1) == green; }, 3000 * kSlow));
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

// The login of each Login message the recorder received, in order.
std::vector<std::string> LoginsSent(const dvrsim::Server& server) {
  std::vector<std::string> logins;
  for (const auto& m : server.Messages()) {
    if (m.header.code == zarvion::kLogin) {
      logins.emplace_back(reinterpret_cast<const char*>(m.payload.data()));
    }
  }
  return logins;
}

// The operator gives an open recorder another login through the dialog: its
// tab connects again with it, and the next start's tab uses the kept one.
TEST_F(ViewerTest, ANewLoginForAnOpenRecorderReconnectsItsTabAndIsRestored) {
  auto server = StartRecorder();
  ASSERT_TRUE(server);
  {
    MainWindow window;
    window.show();
    RecorderTab* tab = window.OpenRecorder(At(*server, "old-login"));
    ASSERT_TRUE(WaitUntil([&] { return tab->CurrentState() == State::kLive; }, 5000 * kSlow));
    ConnectDialog* dialog = window.ShowConnectDialog();
    dialog->Address()->setText("127.0.0.1");
    dialog->Port()->setText(QString::number(server->Port()));
    dialog->Login()->setText("new-login");
    dialog->RememberLogin()->setChecked(true);
    QTest::mouseClick(dialog->OkButton(), Qt::LeftButton);
    EXPECT_EQ(window.Tabs()->count(), 1);
    ASSERT_TRUE(WaitUntil([&] { return LoginsSent(*server).size() == 2; }, 5000 * kSlow));
    EXPECT_EQ(LoginsSent(*server)[1], "new-login");
    ASSERT_TRUE(WaitUntil([&] { return tab->CurrentState() == State::kLive; }, 5000 * kSlow));
    // The same login again leaves the live session alone.
    Recorder again = At(*server, "new-login");
    again.rememberLogin = true;
    window.OpenRecorder(again);
    EXPECT_EQ(tab->CurrentState(), State::kLive);
  }
  MainWindow next;
  ASSERT_TRUE(next.RestoreTabs());
  ASSERT_EQ(next.Tabs()->count(), 1);
  EXPECT_EQ(next.Tab(0)->Target()->login, "new-login");
  ASSERT_TRUE(WaitUntil([&] { return LoginsSent(*server).size() == 3; }, 5000 * kSlow));
  EXPECT_EQ(LoginsSent(*server)[2], "new-login");
}

// A tab saved while its login was not to be kept takes the one kept for its
// recorder later.
TEST_F(ViewerTest, ARestoredTabTakesTheLoginKeptForItsRecorder) {
  Recorder r;
  r.host = "127.0.0.1";
  r.port = 1;
  ASSERT_TRUE(SaveOpenTabs({r}));
  r.login = "kept";
  r.rememberLogin = true;
  ASSERT_TRUE(RememberRecorder(r));
  MainWindow window;
  ASSERT_TRUE(window.RestoreTabs());
  EXPECT_EQ(window.Tab(0)->Target()->login, "kept");
}

// The first dialog of a new user waits for the main window to be on the
// screen, and opens over its middle, owned by it.
TEST_F(ViewerTest, TheFirstConnectDialogOpensCentredOverTheMainWindow) {
  MainWindow window;
  window.NewTab();
  window.AskForRecorderWhenShown();
  EXPECT_EQ(window.OpenDialog(), nullptr);
  window.show();
  ASSERT_TRUE(WaitUntil([&] { return window.OpenDialog() && window.OpenDialog()->isVisible(); },
                        5000 * kSlow));
  ConnectDialog* dialog = window.OpenDialog();
  EXPECT_EQ(dialog->parentWidget(), &window);
  EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
  const QPoint off = dialog->frameGeometry().center() - window.frameGeometry().center();
  EXPECT_LE(off.manhattanLength(), 4) << off.x() << "," << off.y();
}

// A snapshot taken in a tab says in the status bar which file it went to.
TEST_F(ViewerTest, ASnapshotSaysWhereItWent) {
  auto server = StartRecorder();
  ASSERT_TRUE(server);
  MainWindow window;
  window.show();
  RecorderTab* tab = window.OpenRecorder(At(*server));
  ASSERT_TRUE(PicturesMove(*tab, 5000 * kSlow));
  ControlWindow* control = tab->Window();
  // The recorder shows channel 1 alone, which the capture button takes.
  ASSERT_TRUE(server->Command("view single 1"));
  ASSERT_TRUE(WaitUntil([&] { return control->Button(kIdCapture)->isEnabled(); }, 5000 * kSlow));
  control->Button(kIdCapture)->click();
  const QString said = QString::fromUtf8("抓图已保存：");
  ASSERT_TRUE(WaitUntil([&] { return window.statusBar()->currentMessage().startsWith(said); },
                        5000 * kSlow));
  const QString path = window.statusBar()->currentMessage().mid(said.size());
  EXPECT_TRUE(path.endsWith(".bmp")) << path.toStdString();
  EXPECT_TRUE(QFileInfo(path).isFile()) << path.toStdString();
  EXPECT_TRUE(QFileInfo(path).fileName().startsWith("CH01_")) << path.toStdString();
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

TEST_F(ViewerTest, LanguageMenuKeepsChineseByDefaultAndStoresAChoiceForTheNextStart) {
  // Chinese whatever the system's locale says.
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  EXPECT_EQ(LoadLanguage(), Language::kChinese);
  MainWindow window;
  QMenu* menu = window.LanguageMenu();
  ASSERT_TRUE(menu);
  EXPECT_EQ(menu->title(), QString::fromUtf8("语言 / Language"));
  ASSERT_EQ(menu->actions().size(), 2);
  EXPECT_EQ(menu->actions()[0]->text(), QString::fromUtf8("中文"));
  EXPECT_EQ(menu->actions()[1]->text(), QString("English"));
  EXPECT_TRUE(window.ChineseAction()->isChecked());
  EXPECT_FALSE(window.EnglishAction()->isChecked());
  EXPECT_EQ(window.EnglishAction()->statusTip(), QString::fromUtf8("下次启动查看器时生效"));
  EXPECT_TRUE(window.windowTitle().startsWith(QString::fromUtf8("Zarvion 查看器")));

  // A choice is stored at once under the viewer's key; the window keeps
  // its texts until the next start.
  window.EnglishAction()->trigger();
  EXPECT_TRUE(window.EnglishAction()->isChecked());
  EXPECT_FALSE(window.ChineseAction()->isChecked());
  EXPECT_EQ(LoadLanguage(), Language::kEnglish);
  std::string stored;
  ASSERT_TRUE(RegGetString(Hive::kCurrentUser, kViewerKey, kLanguageValue, &stored));
  EXPECT_EQ(stored, "en");
  EXPECT_TRUE(window.windowTitle().startsWith(QString::fromUtf8("Zarvion 查看器")));
  MainWindow next;
  EXPECT_TRUE(next.EnglishAction()->isChecked());

  window.ChineseAction()->trigger();
  EXPECT_EQ(LoadLanguage(), Language::kChinese);
  ASSERT_TRUE(RegGetString(Hive::kCurrentUser, kViewerKey, kLanguageValue, &stored));
  EXPECT_EQ(stored, "zh_CN");

  // Anything else stored is Chinese.
  ASSERT_TRUE(RegSetString(Hive::kCurrentUser, kViewerKey, kLanguageValue, "fr"));
  EXPECT_EQ(LoadLanguage(), Language::kChinese);
  ASSERT_TRUE(RegSetDword(Hive::kCurrentUser, kViewerKey, kLanguageValue, 1));
  EXPECT_EQ(LoadLanguage(), Language::kChinese);
  QLocale::setDefault(QLocale::system());
}

TEST(QtTexts, QtsOwnTextsAreChinese) {
  ASSERT_TRUE(LoadQtTranslations(*qApp)) << "the Qt zh_CN translations are not installed";
  EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QString::fromUtf8("取消"));
  EXPECT_EQ(QCoreApplication::translate("QFileDialog", "Directory:"), QString::fromUtf8("目录："));
}

TEST_F(ViewerTest, StatusBarShowsTheRepairOfRecordingsAtStart) {
  // A recording a kill left without index, in the record folder.
  const std::string folder = zarvion::testing::TestHome() + "/rec-status";
  ::mkdir(folder.c_str(), 0755);
  ASSERT_TRUE(RegSetString(Hive::kCurrentUser, kSettingsKey, kRecordDirValue, folder));
  const std::string path = folder + "/CLIENT_CH01_killed.avi";
  std::string bytes;
  {
    auto avi = AviFile::Open(path + ".writing", kOfCreate | kOfWrite);
    AviStream* stream = testing::CreateMp43Stream(*avi);
    ASSERT_TRUE(stream);
    const std::vector<uint8_t> frame(100, 0x40);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(stream->Write(i, 1, frame.data(), 100, 0));
    std::ifstream in(path + ".writing", std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
    avi->Discard();
  }
  std::ofstream(path, std::ios::binary) << bytes;

  MainWindow window;
  window.NewTab();  // as the viewer starts without tabs to restore
  window.show();
  EXPECT_TRUE(WaitUntil(
      [&] { return window.RepairStatus()->text() == QString::fromUtf8("录像检查完毕：修复 1 个"); },
      60000));
  EXPECT_GT(std::filesystem::file_size(path), bytes.size());
  // Its lines name whatever files lie in the folder: never read as markup.
  EXPECT_EQ(window.RepairStatus()->textFormat(), Qt::PlainText);
}

TEST_F(ViewerTest, TheCatalogueTakesInTheRecordAndSnapshotFoldersAtStart) {
  const std::string home = zarvion::testing::TestHome();
  const std::string record = home + "/cat-rec";
  const std::string shots = home + "/cat-shots";
  ::mkdir(record.c_str(), 0755);
  ::mkdir(shots.c_str(), 0755);
  ASSERT_TRUE(RegSetString(Hive::kCurrentUser, kSettingsKey, kRecordDirValue, record));
  ASSERT_TRUE(RegSetString(Hive::kCurrentUser, kSettingsKey, kCapDirValue, shots));
  {
    auto avi =
        AviFile::Open(record + "/EVENT_CH05_2026_03_01_10_00_00_000.avi", kOfCreate | kOfWrite);
    AviStream* stream = testing::CreateMp43Stream(*avi);
    ASSERT_TRUE(stream);
    const std::vector<uint8_t> frame(100, 0x00);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(stream->Write(i, 1, frame.data(), 100, 0x10));
  }
  std::ofstream(shots + "/CH05_2026_03_01_10_00_00_100.bmp") << "BM";

  MainWindowOptions options;
  options.remember = false;
  options.cataloguePath = QString::fromStdString(home + "/cat.sqlite");
  MainWindow window(options);
  EXPECT_EQ(window.Catalogue().Path(), options.cataloguePath);
  ASSERT_TRUE(WaitUntil([&] { return !window.Catalogue().Reconciling(); }, 20000 * kSlow));
  window.Catalogue().Flush();
  const std::vector<CatalogueEntry> entries = window.Catalogue().Entries(0, int64_t{1} << 50);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].kind, CatalogueKind::kEvent);
  EXPECT_EQ(entries[0].channel, 4);
  EXPECT_EQ(entries[0].frames, 3);
  EXPECT_EQ(entries[1].kind, CatalogueKind::kSnapshot);
  EXPECT_TRUE(WaitUntil([&] { return window.CatalogueStatus()->text().isEmpty(); }, 2000));
}

}  // namespace
}  // namespace zarvion::viewer
