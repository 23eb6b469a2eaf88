#include "net/control_object.h"

#include <cerrno>

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
