// Recordings as the viewer writes them, of the simulator's own pictures:
// each frame carries the simulator's stamp (channel and frame number), so a
// test reads back from a decoded picture exactly which frame it is.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dvrsim/encoder.h"
#include "dvrsim/pictures.h"
#include "platform/avi_file.h"
#include "platform/bitmap_info.h"

namespace zarvion::testing {

// Frames first..first+count-1 of `channel`'s live picture at `fps`, a key
// frame every `gop`, into a new recording at `path` (rate measured, as the
// viewer marks its files). With `joinedAt`, the recording begins that many
// frames into the stream, between two key frames, as the record button's
// file does.
inline void WriteStampedRecording(const std::string& path, int channel, int first, int count,
                                  int fps = 25, int gop = 25, int joinedAt = 0) {
  dvrsim::Mp43Encoder encoder;
  std::string error;
  ASSERT_TRUE(encoder.Open(fps, gop, 400000, &error)) << error;
  auto avi = AviFile::Open(path, kOfCreate | kOfWrite);
  ASSERT_NE(avi, nullptr) << path;
  AviStreamInfo info;
  info.fccType = kStreamTypeVideo;
  info.dwRate = static_cast<uint32_t>(fps);
  info.dwScale = 1;
  info.rcFrame = AviRect{0, 0, dvrsim::kPictureWidth, dvrsim::kPictureHeight};
  AviStream* stream = avi->CreateStream(info, AviRateOrigin::kMeasured);
  ASSERT_NE(stream, nullptr);
  ASSERT_TRUE(stream->SetFormat(
      0, MakeBitmapInfoHeader(dvrsim::kPictureWidth, dvrsim::kPictureHeight, 24, kFourCCMp43,
                              dvrsim::kPictureWidth * dvrsim::kPictureHeight * 3),
      sizeof(BitmapInfoHeader)));
  dvrsim::Canvas canvas(dvrsim::kPictureWidth, dvrsim::kPictureHeight);
  for (int i = -joinedAt; i < count; ++i) {
    dvrsim::DrawLivePicture(&canvas, channel, first + i);
    dvrsim::EncodedFrame frame;
    ASSERT_TRUE(encoder.Encode(canvas, i == -joinedAt, &frame));
    if (i < 0) continue;
    ASSERT_TRUE(stream->Write(i, 1, frame.bytes.data(), static_cast<uint32_t>(frame.bytes.size()),
                              frame.key ? kAviIfKeyFrame : 0));
  }
}

// The simulator's frame number in a 32-bit picture (B, G, R, x; top row
// first); nothing when the stamp does not read.
inline std::optional<int> StampedFrame(const uint8_t* bgrx, int width, int height, int stride) {
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const uint8_t* p = bgrx + y * stride + x * 4;
      uint8_t* q = rgb.data() + (static_cast<size_t>(y) * width + x) * 3;
      q[0] = p[2];
      q[1] = p[1];
      q[2] = p[0];
    }
  }
  uint32_t stamp = 0;
  if (!dvrsim::ReadStamp(rgb.data(), width, height, width * 3, &stamp)) return std::nullopt;
  return static_cast<int>(stamp & 0xFFF);
}

}  // namespace zarvion::testing
