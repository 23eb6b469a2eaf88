// The viewer's main window: a menu and toolbar to connect, disconnect and
// manage tabs, one tab per recorder, the recently used recorders, the state
// of the current tab in the title and status bar (with the progress of the
// repair of recordings at start-up), and full screen.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QMainWindow>
#include <QPointer>

#include "viewer/event_log.h"
#include "viewer/recent_recorders.h"
#include "viewer/recording_catalogue.h"

class QAction;
class QApplication;
class QLabel;
class QMenu;
class QShortcut;
class QTabWidget;
class QVBoxLayout;

namespace zarvion::viewer {

class AlarmSound;
class AlarmStrip;
class ConnectDialog;
class NameDialog;
class EventDock;
class RecorderTab;
class ReviewWindow;

// Loads Qt's own Chinese texts (standard buttons, the folder chooser, ...)
// into the application. False when the translations are not installed.
bool LoadQtTranslations(QApplication& app);

struct MainWindowOptions {
  // Remember recorders and open tabs in the hive (not for the demo, whose
  // recorder lives only as long as the program).
  bool remember = true;
  // The events database; empty: EventStore::DefaultPath().
  QString eventsPath;
  // The recordings' catalogue; empty: RecordingCatalogue::DefaultPath().
  QString cataloguePath{};
};

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit MainWindow(MainWindowOptions options = {});
  ~MainWindow() override;

  // Opens the tabs that were open at the last exit, each with the login
  // parameter kept for its recorder; false when there were none.
  bool RestoreTabs();
  // Connects to a recorder: in its tab if one has it (again, if that tab is
  // not live or had another login parameter), else in the current tab if
  // that has no recorder yet, else in a new tab. Remembers it.
  RecorderTab* OpenRecorder(const Recorder& recorder);
  // Opens "连接录像机…" (window-modal, centred over this window); OK
  // connects as OpenRecorder does.
  // With `initial`, the dialog starts with it filled in and the login
  // field to type in, else with the most recent recorder.
  ConnectDialog* ShowConnectDialog(const std::optional<Recorder>& initial = std::nullopt);
  // Opens it once this window is on the screen (a window manager places a
  // window only when it maps it: a dialog centred before would be centred
  // on where the window was not).
  void AskForRecorderWhenShown();
  RecorderTab* NewTab();
  void CloseTab(int index);
  void DisconnectCurrent();
  void ToggleFullScreen();
  // Opens "命名" for the recorder of `tab` (window-modal), with the focus on
  // `channel`'s camera (0-based) or on the recorder's name (-1). OK gives
  // the tab the names and keeps them with the remembered recorder.
  NameDialog* ShowNameDialog(RecorderTab* tab, int channel = -1);

  QTabWidget* Tabs() const { return tabs_; }
  RecorderTab* CurrentTab() const;
  RecorderTab* Tab(int index) const;
  QMenu* RecentMenu() const { return recentMenu_; }
  // The connect dialog while it is open, else null.
  ConnectDialog* OpenDialog() const;
  // The name dialog while it is open, else null.
  NameDialog* OpenNameDialog() const;
  // What a right-click on a tab offers ("命名…"), and the tab it was for.
  QMenu* TabMenu() const { return tabMenu_; }
  RecorderTab* TabMenuTab() const;
  QAction* ConnectAction() const { return connectAction_; }
  // "立即重连": the current tab tries its recorder now.
  QAction* RetryAction() const { return retryAction_; }
  // "语言 / Language" with its two choices; a choice is stored at once and
  // takes effect at the viewer's next start.
  QMenu* LanguageMenu() const { return languageMenu_; }
  QAction* ChineseAction() const { return chineseAction_; }
  QAction* EnglishAction() const { return englishAction_; }
  // The status bar's line about the repair of recordings at start-up.
  QLabel* RepairStatus() const { return repairStatus_; }

  // Every recording and snapshot the tabs write is entered here; the
  // record and snapshot folders are reconciled with it at start-up.
  RecordingCatalogue& Catalogue() const { return *catalogue_; }
  // The status bar's line about that reconciliation (empty once done).
  QLabel* CatalogueStatus() const { return catalogueStatus_; }

  // Every tab's events go to this store; the dock lists them.
  EventStore& Events() const { return *events_; }
  EventDock* Dock() const { return dock_; }
  // "事件" in the view menu: shows or hides the dock.
  QAction* EventsAction() const;
  // "静音": the alarm sound's switch, kept in the hive.
  QAction* MuteAction() const { return muteAction_; }
  AlarmSound* Sound() const { return sound_; }
  AlarmStrip* Strip() const { return strip_; }
  // The tab of the recorder an event names, or null.
  RecorderTab* TabOf(const QString& recorder) const;
  // Brings the tab of `event`'s recorder to the front and enlarges its
  // camera, if it names one.
  void GoTo(const Event& event);
  // "录像回放" (made on first use): the day's recordings; with an event, at
  // its camera and time.
  ReviewWindow* ShowReview();
  ReviewWindow* ShowReview(const Event& event);
  // The review window once opened, else null.
  ReviewWindow* Review() const;
  QAction* ReviewAction() const { return reviewAction_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CentreDialog();
  void BuildMenus();
  void BuildLanguageMenu();
  void RefreshRecentMenu();
  void ShowCurrentState();
  void TabChanged(RecorderTab* tab);
  void SaveTabs();
  void TabMenuRequested(const QPoint& pos);
  void BuildEvents();
  void BuildCatalogue();
  // The alarms waiting, as the store wrote them.
  void AlarmsStored(const QList<Event>& rows);
  void AlarmsAcknowledged(int64_t id);
  void UpdateAlarms();
  // The unacknowledged alarm the strip names, if it knows one.
  const Event* NewestAlarm() const;

  MainWindowOptions options_;
  // Login parameters typed in this run, by address: a recent recorder whose
  // login is not kept in the hive still connects with one click.
  std::map<std::pair<std::string, uint16_t>, std::string> typedLogins_;
  QTabWidget* tabs_;
  // The window's middle: the alarm strip while it shows, then the tabs.
  QVBoxLayout* centralRows_;
  QLabel* status_;
  QLabel* repairStatus_;
  QMenu* recentMenu_ = nullptr;
  QAction* connectAction_ = nullptr;
  QAction* disconnectAction_ = nullptr;
  QAction* retryAction_ = nullptr;
  QAction* fullScreenAction_ = nullptr;
  QMenu* languageMenu_ = nullptr;
  QAction* chineseAction_ = nullptr;
  QAction* englishAction_ = nullptr;
  QShortcut* leaveFullScreen_ = nullptr;
  QPointer<ConnectDialog> dialog_;
  QPointer<NameDialog> nameDialog_;
  QPointer<ReviewWindow> review_;
  QAction* reviewAction_ = nullptr;
  QMenu* tabMenu_ = nullptr;
  QPointer<RecorderTab> menuTab_;
  bool wasMaximized_ = false;
  bool askWhenShown_ = false;
  bool dockWasVisible_ = false;  // before full screen hid it

  std::unique_ptr<EventStore> events_;
  std::unique_ptr<RecordingCatalogue> catalogue_;
  QLabel* catalogueStatus_ = nullptr;
  EventDock* dock_ = nullptr;
  AlarmSound* sound_ = nullptr;
  AlarmStrip* strip_ = nullptr;
  QAction* muteAction_ = nullptr;
  // Unacknowledged alarm rows by id (the latest ones, at most a thousand):
  // the strip names the newest.
  std::map<int64_t, Event> alarms_;
};

}  // namespace zarvion::viewer
