// The motion detector on synthetic luma planes at 10 frames a second.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "video/motion_detector.h"

namespace zarvion {
namespace {

constexpr int kW = 352;
constexpr int kH = 288;
constexpr int64_t kFrameMs = 100;

struct Scene {
  std::vector<uint8_t> plane = std::vector<uint8_t>(kW * kH);
  std::mt19937 random{7};
  int noise = 6;       // +- levels of sensor noise
  int level = 90;      // the background's brightness
  int64_t nowMs = 0;

  void Draw() {
    std::uniform_int_distribution<int> n(-noise, noise);
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) {
        // A gentle gradient, so blocks differ from each other.
        plane[static_cast<size_t>(y * kW + x)] =
            static_cast<uint8_t>(std::clamp(level + x / 16 + y / 16 + n(random), 0, 255));
      }
    }
  }
  void Box(int x0, int y0, int size, uint8_t value) {
    for (int y = y0; y < y0 + size && y < kH; ++y) {
      for (int x = x0; x < x0 + size && x < kW; ++x) plane[static_cast<size_t>(y * kW + x)] = value;
    }
  }
  MotionFrame Feed(MotionDetector& d) {
    nowMs += kFrameMs;
    return d.Feed(plane.data(), kW, kW, kH, nowMs);
  }
};

struct Tally {
  int starts = 0;
  int ends = 0;
  int64_t firstStartMs = -1;
  int64_t lastEndMs = -1;
  void Add(const MotionFrame& f, int64_t nowMs) {
    if (f.started && ++starts == 1) firstStartMs = nowMs;
    if (f.ended) {
      ++ends;
      lastEndMs = nowMs;
    }
  }
};

// Frames of the plain noisy scene for `seconds`.
Tally Still(MotionDetector& d, Scene& s, int seconds) {
  Tally t;
  for (int i = 0; i < seconds * 10; ++i) {
    s.Draw();
    t.Add(s.Feed(d), s.nowMs);
  }
  return t;
}

TEST(MotionDetector, NoisyStillSceneAndLightStepsGiveNoEvent) {
  for (int sensitivity : {5, 10}) {
    MotionDetector d;
    d.SetSensitivity(sensitivity);
    Scene s;
    s.noise = 20;
    EXPECT_EQ(Still(d, s, 60).starts, 0) << "sensitivity " << sensitivity;
    // Lights on, then off again two frames later, then the iris in two steps.
    s.level = 170;
    Tally t = Still(d, s, 1);
    s.level = 90;
    t.Add(s.Feed(d), s.nowMs);
    Tally rest = Still(d, s, 5);
    // The iris opens over two frames: half the picture, then all of it.
    s.level = 130;
    s.Draw();
    for (int y = 0; y < kH / 2; ++y) {
      for (int x = 0; x < kW; ++x) s.plane[static_cast<size_t>(y * kW + x)] = static_cast<uint8_t>(90 + x / 16 + y / 16);
    }
    t.Add(s.Feed(d), s.nowMs);
    Tally after = Still(d, s, 10);
    EXPECT_EQ(t.starts + rest.starts + after.starts, 0) << "sensitivity " << sensitivity;
  }
}

TEST(MotionDetector, MovingSquareStartsOneEventThatEndsAfterTheGap) {
  MotionTiming timing;
  timing.endGapMs = 3000;
  MotionDetector d(timing);
  Scene s;
  Still(d, s, 5);
  Tally t;
  int64_t motionStartMs = s.nowMs;
  int peak = 0;
  for (int i = 0; i < 30; ++i) {
    s.Draw();
    s.Box(10 + i * 10, 100, 48, 230);
    const MotionFrame f = s.Feed(d);
    t.Add(f, s.nowMs);
    if (f.newPeak) peak = f.permille;
  }
  const int64_t motionEndMs = s.nowMs;
  t.starts += Still(d, s, 2).starts;
  EXPECT_EQ(t.starts, 1);
  EXPECT_LE(t.firstStartMs - motionStartMs, 4 * kFrameMs);
  EXPECT_EQ(t.ends, 0) << "ended before the gap";
  EXPECT_TRUE(d.Active());
  EXPECT_GT(peak, 0);
  EXPECT_EQ(d.PeakPermille(), peak);
  Tally end = Still(d, s, 3);
  EXPECT_EQ(end.ends, 1);
  EXPECT_EQ(end.starts, 0);
  EXPECT_NEAR(static_cast<double>(end.lastEndMs - motionEndMs), 3000.0, 2.0 * kFrameMs);
  EXPECT_FALSE(d.Active());
}

TEST(MotionDetector, SettlesAfterStartAndAfterTheStreamComesBack) {
  MotionDetector d;
  Scene s;
  Tally t;
  // Motion from the first frame on: nothing until the settle time is over.
  for (int i = 0; i < 18; ++i) {
    s.Draw();
    s.Box((i * 20) % 300, 100, 48, 230);
    t.Add(s.Feed(d), s.nowMs);
  }
  EXPECT_EQ(t.starts, 0);
  // A stream back after a pause shows another picture, and motion at once:
  // learnt, not an event.
  s.nowMs += 5000;
  s.level = 40;
  for (int i = 0; i < 18; ++i) {
    s.Draw();
    s.Box((i * 20) % 300, 100, 48, 230);
    t.Add(s.Feed(d), s.nowMs);
  }
  EXPECT_EQ(t.starts, 0);
}

TEST(MotionDetector, BlinkingClockIsLearntAndIgnoredUntilItCalms) {
  MotionTiming timing;
  timing.learnSeconds = 20;
  timing.calmSeconds = 5;
  timing.endGapMs = 1000;
  MotionDetector d(timing);
  d.SetSensitivity(10);
  Scene s;
  auto clockFrames = [&](int seconds) {
    Tally t;
    for (int i = 0; i < seconds * 10; ++i) {
      s.Draw();
      // A frame counter in the top left corner: other digits every frame.
      s.Box(4, 4, 40, static_cast<uint8_t>(i % 2 ? 250 : 10));
      t.Add(s.Feed(d), s.nowMs);
    }
    return t;
  };
  clockFrames(40);
  EXPECT_NE(d.Learnt()[0] & 0x3, 0) << "the counter's blocks are learnt";
  EXPECT_EQ(d.Learnt()[8], 0) << "a still block is not";
  EXPECT_FALSE(d.Active());
  EXPECT_EQ(clockFrames(60).starts, 0);
  // Calm for a while, it counts again.
  Still(d, s, 8);
  EXPECT_EQ(d.Learnt()[0], 0);
  EXPECT_GE(clockFrames(2).starts, 1);
}

// A camera's own frame counter, there from the first frame: its digits
// change while the stream settles, so it never starts an event, even before
// minutes of it could be learnt; an object crossing still does.
TEST(MotionDetector, ACounterSeenWhileSettlingIsIgnoredFromTheStart) {
  MotionDetector d;
  Scene s;
  Tally t;
  for (int i = 0; i < 600; ++i) {
    s.Draw();
    // Units every frame, tens every tenth, across five blocks of the top row.
    for (int digit = 0; digit < 3; ++digit) {
      s.Box(4 + digit * 22, 4, 20, static_cast<uint8_t>((i + digit) % 2 ? 250 : 10));
    }
    s.Box(70, 4, 40, static_cast<uint8_t>(i / 10 % 2 ? 250 : 10));
    t.Add(s.Feed(d), s.nowMs);
  }
  EXPECT_EQ(t.starts, 0);
  for (int i = 0; i < 20; ++i) {
    s.Draw();
    s.Box(10 + i * 12, 140, 48, 230);
    t.Add(s.Feed(d), s.nowMs);
  }
  EXPECT_EQ(t.starts, 1);
}

// A burnt-in clock whose minutes and hours change long after the stream
// settled: each change is a step held for a minute, over several blocks at
// once, not motion. (Steps used to stay changed until the background took
// them, seconds later, and started an event at every minute.)
TEST(MotionDetector, AClockThatStepsNowAndThenIsNoMotion) {
  MotionDetector d;
  Scene s;
  Tally t;
  for (int i = 0; i < 5 * 60 * 10; ++i) {
    s.Draw();
    // A new minute every 6 s here, an hour every 30 s: three digits of two
    // blocks each, at the bottom of the picture.
    const int minute = i / 60;
    s.Box(200, 250, 36, static_cast<uint8_t>(minute % 2 ? 240 : 20));
    s.Box(240, 250, 36, static_cast<uint8_t>(minute / 5 % 2 ? 240 : 20));
    s.Box(280, 250, 36, static_cast<uint8_t>(minute % 3 ? 240 : 20));
    t.Add(s.Feed(d), s.nowMs);
  }
  EXPECT_EQ(t.starts, 0);
  // Something walking across slowly, a pixel or two a frame, is motion.
  for (int i = 0; i < 100; ++i) {
    s.Draw();
    s.Box(20 + i * 3 / 2, 120, 48, 200);
    t.Add(s.Feed(d), s.nowMs);
  }
  EXPECT_EQ(t.starts, 1);
}

TEST(MotionDetector, MaskedAndDisabledGiveNoEvent) {
  MotionDetector d;
  MotionMask mask{};
  // Rows 5..10, columns 0..15: the band the square crosses.
  for (int r = 5; r <= 10; ++r) mask[static_cast<size_t>(r)] = 0xFFFF;
  d.SetMask(mask);
  Scene s;
  Still(d, s, 5);
  auto cross = [&] {
    Tally t;
    for (int i = 0; i < 30; ++i) {
      s.Draw();
      s.Box(10 + i * 10, 110, 48, 230);
      t.Add(s.Feed(d), s.nowMs);
    }
    return t;
  };
  EXPECT_EQ(cross().starts, 0);
  d.SetMask({});
  Still(d, s, 3);
  EXPECT_EQ(cross().starts, 1) << "unmasked, the same square is motion";
  d.SetEnabled(false);
  EXPECT_FALSE(d.Active());
  EXPECT_EQ(cross().starts, 0);
}

}  // namespace
}  // namespace zarvion
