#include "video/motion_detector.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>

#include "platform/vectorise.h"

namespace zarvion {

namespace {

// A block's noise starts at one luma level and never estimates below half
// of one: a perfectly still synthetic picture must not turn every rounding
// into motion.
constexpr int32_t kInitialNoise = 1 << 8;
constexpr int32_t kNoiseFloor = 1 << 7;
// A quiet second takes this many busy ones off a block's count, so only a
// block busy in nearly every second (about nine in ten) is ever learnt.
constexpr int32_t kQuietSecondWeight = 10;
// One block alone is too small to tell from noise.
constexpr int kMinChangedBlocks = 2;
// Frames a block stays changed before its background takes the new picture.
constexpr int32_t kStuckFrames = 150;
// Frames after a block last moved during which its difference from the
// background still counts as motion.
constexpr uint8_t kStepFrames = 2;
// Changes from one frame to the next while the stream settles that mark a
// block as busy from the start: a counter's or a clock's digits change at
// least once in the settle time, a still scene's noise stays under the
// threshold. A block marked wrongly (something moving at the start) counts
// again once it has been quiet for the calm time.
constexpr uint8_t kSettleChanges = 1;

bool Bit(const MotionMask& mask, int block) {
  return (mask[static_cast<size_t>(block / kMotionGrid)] >> (block % kMotionGrid)) & 1u;
}

void SetBit(MotionMask& mask, int block, bool on) {
  const uint16_t bit = static_cast<uint16_t>(1u << (block % kMotionGrid));
  uint16_t& row = mask[static_cast<size_t>(block / kMotionGrid)];
  row = static_cast<uint16_t>(on ? (row | bit) : (row & ~bit));
}

// The smallest change a block counts at any noise, in 1/256 levels.
int32_t MinDeltaFor(int sensitivity) {
  return (12 - sensitivity) * 128;
}

}  // namespace

MotionDetector::MotionDetector(MotionTiming timing) : timing_(timing) {
  SetSensitivity(kMotionSensitivityDefault);
}

int MotionDetector::SharePermilleFor(int sensitivity) {
  sensitivity = std::clamp(sensitivity, kMotionSensitivityMin, kMotionSensitivityMax);
  return (11 - sensitivity) * 3;
}

int MotionDetector::NoiseFactorFor(int sensitivity) {
  sensitivity = std::clamp(sensitivity, kMotionSensitivityMin, kMotionSensitivityMax);
  return (26 - sensitivity) * 4;
}

void MotionDetector::SetSensitivity(int sensitivity) {
  sensitivity_ = std::clamp(sensitivity, kMotionSensitivityMin, kMotionSensitivityMax);
  sharePermille_ = SharePermilleFor(sensitivity_);
  noiseFactor16_ = NoiseFactorFor(sensitivity_);
}

void MotionDetector::SetMask(const MotionMask& mask) {
  // A block the mask gives back learns its background from the next frame:
  // the one it had is of whatever passed while it was masked.
  for (size_t r = 0; r < mask.size(); ++r) {
    unmasked_[r] = static_cast<uint16_t>(unmasked_[r] | (operatorMask_[r] & ~mask[r]));
  }
  operatorMask_ = mask;
}

void MotionDetector::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  // Back on, the picture may have changed all the while: learn it anew.
  Restart();
}

void MotionDetector::Restart() {
  fresh_ = true;
  run_ = 0;
  active_ = false;
  learnt_ = {};
  changed_ = {};
  busy_ = {};
  quiet_ = {};
  stuck_ = {};
  settleChanges_ = {};
  changedThisSecond_ = {};
}

void MotionDetector::LearnFromSettle() {
  settling_ = false;
  const int32_t learn = static_cast<int32_t>(std::max<int64_t>(timing_.learnSeconds, 1));
  for (int i = 0; i < kMotionBlocks; ++i) {
    const size_t k = static_cast<size_t>(i);
    if (settleChanges_[k] >= kSettleChanges) {
      SetBit(learnt_, i, true);
      busy_[k] = learn;
      quiet_[k] = 0;
    }
  }
  settleChanges_ = {};
}

ZARVION_VECTORISE void MotionDetector::Sample(const uint8_t* luma, int stride, int width,
                                              int height) {
  // Every other pixel of every other row: a quarter of the plane, plenty
  // for a block mean. A band's sampled rows are first added up column by
  // column over the whole width (one pass the compiler vectorises), then
  // each block takes every other column of its own.
  columns_.resize(static_cast<size_t>(width));
  uint16_t* col = columns_.data();
  for (int r = 0; r < kMotionGrid; ++r) {
    const int y0 = r * height / kMotionGrid;
    const int y1 = (r + 1) * height / kMotionGrid;
    const int rows = (y1 - y0 + 1) / 2;
    // 257 rows of 255 still fit a column's 16 bits.
    const bool columnwise = rows > 0 && rows <= 257;
    if (columnwise) {
      const uint8_t* first = luma + static_cast<ptrdiff_t>(y0) * stride;
      for (int x = 0; x < width; ++x) col[x] = first[x];
      for (int y = y0 + 2; y < y1; y += 2) {
        const uint8_t* row = luma + static_cast<ptrdiff_t>(y) * stride;
        for (int x = 0; x < width; ++x) col[x] = static_cast<uint16_t>(col[x] + row[x]);
      }
    }
    for (int c = 0; c < kMotionGrid; ++c) {
      const int x0 = c * width / kMotionGrid;
      const int x1 = (c + 1) * width / kMotionGrid;
      uint32_t sum = 0;
      if (columnwise) {
        for (int x = x0; x < x1; x += 2) sum += col[x];
      } else {
        for (int y = y0; y < y1; y += 2) {
          const uint8_t* row = luma + static_cast<ptrdiff_t>(y) * stride;
          for (int x = x0; x < x1; x += 2) sum += row[x];
        }
      }
      const uint32_t count = static_cast<uint32_t>(rows) * static_cast<uint32_t>((x1 - x0 + 1) / 2);
      mean_[static_cast<size_t>(r * kMotionGrid + c)] =
          count ? static_cast<int32_t>((sum << 8) / count) : 0;
    }
  }
}

int32_t MotionDetector::Threshold(size_t block) const {
  return noise_[block] * noiseFactor16_ / 16 + MinDeltaFor(sensitivity_);
}

void MotionDetector::Relearn() {
  background_ = mean_;
  run_ = 0;
}

void MotionDetector::EndEvent(MotionFrame* frame) {
  active_ = false;
  frame->ended = true;
}

void MotionDetector::CountSecond(int64_t nowMs) {
  if (nowMs - secondStartMs_ < 1000) return;
  secondStartMs_ = nowMs - secondStartMs_ < 2000 ? secondStartMs_ + 1000 : nowMs;
  const int32_t learn = static_cast<int32_t>(std::max<int64_t>(timing_.learnSeconds, 1));
  for (int i = 0; i < kMotionBlocks; ++i) {
    const size_t k = static_cast<size_t>(i);
    if (changedThisSecond_[k]) {
      busy_[k] = std::min(busy_[k] + 1, learn);
      quiet_[k] = 0;
    } else {
      busy_[k] = std::max(busy_[k] - kQuietSecondWeight, 0);
      quiet_[k] += 1;
    }
    changedThisSecond_[k] = 0;
    if (!Bit(learnt_, i) && busy_[k] >= learn) {
      SetBit(learnt_, i, true);
    } else if (Bit(learnt_, i) && quiet_[k] >= timing_.calmSeconds) {
      SetBit(learnt_, i, false);
      busy_[k] = 0;
    }
  }
}

MotionFrame MotionDetector::Idle(int64_t nowMs) {
  MotionFrame frame;
  if (enabled_ && active_ && nowMs - lastMotionMs_ >= timing_.endGapMs) EndEvent(&frame);
  frame.active = active_;
  return frame;
}

MotionFrame MotionDetector::Feed(const uint8_t* luma, int stride, int width, int height,
                                 int64_t nowMs) {
  MotionFrame frame;
  if (!enabled_ || !luma || width < kMotionGrid || height < kMotionGrid) return frame;
  if (width != width_ || height != height_) {
    width_ = width;
    height_ = height;
    Restart();
  }
  // A stream that stopped for a while comes back with another picture.
  if (!fresh_ && nowMs - lastFrameMs_ > timing_.streamGapMs) {
    fresh_ = true;
    run_ = 0;
  }
  lastFrameMs_ = nowMs;
  Sample(luma, stride, width, height);

  if (fresh_) {
    fresh_ = false;
    background_ = mean_;
    anchor_ = mean_;
    still_.fill(kStepFrames);
    noise_.fill(kInitialNoise);
    settleUntilMs_ = nowMs + timing_.settleMs;
    settling_ = true;
    settleChanges_ = {};
    secondStartMs_ = nowMs;
    changed_ = {};
    frame.relearnt = true;
  } else {
    int changedAll = 0;
    int counted = 0;
    int changedCounted = 0;
    for (int i = 0; i < kMotionBlocks; ++i) {
      const size_t k = static_cast<size_t>(i);
      if (Bit(unmasked_, i)) background_[k] = mean_[k];
      // Moved: away from where the block last moved to by more than the
      // noise, so a slow object that takes a few frames to do so counts too.
      if (std::abs(mean_[k] - anchor_[k]) > Threshold(k)) {
        anchor_[k] = mean_[k];
        still_[k] = 0;
      } else if (still_[k] < kStepFrames) {
        ++still_[k];
      }
      const int32_t delta = std::abs(mean_[k] - background_[k]);
      // A block that changed once and then held still (a clock's next
      // minute, a sign switched, something set down) is a step, not motion:
      // it counts only for the frames right after it moved.
      const bool changed = delta > Threshold(k) && still_[k] < kStepFrames;
      SetBit(changed_, i, changed);
      changedAll += changed;
      if (Bit(operatorMask_, i) || Bit(learnt_, i)) continue;
      counted += 1;
      changedCounted += changed;
    }
    unmasked_ = {};
    if (changedAll * 1000 > timing_.lightSwitchPermille * kMotionBlocks) {
      // Lights, iris, a damaged picture: not motion. The picture as it is
      // now is the background from here on.
      Relearn();
      changed_ = {};
      frame.relearnt = true;
    } else {
      const bool settling = nowMs < settleUntilMs_;
      if (!settling && settling_) LearnFromSettle();
      for (int i = 0; i < kMotionBlocks; ++i) {
        const size_t k = static_cast<size_t>(i);
        const int32_t diff = mean_[k] - background_[k];
        // Busy is a change from the last frame, not from the background:
        // something that stopped in view is not busy.
        if (std::abs(mean_[k] - last_[k]) > Threshold(k)) {
          changedThisSecond_[k] = 1;
          if (settling && settleChanges_[k] < kSettleChanges) ++settleChanges_[k];
        }
        if (Bit(learnt_, i) || Bit(operatorMask_, i)) {
          // Ignored blocks follow the picture, so they are right the moment
          // they count again.
          background_[k] = mean_[k];
        } else if (std::abs(diff) > Threshold(k) && !Bit(changed_, i)) {
          // A step that held still: the picture as it is now is the
          // background, and the step says nothing of the noise.
          background_[k] = mean_[k];
          stuck_[k] = 0;
        } else if (Bit(changed_, i)) {
          // A passing object leaves the background alone, or its trail would
          // read as motion; one that stops in view becomes background in time.
          if (++stuck_[k] > kStuckFrames) background_[k] += diff / 16;
        } else {
          stuck_[k] = 0;
          background_[k] += diff / (settling ? 4 : 16);
          noise_[k] = std::max(noise_[k] + (std::abs(diff) - noise_[k]) / 32, kNoiseFloor);
        }
      }
      frame.permille = counted ? changedCounted * 1000 / counted : 0;
      frame.motion = !settling && changedCounted >= kMinChangedBlocks && frame.permille >= sharePermille_;
    }
  }
  last_ = mean_;
  CountSecond(nowMs);

  if (frame.motion) {
    run_ += 1;
    lastMotionMs_ = nowMs;
  } else {
    run_ = 0;
  }
  if (!active_ && run_ >= timing_.startFrames) {
    active_ = true;
    peak_ = 0;
    frame.started = true;
  }
  if (active_ && frame.motion && frame.permille > peak_) {
    peak_ = frame.permille;
    frame.newPeak = true;
  }
  if (active_ && !frame.motion && nowMs - lastMotionMs_ >= timing_.endGapMs) EndEvent(&frame);
  frame.active = active_;
  return frame;
}

}  // namespace zarvion
