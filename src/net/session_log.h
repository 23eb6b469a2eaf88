// The log's lines for connects and sessions (category "net").
#pragma once

#include <cstdint>

#include "net/control_object.h"

namespace zarvion {

// "connection refused", "closed by the recorder", ...
const char* SessionErrorText(SessionError error);

// One line for a connect that failed (with its errno, when there is one) or
// a session that ended, naming the recorder's address.
void LogSessionError(const char* host, uint16_t port, SessionError error, int sysError = 0);

}  // namespace zarvion
