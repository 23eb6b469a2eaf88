// One tab of the viewer: one recorder, served by its own control object,
// control window and connection thread, with a banner over the video area
// whenever the picture is not live.
//
// The tab scripts the control by name (strHostName, strHostPort,
// ConnectServer) and reads its session status; nothing else. A recorder
// given by host name is looked up before every try, and the control gets
// the address; the tab goes on showing the name. When a session
// ends it replaces the control at once, so the frozen last pictures give way
// to the idle panes, and tries again after the reconnect policy's delay.
// Every retry runs on a fresh control object: after a session the control's
// connect request stays set, and a window re-created on the same object
// would connect at once, outside the back-off.
#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <optional>

#include <QString>
#include <QTimer>
#include <QWidget>

#include "shell/zarvinet.h"
#include "viewer/event_log.h"
#include "viewer/recent_recorders.h"
#include "viewer/reconnect_policy.h"

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace zarvion {
class ControlWindow;
}

namespace zarvion::viewer {

class HostResolver;

// The words for why a connect failed or a session ended.
QString ReasonText(SessionError error);

class RecorderTab : public QWidget {
  Q_OBJECT

 public:
  enum class State {
    kIdle,          // no recorder chosen yet
    kDisconnected,  // the user chose "断开"
    kConnecting,
    kLive,
    kWaiting,  // a connect failed or a session ended; the next try is due later
  };

  // A connect that has not finished after this long is given up and retried.
  static constexpr std::chrono::milliseconds kConnectTimeout{10000};

  explicit RecorderTab(QWidget* parent = nullptr,
                       std::chrono::milliseconds connectTimeout = kConnectTimeout);
  ~RecorderTab() override;

  // Connects to `recorder` now, dropping any session of this tab.
  void Connect(const Recorder& recorder);
  // Takes `recorder` (same address) as the target without connecting again:
  // what is kept of it when the tabs are saved.
  void SetTarget(const Recorder& recorder) { target_ = recorder; }
  // Ends the session and stops retrying; the panes show no signal.
  void Disconnect();
  // Tries the recorder now instead of when the wait is over, also after
  // the retries stopped or the user chose "断开". Refusals of the login go
  // on counting: a refused try stops the retries again.
  void RetryNow();
  // There is a recorder to try and no live session.
  bool CanRetryNow() const;
  // The delays between tries (tests shorten them).
  void SetReconnectPolicy(const ReconnectPolicy& policy) { policy_ = policy; }

  State CurrentState() const { return state_; }
  // Waiting with no try due: the recorder refused the login too often.
  bool RetryStopped() const { return state_ == State::kWaiting && stopped_; }
  const std::optional<Recorder>& Target() const { return target_; }
  // The recorder's address, or "新标签页" before one is chosen.
  QString Title() const;
  // The recorder as the operator named it, else its address (Title()).
  QString RecorderName() const;
  // A camera (0-based channel) as the operator named it, else "CH n".
  QString CameraName(int channel) const;
  // One line for the window title and status bar.
  QString StateText() const;
  // What the banner says; empty while the picture is live.
  QString BannerText() const;
  QLabel* Banner() const { return banner_; }
  // "立即重连", at the end of the banner while waiting.
  QPushButton* RetryButton() const { return retry_; }
  // The mark over a shown channel's pane (0-based) whose picture stopped
  // while the others go on; hidden, or null, while the channel is live.
  QLabel* PaneMark(int channel) const;
  // Live, but some picture on screen has stopped: the whole recorder's (the
  // banner) or one channel's (its pane mark).
  bool PicturesStopped() const;
  // Shows `channel` (0-based) alone, as a double-click on its pane does;
  // false when the tab is not live or the recorder has no such channel.
  bool EnlargeChannel(int channel);
  // The control's window (for the screenshot and tests).
  ControlWindow* Window() const { return window_.get(); }
  // Sessions this tab has started, a new one after each reconnect.
  int Sessions() const { return sessions_; }

 signals:
  // The state, the banner or the target changed.
  void Changed();
  // A line about the repair of the record folder's recordings (empty: the
  // repair has nothing more to tell).
  void RepairStatus(const QString& text);
  // Something the operator did has an outcome to tell, in one line (where
  // a snapshot went).
  void Notice(const QString& text);
  // Something worth keeping in the event list happened to this recorder;
  // the event's recorder is its address (Title()), its time now.
  void EventOccurred(const zarvion::viewer::Event& event);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  // A new control object and window; the old ones go first (the window's
  // teardown stops and joins its connection thread).
  void ReplaceControl();
  void Attempt();
  // Hands the recorder's address to the control and asks it to connect.
  void ConnectControl(const QString& address);
  void Resolved(const QString& address, const QString& error);
  void Poll();
  void WaitBeforeRetry(ReconnectPolicy::Delay delay, const QString& why, bool lost);
  // The recorder closed the session before answering the login.
  void LoginRefused();
  void SetState(State state);
  // Emits EventOccurred for this recorder; `count` occurrences at once.
  void Report(EventKind kind, int channel = kNoChannel, const QString& detail = {},
              int64_t count = 1);
  // A connect failed for `why`: told as an event, then waited on.
  void ConnectFailed(const QString& why);
  void UpdateBanner();
  void PlaceBanner();
  // The banner and its button above the control and the pane marks.
  void RaiseBanner();
  // While live: notes the frames received so far and marks the tab stalled
  // when none came for a while.
  void WatchFrames(const SessionStatus& s, std::chrono::steady_clock::time_point now);
  // The same channel by channel, for the channels on screen: a pane whose
  // channel stopped while others go on gets a mark of its own.
  void WatchChannels(const SessionStatus& s, std::chrono::steady_clock::time_point now);
  void PlacePaneMarks();
  // The channels whose pane carries a mark, one bit each.
  uint32_t MarkedChannels() const;

  std::unique_ptr<Zarvinet> control_;
  std::unique_ptr<ControlWindow> window_;
  bool controlUsed_ = false;    // ConnectServer was called on control_
  uint32_t snapshotsSeen_ = 0;  // control_'s snapshots already told
  uint32_t noticesSeen_ = 0;    // control_'s notices already told
  QVBoxLayout* layout_;
  QLabel* banner_;
  QPushButton* retry_;
  HostResolver* resolver_;

  std::optional<Recorder> target_;
  State state_ = State::kIdle;
  std::chrono::milliseconds connectTimeout_;
  ReconnectPolicy policy_;
  QTimer poll_;
  uint32_t errorsSeen_ = 0;
  std::chrono::steady_clock::time_point attemptStart_;
  std::chrono::steady_clock::time_point sessionStart_;
  std::chrono::steady_clock::time_point retryAt_;
  QString reason_;     // why the last try failed or the last session ended
  bool lost_ = false;     // the wait follows a session that ended
  bool stopped_ = false;  // the wait has no end: no try is due
  int sessions_ = 0;
  uint32_t framesSeen_ = 0;
  std::chrono::steady_clock::time_point lastFrameAt_;
  int stalledSeconds_ = 0;  // whole seconds without a frame, once past the limit; else 0
  // Per channel: frames counted when last seen to grow and when that was,
  // whether it is on screen, and its stall in whole seconds (0: live, or
  // not watched).
  std::array<uint32_t, kMaxChannels> channelSeen_{};
  std::array<std::chrono::steady_clock::time_point, kMaxChannels> channelAt_{};
  uint32_t shownChannels_ = 0;
  std::array<int, kMaxChannels> channelStalled_{};
  std::array<QLabel*, kMaxChannels> paneMarks_{};
  uint32_t marksDrawMode_ = 0;  // the view the marks were placed for
  // What has been told as video lost and not yet as back, this session: the
  // channels, one bit each, and the whole recorder.
  uint32_t videoLost_ = 0;
  bool allVideoLost_ = false;
};

}  // namespace zarvion::viewer
