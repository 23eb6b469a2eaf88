#include "viewer/main_window.h"

#include <algorithm>

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QDateTime>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPixmap>
#include <QResizeEvent>
#include <QScreen>
#include <QShortcut>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QTranslator>
#include <QVBoxLayout>
#include <QWindow>

#include "platform/registry.h"
#include "settings/settings_store.h"
#include "viewer/alarm_sound.h"
#include "viewer/alarm_strip.h"
#include "viewer/connect_dialog.h"
#include "viewer/event_dock.h"
#include "viewer/event_model.h"
#include "viewer/export_dialog.h"
#include "viewer/language.h"
#include "viewer/name_dialog.h"
#include "viewer/recorder_tab.h"
#include "viewer/review_window.h"
#include "window/screen_fit.h"

namespace zarvion::viewer {
namespace {

// The state mark of a tab: a coloured dot. Green only while every picture
// on screen is live: a tab in the background whose pictures stopped must
// not look live to an operator watching another tab.
QIcon StateMark(const RecorderTab& tab) {
  QColor colour;
  switch (tab.CurrentState()) {
    case RecorderTab::State::kLive:
      colour = tab.PicturesStopped() ? QColor(200, 0, 0) : QColor(0, 170, 0);
      break;
    case RecorderTab::State::kConnecting:
      colour = QColor(230, 160, 0);
      break;
    case RecorderTab::State::kWaiting:
      colour = QColor(200, 0, 0);
      break;
    case RecorderTab::State::kIdle:
    case RecorderTab::State::kDisconnected:
      colour = QColor(140, 140, 140);
      break;
  }
  QPixmap dot(12, 12);
  dot.fill(Qt::transparent);
  QPainter painter(&dot);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(colour);
  painter.setPen(Qt::NoPen);
  painter.drawEllipse(1, 1, 10, 10);
  return QIcon(dot);
}

// How long the status bar tells an outcome (a snapshot's file).
constexpr int kNoticeMs = 15000;

// Value under the viewer's key: 1 while the event list is shown.
constexpr const char* kEventsShownValue = "bEventsShown";
// Unacknowledged alarms kept for the strip to name.
constexpr size_t kMaxAlarmsKept = 1000;

}  // namespace

bool LoadQtTranslations(QApplication& app) {
  auto* translator = new QTranslator(&app);
  if (!translator->load(QStringLiteral("qt_zh_CN"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return false;
  }
  return QApplication::installTranslator(translator);
}

MainWindow::MainWindow(MainWindowOptions options) : options_(options) {
  tabs_ = new QTabWidget(this);
  tabs_->setTabsClosable(true);
  tabs_->setMovable(true);
  tabs_->setDocumentMode(true);
  // The alarm strip, while it shows, takes a row of its own above the tabs:
  // laid over them it hid the top of the first row of pictures and their
  // captions for as long as alarms waited.
  auto* central = new QWidget(this);
  centralRows_ = new QVBoxLayout(central);
  centralRows_->setContentsMargins(0, 0, 0, 0);
  centralRows_->setSpacing(0);
  centralRows_->addWidget(tabs_, 1);
  setCentralWidget(central);
  status_ = new QLabel(this);
  // Every label of the viewer shows its text as plain characters: a
  // recorder's address or words are never read as markup.
  status_->setTextFormat(Qt::PlainText);
  statusBar()->addWidget(status_, 1);
  // Its lines name files found in the record folder, whatever their names.
  repairStatus_ = new QLabel(this);
  repairStatus_->setTextFormat(Qt::PlainText);
  statusBar()->addPermanentWidget(repairStatus_);
  catalogueStatus_ = new QLabel(this);
  catalogueStatus_->setTextFormat(Qt::PlainText);
  statusBar()->addPermanentWidget(catalogueStatus_);
  connect(tabs_, &QTabWidget::tabCloseRequested, this, &MainWindow::CloseTab);
  connect(tabs_, &QTabWidget::currentChanged, this, &MainWindow::ShowCurrentState);
  tabMenu_ = new QMenu(this);
  tabMenu_->addAction(tr("命名…"), this, [this] {
    if (menuTab_) ShowNameDialog(menuTab_);
  });
  tabs_->tabBar()->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(tabs_->tabBar(), &QWidget::customContextMenuRequested, this,
          &MainWindow::TabMenuRequested);
  BuildEvents();
  BuildCatalogue();
  BuildMenus();
  RefreshRecentMenu();

  // Room for 16 panes under the menu, toolbar and tabs; never more than the
  // screen, whose size is also that of each control's back surface.
  QSize size(960, 860);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    size = size.boundedTo(screen->availableGeometry().size());
  }
  resize(size);
  ShowCurrentState();
}

MainWindow::~MainWindow() {
  // Each tab tears its control down and joins its thread.
  while (tabs_->count() > 0) {
    QWidget* tab = tabs_->widget(0);
    tabs_->removeTab(0);
    delete tab;
  }
  // Whether the list shows is kept for the next start (as before full
  // screen hid it). It goes before the store it reads; the store writes
  // what is still queued as it goes.
  const bool shown = isFullScreen() ? dockWasVisible_ : !dock_->isHidden();
  (void)RegSetDword(Hive::kCurrentUser, kViewerKey, kEventsShownValue, shown ? 1 : 0);
  delete dock_;
  dock_ = nullptr;
  delete review_;
  events_.reset();
  catalogue_.reset();
}

void MainWindow::BuildCatalogue() {
  catalogue_ = std::make_unique<RecordingCatalogue>(options_.cataloguePath);
  connect(catalogue_.get(), &RecordingCatalogue::ReconcileProgress, catalogueStatus_,
          [this](int done, int total) {
            catalogueStatus_->setText(total > 0 && done < total
                                          ? tr("正在整理录像目录：%1 / %2").arg(done).arg(total)
                                          : QString());
          });
  connect(catalogue_.get(), &RecordingCatalogue::Reconciled, catalogueStatus_,
          [this] { catalogueStatus_->clear(); });
  // Files copied in, or left by a crash, since the last run; files gone.
  QStringList folders;
  for (const FolderSetting which : {kRecordDir, kCapDir}) {
    folders << QString::fromStdString(SettingsStore::ReadFolderSetting(which));
  }
  catalogue_->Reconcile(folders);
}

void MainWindow::BuildEvents() {
  EventStoreOptions store;
  store.path = options_.eventsPath;
  events_ = std::make_unique<EventStore>(store);

  sound_ = new AlarmSound(this);
  connect(sound_, &AlarmSound::Unavailable, this, [this](const QString& why) {
    Event e;
    e.kind = EventKind::kSoundUnavailable;
    e.detail = why;
    events_->Append(e);
  });
  muteAction_ = new QAction(tr("静音"), this);
  muteAction_->setCheckable(true);
  muteAction_->setChecked(LoadAlarmMuted());
  sound_->SetMuted(muteAction_->isChecked());
  connect(muteAction_, &QAction::toggled, this, [this](bool muted) {
    SaveAlarmMuted(muted);
    sound_->SetMuted(muted);
  });

  EventModel::Names names;
  names.recorder = [this](const QString& recorder) {
    const RecorderTab* tab = TabOf(recorder);
    return tab ? tab->RecorderName() : recorder;
  };
  names.camera = [this](const QString& recorder, int channel) {
    const RecorderTab* tab = TabOf(recorder);
    return tab ? tab->CameraName(channel) : QStringLiteral("CH %1").arg(channel + 1);
  };
  dock_ = new EventDock(*events_, names, muteAction_, this);
  addDockWidget(Qt::BottomDockWidgetArea, dock_);
  uint32_t shown = 0;
  dock_->setVisible(RegGetDword(Hive::kCurrentUser, kViewerKey, kEventsShownValue, &shown) &&
                    shown != 0);
  connect(dock_, &EventDock::Chosen, this, &MainWindow::GoTo);
  // A recording opens in the desktop's player until the viewer plays it.
  // "打开录像": the review window at the event's camera and time.
  connect(dock_, &EventDock::OpenRecordingRequested, this,
          [this](const Event& e) { ShowReview(e); });

  strip_ = new AlarmStrip(this);
  centralRows_->insertWidget(0, strip_);
  connect(strip_, &AlarmStrip::AcknowledgeClicked, this, [this] {
    // The alarm the strip names; the next one then takes its place.
    if (const Event* shown = NewestAlarm()) {
      events_->Acknowledge(shown->id);
    } else {
      events_->AcknowledgeAll();
    }
  });
  connect(strip_, &AlarmStrip::TextClicked, this, [this] {
    if (const Event* shown = NewestAlarm()) GoTo(*shown);
  });
  connect(events_.get(), &EventStore::Stored, this, &MainWindow::AlarmsStored);
  connect(events_.get(), &EventStore::Acknowledged, this,
          [this](int64_t id, int64_t) { AlarmsAcknowledged(id); });
  connect(events_.get(), &EventStore::AlarmCountChanged, this, &MainWindow::UpdateAlarms);
  // The alarms left unacknowledged by an earlier run.
  EventFilter alarms;
  for (EventKind kind : AllEventKinds()) {
    if (IsAlarm(kind)) alarms.kinds.push_back(kind);
  }
  alarms.limit = static_cast<int>(kMaxAlarmsKept);
  AlarmsStored(events_->Query(alarms));
}

QAction* MainWindow::EventsAction() const {
  return dock_->toggleViewAction();
}

RecorderTab* MainWindow::TabOf(const QString& recorder) const {
  for (int i = 0; i < tabs_->count(); ++i) {
    RecorderTab* tab = Tab(i);
    if (tab && tab->Target() && tab->Title() == recorder) return tab;
  }
  return nullptr;
}

void MainWindow::GoTo(const Event& event) {
  RecorderTab* tab = TabOf(event.recorder);
  if (!tab) return;
  tabs_->setCurrentWidget(tab);
  if (event.channel != kNoChannel) tab->EnlargeChannel(event.channel);
}

ReviewWindow* MainWindow::Review() const { return review_.data(); }

ReviewWindow* MainWindow::ShowReview() {
  if (!review_) {
    RecordingCatalogue* catalogue = catalogue_.get();
    review_ = new ReviewWindow(
        [catalogue](int64_t from, int64_t to) { return catalogue->Entries(from, to); },
        events_.get(), this);
    connect(catalogue, &RecordingCatalogue::Changed, review_, &ReviewWindow::Refresh);
    review_->SetExportHandler([this](std::vector<CatalogueEntry> recordings, int64_t fromMs,
                                     int64_t toMs, std::vector<CatalogueEntry> snapshots) {
      auto* dialog = new ExportDialog(review_, std::move(recordings), fromMs, toMs,
                                      std::move(snapshots));
      dialog->setAttribute(Qt::WA_DeleteOnClose);
      connect(dialog, &ExportDialog::EventOccurred, this,
              [this](const Event& e) { events_->Append(e); });
      dialog->open();
    });
  }
  review_->show();
  review_->raise();
  review_->activateWindow();
  return review_;
}

ReviewWindow* MainWindow::ShowReview(const Event& event) {
  ReviewWindow* review = ShowReview();
  if (event.channel != kNoChannel && event.channel >= 0) {
    review->OpenAt(event.channel, event.timeMs);
  } else {
    review->ShowDay(QDateTime::fromMSecsSinceEpoch(event.timeMs).date());
  }
  return review;
}

void MainWindow::AlarmsStored(const QList<Event>& rows) {
  for (const Event& e : rows) {
    if (IsAlarm(e.kind) && !e.Acknowledged()) {
      alarms_[e.id] = e;
    } else {
      alarms_.erase(e.id);
    }
  }
  while (alarms_.size() > kMaxAlarmsKept) alarms_.erase(alarms_.begin());
  UpdateAlarms();
}

void MainWindow::AlarmsAcknowledged(int64_t id) {
  if (id == 0) {
    alarms_.clear();
  } else {
    alarms_.erase(id);
  }
  UpdateAlarms();
}

void MainWindow::UpdateAlarms() {
  const int count = events_->UnacknowledgedAlarms();
  sound_->SetAlarmed(count > 0);
  if (count == 0) {
    strip_->hide();
    return;
  }
  const Event* latest = NewestAlarm();
  QString text;
  if (latest) {
    const RecorderTab* tab = TabOf(latest->recorder);
    text = tab ? tab->RecorderName() : latest->recorder;
    if (latest->channel != kNoChannel) {
      text += QLatin1Char(' ') + (tab ? tab->CameraName(latest->channel)
                                      : QStringLiteral("CH %1").arg(latest->channel + 1));
    }
    text += tr("：") + EventModel::WhatText(*latest);
  }
  strip_->Show(text, count);
}

const Event* MainWindow::NewestAlarm() const {
  const Event* newest = nullptr;
  for (const auto& [id, e] : alarms_) {
    if (!newest || e.timeMs >= newest->timeMs) newest = &e;
  }
  return newest;
}

void MainWindow::BuildMenus() {
  QMenu* recorder = menuBar()->addMenu(tr("录像机(&R)"));
  connectAction_ = recorder->addAction(tr("连接录像机…"), this, [this] { ShowConnectDialog(); });
  connectAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  recentMenu_ = recorder->addMenu(tr("最近的录像机"));
  disconnectAction_ = recorder->addAction(tr("断开"), this, &MainWindow::DisconnectCurrent);
  retryAction_ = recorder->addAction(tr("立即重连"), this, [this] {
    if (RecorderTab* tab = CurrentTab()) tab->RetryNow();
  });
  recorder->addSeparator();
  QAction* newTab = recorder->addAction(tr("新建标签页"), this, [this] {
    NewTab();
    ShowConnectDialog();
  });
  newTab->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
  QAction* closeTab =
      recorder->addAction(tr("关闭标签页"), this, [this] { CloseTab(tabs_->currentIndex()); });
  closeTab->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
  recorder->addSeparator();
  QAction* quit = recorder->addAction(tr("退出"), this, &QWidget::close);
  quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

  QMenu* view = menuBar()->addMenu(tr("查看(&V)"));
  fullScreenAction_ = view->addAction(tr("全屏"), this, &MainWindow::ToggleFullScreen);
  fullScreenAction_->setShortcut(QKeySequence(Qt::Key_F11));
  fullScreenAction_->setCheckable(true);
  leaveFullScreen_ = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  leaveFullScreen_->setEnabled(false);
  connect(leaveFullScreen_, &QShortcut::activated, this, &MainWindow::ToggleFullScreen);

  view->addSeparator();
  QAction* events = dock_->toggleViewAction();
  events->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
  view->addAction(events);
  view->addAction(muteAction_);
  view->addSeparator();
  reviewAction_ = view->addAction(tr("录像回放"), this, [this] { ShowReview(); });
  reviewAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));

  BuildLanguageMenu();

  // The window holds the shortcuts too, so they work while the menu bar is
  // hidden in full screen.
  addActions({connectAction_, newTab, closeTab, quit, fullScreenAction_, reviewAction_});

  QToolBar* toolbar = addToolBar(tr("工具栏"));
  toolbar->setMovable(false);
  toolbar->addAction(connectAction_);
  toolbar->addAction(disconnectAction_);
  toolbar->addAction(newTab);
  toolbar->addAction(fullScreenAction_);
  toolbar->addAction(reviewAction_);
}

void MainWindow::BuildLanguageMenu() {
  // Named in both languages and never translated, so that an operator who
  // cannot read the language on screen still finds the way back; each
  // language is named in its own words.
  languageMenu_ = menuBar()->addMenu(QString::fromUtf8("语言 / Language"));
  auto* group = new QActionGroup(languageMenu_);
  const Language current = LoadLanguage();
  const QString takesEffect = tr("下次启动查看器时生效");
  auto add = [&](const QString& name, Language language) {
    QAction* action = languageMenu_->addAction(name);
    action->setCheckable(true);
    action->setChecked(language == current);
    action->setStatusTip(takesEffect);
    action->setToolTip(takesEffect);
    action->setActionGroup(group);
    connect(action, &QAction::triggered, this, [language] { SaveLanguage(language); });
    return action;
  };
  chineseAction_ = add(QString::fromUtf8("中文"), Language::kChinese);
  englishAction_ = add(QStringLiteral("English"), Language::kEnglish);
}

void MainWindow::RefreshRecentMenu() {
  recentMenu_->clear();
  const std::vector<Recorder> recent = options_.remember ? LoadRecent() : std::vector<Recorder>{};
  for (const Recorder& r : recent) {
    recentMenu_->addAction(r.MenuText(), this, [this, entry = Recorder(r)]() mutable {
      if (!entry.rememberLogin) {
        auto typed = typedLogins_.find({entry.host, entry.port});
        if (typed != typedLogins_.end()) entry.login = typed->second;
      }
      OpenRecorder(entry);
    });
  }
  recentMenu_->setEnabled(!recent.empty());
}

RecorderTab* MainWindow::NewTab() {
  auto* tab = new RecorderTab(tabs_);
  connect(tab, &RecorderTab::Changed, this, [this, tab] { TabChanged(tab); });
  connect(tab, &RecorderTab::LoginWanted, this, [this, tab] {
    if (!tab->Target()) return;
    tabs_->setCurrentWidget(tab);
    Recorder asked = *tab->Target();
    asked.login.clear();
    ShowConnectDialog(asked);
  });
  connect(tab, &RecorderTab::RepairStatus, repairStatus_, &QLabel::setText);
  connect(tab, &RecorderTab::EventOccurred, this, [this](const Event& e) { events_->Append(e); });
  connect(tab, &RecorderTab::RecordingFileStarted, this,
          [this, tab](const QString& path, CatalogueKind kind, int channel, qint64 startMs) {
            catalogue_->Started(path, kind, tab->Title(), channel, startMs);
          });
  connect(tab, &RecorderTab::RecordingFileEnded, this,
          [this](const QString& path) { catalogue_->Finished(path); });
  connect(tab, &RecorderTab::SnapshotFileSaved, this,
          [this, tab](const QString& path, int channel, qint64 timeMs) {
            catalogue_->SnapshotSaved(path, tab->Title(), channel, timeMs);
          });
  // Said in the status bar for a while; the tab's state line comes back.
  connect(tab, &RecorderTab::Notice, this,
          [this](const QString& text) { statusBar()->showMessage(text, kNoticeMs); });
  connect(tab, &RecorderTab::NameRequested, this,
          [this, tab](int channel) { ShowNameDialog(tab, channel); });
  // A camera's motion settings are kept with the recorder, as its names are.
  connect(tab, &RecorderTab::MotionSettingsChanged, this, [this, tab] {
    if (!options_.remember || !tab->Target()) return;
    KeepCameraMotion(*tab->Target());
  });
  const int index = tabs_->addTab(tab, StateMark(*tab), tab->RecorderName());
  tabs_->setCurrentIndex(index);
  return tab;
}

RecorderTab* MainWindow::CurrentTab() const {
  return qobject_cast<RecorderTab*>(tabs_->currentWidget());
}

RecorderTab* MainWindow::Tab(int index) const {
  return qobject_cast<RecorderTab*>(tabs_->widget(index));
}

RecorderTab* MainWindow::OpenRecorder(const Recorder& given) {
  typedLogins_[{given.host, given.port}] = given.login;
  // The names stay those the recorder has: a tab's of it, or the kept ones.
  Recorder recorder = given;
  if (options_.remember) {
    RememberRecorder(recorder);
    const std::vector<Recorder> recent = LoadRecent();
    if (!recent.empty() && recent.front().SameAddress(recorder)) {
      recorder.TakeNames(recent.front());
      recorder.TakeMotion(recent.front());
    }
    RefreshRecentMenu();
  }
  for (int i = 0; i < tabs_->count(); ++i) {
    const RecorderTab* tab = Tab(i);
    if (tab->Target() && tab->Target()->SameAddress(recorder)) {
      recorder.TakeNames(*tab->Target());
      recorder.TakeMotion(*tab->Target());
    }
  }
  for (int i = 0; i < tabs_->count(); ++i) {
    RecorderTab* tab = Tab(i);
    if (tab->Target() && tab->Target()->SameAddress(recorder)) {
      tabs_->setCurrentIndex(i);
      // Another login parameter is another session: the tab connects again
      // with the one just given. The same one leaves a live session alone.
      const bool running = tab->CurrentState() == RecorderTab::State::kLive ||
                           tab->CurrentState() == RecorderTab::State::kConnecting;
      tab->SetCameraMotions(recorder.motion);
      if (!running || tab->Target()->login != recorder.login) {
        tab->Connect(recorder);
      } else {
        tab->SetTarget(recorder);  // whether its login is kept may have changed
      }
      SaveTabs();
      return tab;
    }
  }
  RecorderTab* tab = CurrentTab();
  if (!tab || tab->Target()) tab = NewTab();
  tab->SetCameraMotions(recorder.motion);
  tab->Connect(recorder);
  SaveTabs();
  return tab;
}

ConnectDialog* MainWindow::ShowConnectDialog(const std::optional<Recorder>& initial) {
  if (dialog_) {
    dialog_->raise();
    dialog_->activateWindow();
    return dialog_;
  }
  Recorder filled;
  if (initial) {
    filled = *initial;
  } else if (options_.remember) {
    const std::vector<Recorder> recent = LoadRecent();
    if (!recent.empty()) filled = recent.front();
  }
  dialog_ = new ConnectDialog(this, filled);
  if (initial) dialog_->Login()->setFocus();
  dialog_->setAttribute(Qt::WA_DeleteOnClose);
  connect(dialog_, &QDialog::accepted, this,
          [this, dialog = dialog_.data()] { OpenRecorder(dialog->Entered()); });
  dialog_->adjustSize();
  CentreDialog();
  dialog_->open();
  return dialog_;
}

void MainWindow::CentreDialog() {
  if (!dialog_ || !isVisible()) return;
  // Over the middle of this window, frame included, kept on its screen.
  QRect placed(QPoint(), dialog_->frameGeometry().size());
  placed.moveCenter(frameGeometry().center());
  const QScreen* s = screen();
  dialog_->move(s ? KeptWithin(placed.topLeft(), placed.size(), s->availableGeometry())
                  : placed.topLeft());
}

void MainWindow::AskForRecorderWhenShown() {
  if (windowHandle() && windowHandle()->isExposed()) {
    ShowConnectDialog();
    return;
  }
  askWhenShown_ = true;
  if (!windowHandle()) create();
  windowHandle()->installEventFilter(this);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  // The first expose comes once the window is mapped where it stays; the
  // dialog opens from the event loop, after this window is painted.
  if (askWhenShown_ && watched == windowHandle() && event->type() == QEvent::Expose &&
      windowHandle()->isExposed()) {
    askWhenShown_ = false;
    windowHandle()->removeEventFilter(this);
    QTimer::singleShot(0, this, [this] { ShowConnectDialog(); });
  }
  return QMainWindow::eventFilter(watched, event);
}

ConnectDialog* MainWindow::OpenDialog() const {
  return dialog_.data();
}

NameDialog* MainWindow::ShowNameDialog(RecorderTab* tab, int channel) {
  if (!tab || !tab->Target()) return nullptr;
  // One at a time: a second request replaces the first.
  if (nameDialog_) nameDialog_->close();
  nameDialog_ = new NameDialog(this, *tab->Target(), tab->ChannelCount(), channel);
  nameDialog_->setAttribute(Qt::WA_DeleteOnClose);
  connect(nameDialog_, &QDialog::accepted, this,
          [this, dialog = nameDialog_.data(), target = QPointer<RecorderTab>(tab)] {
            if (!target || !target->Target()) return;
            const Recorder named = dialog->Named();
            if (!named.SameAddress(*target->Target())) return;  // the tab moved on
            target->SetNames(named);
            if (options_.remember) {
              NameRecorder(*target->Target());
              RefreshRecentMenu();
            }
          });
  nameDialog_->open();
  return nameDialog_;
}

NameDialog* MainWindow::OpenNameDialog() const {
  return nameDialog_.data();
}

RecorderTab* MainWindow::TabMenuTab() const {
  return menuTab_.data();
}

void MainWindow::TabMenuRequested(const QPoint& pos) {
  RecorderTab* tab = Tab(tabs_->tabBar()->tabAt(pos));
  if (!tab || !tab->Target()) return;
  menuTab_ = tab;
  tabMenu_->popup(tabs_->tabBar()->mapToGlobal(pos));
}

void MainWindow::CloseTab(int index) {
  QWidget* tab = tabs_->widget(index);
  if (!tab) return;
  tabs_->removeTab(index);
  delete tab;  // stops and joins this tab's connection thread only
  SaveTabs();
  ShowCurrentState();
}

void MainWindow::DisconnectCurrent() {
  if (RecorderTab* tab = CurrentTab()) tab->Disconnect();
}

void MainWindow::ToggleFullScreen() {
  const bool enter = !isFullScreen();
  menuBar()->setVisible(!enter);
  for (QToolBar* bar : findChildren<QToolBar*>()) bar->setVisible(!enter);
  tabs_->tabBar()->setVisible(!enter);
  statusBar()->setVisible(!enter);
  // The picture fills the screen; the event list comes back after.
  if (enter) {
    dockWasVisible_ = dock_->isVisible();
    dock_->hide();
  } else if (dockWasVisible_) {
    dock_->show();
  }
  if (enter) {
    wasMaximized_ = isMaximized();
    showFullScreen();
  } else if (wasMaximized_) {
    showMaximized();
  } else {
    showNormal();
  }
  fullScreenAction_->setChecked(enter);
  leaveFullScreen_->setEnabled(enter);
}

void MainWindow::TabChanged(RecorderTab* tab) {
  const int index = tabs_->indexOf(tab);
  if (index < 0) return;
  tabs_->setTabText(index, tab->RecorderName());
  tabs_->setTabIcon(index, StateMark(*tab));
  // A named recorder's address stays a hover away.
  const bool named = tab->Target() && !tab->Target()->name.empty();
  tabs_->setTabToolTip(index, named
                                  ? tab->Target()->MenuText() + QLatin1Char('\n') + tab->StateText()
                                  : tab->StateText());
  if (tab == CurrentTab()) ShowCurrentState();
  // A name may have changed, and the strip may say it.
  dock_->NamesChanged();
  if (strip_->isVisible()) UpdateAlarms();
}

void MainWindow::ShowCurrentState() {
  const RecorderTab* tab = CurrentTab();
  const QString state = tab ? tab->StateText() : tr("未连接");
  setWindowTitle(tr("Zarvion 查看器 — %1").arg(state));
  status_->setText(state);
  disconnectAction_->setEnabled(tab && tab->Target() &&
                                tab->CurrentState() != RecorderTab::State::kDisconnected);
  retryAction_->setEnabled(tab && tab->CanRetryNow());
}

bool MainWindow::RestoreTabs() {
  if (!options_.remember) return false;
  const std::vector<Recorder> tabs = LoadOpenTabs();
  const std::vector<Recorder> recent = LoadRecent();
  for (Recorder r : tabs) {
    // A tab saved without its login (it was not to be kept then) takes the
    // one kept for its recorder since.
    if (!r.rememberLogin) {
      const auto kept = std::find_if(recent.begin(), recent.end(), [&](const Recorder& e) {
        return e.rememberLogin && e.SameAddress(r);
      });
      if (kept != recent.end()) r = *kept;
    }
    RecorderTab* tab = NewTab();
    tab->SetCameraMotions(r.motion);
    tab->Connect(r);
  }
  if (!tabs.empty()) tabs_->setCurrentIndex(0);
  return !tabs.empty();
}

void MainWindow::SaveTabs() {
  if (!options_.remember) return;
  std::vector<Recorder> open;
  for (int i = 0; i < tabs_->count(); ++i) {
    if (Tab(i)->Target()) open.push_back(*Tab(i)->Target());
  }
  SaveOpenTabs(open);
}

}  // namespace zarvion::viewer
