// The video pipeline's operations as the connection thread sees them. The
// window binds them to its decoders and renderer; the network session does
// not depend on the video subsystem.
#pragma once

#include <cstdint>

namespace zarvion {

class VideoSink {
 public:
  virtual ~VideoSink() = default;
  // Decode of the decoder in `slot` (0..15; the thread never passes more).
  // False only when the decoder's surface memory could not be obtained.
  virtual bool Decode(int slot, const uint8_t* data, uint32_t size, uint16_t flags) = 0;
  virtual void ClearView() = 0;
  virtual void PlaceChannel(int slot) = 0;
  virtual void Redraw() = 0;
  // The session's clock, at least every 100 ms or so whether frames come or
  // not: what waits on time rather than on frames (a channel whose frames
  // stopped ends its motion) is done here.
  virtual void Tick() {}
};

}  // namespace zarvion
