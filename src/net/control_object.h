// The record every subsystem of one control shares: connection settings,
// events, the session socket, the view words and the playback state.
//
// The scriptable object owns one; the control window adds its surfaces,
// decoders and dialogs for its own lifetime and binds `ui` and `video`.
// Words that both threads touch are atomic 32-bit values; everything else
// belongs to one thread, as noted.
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
};

// The last snapshot the control took: where it went, whether the file was
// written, and a count that grows with each, so a host sees every one.
struct SnapshotStatus {
  uint32_t count = 0;
  std::string path;  // UTF-8
  bool saved = false;
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
  // Connection settings, written by the scriptable members on the host's
  // thread and copied by the connection thread when it connects and logs in
  // (GBK bytes); both sides hold settingsLock, so a copy is never torn.
  char szHostName[64] = {};
  uint16_t wHostPort = 0;
  char szLoginPara[256] = {};
  std::mutex settingsLock;

  // Created together, once, by whichever comes first: ConnectServer or the
  // window's set-up (see EnsureEvents).
  std::unique_ptr<Event> hConnectEvent;
  std::unique_ptr<Event> hStopEvent;
  std::unique_ptr<Event> hIoEvent;

  // The session socket. socketLock guards replacing or closing it and is
  // held for the whole of every message sent, so messages from the two
  // threads never interleave and the socket is never closed under a sender.
  Socket socket;
  std::mutex socketLock;

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
  // Picture settings of channels 1..16: entry k - 1 for channel k, bytes in
  // the order brightness, hue, saturation, contrast.
  // Written by the connection thread, read by the window: under videoParamLock.
  std::array<std::array<uint8_t, 4>, kMaxChannels> byVideoParam{};
  std::mutex videoParamLock;

  // Last server notice, NUL-terminated GBK; written by the connection
  // thread before it posts, read by the window when it shows the text.
  std::array<char, kServerTextSize> szServerText{};

  // Receives each VideoFrame payload; allocated by the window's set-up.
  uint16_t wFrameWidth = 352;
  uint16_t wFrameHeight = 288;
  std::unique_ptr<uint8_t[]> pFrameBuffer;

  // View words (DrawMode values) and the renderer's hand-off flags.
  std::atomic<uint32_t> dwDrawMode{kDefaultDrawMode};
  std::atomic<uint32_t> dwSavedDrawMode{kDefaultDrawMode};
  std::atomic<uint32_t> bLayoutDirty{0};
  std::atomic<uint32_t> bSnapshot{0};
  // 1: no layout was chosen, so the session's first view fits the
  // recorder's channel count (see FittedView); the user's own choice of a
  // layout clears it.
  std::atomic<uint32_t> bFitViewToChannels{0};
  // The last snapshot, written by whichever thread took it (the renderer
  // takes it on its next composition) under snapshotLock; for the host.
  SnapshotStatus lastSnapshot;
  mutable std::mutex snapshotLock;

  // Playback. Both threads change dwPlayPos, each with one atomic
  // operation (the step's add, the slider release's store), so neither
  // change can undo the other and the position needs no lock. csPosition is
  // not taken by the control; a caller that must set dwPlayPos and bPaused
  // as one change against another such caller holds it.
  std::atomic<uint32_t> dwPlayLength{0};
  std::atomic<uint32_t> dwPlayPos{0};
  std::atomic<uint32_t> bPaused{0};
  std::mutex csPosition;

  // Bound by the window for its lifetime; null otherwise.
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
// The connection thread's side: records an error and counts it.
void ReportSessionError(ControlObject& obj, SessionError error);
// The error a failed connect's errno stands for.
SessionError ConnectErrorFromErrno(int error);

}  // namespace zarvion
