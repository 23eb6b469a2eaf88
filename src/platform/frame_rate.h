// A video stream's frame rate as a fraction (frames = rate / scale per
// second), and its measurement from the times frames arrive.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace zarvion {

struct FrameRate {
  uint32_t rate = 10;
  uint32_t scale = 1;
  double Fps() const { return scale ? static_cast<double>(rate) / scale : 0.0; }
  // The frame period in microseconds, rounded.
  uint32_t MicrosecondsPerFrame() const;
  bool operator==(const FrameRate&) const = default;
};

// The usual video rate (25/1, 30000/1001, 15/2, ...) within 2 % of `fps`,
// else `fps` to the thousandth (rate/1000). Nothing for a rate that is not
// a positive number or is beyond 1000 frames a second.
std::optional<FrameRate> NearestFrameRate(double fps);

// The rate of frames from their arrival: over the first seconds, once they
// span at least `enough` (a recorder's rate does not drift; its network
// does, so a longer look only adds the pauses a lost signal makes).
class ArrivalRate {
 public:
  using Clock = std::chrono::steady_clock;
  // Frames that arrive later than this after the first one are not looked at.
  static constexpr std::chrono::seconds kWindow{5};

  // One frame arrived at `t` (times never go back).
  void Frame(Clock::time_point t);
  // The rate so far when the frames span at least `enough`; nothing before.
  std::optional<FrameRate> Rate(Clock::duration enough = std::chrono::seconds(2)) const;
  // True once frames past the window have come: the rate will not change.
  bool Settled() const { return settled_; }

 private:
  Clock::time_point first_{};
  Clock::time_point last_{};
  uint32_t frames_ = 0;
  bool settled_ = false;
};

}  // namespace zarvion
