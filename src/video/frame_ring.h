// FrameRing: a channel's latest compressed frames, so that a recording
// started now can begin with the seconds before it.
//
// The frames sit one after another in a byte buffer, wrapping at its end (a
// frame never straddles it), so keeping them allocates nothing per frame.
// The buffer takes what the frames need: it is made at the first frame,
// grows (in whole chunks, copying the frames once) when a frame would
// otherwise push out frames the pre-roll still wants, up to the capacity,
// and shrinks again once the frames have needed much less of it for a
// while (a lower bitrate). The ring holds at most its capacity in bytes and
// drops its oldest frames to take a new one; it keeps no more than the
// frames from the last key frame at or before `now - preRoll` onward, and
// always begins at a key frame (frames before the first key frame cannot be
// decoded). A capacity of 0 keeps nothing.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "platform/frame_rate.h"

namespace zarvion {

class FrameRing {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kDefaultBytes = size_t{2} << 20;
  static constexpr std::chrono::milliseconds kDefaultPreRoll{5000};
  // The buffer grows and shrinks in steps of whole chunks...
  static constexpr size_t kChunkBytes = size_t{64} << 10;
  // ...and shrinks when the frames held less than half of it over this long
  // (by the frames' own times).
  static constexpr std::chrono::seconds kShrinkAfter{30};

  explicit FrameRing(size_t capacity = kDefaultBytes,
                     std::chrono::milliseconds preRoll = kDefaultPreRoll);
  ~FrameRing();
  FrameRing(FrameRing&&) = delete;
  FrameRing& operator=(FrameRing&&) = delete;

  // Empties the ring, gives its buffer back and takes the new bounds.
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
  std::chrono::milliseconds PreRoll() const { return preRoll_; }
  // Bytes the buffer takes now (at most Capacity()).
  size_t Taken() const { return size_; }
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
  // Where a frame of `size` bytes goes next: after the newest, or at the
  // start when it would pass the buffer's end.
  size_t NextPlace(size_t size) const;
  void PopFront();
  // Drops frames until the first one is a key frame.
  void DropToKeyFrame();
  // The buffer's size for `need` bytes of frames, with room to spare.
  size_t SizeFor(size_t need) const;
  // A buffer of `size` bytes (none for 0) with the held frames moved to its
  // start, oldest first.
  void Resize(size_t size);

  size_t capacity_;
  std::chrono::milliseconds preRoll_;
  uint8_t* buffer_ = nullptr;  // pages of our own, so a smaller one goes back at once
  size_t size_ = 0;
  std::deque<Slot> frames_;
  size_t tail_ = 0;  // where the newest frame ends
  size_t bytes_ = 0;
  // The most the frames held since `since_`, for the shrinking.
  size_t peak_ = 0;
  Clock::time_point since_{};
};

}  // namespace zarvion
