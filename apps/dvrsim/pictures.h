// The simulator's synthetic pictures. Each carries a machine-readable stamp
// along its bottom edge (one 16 x 16 cell per bit) besides the human-readable
// numbers, so a test can tell from a decoded picture exactly which one it is.
#pragma once

#include <cstdint>

#include "dvrsim/canvas.h"

namespace zarvion::dvrsim {

constexpr int kStampBits = 20;
constexpr int kStampCell = 16;

// What a camera sees besides its still scene: an object crossing it, the
// lights switched on, a noisy sensor.
struct SceneLook {
  static constexpr int kNoObject = -1000000;
  int objectX = kNoObject;  // left edge of the crossing object
  bool lit = false;
  int noise = 0;  // extra per-pixel noise amplitude, 0..kMaxSceneNoise
  uint32_t noiseSeed = 0;
};
constexpr int kMaxSceneNoise = 30;
// The crossing object: a solid block an eighth of the picture wide.
constexpr int kObjectWidth = 44, kObjectHeight = 72, kObjectTop = 150;

// Live picture `frame` for channel index `channel` (0-15): a still scene of
// the channel's own colour with the channel number drawn large, the frame
// counter that changes with every picture like a camera's clock, and
// whatever `look` adds. Its stamp is LiveStamp(channel, frame).
void DrawLivePicture(Canvas* canvas, int channel, int frame, const SceneLook& look = {});
constexpr uint32_t LiveStamp(int channel, int frame) {
  return (static_cast<uint32_t>(channel) << 12) | (static_cast<uint32_t>(frame) & 0xFFF);
}
Rgb ChannelColour(int channel);

// Picture `step` of recording `recording` (0-based): striped in the
// recording's colours with "REC n" and the step number drawn large. Its
// stamp is the step number (low 20 bits).
void DrawRecordingPicture(Canvas* canvas, int recording, uint32_t step, uint32_t steps);

void DrawStamp(Canvas* canvas, uint32_t value);
// Reads the stamp from a picture of at least 352 pixels width in packed RGB24
// (e.g. a decoded frame). The marker cells must read white then black;
// returns false otherwise.
bool ReadStamp(const uint8_t* rgb, int width, int height, int stride, uint32_t* value);

}  // namespace zarvion::dvrsim
