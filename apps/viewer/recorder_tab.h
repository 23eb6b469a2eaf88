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
//
// The tab follows the control's recording (Zarvinet::Recording) and
// snapshots and tells each start, stop, failure and saved or failed
// snapshot as an event; a recording a lost session interrupted goes on
// when the tab is live again, into a new file. While a channel records its
// pane carries a "● REC" mark. The record and snapshot folders are watched
// for free space while recording and at every snapshot.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>

#include <QImage>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include "shell/zarvinet.h"
#include "viewer/event_log.h"
#include "viewer/motion_dialog.h"
#include "viewer/recent_recorders.h"
#include "viewer/reconnect_policy.h"
#include "viewer/recording_catalogue.h"

class QAction;
class QLabel;
class QMenu;
class QPushButton;
class QVBoxLayout;

namespace zarvion {
class ControlWindow;
}

namespace zarvion::viewer {

class HostResolver;

// The words for why a connect failed or a session ended.
QString ReasonText(SessionError error);
// Makes `overlay` show over the control's video area while the control
// takes the pointer.
void PassPointerThrough(QWidget* overlay);
// The words for why a recording or a snapshot could not be written.
QString FailureText(FileFailure failure, int error, bool snapshot);

// Free space counts as low below this share of the volume, or below the
// floor when that is more.
inline constexpr uint64_t kDiskLowFloor = uint64_t{1} << 30;
inline constexpr int kDiskLowPercent = 2;
// Whether the volume holding `folder` has less free space than
// max(floor, 2 % of its size); nullopt when it cannot be asked.
std::optional<bool> DiskSpaceLow(const QString& folder, uint64_t floor = kDiskLowFloor);

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
  void SetTarget(const Recorder& recorder);
  // Gives the recorder and its cameras the names of `named`; the panes'
  // captions follow at once.
  void SetNames(const Recorder& named);
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
  // The recorder's channels as its last session told, 16 before any.
  int ChannelCount() const { return channels_; }
  // The channel (0-based) of the pane at `point` of the control's window
  // in the view it shows, or -1 (between panes, on the toolbar, playback).
  int ChannelAt(const QPoint& point) const;
  // What a right-click on the video area offers ("命名…"); the channel it
  // was for, while it shows.
  QMenu* PaneMenu() const { return paneMenu_; }
  int PaneMenuChannel() const { return menuChannel_; }
  // One line for the window title and status bar.
  QString StateText() const;
  // What the banner says; empty while the picture is live.
  QString BannerText() const;
  QLabel* Banner() const { return banner_; }
  // "立即重连", at the end of the banner while waiting; "更改登录…" once
  // the login was refused for good.
  QPushButton* RetryButton() const { return retry_; }
  // The mark over a shown channel's pane (0-based) whose picture stopped
  // while the others go on; hidden, or null, while the channel is live.
  QLabel* PaneMark(int channel) const;
  // Live, but some picture on screen has stopped: the whole recorder's (the
  // banner) or one channel's (its pane mark).
  bool PicturesStopped() const;
  // Shows `channel` (0-based) alone, as a double-click on its pane does;
  // false when the tab is not live or the channel has sent no picture.
  bool EnlargeChannel(int channel);
  // "● REC" over the pane of the channel that records; hidden, or null,
  // while none does.
  QLabel* RecordMark() const { return recordMark_; }
  // The "● 移动" mark on the pane of `channel` (0-based) while motion lasts
  // there; null until it was first shown.
  QLabel* MotionMark(int channel) const;
  // Motion detection for the camera of `channel` (0-based): on by default,
  // kept across reconnects. Off ends an event lasting there.
  void SetMotionEnabled(int channel, bool on);
  bool MotionEnabled(int channel) const;
  // Every camera's motion settings at once, as the recorder was remembered
  // with them (nothing is told: they are what was kept).
  void SetCameraMotions(const CameraMotions& motion);
  // One camera's (0-based channel) settings; a change applies to the
  // control at once, goes with the target and is told by
  // MotionSettingsChanged. Turning the recording off ends one under way.
  void SetCameraMotion(int channel, const CameraMotion& motion);
  const CameraMotion& CameraMotionOf(int channel) const;
  // "移动侦测设置…" for a camera (0-based channel), window-modal, over its
  // current picture; OK applies what it holds. Null for no camera.
  MotionDialog* ShowMotionDialog(int channel);
  MotionDialog* OpenMotionDialog() const { return motionDialog_.data(); }
  // The picture of a channel's pane as shown now; else the picture of its
  // last motion peak; else null.
  QImage PanePicture(int channel) const;
  // "显示移动区块": the enlarged camera's blocks changing now drawn over its
  // picture, refreshed at every poll.
  void SetShowMotionBlocks(bool on);
  bool ShowsMotionBlocks() const { return showMotionBlocks_; }
  // The overlay, null until first shown, and the blocks it draws now (none
  // while hidden).
  QWidget* MotionBlocks() const { return motionBlocks_; }
  MotionMask ShownMotionBlocks() const { return shownBlocks_; }
  // The channel a lost session interrupted, to record again once live;
  // -1 when there is none.
  int ChannelToResume() const { return resumeChannel_; }
  // The free space below which a folder's volume counts as low, when more
  // than 2 % of it (tests use small volumes).
  void SetDiskLowFloor(uint64_t bytes) { diskLowFloor_ = bytes; }
  // Recording on motion: while a camera's motion lasts, and the post-roll
  // after it, its channel records into an EVENT_ file that begins with the
  // pre-roll before the motion; a file longer than the longest goes on in
  // a new one. A camera whose "移动侦测录像" is off keeps no pre-roll.
  struct EventRecordingTimes {
    std::chrono::milliseconds preRoll{5000};
    std::chrono::milliseconds postRoll{10000};
    std::chrono::milliseconds longest{600000};
    size_t ringBytes = size_t{2} << 20;  // each channel's pre-roll, at most
  };
  void SetEventRecordingTimes(const EventRecordingTimes& times);
  const EventRecordingTimes& EventTimes() const { return eventTimes_; }
  // "移动侦测录像" of a camera (0-based channel): on for every camera until
  // turned off. Turning it off ends a recording under way.
  void SetMotionRecording(int channel, bool on);
  bool MotionRecording(int channel) const;
  // The file the camera's event recording writes now; empty when none runs.
  QString EventRecordingPath(int channel) const;
  // The control's window (for the screenshot and tests).
  ControlWindow* Window() const { return window_.get(); }
  // Sessions this tab has started, a new one after each reconnect.
  int Sessions() const { return sessions_; }

 signals:
  // The state, the banner or the target changed.
  void Changed();
  // The recorder refused the login for good and the operator asked to
  // give another ("更改登录…" on the banner).
  void LoginWanted();
  // A line about the repair of the record folder's recordings (empty: the
  // repair has nothing more to tell).
  void RepairStatus(const QString& text);
  // Something the operator did has an outcome to tell, in one line (where
  // a snapshot went).
  void Notice(const QString& text);
  // Something worth keeping in the event list happened to this recorder;
  // the event's recorder is its address (Title()), its time now.
  void EventOccurred(const zarvion::viewer::Event& event);
  // Motion on a camera (0-based channel) began or ended, as the detector
  // decided (its settle, minimum and gap already applied).
  void MotionChanged(int channel, bool active);
  // The files this tab's recordings and snapshots write, for the
  // catalogue: a recording (a manual one, each part of a split one, an
  // event's) began in `path` at `startMs` (ms since the epoch), it was
  // closed, a snapshot was saved.
  void RecordingFileStarted(const QString& path, zarvion::viewer::CatalogueKind kind, int channel,
                            qint64 startMs);
  void RecordingFileEnded(const QString& path);
  void SnapshotFileSaved(const QString& path, int channel, qint64 timeMs);
  // The operator asked to name this recorder, from the pane of `channel`
  // (0-based), or -1 from no pane.
  void NameRequested(int channel);
  // The operator changed a camera's (0-based channel) motion settings; the
  // target carries them.
  void MotionSettingsChanged(int channel);

 protected:
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // A new control object and window; the old ones go first (the window's
  // teardown stops and joins its connection thread).
  void ReplaceControl();
  // Hands the control the cameras' names when the captions are to show them.
  void ApplyCameraNames();
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
  // A mark of the viewer's own over the video: plain `text`, white and bold
  // on `background` (a style sheet colour), letting the pointer through.
  QLabel* NewMark(const QString& text, const char* background, const char* padding);
  // The pane of `channel` (0-based) in this tab's coordinates under the view
  // `drawMode` shows: the whole video area for a channel shown alone.
  QRect PaneInTab(uint32_t drawMode, int channel) const;
  // The channels whose pane carries a mark, one bit each.
  uint32_t MarkedChannels() const;

  // Recording and snapshots (tab_recording.cpp).
  // Tells what became of the control's snapshots since the last poll.
  void WatchSnapshots();
  // Tells what became of the control's recording since the last poll,
  // resumes an interrupted one, and checks the free space while recording.
  void WatchRecording(std::chrono::steady_clock::time_point now);
  void TryResume(std::chrono::steady_clock::time_point now);
  // The recording this tab follows ended with its control: the session was
  // lost (`lost`: it goes on once live again) or the operator left it.
  void EndRecordingWithControl(bool lost);
  // RecordingFileStarted with the start the file's name carries.
  void TellRecordingStarted(const QString& path, CatalogueKind kind, int channel);
  // One kDiskSpaceLow event each time `folder`'s volume runs low.
  void CheckDiskSpace(const QString& folder);
  void PlaceRecordMark();

  // Recording on motion (tab_event_recording.cpp).
  void OnMotionChanged(int channel, bool active);
  // Ends the post-rolls that are over, follows splits and failures, and
  // splits the files that reached the longest length.
  void WatchEventRecordings(std::chrono::steady_clock::time_point now);
  // The control goes: every event recording ends with it.
  void EndEventRecordings();
  // Ends the camera's event recording under way when its "移动侦测录像" is off.
  void StopMotionRecordingIfOff(int channel);
  void ApplyPreRoll();
  void ApplyPreRoll(int channel);

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
  QString reason_;        // why the last try failed or the last session ended
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
  int channels_ = kMaxCameras;
  QMenu* paneMenu_;
  int menuChannel_ = -1;

  // The recording told so far: control_'s count of its changes, and the
  // channel and file of the one running (-1 and empty when none).
  uint32_t recordingsSeen_ = 0;
  int recordingChannel_ = -1;
  QString recordingPath_;
  int resumeChannel_ = -1;      // see ChannelToResume
  bool resumeStarted_ = false;  // the next start is the resumed recording
  std::chrono::steady_clock::time_point diskCheckedAt_;
  uint64_t diskLowFloor_ = kDiskLowFloor;
  std::map<QString, bool> diskLow_;  // per folder: low when last checked
  QLabel* recordMark_ = nullptr;
  // Each camera's event recording as the tab follows it.
  struct MotionRecord {
    bool running = false;
    bool motion = false;                           // the camera's motion lasts
    std::chrono::steady_clock::time_point stopAt;  // the post-roll's end
    std::chrono::steady_clock::time_point fileStart;
    bool splitAsked = false;
    uint32_t files = 0;  // the decoder's count of files when last seen
    QString path;
  };
  std::array<MotionRecord, kMaxChannels> motionRecords_{};
  EventRecordingTimes eventTimes_;
  // What has been told as video lost and not yet as back, this session: the
  // channels, one bit each, and the whole recorder.
  uint32_t videoLost_ = 0;
  bool allVideoLost_ = false;

  // Motion (tab_motion.cpp).
  // Tells the motion events the control's detectors began or ended since
  // the last poll; with `ended` every event still lasting ends (the session
  // is over).
  void WatchMotion(bool ended = false);
  void BeginMotion(int channel);
  void EndMotion(int channel, const MotionStatus& status);
  void PlaceMotionMarks();
  // Hands a new control the cameras' motion settings.
  void ApplyMotionSettings();
  void PlaceMotionBlocks();
  CameraMotions motion_{};
  // Per camera, for the event lasting: its recording's file, and whether it
  // was told as an alarm when it began (one bit each).
  std::array<QString, kMaxChannels> motionFiles_{};
  uint32_t motionAlarmed_ = 0;
  QPointer<MotionDialog> motionDialog_;
  bool showMotionBlocks_ = false;
  QWidget* motionBlocks_ = nullptr;
  MotionMask shownBlocks_{};
  QRect blocksPane_;  // where shownBlocks_ were drawn
  std::array<uint32_t, kMaxChannels> motionChanges_{};
  std::array<bool, kMaxChannels> motionActive_{};
  std::array<int64_t, kMaxChannels> motionStartMs_{};
  std::array<QLabel*, kMaxChannels> motionMarks_{};
  bool motionSynced_ = false;  // motionChanges_ are the control's counts
};

}  // namespace zarvion::viewer
