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

void ReportSnapshot(ControlObject& obj, const std::string& path, bool saved) {
  std::lock_guard lock(obj.snapshotLock);
  obj.lastSnapshot.path = path;
  obj.lastSnapshot.saved = saved;
  ++obj.lastSnapshot.count;
}

SnapshotStatus ReadLastSnapshot(const ControlObject& obj) {
  std::lock_guard lock(obj.snapshotLock);
  return obj.lastSnapshot;
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
