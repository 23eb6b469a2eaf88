// The record every subsystem of one control shares: connection settings,
// events, the session socket, the view words and the playback state.
//
// The scriptable object owns one; the control window adds its surfaces,
// decoders and dialogs for its own lifetime and binds `ui` and `video`.
// The fields are grouped by what guards them: a lock, one owning thread,
// or atomic words both threads touch.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "net/control_ui.h"
#include "net/protocol.h"
#include "net/video_sink.h"
#include "platform/event.h"
#include "platform/socket.h"
#include "view/motion_board.h"
#include "view/view_model.h"

namespace zarvion {

// What the connection thread is doing, for the host to show. The thread
// writes these; nothing in the control reads them.
enum class SessionState : uint32_t {
  kIdle,        // waiting for a connect request
  kConnecting,  // a connect is under way
  kSession,     // connected: session start and steady state
  kEnded,       // the thread is over (session ended, or stopped)
};

// Why the last connect failed or the last session ended.
enum class SessionError : uint32_t {
  kNone,
  kBadAddress,      // the host name is not dotted IPv4 text
  kRefused,         // nothing listens at the port
  kUnreachable,     // no route to the network or host
  kTimedOut,        // the connect itself timed out
  kConnectFailed,   // any other connect failure
  kClosedByServer,  // the recorder closed the session
  kLost,            // the session broke off (receive failure, reset)
  kLoginRefused,    // the recorder closed the session before answering the login
};

// Why a recording or a snapshot could not be written.
enum class FileFailure : uint32_t {
  kNone,
  kDiskFull,          // no room left on the volume or in the quota
  kFolderUnwritable,  // the folder is missing, read-only or not ours to write
  kSessionLost,       // the session ended under the recording
  kOther,             // any other error: see the errno kept with it
};

// The failure an errno of a file operation stands for (0: kNone).
FileFailure FileFailureFromErrno(int error);
// The same for an operation known to have failed: kOther when it left no
// errno to go by.
inline FileFailure FailureOf(int error) {
  return error ? FileFailureFromErrno(error) : FileFailure::kOther;
}

// The last snapshot the control took: where it went, whether the file was
// written (and if not, why), and a count that grows with each, so a host
// sees every one.
struct SnapshotStatus {
  uint32_t count = 0;
  std::string path;  // UTF-8
  bool saved = false;
  FileFailure failure = FileFailure::kNone;
  int error = 0;  // the errno behind the failure; 0 when there was none
};

// The record button's recording: the channel it records now, the file, and
// how the last recording ended or why one could not start. `count` grows
// with every start and every end, so a host sees each.
struct RecordingStatus {
  enum class Outcome : uint32_t {
    kNone,       // nothing recorded yet
    kRecording,  // `channel` is recording into `path`
    kStopped,    // stopped by the button, or by a change of view
    kFailed,     // could not start, or stopped by `failure`
  };
  uint32_t count = 0;
  Outcome outcome = Outcome::kNone;
  int channel = -1;  // 0-based, while recording; else the last channel recorded
  std::string path;  // UTF-8: the file written now or last; empty when none was made
  FileFailure failure = FileFailure::kNone;
  int error = 0;  // the errno behind the failure
  bool Recording() const { return outcome == Outcome::kRecording; }
};

// The last notice the recorder sent, and a count that grows with each, so a
// host that reads now and then learns of every one.
struct NoticeStatus {
  uint32_t count = 0;
  std::string text;  // UTF-8, as the notice box shows it
};

// A consistent enough reading of the three words below: errorCount changes
// after lastError is written, so a reader that sees a new count sees its error.
struct SessionStatus {
  SessionState state = SessionState::kIdle;
  SessionError lastError = SessionError::kNone;
  uint32_t errorCount = 0;      // grows by one with every failed connect or ended session
  uint32_t framesReceived = 0;  // video frames received whole, in every session so far
  std::array<uint32_t, kMaxChannels> channelFrames{};  // the same, channel by channel
};

// Names the host gave the cameras (UTF-8), entry k - 1 for channel k; an
// empty one leaves that camera's captions saying "CH k".
using CameraNames = std::array<std::string, kMaxChannels>;

struct ControlObject {
  // Protected by settingsLock: the connection settings, written by the
  // scriptable members on the host's thread and copied by the connection
  // thread when it connects and logs in (GBK bytes), so a copy is never torn.
  char szHostName[64] = {};
  uint16_t wHostPort = 0;
  char szLoginPara[256] = {};
  std::mutex settingsLock;

  // Made together, once, by whichever comes first: ConnectServer or the
  // window's set-up (see EnsureEvents), before any connection thread runs;
  // the events themselves may be set and reset from any thread.
  std::unique_ptr<Event> hConnectEvent;
  std::unique_ptr<Event> hStopEvent;
  std::unique_ptr<Event> hIoEvent;

  // Protected by socketLock: replacing or closing the session socket, and
  // every message sent, held for the whole message, so messages from the
  // two threads never interleave and the socket is never closed under a
  // sender. Receiving is the connection thread's alone.
  Socket socket;
  std::mutex socketLock;

  // Written by the connection thread, read by any thread (atomic words).
  std::atomic<uint32_t> bConnected{0};
  // SessionState, SessionError and their count; see SessionStatus.
  std::atomic<uint32_t> dwSessionState{0};
  std::atomic<uint32_t> dwLastError{0};
  std::atomic<uint32_t> dwErrorCount{0};
  std::atomic<uint32_t> dwFramesReceived{0};
  std::array<std::atomic<uint32_t>, kMaxChannels> dwChannelFrames{};
  std::atomic<uint32_t> dwThreadId{0};
  // From SessionInfo; 0 until one arrives.
  std::atomic<uint32_t> channelCount{0};
  std::atomic<uint32_t> sessionFlags{0};

  // Protected by videoParamLock: the picture settings of channels 1..16,
  // entry k - 1 for channel k, bytes in the order brightness, hue,
  // saturation, contrast. Written from the recorder's table by the
  // connection thread and from what the settings dialog sent by the window.
  std::array<std::array<uint8_t, 4>, kMaxChannels> byVideoParam{};
  std::mutex videoParamLock;

  // Owned by the connection thread: the last server notice, NUL-terminated
  // GBK, written before the thread posts it; the window copies it during
  // the post, still on that thread.
  std::array<char, kServerTextSize> szServerText{};
  // Protected by noticeLock: the same notice for the host, written by the
  // connection thread as it receives it.
  NoticeStatus lastNotice;
  mutable std::mutex noticeLock;

  // Made by the window's set-up before the connection thread starts; while
  // it runs, the frame buffer is the connection thread's (each VideoFrame
  // payload is received into it).
  uint16_t wFrameWidth = 352;
  uint16_t wFrameHeight = 288;
  std::unique_ptr<uint8_t[]> pFrameBuffer;

  // The view (DrawMode words and flags; see view/view_model.h). Atomic
  // words both threads change, only through the view model (ReadView, a
  // transition, ApplyView); the renderer reads dwDrawMode and clears
  // bLayoutDirty and bSnapshot as it composes.
  std::atomic<uint32_t> dwDrawMode{kDefaultDrawMode};
  std::atomic<uint32_t> dwSavedDrawMode{kDefaultDrawMode};
  std::atomic<uint32_t> bLayoutDirty{0};
  std::atomic<uint32_t> bSnapshot{0};
  // 1: no layout was chosen, so the session's first view fits the
  // recorder's channel count (see FittedView); the user's own choice of a
  // layout clears it.
  std::atomic<uint32_t> bFitViewToChannels{0};

  // Protected by snapshotLock: the last snapshot, written by whichever
  // thread took it (the renderer takes it on its next composition); for
  // the host.
  SnapshotStatus lastSnapshot;
  mutable std::mutex snapshotLock;

  // Protected by cameraNamesLock: the names the captions show in place of
  // "CH k", set by the host, read by the renderer; cameraNamesSerial grows
  // with every change, so the renderer reads them again only then.
  CameraNames cameraNames;
  mutable std::mutex cameraNamesLock;
  std::atomic<uint32_t> cameraNamesSerial{0};
  // Protected by recordingLock: the record button's recording, written by
  // the window on its thread and by a decoder whose recording stopped by
  // itself on the connection thread; for the host.
  RecordingStatus recording;
  mutable std::mutex recordingLock;

  // Motion per channel: the decoders' detectors tell it, the host reads it
  // and sets the detectors' settings (it has a lock of its own).
  MotionBoard motion;

  // Playback: atomic words both threads change. The connection thread sets
  // the length and the position at PlaybackInfo and advances the position
  // with one atomic add per step; the window stores the position where the
  // slider is let go and sets and clears the pause. Neither change can undo
  // the other, so the position needs no lock. csPosition is not taken by
  // the control; a caller that must set dwPlayPos and bPaused as one change
  // against another such caller holds it.
  std::atomic<uint32_t> dwPlayLength{0};
  std::atomic<uint32_t> dwPlayPos{0};
  std::atomic<uint32_t> bPaused{0};
  std::mutex csPosition;

  // Set by the window's set-up and cleared by its teardown, while no
  // connection thread runs; null otherwise.
  ControlUi* ui = nullptr;
  VideoSink* video = nullptr;
};

// The view as the control object's words hold it (any thread).
ViewState ReadView(const ControlObject& obj);
// Writes the view words `step` changed: the snapshot flag, the fit flag,
// the saved view, then the view shown (the renderer reads the last), and
// sets bLayoutDirty when the step asks for it. A step that does not apply
// changes nothing.
void ApplyView(ControlObject& obj, const ViewStep& step);

// Creates hConnectEvent, hStopEvent and hIoEvent, in that order, when
// hConnectEvent does not exist yet. Host thread only.
void EnsureEvents(ControlObject& obj);

// Reads the session words (any thread).
SessionStatus ReadSessionStatus(const ControlObject& obj);
// Records a snapshot just taken (`error`: the errno when it was not
// saved), and reads the last one (any thread).
void ReportSnapshot(ControlObject& obj, const std::string& path, bool saved, int error = 0);
SnapshotStatus ReadLastSnapshot(const ControlObject& obj);
// Sets the cameras' names (host thread), and reads them when they changed
// since `*serial` (any thread): false, with `names` untouched, when not.
void SetCameraNames(ControlObject& obj, const CameraNames& names);
bool ReadCameraNames(const ControlObject& obj, uint32_t* serial, CameraNames* names);
// Records that `channel` started recording into `path`, or that the file of
// the running recording is now `path` (a split); any thread.
void ReportRecordingFile(ControlObject& obj, int channel, const std::string& path);
// Records the end of the recording, or a start that failed: stopped when
// `failure` is kNone, else failed with the errno `error`; any thread.
void ReportRecordingEnd(ControlObject& obj, FileFailure failure, int error = 0);
// The recording as the host sees it: one still open when the session has
// ended takes no more frames and reads as failed, session lost.
RecordingStatus ReadRecording(const ControlObject& obj);
// Records the notice just received in szServerText (connection thread), and
// reads the last one (any thread).
void ReportNotice(ControlObject& obj);
NoticeStatus ReadLastNotice(const ControlObject& obj);
// The connection thread's side: records an error and counts it.
void ReportSessionError(ControlObject& obj, SessionError error);
// The error a failed connect's errno stands for.
SessionError ConnectErrorFromErrno(int error);

}  // namespace zarvion
