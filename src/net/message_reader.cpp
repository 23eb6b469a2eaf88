#include "net/message_reader.h"

#include <algorithm>
#include <cstring>

namespace zarvion {

MessageReader::MessageReader(Socket& socket, const Event* stop, size_t capacity)
    : socket_(socket),
      stop_(stop),
      capacity_(std::max<size_t>(capacity, 64)),
      // Left uninitialised: only the pages receives reach are ever touched.
      buffer_(new uint8_t[capacity_]) {}

bool MessageReader::Fill() {
  // Only called with nothing buffered: start again at the front, where the
  // bytes are still in the caches.
  pos_ = 0;
  end_ = 0;
  size_t moved = 0;
  if (socket_.ReceiveSome(buffer_.get(), capacity_, &moved, stop_, kInfinite) != IoResult::kDone) {
    return false;
  }
  end_ = moved;
  return true;
}

bool MessageReader::Read(void* into, size_t count) {
  auto* out = static_cast<uint8_t*>(into);
  for (;;) {
    const size_t piece = std::min(count, Buffered());
    if (piece > 0) {
      std::memcpy(out, buffer_.get() + pos_, piece);
      pos_ += piece;
      out += piece;
      count -= piece;
    }
    if (count == 0) return true;
    // Nothing is buffered now. A large rest goes straight where it belongs.
    if (count > capacity_ / 2) {
      size_t moved = 0;
      if (socket_.ReceiveSome(out, count, &moved, stop_, kInfinite) != IoResult::kDone) {
        return false;
      }
      out += moved;
      count -= moved;
      continue;
    }
    if (!Fill()) return false;
  }
}

bool MessageReader::Skip(size_t count) {
  for (;;) {
    const size_t piece = std::min(count, Buffered());
    pos_ += piece;
    count -= piece;
    if (count == 0) return true;
    if (!Fill()) return false;
  }
}

const uint8_t* MessageReader::Take(size_t count) {
  if (Buffered() < count) return nullptr;
  const uint8_t* at = buffer_.get() + pos_;
  pos_ += count;
  return at;
}

}  // namespace zarvion
