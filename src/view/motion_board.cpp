#include "view/motion_board.h"

#include <algorithm>
#include <cstddef>

namespace zarvion {

namespace {

bool Valid(int channel) {
  return channel >= 0 && channel < kMotionChannels;
}

}  // namespace

void MotionBoard::SetEnabled(int channel, bool enabled) {
  if (!Valid(channel)) return;
  std::lock_guard<std::mutex> hold(lock_);
  Channel& c = channels_[static_cast<size_t>(channel)];
  c.settings.enabled = enabled;
  ++c.serial;
}

void MotionBoard::SetSensitivity(int channel, int sensitivity) {
  if (!Valid(channel)) return;
  std::lock_guard<std::mutex> hold(lock_);
  Channel& c = channels_[static_cast<size_t>(channel)];
  c.settings.sensitivity = std::clamp(sensitivity, kMotionSensitivityMin, kMotionSensitivityMax);
  ++c.serial;
}

void MotionBoard::SetMask(int channel, const MotionMask& mask) {
  if (!Valid(channel)) return;
  std::lock_guard<std::mutex> hold(lock_);
  Channel& c = channels_[static_cast<size_t>(channel)];
  c.settings.mask = mask;
  ++c.serial;
}

MotionStatus MotionBoard::Status(int channel) const {
  MotionStatus s;
  if (!Valid(channel)) {
    s.enabled = false;
    return s;
  }
  std::lock_guard<std::mutex> hold(lock_);
  const Channel& c = channels_[static_cast<size_t>(channel)];
  s.enabled = c.settings.enabled;
  // A detector switched off has no event, whatever it said last.
  s.active = c.settings.enabled && c.active;
  s.permille = c.permille;
  s.peakPermille = c.peakPermille;
  s.changes = c.changes;
  s.thumbnail = c.thumbnail;
  return s;
}

bool MotionBoard::ReadSettings(int channel, uint32_t* serial, MotionSettings* settings) const {
  if (!Valid(channel)) return false;
  std::lock_guard<std::mutex> hold(lock_);
  const Channel& c = channels_[static_cast<size_t>(channel)];
  if (c.serial == *serial) return false;
  *serial = c.serial;
  *settings = c.settings;
  return true;
}

void MotionBoard::Update(int channel, bool active, int permille, int peakPermille, bool newPeak,
                         const uint8_t* luma, int stride, int width, int height) {
  if (!Valid(channel)) return;
  std::lock_guard<std::mutex> hold(lock_);
  Channel& c = channels_[static_cast<size_t>(channel)];
  if (active != c.active) {
    c.active = active;
    ++c.changes;
  }
  c.permille = permille;
  c.peakPermille = peakPermille;
  if (newPeak && luma && width > 0 && height > 0) {
    // Nearest pixel: the thumbnail only has to show what moved.
    c.thumbnail.resize(static_cast<size_t>(kMotionThumbWidth) * kMotionThumbHeight);
    for (int y = 0; y < kMotionThumbHeight; ++y) {
      const uint8_t* row = luma + static_cast<ptrdiff_t>(y * height / kMotionThumbHeight) * stride;
      uint8_t* out = c.thumbnail.data() + static_cast<size_t>(y) * kMotionThumbWidth;
      for (int x = 0; x < kMotionThumbWidth; ++x) out[x] = row[x * width / kMotionThumbWidth];
    }
  }
}

MotionMask MotionBoard::Changed(int channel) const {
  if (!Valid(channel)) return {};
  std::lock_guard<std::mutex> hold(lock_);
  return channels_[static_cast<size_t>(channel)].changed;
}

void MotionBoard::SetChanged(int channel, const MotionMask& blocks) {
  if (!Valid(channel)) return;
  std::lock_guard<std::mutex> hold(lock_);
  channels_[static_cast<size_t>(channel)].changed = blocks;
}

}  // namespace zarvion
