// FrameRing: a channel's latest compressed frames, so that a recording
// started now can begin with the seconds before it.
//
// The frames sit one after another in a byte buffer made once, wrapping at
// its end (a frame never straddles it), so keeping them allocates nothing
// per frame. The ring holds at most its capacity in bytes and drops its
// oldest frames to take a new one; it keeps no more than the frames from
// the last key frame at or before `now - preRoll` onward, and always begins
// at a key frame (frames before the first key frame cannot be decoded).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>

#include "platform/frame_rate.h"

namespace zarvion {

class FrameRing {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kDefaultBytes = size_t{2} << 20;
  static constexpr std::chrono::milliseconds kDefaultPreRoll{5000};

  explicit FrameRing(size_t capacity = kDefaultBytes,
                     std::chrono::milliseconds preRoll = kDefaultPreRoll);

  // Empties the ring and takes the new bounds.
  void Configure(size_t capacity, std::chrono::milliseconds preRoll);
  void Clear();
  // One frame that arrived at `t` (times never go back). A frame larger than
  // the whole ring empties it.
  void Push(const uint8_t* data, uint32_t size, uint16_t flags, Clock::time_point t);

  struct Frame {
    const uint8_t* data;
    uint32_t size;
    uint16_t flags;
    Clock::time_point t;
  };
  size_t Frames() const { return frames_.size(); }
  // Oldest first; valid until the next Push, Clear or Configure.
  Frame At(size_t i) const;
  // Bytes the held frames take (at most Capacity()).
  size_t Bytes() const { return bytes_; }
  size_t Capacity() const { return capacity_; }
  // The rate the held frames arrived at, once they span a second or more.
  std::optional<FrameRate> Rate() const;

 private:
  struct Slot {
    size_t offset;
    uint32_t size;
    uint16_t flags;
    Clock::time_point t;
  };
  // True while the held frames take any byte of [pos, pos + size).
  bool Overlaps(size_t pos, size_t size) const;
  void PopFront();
  // Drops frames until the first one is a key frame.
  void DropToKeyFrame();

  size_t capacity_;
  std::chrono::milliseconds preRoll_;
  std::unique_ptr<uint8_t[]> buffer_;  // made at the first frame
  std::deque<Slot> frames_;
  size_t tail_ = 0;  // where the newest frame ends
  size_t bytes_ = 0;
};

}  // namespace zarvion
