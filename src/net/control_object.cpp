#include "net/control_object.h"

#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/code_page.h"

namespace zarvion {

void EnsureEvents(ControlObject& obj) {
  if (obj.hConnectEvent) return;
  obj.hConnectEvent = std::make_unique<Event>();
  obj.hStopEvent = std::make_unique<Event>();
  obj.hIoEvent = std::make_unique<Event>();
}

SessionStatus ReadSessionStatus(const ControlObject& obj) {
  SessionStatus s;
  s.errorCount = obj.dwErrorCount.load();
  s.lastError = static_cast<SessionError>(obj.dwLastError.load());
  s.state = static_cast<SessionState>(obj.dwSessionState.load());
  s.framesReceived = obj.dwFramesReceived.load(std::memory_order_relaxed);
  for (size_t c = 0; c < kMaxChannels; ++c) {
    s.channelFrames[c] = obj.dwChannelFrames[c].load(std::memory_order_relaxed);
  }
  return s;
}

ViewState ReadView(const ControlObject& obj) {
  ViewState s;
  s.shown = obj.dwDrawMode.load();
  s.saved = obj.dwSavedDrawMode.load();
  s.snapshot = obj.bSnapshot.load() != 0;
  s.fitToChannels = obj.bFitViewToChannels.load() != 0;
  return s;
}

void ApplyView(ControlObject& obj, const ViewStep& step) {
  if (!step.applies) return;
  // Only what the step changed is written: the other thread may change a
  // word between the reading and the step (the renderer clears bSnapshot
  // when it takes the snapshot, the recorder switches views), and an
  // unchanged word written back would undo that.
  if (step.layoutDirty) obj.bLayoutDirty = 1;
  if (step.after.snapshot != step.before.snapshot) obj.bSnapshot = step.after.snapshot ? 1 : 0;
  if (step.after.fitToChannels != step.before.fitToChannels) {
    obj.bFitViewToChannels = step.after.fitToChannels ? 1 : 0;
  }
  if (step.after.saved != step.before.saved) obj.dwSavedDrawMode = step.after.saved;
  if (step.after.shown != step.before.shown) obj.dwDrawMode = step.after.shown;
}

FileFailure FileFailureFromErrno(int error) {
  switch (error) {
    case 0:
      return FileFailure::kNone;
    case ENOSPC:
    case EDQUOT:
      return FileFailure::kDiskFull;
    case EACCES:
    case EPERM:
    case EROFS:
    case ENOENT:
    case ENOTDIR:
      return FileFailure::kFolderUnwritable;
    default:
      return FileFailure::kOther;
  }
}

void ReportSnapshot(ControlObject& obj, const std::string& path, bool saved, int error) {
  std::lock_guard lock(obj.snapshotLock);
  obj.lastSnapshot.path = path;
  obj.lastSnapshot.saved = saved;
  // A snapshot not saved with no error behind it had no picture to save.
  obj.lastSnapshot.failure = saved   ? FileFailure::kNone
                             : error ? FileFailureFromErrno(error)
                                     : FileFailure::kOther;
  obj.lastSnapshot.error = saved ? 0 : error;
  ++obj.lastSnapshot.count;
}

void ReportRecordingFile(ControlObject& obj, int channel, const std::string& path) {
  std::lock_guard lock(obj.recordingLock);
  RecordingStatus& r = obj.recording;
  // A new file of the same recording is no new start.
  if (r.Recording() && r.channel == channel) {
    r.path = path;
    return;
  }
  r.outcome = RecordingStatus::Outcome::kRecording;
  r.channel = channel;
  r.path = path;
  r.failure = FileFailure::kNone;
  r.error = 0;
  ++r.count;
}

void ReportRecordingEnd(ControlObject& obj, FileFailure failure, int error) {
  std::lock_guard lock(obj.recordingLock);
  RecordingStatus& r = obj.recording;
  const bool failed = failure != FileFailure::kNone;
  // A stop with nothing recording is no news; a start that failed is.
  if (!r.Recording() && !failed) return;
  if (!r.Recording()) r.path.clear();
  r.outcome = failed ? RecordingStatus::Outcome::kFailed : RecordingStatus::Outcome::kStopped;
  r.failure = failure;
  r.error = error;
  ++r.count;
}

RecordingStatus ReadRecording(const ControlObject& obj) {
  RecordingStatus r;
  {
    std::lock_guard lock(obj.recordingLock);
    r = obj.recording;
  }
  if (r.Recording() &&
      static_cast<SessionState>(obj.dwSessionState.load()) == SessionState::kEnded) {
    r.outcome = RecordingStatus::Outcome::kFailed;
    r.failure = FileFailure::kSessionLost;
  }
  return r;
}

SnapshotStatus ReadLastSnapshot(const ControlObject& obj) {
  std::lock_guard lock(obj.snapshotLock);
  return obj.lastSnapshot;
}

void SetCameraNames(ControlObject& obj, const CameraNames& names) {
  std::lock_guard lock(obj.cameraNamesLock);
  if (obj.cameraNames == names) return;
  obj.cameraNames = names;
  obj.cameraNamesSerial.fetch_add(1);
}

bool ReadCameraNames(const ControlObject& obj, uint32_t* serial, CameraNames* names) {
  if (obj.cameraNamesSerial.load() == *serial) return false;
  std::lock_guard lock(obj.cameraNamesLock);
  *serial = obj.cameraNamesSerial.load();
  *names = obj.cameraNames;
  return true;
}

void ReportNotice(ControlObject& obj) {
  const auto& buffer = obj.szServerText;
  std::string text =
      GbkToUtf8(std::string_view(buffer.data(), strnlen(buffer.data(), buffer.size())));
  std::lock_guard lock(obj.noticeLock);
  obj.lastNotice.text = std::move(text);
  ++obj.lastNotice.count;
}

NoticeStatus ReadLastNotice(const ControlObject& obj) {
  std::lock_guard lock(obj.noticeLock);
  return obj.lastNotice;
}

void ReportSessionError(ControlObject& obj, SessionError error) {
  obj.dwLastError = static_cast<uint32_t>(error);
  obj.dwErrorCount.fetch_add(1);
}

SessionError ConnectErrorFromErrno(int error) {
  switch (error) {
    case EINVAL:
    case EAFNOSUPPORT:
      return SessionError::kBadAddress;
    case ECONNREFUSED:
      return SessionError::kRefused;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
      return SessionError::kUnreachable;
    case ETIMEDOUT:
      return SessionError::kTimedOut;
    default:
      return SessionError::kConnectFailed;
  }
}

}  // namespace zarvion
