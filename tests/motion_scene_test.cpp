// The detector on the simulator's own pictures, without waiting for them:
// its scene drawn with sensor noise and the frame counter running, encoded
// by its encoder and decoded by the control's decompressor, at 25 frames a
// second on a clock of the stream's own. Ten minutes of a still scene give
// no event; an object crossing gives one, on time; a light switched on
// gives none, and neither does an object crossing a masked band.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "dvrsim/canvas.h"
#include "dvrsim/encoder.h"
#include "dvrsim/pictures.h"
#include "platform/avi_file.h"
#include "platform/bitmap_info.h"
#include "platform/mp43_decompressor.h"
#include "video/motion_detector.h"

namespace zarvion {
namespace {

using dvrsim::SceneLook;

constexpr int kFps = 25;
constexpr int64_t kFrameMs = 1000 / kFps;
constexpr int kCamera = 2;  // camera 3
constexpr int kNoise = 12;  // `noise 3 12`
// The still scene's frames: ten minutes; one under the sanitizers, which
// look for faults in the same code and run it ten times slower or more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kStillFrames = 60 * kFps;
#else
constexpr int kStillFrames = 600 * kFps;
#endif
// The simulator's frame counter runs through its loop of 2 s and starts
// again, so every digit of it changes within the settle time.
constexpr int kCounterFrames = 2 * kFps;

// One camera of the simulator as the control sees it.
class Camera {
 public:
  bool Open(std::string* error) {
    if (!encoder_.Open(kFps, kFps, 1500000, error)) return false;
    decoder_ = Mp43Decompressor::Open(kFourCCVidc, kFourCCMp43);
    if (!decoder_ || decoder_->GetFormat(in_, &out_) != kIcErrOk ||
        decoder_->Begin(in_, out_) != kIcErrOk) {
      *error = "no decompressor";
      return false;
    }
    out_.biHeight = -out_.biHeight;
    return true;
  }

  // The next picture with `look` (sensor noise of the scene added), through
  // encoder, decoder and detector; its time is the stream's.
  MotionFrame Next(SceneLook look = {}) {
    look.noise = kNoise;
    look.noiseSeed = static_cast<uint32_t>(frame_ * 7919u);
    dvrsim::Canvas canvas(dvrsim::kPictureWidth, dvrsim::kPictureHeight);
    dvrsim::DrawLivePicture(&canvas, kCamera, frame_ % kCounterFrames, look);
    dvrsim::EncodedFrame encoded;
    ok_ = ok_ && encoder_.Encode(canvas, frame_ % kFps == 0, &encoded);
    ++frame_;
    nowMs_ += kFrameMs;
    in_.biSizeImage = static_cast<uint32_t>(encoded.bytes.size());
    const uint8_t* luma = nullptr;
    int stride = 0, width = 0, height = 0;
    ok_ = ok_ &&
          decoder_->DecodeOnly(encoded.key ? kAviIfKeyFrame : 0, in_, encoded.bytes.data(), out_) ==
              kIcErrOk &&
          decoder_->HeldLuma(&luma, &stride, &width, &height);
    if (!ok_) return {};
    const MotionFrame f = detector.Feed(luma, stride, width, height, nowMs_);
    if (f.started) {
      ++starts;
      startMs = nowMs_;
    }
    if (f.ended) endMs = nowMs_;
    return f;
  }
  void Still(int frames) {
    for (int i = 0; i < frames; ++i) Next();
  }
  // An object crosses the picture in `frames` pictures, as `motion 3 S`
  // draws it; the stream times of its first and last picture.
  void Cross(int frames, int64_t* firstMs, int64_t* lastMs) {
    const int travel = dvrsim::kPictureWidth + dvrsim::kObjectWidth;
    for (int i = 0; i < frames; ++i) {
      SceneLook look;
      look.objectX = -dvrsim::kObjectWidth + travel * i / (frames - 1);
      Next(look);
      if (i == 0) *firstMs = nowMs_;
    }
    *lastMs = nowMs_;
  }
  bool Ok() const { return ok_; }
  int64_t NowMs() const { return nowMs_; }

  MotionDetector detector;
  int starts = 0;
  int64_t startMs = -1;
  int64_t endMs = -1;

 private:
  dvrsim::Mp43Encoder encoder_;
  std::unique_ptr<Mp43Decompressor> decoder_;
  BitmapInfoHeader in_ =
      MakeBitmapInfoHeader(dvrsim::kPictureWidth, dvrsim::kPictureHeight, 24, kFourCCMp43, 0);
  BitmapInfoHeader out_{};
  int frame_ = 0;
  int64_t nowMs_ = 0;
  bool ok_ = true;
};

TEST(MotionOnSimulatedCamera, StillMovingLitAndMaskedScenes) {
  Camera camera;
  std::string error;
  ASSERT_TRUE(camera.Open(&error)) << error;
  const MotionTiming timing;

  // Ten minutes of the still scene: noise and the counter, never an event.
  camera.Still(kStillFrames);
  ASSERT_TRUE(camera.Ok());
  EXPECT_EQ(camera.starts, 0) << "at " << camera.startMs << " ms";

  // `motion 3 2`: one event, soon after the object shows, ending after the
  // gap once it has gone.
  int64_t firstMs = 0, lastMs = 0;
  camera.Cross(2 * kFps, &firstMs, &lastMs);
  camera.Still(static_cast<int>((timing.endGapMs + 2000) / kFrameMs));
  EXPECT_EQ(camera.starts, 1);
  EXPECT_GE(camera.startMs, firstMs);
  EXPECT_LE(camera.startMs - firstMs, 500);
  EXPECT_GE(camera.endMs, lastMs);
  EXPECT_LE(camera.endMs - lastMs, timing.endGapMs + 1000);
  EXPECT_FALSE(camera.detector.Active());

  // The lights on, and off again a while later: no event.
  SceneLook lit;
  lit.lit = true;
  for (int i = 0; i < 3 * kFps; ++i) camera.Next(lit);
  camera.Still(3 * kFps);
  EXPECT_EQ(camera.starts, 1);

  // The band the object crosses masked: no event; unmasked, one again.
  MotionMask band{};
  for (int row = dvrsim::kObjectTop * kMotionGrid / dvrsim::kPictureHeight;
       row <= (dvrsim::kObjectTop + dvrsim::kObjectHeight) * kMotionGrid / dvrsim::kPictureHeight;
       ++row) {
    band[static_cast<size_t>(row)] = 0xFFFF;
  }
  camera.detector.SetMask(band);
  camera.Cross(2 * kFps, &firstMs, &lastMs);
  camera.Still(kFps);
  EXPECT_EQ(camera.starts, 1);
  camera.detector.SetMask({});
  camera.Still(kFps);
  camera.Cross(2 * kFps, &firstMs, &lastMs);
  EXPECT_EQ(camera.starts, 2) << "the same crossing unmasked";
  EXPECT_TRUE(camera.Ok());
}

}  // namespace
}  // namespace zarvion
