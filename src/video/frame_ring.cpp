#include "video/frame_ring.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/avi_file.h"

namespace zarvion {

FrameRing::FrameRing(size_t capacity, std::chrono::milliseconds preRoll)
    : capacity_(capacity), preRoll_(preRoll) {}

FrameRing::~FrameRing() {
  Clear();
  Resize(0);
}

void FrameRing::Configure(size_t capacity, std::chrono::milliseconds preRoll) {
  Clear();
  Resize(0);
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
  // Held: [head, tail) in one piece, or [head, end of buffer) and [0, tail)
  // once the frames wrapped (the unused end before the wrap counts as held).
  if (head < tail_) return pos < tail_ && head < end;
  return end > head || pos < tail_;
}

size_t FrameRing::NextPlace(size_t size) const {
  return tail_ + size > size_ ? 0 : tail_;
}

void FrameRing::PopFront() {
  bytes_ -= frames_.front().size;
  frames_.pop_front();
  if (frames_.empty()) tail_ = 0;
}

void FrameRing::DropToKeyFrame() {
  while (!frames_.empty() && !(frames_.front().flags & kAviIfKeyFrame)) PopFront();
}

size_t FrameRing::SizeFor(size_t need) const {
  // An eighth more than needed leaves room for the unused end at the wrap
  // and for the next frames before the pre-roll lets the oldest go.
  const size_t wanted = need + need / 8;
  const size_t chunks = (wanted + kChunkBytes - 1) / kChunkBytes;
  return std::min(capacity_, std::max<size_t>(chunks, 1) * kChunkBytes);
}

void FrameRing::Resize(size_t size) {
  if (size == size_) return;
  uint8_t* buffer = nullptr;
  if (size) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    buffer = static_cast<uint8_t*>(p);
  }
  // The frames, oldest first, from the start of the new buffer.
  size_t at = 0;
  for (Slot& s : frames_) {
    if (s.size) std::memcpy(buffer + at, buffer_ + s.offset, s.size);
    s.offset = at;
    at += s.size;
  }
  if (buffer_) munmap(buffer_, size_);
  buffer_ = buffer;
  size_ = size;
  tail_ = at;
}

void FrameRing::Push(const uint8_t* data, uint32_t size, uint16_t flags, Clock::time_point t) {
  const bool key = (flags & kAviIfKeyFrame) != 0;
  if (capacity_ == 0 || size > capacity_ || (!key && frames_.empty())) {
    // Nothing kept, too large to keep, or a frame the ring could not begin
    // with.
    Clear();
    return;
  }
  if (!buffer_) {
    Resize(SizeFor(size));
    peak_ = 0;
    since_ = t;
  }
  size_t pos = NextPlace(size);
  if ((pos + size > size_ || Overlaps(pos, size)) && size_ < capacity_) {
    // Room for it without losing a frame, while the capacity allows.
    Resize(SizeFor(bytes_ + size));
    pos = NextPlace(size);
  }
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
  if (size) std::memcpy(buffer_ + pos, data, size);
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

  // Much more room than the frames needed for a while: the rest goes back.
  peak_ = std::max(peak_, bytes_);
  if (t - since_ >= kShrinkAfter) {
    const size_t fitting = SizeFor(peak_);
    if (fitting < size_ / 2) Resize(fitting);
    peak_ = bytes_;
    since_ = t;
  }
}

FrameRing::Frame FrameRing::At(size_t i) const {
  const Slot& s = frames_[i];
  return Frame{buffer_ + s.offset, s.size, s.flags, s.t};
}

std::optional<FrameRate> FrameRing::Rate() const {
  ArrivalRate arrival;
  for (const Slot& s : frames_) arrival.Frame(s.t);
  return arrival.Rate(std::chrono::seconds(1));
}

}  // namespace zarvion
