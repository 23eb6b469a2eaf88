#include "video/frame_ring.h"

#include <cstring>

#include "platform/avi_file.h"

namespace zarvion {

FrameRing::FrameRing(size_t capacity, std::chrono::milliseconds preRoll)
    : capacity_(capacity), preRoll_(preRoll) {}

void FrameRing::Configure(size_t capacity, std::chrono::milliseconds preRoll) {
  Clear();
  if (capacity != capacity_) buffer_.reset();
  capacity_ = capacity;
  preRoll_ = preRoll;
}

void FrameRing::Clear() {
  frames_.clear();
  tail_ = 0;
  bytes_ = 0;
}

bool FrameRing::Overlaps(size_t pos, size_t size) const {
  if (frames_.empty()) return false;
  const size_t head = frames_.front().offset;
  const size_t end = pos + size;
  // Held: [head, tail) in one piece, or [head, capacity) and [0, tail) once
  // the frames wrapped (the unused end before the wrap counts as held).
  if (head < tail_) return pos < tail_ && head < end;
  return end > head || pos < tail_;
}

void FrameRing::PopFront() {
  bytes_ -= frames_.front().size;
  frames_.pop_front();
  if (frames_.empty()) tail_ = 0;
}

void FrameRing::DropToKeyFrame() {
  while (!frames_.empty() && !(frames_.front().flags & kAviIfKeyFrame)) PopFront();
}

void FrameRing::Push(const uint8_t* data, uint32_t size, uint16_t flags, Clock::time_point t) {
  const bool key = (flags & kAviIfKeyFrame) != 0;
  if (size > capacity_ || (!key && frames_.empty())) {
    // Too large to keep, or a frame the ring could not begin with.
    Clear();
    return;
  }
  if (!buffer_) buffer_.reset(new uint8_t[capacity_]);
  size_t pos = tail_;
  if (pos + size > capacity_) pos = 0;
  bool dropped = false;
  while (Overlaps(pos, size)) {
    PopFront();
    dropped = true;
  }
  if (dropped) {
    DropToKeyFrame();
    // Everything went, this frame's predecessors with it: it must be a key
    // frame to begin the ring.
    if (frames_.empty()) {
      pos = 0;
      if (!key) return;
    }
  }
  if (size) std::memcpy(buffer_.get() + pos, data, size);
  frames_.push_back(Slot{pos, size, flags, t});
  tail_ = pos + size;
  bytes_ += size;

  // The first key frame is needed only while the next key frame is later
  // than the start of the pre-roll.
  const Clock::time_point from = t - preRoll_;
  for (;;) {
    size_t next = 1;
    while (next < frames_.size() && !(frames_[next].flags & kAviIfKeyFrame)) ++next;
    if (next >= frames_.size() || frames_[next].t > from) break;
    for (; next > 0; --next) PopFront();
  }
}

FrameRing::Frame FrameRing::At(size_t i) const {
  const Slot& s = frames_[i];
  return Frame{buffer_.get() + s.offset, s.size, s.flags, s.t};
}

std::optional<FrameRate> FrameRing::Rate() const {
  ArrivalRate arrival;
  for (const Slot& s : frames_) arrival.Frame(s.t);
  return arrival.Rate(std::chrono::seconds(1));
}

}  // namespace zarvion
