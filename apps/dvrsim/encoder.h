// The recorder's video encoder: libavcodec's MS MPEG-4 v3 at 352 x 288.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dvrsim/canvas.h"

namespace zarvion::dvrsim {

constexpr int kPictureWidth = 352;
constexpr int kPictureHeight = 288;
// The encoder's longest key-frame interval.
constexpr int kMaxGop = 600;

struct EncodedFrame {
  std::vector<uint8_t> bytes;
  bool key = false;
};

class Mp43Encoder {
 public:
  Mp43Encoder();
  ~Mp43Encoder();
  Mp43Encoder(const Mp43Encoder&) = delete;
  Mp43Encoder& operator=(const Mp43Encoder&) = delete;

  // A key frame comes every `gop` pictures unless one is forced earlier.
  bool Open(int fps, int gop, int bitrate, std::string* error);
  // Encodes one kPictureWidth x kPictureHeight canvas. The encoder has no
  // frame delay, so every picture gives exactly one frame.
  bool Encode(const Canvas& picture, bool forceKey, EncodedFrame* out);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace zarvion::dvrsim
