// MotionBoard: what the host sees of motion on each channel, and the
// settings it gives the detectors. The decoding thread writes the status
// and reads the settings; the host the other way round. One lock for all.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

namespace zarvion {

inline constexpr int kMotionGrid = 16;
inline constexpr int kMotionBlocks = kMotionGrid * kMotionGrid;
inline constexpr int kMotionChannels = 16;
inline constexpr int kMotionSensitivityMin = 1;
inline constexpr int kMotionSensitivityMax = 10;
inline constexpr int kMotionSensitivityDefault = 5;
// The peak frame's picture, grey, one byte a pixel.
inline constexpr int kMotionThumbWidth = 160;
inline constexpr int kMotionThumbHeight = 120;

// One bit per block, a row per word: bit c of word r is the block in row r,
// column c (top row, left column first).
using MotionMask = std::array<uint16_t, kMotionGrid>;

struct MotionSettings {
  bool enabled = true;
  int sensitivity = kMotionSensitivityDefault;
  MotionMask mask{};
};

struct MotionStatus {
  bool enabled = true;
  bool active = false;
  int permille = 0;      // changed share of the last frame, in blocks per 1000
  int peakPermille = 0;  // of the event lasting, or of the last one
  uint32_t changes = 0;  // grows by one at every start and every end
  // The frame of peak motion (empty before the first event).
  std::vector<uint8_t> thumbnail;  // kMotionThumbWidth x kMotionThumbHeight
};

class MotionBoard {
 public:
  // The host's side. Channels outside 0..15 are ignored (and read as off).
  void SetEnabled(int channel, bool enabled);
  void SetSensitivity(int channel, int sensitivity);
  void SetMask(int channel, const MotionMask& mask);
  MotionStatus Status(int channel) const;
  // The blocks that changed in the channel's last frame and count (neither
  // masked nor learnt busy); none while detection is off.
  MotionMask Changed(int channel) const;

  // The decoding thread's side. The settings when they changed since
  // `*serial`; false, `settings` untouched, when not.
  bool ReadSettings(int channel, uint32_t* serial, MotionSettings* settings) const;
  // The detector's word on a frame: every change of `active` counts one.
  // `luma` (stride, width, height) is the frame's picture, copied scaled
  // down when `newPeak`.
  void Update(int channel, bool active, int permille, int peakPermille, bool newPeak,
              const uint8_t* luma = nullptr, int stride = 0, int width = 0, int height = 0);
  void SetChanged(int channel, const MotionMask& blocks);

 private:
  struct Channel {
    MotionSettings settings;
    uint32_t serial = 1;
    bool active = false;
    int permille = 0;
    int peakPermille = 0;
    uint32_t changes = 0;
    MotionMask changed{};
    // Made at the channel's first peak and reused: the board lives inside
    // objects that hosts keep on their stack.
    std::vector<uint8_t> thumbnail;
  };
  mutable std::mutex lock_;
  std::array<Channel, kMotionChannels> channels_;
};

}  // namespace zarvion
