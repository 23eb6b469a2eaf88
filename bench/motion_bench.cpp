// What motion detection costs: the detector per frame beside the bare
// decode of the same frame, over the 16 channels of the simulator at its
// own bitrate (its scenes encoded by its encoder, objects crossing some
// channels as when it wanders), and the bytes each channel's pre-roll ring
// holds and takes. Prints the share of the decode and the ring's megabytes
// after the benchmarks, against the bounds of 5 % and 2 MB.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "dvrsim/canvas.h"
#include "dvrsim/encoder.h"
#include "dvrsim/pictures.h"
#include "platform/avi_file.h"
#include "platform/bitmap_info.h"
#include "platform/mp43_decompressor.h"
#include "video/frame_ring.h"
#include "video/motion_detector.h"

namespace zarvion {
namespace {

constexpr int kChannels = 16;
constexpr int kFps = 25;
constexpr int kSeconds = 4;
constexpr int kFramesPerChannel = kFps * kSeconds;
// The simulator's defaults (dvrsim::Options).
constexpr int kGop = 25;
constexpr int kBitrate = 1500000;

struct Stream {
  std::vector<dvrsim::EncodedFrame> frames;
};

// Each channel's pictures as the simulator draws and encodes them; every
// other channel has an object crossing it, one after another.
const std::vector<Stream>& Streams() {
  static const std::vector<Stream> streams = [] {
    std::vector<Stream> out(kChannels);
    for (int c = 0; c < kChannels; ++c) {
      dvrsim::Mp43Encoder encoder;
      std::string error;
      if (!encoder.Open(kFps, kGop, kBitrate, &error)) {
        std::fprintf(stderr, "motion_bench: %s\n", error.c_str());
        std::abort();
      }
      dvrsim::Canvas canvas(dvrsim::kPictureWidth, dvrsim::kPictureHeight);
      for (int i = 0; i < kFramesPerChannel; ++i) {
        dvrsim::SceneLook look;
        if (c % 2 == 1) {
          const int travel = dvrsim::kPictureWidth + dvrsim::kObjectWidth;
          look.objectX = -dvrsim::kObjectWidth + travel * i / (kFramesPerChannel - 1);
        }
        dvrsim::DrawLivePicture(&canvas, c, i, look);
        dvrsim::EncodedFrame f;
        if (!encoder.Encode(canvas, i % kGop == 0, &f)) std::abort();
        out[static_cast<size_t>(c)].frames.push_back(std::move(f));
      }
    }
    return out;
  }();
  return streams;
}

BitmapInfoHeader Input() {
  return MakeBitmapInfoHeader(dvrsim::kPictureWidth, dvrsim::kPictureHeight, 24, kFourCCMp43, 0);
}

// One decompressor per channel, as the control has.
struct Decoders {
  Decoders() {
    for (auto& d : decoders) {
      d = Mp43Decompressor::Open(kFourCCVidc, kFourCCMp43);
      BitmapInfoHeader in = Input();
      if (!d || d->GetFormat(in, &out) != kIcErrOk || d->Begin(in, out) != kIcErrOk) std::abort();
    }
    out.biHeight = -out.biHeight;
  }
  bool Decode(int channel, const dvrsim::EncodedFrame& f) {
    BitmapInfoHeader in = Input();
    in.biSizeImage = static_cast<uint32_t>(f.bytes.size());
    return decoders[static_cast<size_t>(channel)]->DecodeOnly(f.key ? kAviIfKeyFrame : 0, in,
                                                              f.bytes.data(), out) == kIcErrOk;
  }
  std::unique_ptr<Mp43Decompressor> decoders[kChannels];
  BitmapInfoHeader out{};
};

// Per-frame times in microseconds, measured by the benchmarks below.
double g_decodeUs = 0;
double g_detectUs = 0;
double g_clockUs = 0;

// The calling thread's CPU time: on a busy machine the wall clock would
// count the other processes' turns as well.
double ThreadCpuUs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// The floor: every frame decoded, the channels' frames in turn as they
// arrive live, nothing converted to pixels.
void BM_BareDecode(benchmark::State& state) {
  const auto& streams = Streams();
  Decoders decoders;
  double us = 0;
  int64_t frames = 0;
  for (auto _ : state) {
    const double t0 = ThreadCpuUs();
    for (int i = 0; i < kFramesPerChannel; ++i) {
      for (int c = 0; c < kChannels; ++c) {
        benchmark::DoNotOptimize(
            decoders.Decode(c, streams[static_cast<size_t>(c)].frames[static_cast<size_t>(i)]));
      }
    }
    us += ThreadCpuUs() - t0;
    frames += kFramesPerChannel * kChannels;
  }
  g_decodeUs = us / static_cast<double>(frames);
  state.counters["us_per_frame"] = g_decodeUs;
}
BENCHMARK(BM_BareDecode)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The detector alone on each decoded frame's luma plane, timed around the
// detector only while the frames are decoded as above: the plane is as warm
// in the caches as it is in the control, right after its decode. The cost
// of reading the clock is taken out.
void BM_DetectorAfterDecode(benchmark::State& state) {
  const auto& streams = Streams();
  Decoders decoders;
  std::vector<MotionDetector> detectors(kChannels);
  double us = 0;
  int64_t frames = 0;
  int64_t nowMs = 0;
  int events = 0;
  for (auto _ : state) {
    for (int i = 0; i < kFramesPerChannel; ++i) {
      nowMs += 1000 / kFps;
      for (int c = 0; c < kChannels; ++c) {
        if (!decoders.Decode(c, streams[static_cast<size_t>(c)].frames[static_cast<size_t>(i)])) {
          continue;
        }
        const uint8_t* luma = nullptr;
        int stride = 0, width = 0, height = 0;
        if (!decoders.decoders[c]->HeldLuma(&luma, &stride, &width, &height)) continue;
        const double t0 = ThreadCpuUs();
        const MotionFrame f =
            detectors[static_cast<size_t>(c)].Feed(luma, stride, width, height, nowMs);
        us += ThreadCpuUs() - t0;
        events += f.started;
      }
    }
    frames += kFramesPerChannel * kChannels;
  }
  // What one reading of the clock costs, about what each measurement above
  // adds to the detector's time (a system call on some machines).
  const double c0 = ThreadCpuUs();
  for (int i = 0; i < 10000; ++i) benchmark::DoNotOptimize(ThreadCpuUs());
  g_clockUs = (ThreadCpuUs() - c0) / 10000;
  g_detectUs = us / static_cast<double>(frames) - g_clockUs;
  state.counters["us_per_frame"] = g_detectUs;
  state.counters["events"] = events;
}
BENCHMARK(BM_DetectorAfterDecode)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// A channel's ring at the defaults (2 MB, 5 s) fed the simulator's stream at
// its rate: the bytes it holds, the seconds they reach back, and the most
// its buffer took.
struct RingFigures {
  double heldMb = 0;
  double takenMb = 0;
  double reachS = 0;
};

RingFigures MeasureRing() {
  RingFigures r;
  FrameRing ring;
  const auto start = FrameRing::Clock::time_point{};
  int64_t n = 0;
  // Twenty seconds of stream, the recorded four seconds over and over.
  for (int s = 0; s < 20 / kSeconds; ++s) {
    for (const auto& f : Streams()[0].frames) {
      const auto t = start + std::chrono::milliseconds(n * 1000 / kFps);
      ring.Push(f.bytes.data(), static_cast<uint32_t>(f.bytes.size()), f.key ? kAviIfKeyFrame : 0,
                t);
      ++n;
      if (ring.Frames() > 0) {
        r.heldMb = std::max(r.heldMb, ring.Bytes() / 1048576.0);
        r.takenMb = std::max(r.takenMb, ring.Taken() / 1048576.0);
        r.reachS = std::chrono::duration<double>(t - ring.At(0).t).count();
      }
    }
  }
  return r;
}

}  // namespace
}  // namespace zarvion

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  size_t bytes = 0;
  for (const auto& s : zarvion::Streams()) {
    for (const auto& f : s.frames) bytes += f.bytes.size();
  }
  const double kbps = bytes * 8.0 / 1000 / (zarvion::kChannels * zarvion::kSeconds);
  const zarvion::RingFigures ring = zarvion::MeasureRing();
  if (zarvion::g_decodeUs > 0 && zarvion::g_detectUs > 0) {
    std::printf(
        "motion: detector %.2f us per frame (the clock's %.2f us taken out), bare decode %.1f us: "
        "%.2f %% (bound 5 %%)\n",
        zarvion::g_detectUs, zarvion::g_clockUs, zarvion::g_decodeUs,
        100 * zarvion::g_detectUs / zarvion::g_decodeUs);
  }
  std::printf(
      "motion: ring per channel at %.0f kbit/s: %.2f MB held reaching back %.1f s, %.2f MB "
      "taken (bound 2 MB)\n",
      kbps, ring.heldMb, ring.reachS, ring.takenMb);
  return 0;
}
