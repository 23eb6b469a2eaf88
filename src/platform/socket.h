// IPv4 stream socket whose single send and single receive wait together with
// a stop event and a time-out, and report the bytes they moved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/event.h"
#include "platform/unique_fd.h"

namespace zarvion {

enum class IoResult {
  kDone,     // some bytes moved (moved > 0)
  kStopped,  // the stop event was set while waiting
  kTimeout,  // nothing could move within the time-out
  kClosed,   // the peer closed the connection (receive) or reset it
  kError,    // any other failure, including an invalid socket
};

class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}

  // A new non-blocking AF_INET socket of the given type; invalid on failure.
  static Socket Create(int type);

  bool Valid() const { return fd_.Valid(); }
  int Fd() const { return fd_.Get(); }
  void Close() { fd_.Reset(); }
  // Ends both directions without releasing the descriptor: a thread waiting
  // on the socket wakes and sees the connection closed.
  void Shutdown();

  // Connects to a dotted IPv4 address (no name resolution: "localhost"
  // fails). Waits for the connection with the stop event and the time-out.
  // On failure *error (when given) holds the errno that says why: EINVAL for
  // an address that is not dotted IPv4, ETIMEDOUT for the time-out, EINTR
  // when stopped.
  [[nodiscard]] bool Connect(const char* dottedIpv4, uint16_t port, const Event* stop,
                             uint32_t timeoutMs, int* error = nullptr);

  // One send and one receive. Each waits until the socket is ready or the
  // stop event is set or the time-out passes; nothing stays pending after
  // it returns.
  [[nodiscard]] IoResult SendSome(const void* data, size_t count, size_t* moved, const Event* stop,
                                  uint32_t timeoutMs);
  [[nodiscard]] IoResult ReceiveSome(void* data, size_t count, size_t* moved, const Event* stop,
                                     uint32_t timeoutMs);

  // Without consuming anything: true when the peer has closed the connection
  // and no data is left to read, or the connection failed.
  bool PeerClosed() const;
  // The connected peer as "a.b.c.d:port", or "" when there is none.
  std::string PeerAddress() const;

 private:
  UniqueFd fd_;
};

}  // namespace zarvion
