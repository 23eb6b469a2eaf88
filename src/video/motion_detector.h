// MotionDetector: motion in one channel's decoded pictures, from their luma
// plane alone. The picture is cut into a 16 x 16 grid of blocks; each
// block's mean (over a sub-sampled set of its pixels) is compared with a
// slowly updated background, against a running estimate of that block's
// noise. A frame is a motion frame when the share of changed blocks passes
// the threshold; a few motion frames in a row start an event, a gap without
// any ends it.
//
// What is not motion: most of the picture changing within a frame or two (a
// light switched, the iris, a key frame after loss) re-learns the
// background instead; the first seconds after the stream starts or comes
// back only learn; blocks that change in nearly every second for minutes (a
// burnt-in clock, a frame counter), or again and again while the stream
// settles, are ignored until they calm down; a block that changed once and
// then held still (a clock's next minute, a sign switched on) counts only
// for the frame it moved and the next, and becomes background; blocks the
// operator masked are ignored.
//
// Integer sums only, and nothing is allocated per frame. One thread feeds a
// detector; it has no lock of its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "view/motion_board.h"

namespace zarvion {

struct MotionTiming {
  int startFrames = 3;          // motion frames in a row that start an event
  int64_t endGapMs = 10000;     // no motion frame for this long ends it
  int64_t settleMs = 2000;      // after the stream starts or comes back
  int64_t streamGapMs = 3000;   // no frame for this long: the stream came back
  int64_t learnSeconds = 120;   // busy seconds before a block is ignored
  int64_t calmSeconds = 10;     // quiet seconds before it counts again
  int lightSwitchPermille = 600;  // more changed blocks than this: not motion
};

// What one frame did.
struct MotionFrame {
  bool motion = false;   // a motion frame (counted towards a start)
  bool active = false;   // an event lasts
  bool started = false;  // the event began with this frame
  bool ended = false;    // the event ended with this frame
  bool newPeak = false;  // the highest share of the event so far
  bool relearnt = false;  // light switch or settle: the background was re-learnt
  int permille = 0;      // changed share of the blocks that count
};

class MotionDetector {
 public:
  explicit MotionDetector(MotionTiming timing = {});

  // 1 (least) .. 10 (most); out of range is clamped. Sets the noise factor
  // and the share threshold together.
  void SetSensitivity(int sensitivity);
  int Sensitivity() const { return sensitivity_; }
  // The operator's blocks to ignore; a block given back learns its
  // background anew from the next frame.
  void SetMask(const MotionMask& mask);
  const MotionMask& Mask() const { return operatorMask_; }
  // Off: frames are not looked at, and an event lasting ends.
  void SetEnabled(bool enabled);
  bool Enabled() const { return enabled_; }

  // The stream starts again (a new session): everything learnt about the
  // picture goes, the learnt mask included, and the settle time begins.
  void Restart();

  // One picture: `luma` holds `height` rows of `stride` bytes; `nowMs` a
  // monotonic clock. A picture of another size than the last restarts.
  MotionFrame Feed(const uint8_t* luma, int stride, int width, int height, int64_t nowMs);
  // The clock without a picture (the channel's frames may have stopped): an
  // event lasting ends once the gap has passed since its last motion frame,
  // as it would with frames. Nothing else changes.
  MotionFrame Idle(int64_t nowMs);

  bool Active() const { return active_; }
  // The highest share of the event lasting, or of the last one.
  int PeakPermille() const { return peak_; }
  // The blocks that changed in the last frame, and the ones learnt busy.
  const MotionMask& Changed() const { return changed_; }
  const MotionMask& Learnt() const { return learnt_; }

  // The share threshold in blocks per thousand, and the noise factor in
  // sixteenths, for a sensitivity (what SetSensitivity applies).
  static int SharePermilleFor(int sensitivity);
  static int NoiseFactorFor(int sensitivity);

 private:
  void Sample(const uint8_t* luma, int stride, int width, int height);
  // The change of a block's mean that counts, in 1/256 levels.
  int32_t Threshold(size_t block) const;
  void Relearn();
  void EndEvent(MotionFrame* frame);
  void CountSecond(int64_t nowMs);
  // At the end of the settle time: blocks that kept changing while the
  // stream settled (a clock, a frame counter) are learnt busy at once.
  void LearnFromSettle();

  MotionTiming timing_;
  int sensitivity_ = kMotionSensitivityDefault;
  int sharePermille_ = 0;
  int noiseFactor16_ = 0;
  bool enabled_ = true;

  // Background and noise per block in 1/256 luma levels; means of this frame
  // in the same units.
  std::array<int32_t, kMotionBlocks> background_{};
  std::array<int32_t, kMotionBlocks> noise_{};
  std::array<int32_t, kMotionBlocks> mean_{};
  std::array<int32_t, kMotionBlocks> last_{};  // the means of the frame before
  // A band's sampled rows added up per column (Sample's scratch, made again
  // only when the picture's width changes).
  std::vector<uint16_t> columns_;
  // Per block: changed in the second being counted, busy seconds (a leaky
  // count), quiet seconds in a row while learnt.
  std::array<uint8_t, kMotionBlocks> changedThisSecond_{};
  std::array<int32_t, kMotionBlocks> busy_{};
  std::array<int32_t, kMotionBlocks> quiet_{};
  std::array<int32_t, kMotionBlocks> stuck_{};  // frames changed in a row
  // Per block: its mean when it last moved, and frames since.
  std::array<int32_t, kMotionBlocks> anchor_{};
  std::array<uint8_t, kMotionBlocks> still_{};
  // Per block: frame-to-frame changes while the stream settles.
  std::array<uint8_t, kMotionBlocks> settleChanges_{};
  MotionMask operatorMask_{};
  MotionMask learnt_{};
  MotionMask unmasked_{};  // left the operator's mask since the last frame
  MotionMask changed_{};

  int width_ = 0;
  int height_ = 0;
  bool fresh_ = true;        // no background yet
  int64_t lastFrameMs_ = 0;
  int64_t settleUntilMs_ = 0;
  bool settling_ = false;    // the settle time has not been closed yet
  int64_t secondStartMs_ = 0;
  int run_ = 0;              // motion frames in a row
  bool active_ = false;
  int64_t lastMotionMs_ = 0;
  int peak_ = 0;
};

}  // namespace zarvion
