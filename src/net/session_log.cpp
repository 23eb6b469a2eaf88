#include "net/session_log.h"

#include <string>

#include "platform/log.h"

namespace zarvion {

const char* SessionErrorText(SessionError error) {
  switch (error) {
    case SessionError::kNone:
      break;
    case SessionError::kBadAddress:
      return "bad address (not dotted IPv4)";
    case SessionError::kRefused:
      return "connection refused";
    case SessionError::kUnreachable:
      return "network or host unreachable";
    case SessionError::kTimedOut:
      return "connect timed out";
    case SessionError::kConnectFailed:
      return "connect failed";
    case SessionError::kClosedByServer:
      return "session closed by the recorder";
    case SessionError::kLost:
      return "session lost";
    case SessionError::kLoginRefused:
      return "login refused (closed before the session's information)";
  }
  return "no error";
}

void LogSessionError(const char* host, uint16_t port, SessionError error, int sysError) {
  if (!LogEnabled(LogCategory::kNet)) return;
  const bool connecting = error != SessionError::kClosedByServer &&
                          error != SessionError::kLost && error != SessionError::kLoginRefused;
  // The system's words only where the reason leaves a choice open.
  const bool tell =
      sysError != 0 && error != SessionError::kRefused && error != SessionError::kTimedOut;
  const std::string why = tell ? ": " + ErrnoText(sysError) : std::string();
  // A recorder that closes the session has its reasons; anything else is a fault.
  const LogSeverity severity =
      error == SessionError::kClosedByServer ? LogSeverity::kInfo : LogSeverity::kWarning;
  Log(LogCategory::kNet, severity, "%s %s:%u: %s%s", connecting ? "connect to" : "session with",
      host, static_cast<unsigned>(port), SessionErrorText(error), why.c_str());
}

}  // namespace zarvion
