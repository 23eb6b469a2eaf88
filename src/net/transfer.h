// Whole-buffer transfers on the session socket.
//
// Every wait inside these operations ends when the stop event is set, so no
// thread stays blocked in the socket once the control goes away. A single
// operation moves what it can and reports it; the "All" operations repeat
// it until the whole buffer has moved. Nothing is left pending on a buffer
// once a call returns.
#pragma once

#include <cstdint>

#include "net/control_object.h"
#include "net/protocol.h"
#include "platform/event.h"
#include "platform/socket.h"

namespace zarvion {

// Makes a new AF_INET socket of `type` and stores it in `where`; when the
// socket cannot be made, `where` keeps its previous value. Always true.
bool CreateStreamSocket(Socket& where, int type);

// One send / one receive: true when at least one byte moved (the count is in
// *transferred). False when the stop event was set while waiting, when the
// time-out passed, when the peer closed the connection (a receive that
// would move zero bytes) or on any error.
bool SendOnce(Socket& socket, const void* buffer, uint32_t count, uint32_t* transferred,
              const Event* stopEvent, uint32_t timeoutMs);
bool ReceiveOnce(Socket& socket, void* buffer, uint32_t count, uint32_t* transferred,
                 const Event* stopEvent, uint32_t timeoutMs);

// Repeat the single operation until `count` bytes have moved. On the first
// failed single operation they report false at once and leave *total
// unwritten; otherwise they write the total and report true. A count of 0
// reports true at once with total 0. The time-out applies to each single
// operation.
bool SendAll(Socket& socket, const void* buffer, uint32_t count, uint32_t* total,
             const Event* stopEvent, uint32_t timeoutMs);
bool ReceiveAll(Socket& socket, void* buffer, uint32_t count, uint32_t* total,
                const Event* stopEvent, uint32_t timeoutMs);

// Longest time one SendMessage may take, lock wait excluded. The window's
// thread sends too, so a peer that stops reading must not freeze it.
constexpr uint32_t kSendMessageTimeoutMs = 5000;

// Sends one whole message (header, then `size` payload bytes) on the
// control's session socket while holding socketLock, so messages from the
// window's thread and the connection thread never interleave. False at once
// when no session is connected. Ends early when hStopEvent is set or after
// kSendMessageTimeoutMs. If a message could go out only in part, the server's
// stream is out of step for good: the connection is shut down, and the
// connection thread ends the session.
bool SendMessage(ControlObject& obj, const MessageHeader& header, const void* payload = nullptr,
                 uint32_t size = 0);

}  // namespace zarvion
