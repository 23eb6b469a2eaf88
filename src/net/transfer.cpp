#include "net/transfer.h"

#include <chrono>

namespace zarvion {
namespace {

template <typename Once, typename Buffer>
bool TransferAll(Once once, Socket& socket, Buffer buffer, uint32_t count, uint32_t* total,
                 const Event* stopEvent, uint32_t timeoutMs) {
  uint32_t done = 0;
  while (done < count) {
    uint32_t moved = 0;
    if (!once(socket, buffer + done, count - done, &moved, stopEvent, timeoutMs)) return false;
    // A single operation that succeeds has moved at least one byte, so this
    // loop always progresses; a closed peer fails instead of looping.
    done += moved;
  }
  *total = done;
  return true;
}

}  // namespace

bool CreateStreamSocket(Socket& where, int type) {
  Socket created = Socket::Create(type);
  if (created.Valid()) where = std::move(created);
  return true;
}

bool SendOnce(Socket& socket, const void* buffer, uint32_t count, uint32_t* transferred,
              const Event* stopEvent, uint32_t timeoutMs) {
  size_t moved = 0;
  const IoResult r = socket.SendSome(buffer, count, &moved, stopEvent, timeoutMs);
  *transferred = static_cast<uint32_t>(moved);
  return r == IoResult::kDone && (moved > 0 || count == 0);
}

bool ReceiveOnce(Socket& socket, void* buffer, uint32_t count, uint32_t* transferred,
                 const Event* stopEvent, uint32_t timeoutMs) {
  size_t moved = 0;
  const IoResult r = socket.ReceiveSome(buffer, count, &moved, stopEvent, timeoutMs);
  *transferred = static_cast<uint32_t>(moved);
  return r == IoResult::kDone && (moved > 0 || count == 0);
}

bool SendAll(Socket& socket, const void* buffer, uint32_t count, uint32_t* total,
             const Event* stopEvent, uint32_t timeoutMs) {
  return TransferAll(SendOnce, socket, static_cast<const uint8_t*>(buffer), count, total, stopEvent,
                     timeoutMs);
}

bool ReceiveAll(Socket& socket, void* buffer, uint32_t count, uint32_t* total,
                const Event* stopEvent, uint32_t timeoutMs) {
  return TransferAll(ReceiveOnce, socket, static_cast<uint8_t*>(buffer), count, total, stopEvent,
                     timeoutMs);
}

bool SendMessage(ControlObject& obj, const MessageHeader& header, const void* payload,
                 uint32_t size) {
  if (size > 0 && payload == nullptr) return false;
  std::lock_guard lock(obj.socketLock);
  if (!obj.bConnected.load() || !obj.socket.Valid()) return false;
  const Event* stop = obj.hStopEvent.get();

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kSendMessageTimeoutMs);
  const MessageHeader::Bytes head = header.Encode();
  const struct {
    const uint8_t* data;
    uint32_t size;
  } pieces[] = {{head.data(), kHeaderSize}, {static_cast<const uint8_t*>(payload), size}};

  bool started = false;
  for (const auto& piece : pieces) {
    uint32_t done = 0;
    while (done < piece.size) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      uint32_t moved = 0;
      if (left <= 0 || !SendOnce(obj.socket, piece.data + done, piece.size - done, &moved, stop,
                                 static_cast<uint32_t>(left))) {
        if (started) obj.socket.Shutdown();
        return false;
      }
      started = true;
      done += moved;
    }
  }
  return true;
}

}  // namespace zarvion
