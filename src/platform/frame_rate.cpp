#include "platform/frame_rate.h"

#include <cmath>

namespace zarvion {

namespace {

constexpr FrameRate kUsualRates[] = {
    {1, 1},  {2, 1},        {3, 1},  {4, 1},  {5, 1},        {6, 1},  {15, 2},       {8, 1},
    {10, 1}, {12, 1},       {25, 2}, {15, 1}, {16, 1},       {20, 1}, {24000, 1001}, {24, 1},
    {25, 1}, {30000, 1001}, {30, 1}, {50, 1}, {60000, 1001}, {60, 1},
};

}  // namespace

uint32_t FrameRate::MicrosecondsPerFrame() const {
  if (rate == 0) return 0;
  return static_cast<uint32_t>((uint64_t{1000000} * scale + rate / 2) / rate);
}

std::optional<FrameRate> NearestFrameRate(double fps) {
  if (!(fps > 0) || fps > 1000) return std::nullopt;
  const FrameRate* best = nullptr;
  double bestError = 0.02;
  for (const FrameRate& r : kUsualRates) {
    const double error = std::fabs(fps - r.Fps()) / r.Fps();
    if (error <= bestError) {
      best = &r;
      bestError = error;
    }
  }
  if (best) return *best;
  const auto thousandths = static_cast<uint32_t>(std::lround(fps * 1000));
  if (thousandths == 0) return std::nullopt;
  return FrameRate{thousandths, 1000};
}

void ArrivalRate::Frame(Clock::time_point t) {
  if (settled_) return;
  if (frames_ == 0) first_ = t;
  if (t - first_ > kWindow) {
    settled_ = true;
    return;
  }
  last_ = t;
  ++frames_;
}

std::optional<FrameRate> ArrivalRate::Rate(Clock::duration enough) const {
  const Clock::duration span = last_ - first_;
  if (frames_ < 3 || span < enough || span <= Clock::duration::zero()) return std::nullopt;
  const double seconds = std::chrono::duration<double>(span).count();
  return NearestFrameRate((frames_ - 1) / seconds);
}

}  // namespace zarvion
