// Alarms through the real main window against the simulator: what happens
// to a recorder and its cameras becomes rows of the event list, kept across
// a restart; alarms show on the strip and sound until acknowledged; a
// refused login and a flood of notices stay a few counted rows.
#include <algorithm>

#include <gtest/gtest.h>
#include <QAbstractItemModelTester>
#include <QComboBox>
#include <QElapsedTimer>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include "viewer/alarm_sound.h"
#include "viewer/alarm_strip.h"
#include "viewer/connect_dialog.h"
#include "viewer/event_dock.h"
#include "viewer/event_model.h"
#include "viewer/main_window.h"
#include "viewer_test_util.h"

namespace zarvion::viewer {
namespace {

using namespace test;

QString Utf8(const char* text) {
  return QString::fromUtf8(text);
}

MainWindowOptions InFile(const char* name) {
  MainWindowOptions options;
  options.remember = false;
  options.eventsPath = QString::fromStdString(zarvion::testing::TestHome()) + "/" + name;
  return options;
}

// The dock's row of `kind` (and channel), or -1.
int RowOf(const EventModel& model, EventKind kind, int channel = kNoChannel) {
  for (int row = 0; row < model.rowCount(); ++row) {
    if (model.At(row).kind == kind && model.At(row).channel == channel) return row;
  }
  return -1;
}

QString Cell(const EventModel& model, int row, int column) {
  return model.data(model.index(row, column)).toString();
}

// A recorder goes live, one camera stops and comes back, the recorder is
// lost: each is a row. The two alarms show on the strip with their count,
// the sound says once that it cannot play; "确认" and "全部确认" clear them;
// a double-click on a row brings its recorder's tab; a restart lists it all.
TEST_F(ViewerTest, ARecordersEventsAreListedAcknowledgedAndKept) {
  auto server = StartRecorder();
  ASSERT_TRUE(server);
  const MainWindowOptions options = InFile("events-kept.sqlite");
  const QString address = At(*server).Label();
  {
    MainWindow window(options);
    window.show();
    window.EventsAction()->trigger();
    ASSERT_TRUE(window.Dock()->isVisible());
    const EventModel& model = *window.Dock()->Model();
    RecorderTab* tab = window.OpenRecorder(At(*server));
    ASSERT_TRUE(
        WaitUntil([&] { return RowOf(model, EventKind::kRecorderConnected) >= 0; }, 5000 * kSlow));
    EXPECT_EQ(Cell(model, 0, EventModel::kRecorder), address);
    EXPECT_TRUE(window.Strip()->isHidden());

    ASSERT_TRUE(PicturesMove(*tab, 5000 * kSlow));
    ASSERT_TRUE(server->Command("pause 3"));
    ASSERT_TRUE(
        WaitUntil([&] { return RowOf(model, EventKind::kVideoLost, 2) >= 0; }, 8000 * kSlow));
    const int lost = RowOf(model, EventKind::kVideoLost, 2);
    EXPECT_EQ(Cell(model, lost, EventModel::kCamera), "CH 3");
    EXPECT_EQ(Cell(model, lost, EventModel::kWhat), Utf8("视频丢失"));
    EXPECT_TRUE(model.data(model.index(lost, 0), Qt::FontRole).value<QFont>().bold());
    ASSERT_TRUE(WaitUntil([&] { return window.Strip()->isVisible(); }, 2000 * kSlow));
    EXPECT_EQ(window.Strip()->Text()->text(),
              address + Utf8(" CH 3：视频丢失    1 个未确认的报警"));
    ASSERT_TRUE(server->Command("resume 3"));
    ASSERT_TRUE(
        WaitUntil([&] { return RowOf(model, EventKind::kVideoBack, 2) >= 0; }, 5000 * kSlow));
    EXPECT_FALSE(model.data(model.index(0, 0), Qt::FontRole).value<QFont>().bold());
    // Every camera at once is the recorder's video, not each camera's.
    const int rows = model.rowCount();
    ASSERT_TRUE(server->Command("pause"));
    ASSERT_TRUE(WaitUntil([&] { return RowOf(model, EventKind::kVideoLost) >= 0; }, 6000 * kSlow));
    ASSERT_TRUE(server->Command("resume"));
    ASSERT_TRUE(WaitUntil([&] { return RowOf(model, EventKind::kVideoBack) >= 0; }, 3000 * kSlow));
    EXPECT_EQ(model.rowCount(), rows + 2);
    window.Events().Acknowledge(model.At(RowOf(model, EventKind::kVideoLost)).id);

    server.reset();
    ASSERT_TRUE(
        WaitUntil([&] { return RowOf(model, EventKind::kRecorderLost) >= 0; }, 5000 * kSlow));
    EXPECT_TRUE(Cell(model, RowOf(model, EventKind::kRecorderLost), EventModel::kWhat)
                    .startsWith(Utf8("录像机连接中断：")));
    ASSERT_TRUE(
        WaitUntil([&] { return window.Events().UnacknowledgedAlarms() == 2; }, 2000 * kSlow));
    EXPECT_TRUE(
        WaitUntil([&] { return window.Strip()->Text()->text().endsWith(Utf8("2 个未确认的报警")); },
                  2000 * kSlow));
    // No audio device here: told once, and nothing waits for it.
    EXPECT_TRUE(window.Sound()->Failed());
    EXPECT_FALSE(window.Sound()->Playing());
    window.Events().Flush();
    const QList<Event> silent = window.Events().Query(
        {.recorder = std::nullopt, .kinds = {EventKind::kSoundUnavailable}});
    ASSERT_EQ(silent.size(), 1);
    EXPECT_EQ(silent[0].count, 1);

    // The strip's "确认" takes the alarm it names, the newest.
    QTest::mouseClick(window.Strip()->AcknowledgeButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return window.Strip()->Text()->text().contains(Utf8("视频丢失")); },
                          2000 * kSlow));
    EXPECT_EQ(window.Events().UnacknowledgedAlarms(), 1);
    EXPECT_TRUE(model.At(RowOf(model, EventKind::kRecorderLost)).Acknowledged());
    // The dock's "确认" takes the selected row.
    window.Dock()->View()->selectRow(RowOf(model, EventKind::kVideoLost, 2));
    QTest::mouseClick(window.Dock()->AcknowledgeButton(), Qt::LeftButton);
    ASSERT_TRUE(
        WaitUntil([&] { return window.Events().UnacknowledgedAlarms() == 0; }, 2000 * kSlow));
    EXPECT_TRUE(WaitUntil([&] { return window.Strip()->isHidden(); }, 1000 * kSlow));

    // A double-click on a row brings its recorder's tab to the front.
    window.NewTab();
    ASSERT_NE(window.CurrentTab(), tab);
    const QTableView* view = window.Dock()->View();
    const QRect cell = view->visualRect(model.index(RowOf(model, EventKind::kVideoLost, 2), 1));
    // As the pointer gives it: a click, then the second press as a double-click.
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, cell.center());
    EXPECT_EQ(window.CurrentTab(), tab);

    // The kind filter shows that kind only.
    QComboBox* kinds = window.Dock()->KindFilter();
    kinds->setCurrentIndex(kinds->findData(static_cast<int>(EventKind::kRecorderLost)));
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(model.At(0).kind, EventKind::kRecorderLost);
  }
  MainWindow again(options);
  const EventModel& model = *again.Dock()->Model();
  for (EventKind kind : {EventKind::kRecorderConnected, EventKind::kRecorderLost}) {
    EXPECT_GE(RowOf(model, kind), 0) << static_cast<int>(kind);
  }
  EXPECT_GE(RowOf(model, EventKind::kVideoLost, 2), 0);
  EXPECT_EQ(again.Events().UnacknowledgedAlarms(), 0);
  EXPECT_TRUE(again.Strip()->isHidden());
}

// Three refusals of the login are one row counting them, which says the
// retries stopped, and the strip's words bring its tab; a flood of notices
// is one row counting them all while the window goes on answering.
TEST_F(ViewerTest, RefusalsAndAFloodOfNoticesAreFewCountedRows) {
  auto refusing = StartRecorder(0, "right");
  auto talking = StartRecorder();
  ASSERT_TRUE(refusing && talking);
  MainWindow window(InFile("events-flood.sqlite"));
  window.show();
  RecorderTab* refused = window.OpenRecorder(At(*refusing, "wrong"));
  refused->SetReconnectPolicy(ReconnectPolicy(std::chrono::milliseconds(200)));
  RecorderTab* noisy = window.OpenRecorder(At(*talking));
  ASSERT_TRUE(WaitUntil([&] { return noisy->CurrentState() == State::kLive; }, 5000 * kSlow));
  ASSERT_TRUE(WaitUntil([&] { return refused->RetryStopped(); }, 5000 * kSlow));

  constexpr int kNotices = 10000;
  QElapsedTimer clock;
  clock.start();
  qint64 last = 0;
  qint64 longest = 0;
  QTimer beat;
  QObject::connect(&beat, &QTimer::timeout, [&] {
    longest = std::max(longest, clock.elapsed() - last);
    last = clock.elapsed();
  });
  beat.start(10);
  for (int i = 0; i < kNotices; ++i) {
    ASSERT_TRUE(talking->Command("notice " + std::to_string(i)));
    if (i % 500 == 0) QCoreApplication::processEvents();
  }
  const auto noticed = [&] {
    window.Events().Flush();
    const QList<Event> rows =
        window.Events().Query({.recorder = std::nullopt, .kinds = {EventKind::kServerNotice}});
    return rows.size() == 1 && rows[0].count == kNotices;
  };
  last = clock.elapsed();
  longest = 0;
  EXPECT_TRUE(WaitUntil(noticed, 10000 * kSlow));
  EXPECT_LT(longest, 500 * kSlow);
  const QList<Event> notices =
      window.Events().Query({.recorder = std::nullopt, .kinds = {EventKind::kServerNotice}});
  ASSERT_EQ(notices.size(), 1);
  EXPECT_EQ(notices[0].detail, QString::number(kNotices - 1));

  EXPECT_EQ(Logins(*refusing), 3);
  const QList<Event> refusals = window.Events().Query({.recorder = std::nullopt, .kinds = {EventKind::kLoginRefused}});
  ASSERT_EQ(refusals.size(), 1);
  EXPECT_EQ(refusals[0].count, 3);
  EXPECT_EQ(refusals[0].detail, Utf8("录像机拒绝了登录参数，已停止重试"));
  // Both recorders' rows, each once, in a list that has room for them all.
  EXPECT_LE(window.Dock()->Model()->rowCount(), 10);

  // The strip names the refusing recorder; a click on its words brings it.
  ASSERT_EQ(window.CurrentTab(), noisy);
  ASSERT_TRUE(WaitUntil([&] { return window.Strip()->isVisible(); }, 2000 * kSlow));
  EXPECT_TRUE(window.Strip()->Text()->text().startsWith(refused->Title()));
  QTest::mouseClick(window.Strip()->Text(), Qt::LeftButton);
  EXPECT_EQ(window.CurrentTab(), refused);

  // Trying the refused login again is no use: the banner's button asks for
  // another, in the connect dialog filled in with this recorder, and the
  // recorder comes live in its own tab.
  QPushButton* button = refused->RetryButton();
  ASSERT_TRUE(button->isVisible());
  EXPECT_EQ(button->text(), Utf8("更改登录…"));
  QTest::mouseClick(button, Qt::LeftButton);
  ConnectDialog* dialog = window.OpenDialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->Port()->text(), QString::number(refusing->Port()));
  EXPECT_TRUE(dialog->Login()->text().isEmpty());
  dialog->Login()->setText(QStringLiteral("right"));
  const int tabs = window.Tabs()->count();
  dialog->accept();
  EXPECT_TRUE(WaitUntil([&] { return refused->CurrentState() == State::kLive; }, 5000 * kSlow));
  EXPECT_EQ(window.Tabs()->count(), tabs);
  EXPECT_EQ(Logins(*refusing), 4);
}

// The list keeps the newest thousand rows, updates a row where it stands
// and passes only what its filter lets through.
TEST(EventModel, KeepsTheNewestRowsAndUpdatesThemInPlace) {
  EventModel model;
  int64_t id = 0;
  for (int batch = 0; batch < 3; ++batch) {
    QList<Event> rows;
    for (int i = 0; i < 600; ++i) {
      Event e;
      e.id = ++id;
      e.timeMs = 1000 * id;
      e.recorder = QStringLiteral("10.0.0.%1:7000").arg(id % 2);
      e.kind = id % 3 == 0 ? EventKind::kVideoLost : EventKind::kServerNotice;
      rows.push_back(e);
    }
    model.Add(rows);
  }
  ASSERT_EQ(model.rowCount(), EventModel::kMaxRows);
  EXPECT_EQ(model.At(0).id, id);
  EXPECT_EQ(model.At(EventModel::kMaxRows - 1).id, id - EventModel::kMaxRows + 1);

  Event again = model.At(5);
  again.count = 4;
  again.detail = QStringLiteral("x");
  model.Add({again});
  EXPECT_EQ(model.rowCount(), EventModel::kMaxRows);
  EXPECT_EQ(Cell(model, 5, EventModel::kWhat), Utf8("录像机消息：x ×4"));
  // A recorder's notice that looks like markup stays text in the tooltip too.
  again.detail = QStringLiteral("<img src=\"/etc/hostname\">");
  model.Add({again});
  const QString tip = model.data(model.index(5, EventModel::kWhat), Qt::ToolTipRole).toString();
  EXPECT_TRUE(tip.contains(QStringLiteral("&lt;img"))) << tip.toStdString();
  EXPECT_FALSE(tip.contains(QStringLiteral("<img"))) << tip.toStdString();
  model.MarkAcknowledged(model.At(9).id, 77);
  EXPECT_EQ(model.At(9).acknowledgedMs, 77);
  EXPECT_EQ(model.data(model.index(9, 0), Qt::DecorationRole).isNull(), true);

  model.SetFilter({.recorder = QStringLiteral("10.0.0.1:7000"), .kinds = {EventKind::kVideoLost}});
  Event other = model.At(0);
  other.id = ++id;
  other.recorder = QStringLiteral("10.0.0.0:7000");
  Event passing = other;
  passing.id = ++id;
  passing.recorder = QStringLiteral("10.0.0.1:7000");
  passing.kind = EventKind::kVideoLost;
  model.Add({other, passing});
  EXPECT_EQ(model.At(0).id, passing.id);
  EXPECT_EQ(model.At(1).id, id - 2);
}

// The list is in the order a query of the store gives after a restart,
// however the rows came: a motion written when it ends, with the time it
// began, goes in below what happened since; a repeat counted into an older
// row takes that row to the top.
TEST(EventModel, RowsStayInTimeOrderWhenTheyComeLateOrRepeat) {
  EventModel model;
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  auto event = [](int64_t id, int64_t timeMs) {
    Event e;
    e.id = id;
    e.timeMs = timeMs;
    e.kind = EventKind::kServerNotice;
    return e;
  };
  auto ids = [&] {
    std::vector<int64_t> out;
    for (int row = 0; row < model.rowCount(); ++row) out.push_back(model.At(row).id);
    return out;
  };
  model.Add({event(1, 1000), event(2, 2000), event(3, 3000)});
  Event motion = event(4, 1500);
  motion.kind = EventKind::kMotion;
  model.Add({event(5, 4000), motion});
  EXPECT_EQ(ids(), (std::vector<int64_t>{5, 3, 2, 4, 1}));

  Event repeat = model.At(3);  // the motion, ended again later
  repeat.timeMs = 5000;
  repeat.count = 2;
  Event acknowledged = model.At(1);
  acknowledged.acknowledgedMs = 4500;
  model.Add({repeat, acknowledged});
  EXPECT_EQ(ids(), (std::vector<int64_t>{4, 5, 3, 2, 1}));
  EXPECT_EQ(model.At(0).count, 2);
  EXPECT_EQ(model.At(2).acknowledgedMs, 4500);
  // Rows are still found by id after the moves.
  model.MarkAcknowledged(1, 6000);
  EXPECT_EQ(model.At(4).acknowledgedMs, 6000);
}

}  // namespace
}  // namespace zarvion::viewer
