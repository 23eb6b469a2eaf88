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

// The last snapshot the control took: where it went, whether the file was
// written, and a count that grows with each, so a host sees every one.
struct SnapshotStatus {
  uint32_t count = 0;
  std::string path;  // UTF-8
  bool saved = false;
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
// Records a snapshot just taken, and reads the last one (any thread).
void ReportSnapshot(ControlObject& obj, const std::string& path, bool saved);
SnapshotStatus ReadLastSnapshot(const ControlObject& obj);
// Records the notice just received in szServerText (connection thread), and
// reads the last one (any thread).
void ReportNotice(ControlObject& obj);
NoticeStatus ReadLastNotice(const ControlObject& obj);
// The connection thread's side: records an error and counts it.
void ReportSessionError(ControlObject& obj, SessionError error);
// The error a failed connect's errno stands for.
SessionError ConnectErrorFromErrno(int error);

}  // namespace zarvion
