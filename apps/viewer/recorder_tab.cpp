#include "viewer/recorder_tab.h"

#include <algorithm>
#include <cmath>
#include <span>
#include <string>
#include <vector>

#include <QAction>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QResizeEvent>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <QWindow>

#include "platform/log.h"
#include "shell/control_host.h"
#include "shell/module.h"
#include "video/renderer.h"
#include "viewer/host_resolver.h"
#include "viewer/login_source.h"
#include "window/window_layout.h"

namespace zarvion::viewer {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 100;
// Long enough for the video under a closed menu to be drawn again.
constexpr int kMenuGoneMs = 200;
// A connected recorder that sends no picture for this long is marked stalled.
constexpr int kStallSeconds = 3;
// The banner is a line of text at the foot of the video area: the captions
// sit at the top of every pane, and the pictures stay seen above it.
constexpr int kBannerHeight = 26;

}  // namespace

// The overlay is a native window of its own (so that it stays above the
// native window the control shows its single view in), and such a window
// would take the X server's pointer events before Qt could pass them on: the
// window itself is made transparent for input, not only the widget.
// Elsewhere (no X server, so no such window) the widget attribute is enough.
void PassPointerThrough(QWidget* overlay) {
  overlay->setAttribute(Qt::WA_TransparentForMouseEvents);
  if (QGuiApplication::platformName() != QLatin1String("xcb")) return;
  overlay->setAttribute(Qt::WA_NativeWindow);
  overlay->winId();
  if (QWindow* window = overlay->windowHandle()) {
    window->setFlag(Qt::WindowTransparentForInput, true);
  }
}

namespace {

Variant Text(const QString& text) {
  return Variant::Bstr(
      std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()), text.size()));
}

// Calls a member by name through the dispatch interface, as a script does.
void Script(Zarvinet& control, const char16_t* name, uint16_t flags,
            const std::vector<Variant>& args) {
  const std::u16string_view names[] = {name};
  DISPID id = DISPID_UNKNOWN;
  // Names resolve through the registered type library: a first start on
  // this account registers the control for the user, then tries again.
  if (!Succeeded(control.GetIDsOfNames(names, std::span(&id, 1))) &&
      !(EnsureControlRegistered() && Succeeded(control.GetIDsOfNames(names, std::span(&id, 1))))) {
    return;
  }
  control.Invoke(id, flags, args);
}

}  // namespace

QString ReasonText(SessionError error) {
  switch (error) {
    case SessionError::kBadAddress:
      return RecorderTab::tr("地址无效");
    case SessionError::kRefused:
      return RecorderTab::tr("连接被拒绝");
    case SessionError::kUnreachable:
      return RecorderTab::tr("网络或主机不可达");
    case SessionError::kTimedOut:
      return RecorderTab::tr("连接超时");
    case SessionError::kClosedByServer:
      return RecorderTab::tr("录像机关闭了连接");
    case SessionError::kLost:
      return RecorderTab::tr("连接意外中断");
    case SessionError::kLoginRefused:
      return RecorderTab::tr("录像机拒绝了登录参数");
    case SessionError::kNone:
    case SessionError::kConnectFailed:
      break;
  }
  return RecorderTab::tr("连接失败");
}

RecorderTab::RecorderTab(QWidget* parent, std::chrono::milliseconds connectTimeout)
    : QWidget(parent), connectTimeout_(connectTimeout) {
  layout_ = new QVBoxLayout(this);
  layout_->setContentsMargins(0, 0, 0, 0);
  layout_->setSpacing(0);
  banner_ = new QLabel(this);
  banner_->setTextFormat(Qt::PlainText);
  banner_->setAlignment(Qt::AlignCenter);
  banner_->setStyleSheet(QStringLiteral(
      "background-color: rgb(150, 0, 0); color: white; font-size: 14px; font-weight: bold;"
      " padding: 2px;"));
  PassPointerThrough(banner_);
  // The banner lets the pointer through to the control; its button takes
  // it, and like the banner needs a native window of its own to stay above
  // the control's.
  retry_ = new QPushButton(tr("立即重连"), this);
  retry_->setFocusPolicy(Qt::NoFocus);
  if (QGuiApplication::platformName() == QLatin1String("xcb")) {
    retry_->setAttribute(Qt::WA_NativeWindow);
  }
  retry_->hide();
  // Once the login was refused for good, the same login would only be
  // refused again: the button asks for another.
  connect(retry_, &QPushButton::clicked, this, [this] {
    if (stopped_) {
      emit LoginWanted();
    } else {
      RetryNow();
    }
  });
  paneMenu_ = new QMenu(this);
  paneMenu_->addAction(tr("命名…"), this, [this] { emit NameRequested(menuChannel_); });
  // The camera's motion detection and its recording, on or off.
  QAction* motion = paneMenu_->addAction(tr("移动侦测"));
  motion->setCheckable(true);
  QAction* motionRecording = paneMenu_->addAction(tr("移动侦测录像"));
  motionRecording->setCheckable(true);
  // The dialog takes the pane's picture as the screen shows it: once the
  // menu is gone from it.
  QAction* motionSettings = paneMenu_->addAction(tr("移动侦测设置…"), this, [this] {
    QTimer::singleShot(kMenuGoneMs, this,
                       [this, channel = menuChannel_] { ShowMotionDialog(channel); });
  });
  QAction* motionBlocks = paneMenu_->addAction(tr("显示移动区块"));
  motionBlocks->setCheckable(true);
  connect(motionBlocks, &QAction::triggered, this, &RecorderTab::SetShowMotionBlocks);
  connect(paneMenu_, &QMenu::aboutToShow, this,
          [this, motion, motionRecording, motionSettings, motionBlocks] {
            motion->setEnabled(menuChannel_ >= 0);
            motion->setChecked(menuChannel_ >= 0 && MotionEnabled(menuChannel_));
            motionRecording->setEnabled(menuChannel_ >= 0);
            motionRecording->setChecked(MotionRecording(menuChannel_));
            motionSettings->setEnabled(menuChannel_ >= 0);
            motionBlocks->setChecked(showMotionBlocks_);
          });
  connect(motion, &QAction::triggered, this, [this](bool on) {
    if (menuChannel_ >= 0) SetMotionEnabled(menuChannel_, on);
  });
  connect(motionRecording, &QAction::triggered, this, [this](bool on) {
    if (menuChannel_ >= 0) SetMotionRecording(menuChannel_, on);
  });
  resolver_ = new HostResolver(this);
  connect(resolver_, &HostResolver::Resolved, this,
          [this](const QString&, const QString& address, const QString& error) {
            Resolved(address, error);
          });
  ReplaceControl();
  UpdateBanner();
  connect(this, &RecorderTab::MotionChanged, this, &RecorderTab::OnMotionChanged);
  connect(&poll_, &QTimer::timeout, this, &RecorderTab::Poll);
  poll_.start(kPollMs);
}

RecorderTab::~RecorderTab() {
  poll_.stop();
  window_.reset();
  control_.reset();
}

void RecorderTab::ReplaceControl() {
  // Motion lasting ends with the control that saw it: its row keeps the
  // peak and the picture, which the next control does not have.
  WatchMotion(true);
  EndEventRecordings();
  window_.reset();
  control_.reset();
  control_ = std::make_unique<Zarvinet>();
  window_ = CreateControlWindow(*control_, this);
  // The control does nothing with a right-click: it is the tab's.
  window_->installEventFilter(this);
  ApplyCameraNames();
  ApplyPreRoll();
  ApplyMotionSettings();
  motionSynced_ = false;
  connect(window_.get(), &ControlWindow::RecordingsRepairStatus, this, &RecorderTab::RepairStatus);
  layout_->addWidget(window_.get());
  window_->show();
  RaiseBanner();
  controlUsed_ = false;
  errorsSeen_ = 0;
  snapshotsSeen_ = 0;
  recordingsSeen_ = 0;
  noticesSeen_ = 0;
}

void RecorderTab::Connect(const Recorder& recorder) {
  if (!recorder.login.empty()) KeepLoginPrivate();
  if (!target_ || !target_->SameAddress(recorder)) channels_ = kMaxCameras;
  EndRecordingWithControl(false);
  target_ = recorder;
  target_->motion = motion_;
  ApplyCameraNames();
  policy_.Reset();
  Attempt();
}

void RecorderTab::SetTarget(const Recorder& recorder) {
  target_ = recorder;
  target_->motion = motion_;
  ApplyCameraNames();
}

void RecorderTab::SetNames(const Recorder& named) {
  if (!target_) return;
  target_->TakeNames(named);
  ApplyCameraNames();
  emit Changed();
}

void RecorderTab::ApplyCameraNames() {
  CameraNames names{};
  if (target_ && target_->cameraCaptions) {
    std::copy(target_->cameras.begin(), target_->cameras.end(), names.begin());
  }
  control_->SetCameraNames(names);
}

void RecorderTab::Disconnect() {
  if (!target_) return;
  resolver_->Cancel();
  EndRecordingWithControl(false);
  if (controlUsed_) ReplaceControl();
  policy_.Reset();
  SetState(State::kDisconnected);
}

void RecorderTab::RetryNow() {
  if (!CanRetryNow()) return;
  policy_.ResetDelay();
  Attempt();
}

bool RecorderTab::CanRetryNow() const {
  return target_ && state_ != State::kLive && state_ != State::kIdle;
}

void RecorderTab::Attempt() {
  if (!target_) return;
  stopped_ = false;
  resolver_->Cancel();
  if (controlUsed_) ReplaceControl();
  attemptStart_ = Clock::now();
  const QString host = QString::fromStdString(target_->host);
  if (host.isEmpty() || LooksLikeAddress(host)) {
    ConnectControl(host);
    return;
  }
  // The control takes addresses only. The name is looked up on every try
  // (the recorder's address may have changed), within the connect timeout.
  resolver_->Resolve(host);
  SetState(State::kConnecting);
}

void RecorderTab::Resolved(const QString& address, const QString& error) {
  if (state_ != State::kConnecting) return;
  if (!error.isEmpty()) {
    ConnectFailed(error);
    return;
  }
  ConnectControl(address);
}

void RecorderTab::ConnectControl(const QString& address) {
  // Counted before the request: a refused connect on this machine can be
  // over before ConnectServer returns.
  errorsSeen_ = control_->Status().errorCount;
  const QString port = QString::number(target_->port);
  Script(*control_, u"strHostName", DISPATCH_PROPERTYPUT, {Text(address)});
  Script(*control_, u"strHostPort", DISPATCH_PROPERTYPUT, {Text(port)});
  Script(*control_, u"ConnectServer", DISPATCH_METHOD,
         {Text(address), Text(port), Text(QString::fromStdString(target_->login))});
  controlUsed_ = true;
  SetState(State::kConnecting);
}

void RecorderTab::Poll() {
  WatchSnapshots();
  WatchMotion(state_ != State::kLive);
  const NoticeStatus notice = control_->LastNotice();
  if (notice.count != noticesSeen_) {
    // Notices faster than the poll are told as one event counting them all.
    Report(EventKind::kServerNotice, kNoChannel, QString::fromStdString(notice.text),
           notice.count - noticesSeen_);
    noticesSeen_ = notice.count;
  }
  const SessionStatus s = control_->Status();
  const auto now = Clock::now();
  switch (state_) {
    case State::kConnecting:
      if (s.errorCount != errorsSeen_) {
        errorsSeen_ = s.errorCount;
        if (s.lastError == SessionError::kLoginRefused) {
          LoginRefused();
        } else {
          ConnectFailed(ReasonText(s.lastError));
        }
      } else if (s.state == SessionState::kSession) {
        // The session's information has come: the count is the recorder's.
        const uint32_t count = control_->Object().channelCount.load();
        if (count >= 1 && count <= kMaxChannels) channels_ = static_cast<int>(count);
        sessionStart_ = now;
        ++sessions_;
        framesSeen_ = s.framesReceived;
        lastFrameAt_ = now;
        stalledSeconds_ = 0;
        channelSeen_ = s.channelFrames;
        shownChannels_ = 0;
        channelStalled_.fill(0);
        videoLost_ = 0;
        allVideoLost_ = false;
        Report(EventKind::kRecorderConnected);
        SetState(State::kLive);
      } else if (now - attemptStart_ > connectTimeout_) {
        // The connect waits as long as the system lets it; the operator
        // should not. The teardown of the control stops it.
        resolver_->Cancel();
        ReplaceControl();
        ConnectFailed(ReasonText(SessionError::kTimedOut));
      }
      break;
    case State::kLive:
      if (s.state != SessionState::kSession || s.errorCount != errorsSeen_) {
        const SessionError error = s.errorCount != errorsSeen_ ? s.lastError : SessionError::kLost;
        // Counted by this session's control, which is new with the session.
        const bool showedPictures = s.framesReceived != 0;
        WatchRecording(now);
        EndRecordingWithControl(true);
        // The pictures on screen are frozen now: a new control shows the
        // panes without signal until the recorder is back.
        ReplaceControl();
        if (error == SessionError::kLoginRefused) {
          LoginRefused();
        } else {
          Report(EventKind::kRecorderLost, kNoChannel, ReasonText(error));
          WaitBeforeRetry(policy_.AfterSessionEnded(now - sessionStart_, showedPictures),
                          ReasonText(error), true);
        }
      } else {
        WatchFrames(s, now);
      }
      break;
    case State::kWaiting:
      if (!stopped_ && now >= retryAt_) {
        Attempt();
      } else {
        const QString before = banner_->text();
        UpdateBanner();
        if (banner_->text() != before) emit Changed();
      }
      break;
    case State::kIdle:
    case State::kDisconnected:
      break;
  }
  WatchRecording(now);
  WatchEventRecordings(now);
}

void RecorderTab::WatchFrames(const SessionStatus& s, Clock::time_point now) {
  // A played-back recording stands still while the user pauses it.
  const bool playback = control_->Object().dwDrawMode.load() == kDrawPlayback;
  if (s.framesReceived != framesSeen_ || playback) {
    framesSeen_ = s.framesReceived;
    lastFrameAt_ = now;
  }
  WatchChannels(s, now);
  const auto quiet = std::chrono::duration_cast<std::chrono::seconds>(now - lastFrameAt_).count();
  // The session is still there, but the pictures on screen are old: say so
  // (and for how long) instead of letting them pass for live ones. Not when
  // every channel on screen is one already marked as stopped (a stopped
  // camera enlarged): the recorder sends only what is shown, so its silence
  // is that camera's, and the camera's mark says so.
  const bool explained = shownChannels_ != 0 && (shownChannels_ & ~MarkedChannels()) == 0;
  const int stalled = quiet >= kStallSeconds && !explained ? static_cast<int>(quiet) : 0;
  const bool changed = stalled != stalledSeconds_;
  stalledSeconds_ = stalled;
  if ((stalled > 0) != allVideoLost_) {
    allVideoLost_ = stalled > 0;
    Report(allVideoLost_ ? EventKind::kVideoLost : EventKind::kVideoBack);
  }
  if (!changed) return;
  UpdateBanner();
  emit Changed();
}

uint32_t RecorderTab::MarkedChannels() const {
  uint32_t marked = 0;
  for (size_t c = 0; c < kMaxChannels; ++c) {
    if (channelStalled_[c] > 0) marked |= 1u << c;
  }
  return marked;
}

void RecorderTab::WatchChannels(const SessionStatus& s, Clock::time_point now) {
  // The channels on screen: a grid's panes, or a live single view's one.
  // One reading of the view: the connection thread may change it meanwhile.
  const uint32_t drawMode = control_->Object().dwDrawMode.load();
  const View view = ClassifyDrawMode(drawMode);
  uint32_t shown = 0;
  if (view.kind == ViewKind::kGrid) {
    shown = (1u << (view.side * view.side)) - 1;
  } else if (view.kind == ViewKind::kSingle && drawMode != kDrawPlayback) {
    shown = 1u << view.slot;
  }
  const bool othersGoOn = stalledSeconds_ == 0 && now - lastFrameAt_ < std::chrono::seconds(1);
  bool changed = false;
  for (size_t c = 0; c < kMaxChannels; ++c) {
    const uint32_t bit = 1u << c;
    const bool grew = s.channelFrames[c] != channelSeen_[c];
    // A channel just put on screen (the recorder sends only what is shown)
    // is given its time to start again. One that stays on screen through a
    // change of view (a pane enlarged, or back in the grid) keeps its count.
    if (s.channelFrames[c] != channelSeen_[c] || !(shownChannels_ & bit)) {
      channelSeen_[c] = s.channelFrames[c];
      channelAt_[c] = now;
    }
    // Only a channel that showed a picture this session can freeze; one
    // that never did shows "无信号" by itself. Every session has a control
    // of its own, so its counts start at zero, even for frames that came
    // before the session was seen here. A channel is first marked only
    // while other channels still bring frames (when they all stop, the
    // banner says it for all); once marked it stays so until it sends
    // again, also where nothing else is shown to bring frames.
    int stalled = 0;
    if ((shown & bit) && channelSeen_[c] != 0 && (othersGoOn || channelStalled_[c] > 0)) {
      const auto quiet = std::chrono::duration_cast<std::chrono::seconds>(now - channelAt_[c]);
      if (quiet.count() >= kStallSeconds) stalled = static_cast<int>(quiet.count());
    }
    changed |= stalled != channelStalled_[c] || ((shown ^ shownChannels_) & bit);
    channelStalled_[c] = stalled;
    // Lost when its mark appears; back when it sends again (its mark may
    // have gone before, with the channel off screen).
    if (stalled > 0 && !(videoLost_ & bit)) {
      videoLost_ |= bit;
      Report(EventKind::kVideoLost, static_cast<int>(c));
    } else if ((videoLost_ & bit) && grew) {
      videoLost_ &= ~bit;
      Report(EventKind::kVideoBack, static_cast<int>(c));
    }
  }
  // A change of view moves the marks at once, even with nothing else new.
  changed |= drawMode != marksDrawMode_;
  marksDrawMode_ = drawMode;
  shownChannels_ = shown;
  if (!changed) return;
  PlacePaneMarks();
  emit Changed();
}

QLabel* RecorderTab::NewMark(const QString& text, const char* background, const char* padding) {
  auto* mark = new QLabel(text, this);
  mark->setTextFormat(Qt::PlainText);
  mark->setAlignment(Qt::AlignCenter);
  mark->setStyleSheet(
      QStringLiteral("background-color: %1; color: white; font-weight: bold; padding: %2;")
          .arg(QLatin1String(background), QLatin1String(padding)));
  PassPointerThrough(mark);
  return mark;
}

QRect RecorderTab::PaneInTab(uint32_t drawMode, int channel) const {
  const View view = ClassifyDrawMode(drawMode);
  const int w = window_ ? window_->width() : width();
  const int h = std::max(0, (window_ ? window_->height() : height()) - kToolbarStrip);
  Rect pane{0, 0, w, h};
  if (view.kind == ViewKind::kGrid) {
    pane = PaneRect(view.side, channel / view.side, channel % view.side, w, h);
  }
  const QPoint at = window_ ? window_->mapTo(this, QPoint(pane.left, pane.top)) : QPoint();
  return QRect(at.x(), at.y(), pane.Width(), pane.Height());
}

void RecorderTab::PlacePaneMarks() {
  const uint32_t drawMode = control_->Object().dwDrawMode.load();
  for (size_t c = 0; c < kMaxChannels; ++c) {
    QLabel*& mark = paneMarks_[c];
    if (channelStalled_[c] == 0 || state_ != State::kLive) {
      if (mark) mark->hide();
      continue;
    }
    if (!mark) mark = NewMark(QString(), "rgb(150, 0, 0)", "2px");
    mark->setText(tr("画面已停止 %1 秒").arg(channelStalled_[c]));
    const QRect pane = PaneInTab(drawMode, static_cast<int>(c));
    // Across the middle of the pane, inside it.
    const QSize hint = mark->sizeHint();
    const int mw = std::min(pane.width() - 4, std::max(hint.width(), pane.width() / 2));
    const int mh = std::min(pane.height() - 4, hint.height());
    mark->setGeometry(pane.x() + (pane.width() - mw) / 2, pane.y() + (pane.height() - mh) / 2,
                      std::max(0, mw), std::max(0, mh));
    mark->show();
    mark->raise();
  }
  PlaceRecordMark();
  PlaceMotionMarks();
  RaiseBanner();
}

QLabel* RecorderTab::PaneMark(int channel) const {
  if (channel < 0 || channel >= static_cast<int>(kMaxChannels)) return nullptr;
  return paneMarks_[static_cast<size_t>(channel)];
}

bool RecorderTab::PicturesStopped() const {
  if (state_ != State::kLive) return false;
  if (stalledSeconds_ > 0) return true;
  return std::any_of(channelStalled_.begin(), channelStalled_.end(),
                     [](int seconds) { return seconds > 0; });
}

void RecorderTab::WaitBeforeRetry(ReconnectPolicy::Delay delay, const QString& why, bool lost) {
  Log(LogCategory::kViewer, LogSeverity::kInfo, "%s: %s; next try in %lld ms",
      qUtf8Printable(Title()), qUtf8Printable(why), static_cast<long long>(delay.count()));
  reason_ = why;
  lost_ = lost;
  stopped_ = false;
  retryAt_ = Clock::now() + delay;
  SetState(State::kWaiting);
}

void RecorderTab::ConnectFailed(const QString& why) {
  Report(EventKind::kRecorderUnreachable, kNoChannel, why);
  WaitBeforeRetry(policy_.AfterFailedConnect(), why, false);
}

void RecorderTab::LoginRefused() {
  const QString why = ReasonText(SessionError::kLoginRefused);
  if (const auto delay = policy_.AfterLoginRefused()) {
    Report(EventKind::kLoginRefused, kNoChannel, why);
    WaitBeforeRetry(*delay, why, false);
    return;
  }
  Report(EventKind::kLoginRefused, kNoChannel, tr("%1，已停止重试").arg(why));
  // The same login would be refused again: the operator changes it, or
  // asks for one more try.
  Log(LogCategory::kViewer, LogSeverity::kWarning, "%s: %s; no more tries",
      qUtf8Printable(Title()), qUtf8Printable(why));
  reason_ = why;
  lost_ = false;
  stopped_ = true;
  SetState(State::kWaiting);
}

void RecorderTab::SetState(State state) {
  state_ = state;
  if (state != State::kLive) {
    channelStalled_.fill(0);
    PlacePaneMarks();
  }
  UpdateBanner();
  emit Changed();
}

QString RecorderTab::Title() const {
  return target_ ? target_->Label() : tr("新标签页");
}

QString RecorderTab::RecorderName() const {
  return target_ ? target_->DisplayName() : Title();
}

QString RecorderTab::CameraName(int channel) const {
  if (target_ && channel >= 0 && channel < kMaxCameras) {
    const std::string& name = target_->cameras[static_cast<size_t>(channel)];
    if (!name.empty()) return QString::fromStdString(name);
  }
  return QStringLiteral("CH %1").arg(channel + 1);
}

int RecorderTab::ChannelAt(const QPoint& point) const {
  if (!window_ || point.y() >= window_->height() - kToolbarStrip) return -1;
  const uint32_t drawMode = control_->Object().dwDrawMode.load();
  const View view = ClassifyDrawMode(drawMode);
  if (view.kind == ViewKind::kGrid) {
    return PaneAtPointer(view.side, window_->width(), window_->height(), point.x(), point.y());
  }
  if (view.kind == ViewKind::kSingle && drawMode != kDrawPlayback) return view.slot;
  return -1;
}

bool RecorderTab::eventFilter(QObject* watched, QEvent* event) {
  if (window_ && watched == window_.get() && event->type() == QEvent::ContextMenu && target_) {
    const auto* menu = static_cast<QContextMenuEvent*>(event);
    // Only over the video: the toolbar's buttons stay as they are.
    if (menu->pos().y() < window_->height() - kToolbarStrip) {
      const int channel = ChannelAt(menu->pos());
      menuChannel_ = channel < channels_ ? channel : -1;
      paneMenu_->popup(menu->globalPos());
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

bool RecorderTab::EnlargeChannel(int channel) {
  return state_ == State::kLive && window_ && window_->EnlargeChannel(channel);
}

void RecorderTab::Report(EventKind kind, int channel, const QString& detail, int64_t count) {
  Event event;
  event.count = count;
  event.recorder = Title();
  event.channel = channel;
  event.kind = kind;
  event.detail = detail;
  emit EventOccurred(event);
}

QString RecorderTab::BannerText() const {
  const QString address = RecorderName();
  switch (state_) {
    case State::kIdle:
      return tr("未连接：按 Ctrl+O 连接录像机");
    case State::kDisconnected:
      return tr("已断开 %1").arg(address);
    case State::kConnecting:
      return tr("正在连接 %1…").arg(address);
    case State::kLive:
      if (stalledSeconds_ > 0) {
        return tr("画面已停止：%1 秒未收到视频").arg(stalledSeconds_);
      }
      return QString();
    case State::kWaiting: {
      if (stopped_) return tr("无法连接 %1：%2，已停止重试").arg(address, reason_);
      const auto left = std::chrono::duration<double>(retryAt_ - Clock::now()).count();
      const int seconds = std::max(1, static_cast<int>(std::ceil(left)));
      if (lost_) return tr("连接中断，正在重连…") + QLatin1Char(' ') + tr("%1 秒后重试").arg(seconds);
      return tr("无法连接 %1：%2，%3 秒后重试").arg(address, reason_).arg(seconds);
    }
  }
  return QString();
}

QString RecorderTab::StateText() const {
  const QString address = RecorderName();
  switch (state_) {
    case State::kIdle:
      return tr("未连接");
    case State::kLive:
      if (stalledSeconds_ > 0) {
        return tr("已连接 %1，%2 秒未收到视频").arg(address).arg(stalledSeconds_);
      }
      if (const auto n = std::count_if(channelStalled_.begin(), channelStalled_.end(),
                                       [](int seconds) { return seconds > 0; })) {
        return tr("已连接 %1，%2 路画面已停止").arg(address).arg(n);
      }
      return tr("已连接 %1").arg(address);
    case State::kConnecting:
      return tr("正在连接 %1").arg(address);
    case State::kWaiting:
      if (lost_) return tr("连接中断 %1：%2，正在重连").arg(address, reason_);
      return BannerText();
    case State::kDisconnected:
      return BannerText();
  }
  return QString();
}

void RecorderTab::UpdateBanner() {
  const QString text = BannerText();
  banner_->setText(text);
  banner_->setVisible(!text.isEmpty());
  retry_->setVisible(state_ == State::kWaiting);
  retry_->setText(stopped_ ? tr("更改登录…") : tr("立即重连"));
  PlaceBanner();
  RaiseBanner();
}

void RecorderTab::RaiseBanner() {
  if (recordMark_) recordMark_->raise();
  banner_->raise();
  retry_->raise();
}

void RecorderTab::PlaceBanner() {
  // Across the foot of the video area, above the control's own toolbar.
  const int videoBottom =
      window_ ? window_->mapTo(this, QPoint(0, window_->height() - kToolbarStrip)).y()
              : height() - kToolbarStrip;
  const int top = std::max(0, videoBottom - kBannerHeight);
  banner_->setGeometry(0, top, width(), kBannerHeight);
  const int w = retry_->sizeHint().width();
  retry_->setGeometry(std::max(0, width() - w - 4), top + 2, w, kBannerHeight - 4);
}

void RecorderTab::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  PlaceBanner();
  PlacePaneMarks();
}

}  // namespace zarvion::viewer
