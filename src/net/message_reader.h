// The session's receiving side: one buffer that a single recv fills with
// whatever has arrived (often several messages at once), from which the
// connection thread takes headers and payloads without a system call each.
//
// A read larger than half the buffer that is not buffered yet goes straight
// from the socket into its destination. Every wait is the socket's own
// (ReceiveSome), so the stop event ends it as before; nothing is read past
// what the stream holds, and a read that cannot be completed (stop, end of
// the stream, error) reports false, after which the session is over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/event.h"
#include "platform/socket.h"

namespace zarvion {

class MessageReader {
 public:
  static constexpr size_t kDefaultCapacity = 256 * 1024;

  MessageReader(Socket& socket, const Event* stop, size_t capacity = kDefaultCapacity);
  MessageReader(const MessageReader&) = delete;
  MessageReader& operator=(const MessageReader&) = delete;

  // Bytes received and not taken yet.
  size_t Buffered() const { return end_ - pos_; }

  // Exactly `count` bytes into `into`: the buffered ones first, then as
  // many receives as it takes.
  [[nodiscard]] bool Read(void* into, size_t count);
  // Drops exactly `count` bytes of the stream.
  [[nodiscard]] bool Skip(size_t count);
  // The next `count` bytes where they lie in the buffer, taken; only when
  // that many are buffered (else null and nothing taken). The bytes stay
  // valid until the reader's next call.
  const uint8_t* Take(size_t count);

 private:
  // One receive into the empty buffer.
  bool Fill();

  Socket& socket_;
  const Event* stop_;
  const size_t capacity_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t pos_ = 0;
  size_t end_ = 0;
};

}  // namespace zarvion
