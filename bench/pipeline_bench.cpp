// Per-frame cost of the video pipeline in a 4 x 4 grid on a 1920 x 1080
// back surface (decode, place the pane, compose and present), next to the
// bare libavcodec decode of the same packets, and the parts on their own.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include <QGuiApplication>

#include "mp43_test_frames.h"
#include "platform/av_pointers.h"
#include "video/captions.h"
#include "video/channel_decoder.h"
#include "video/renderer.h"

namespace zarvion {
namespace {

using testing::EncodedFrame;

const std::vector<EncodedFrame>& Frames() {
  static const std::vector<EncodedFrame> frames = testing::EncodeTestFrames(50, 25);
  return frames;
}

class NullPresenter : public Presenter {
 public:
  Rect WindowRect() const override { return Rect{0, 0, 1920, 1080 + kToolbarStrip}; }
  Point CursorPos() const override { return Point{700, 400}; }
  void Present(const Rect&, const Rect&) override {}
};

// Sixteen decoders bound to a renderer of a 1920 x 1080 screen.
struct Pipeline {
  Pipeline() {
    // Without the surfaces there is nothing to measure.
    if (!renderer.Create(1920, 1080)) std::abort();
    renderer.SetCaptionFont(&small);
    renderer.SetPresenter(&presenter);
    for (int s = 0; s < kDecoderSlots; ++s) {
      decoders[s] = std::make_unique<CChannelDecoder>();
      decoders[s]->nChannel = s;
      decoders[s]->hFont = &large;
      renderer.BindDecoder(s, decoders[s].get());
      if (!decoders[s]->Create(352, 288)) std::abort();
    }
  }
  Font small{kFontSmallHeight};
  Font large{kFontLargeHeight};
  std::atomic<uint32_t> drawMode{0x00100000};
  std::atomic<uint32_t> layoutDirty{1};
  std::atomic<uint32_t> snapshot{0};
  Renderer renderer{ViewWords{drawMode, layoutDirty, snapshot}};
  NullPresenter presenter;
  std::array<std::unique_ptr<CChannelDecoder>, kDecoderSlots> decoders;
};

void BM_BareDecode(benchmark::State& state) {
  const auto& frames = Frames();
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MSMPEG4V3);
  AvCodecContextPtr ctx(avcodec_alloc_context3(codec));
  ctx->width = 352;
  ctx->height = 288;
  ctx->thread_count = 1;
  avcodec_open2(ctx.get(), codec, nullptr);
  AvPacketPtr pkt(av_packet_alloc());
  AvFramePtr frame(av_frame_alloc());
  std::vector<std::vector<uint8_t>> padded;
  for (const auto& f : frames) {
    padded.emplace_back(f.bytes);
    padded.back().resize(f.bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE);
  }
  size_t i = 0;
  for (auto _ : state) {
    const size_t k = i++ % frames.size();
    pkt->data = padded[k].data();
    pkt->size = static_cast<int>(frames[k].bytes.size());
    avcodec_send_packet(ctx.get(), pkt.get());
    avcodec_receive_frame(ctx.get(), frame.get());
    benchmark::DoNotOptimize(frame->data[0]);
    av_frame_unref(frame.get());
  }
}

// What the connection thread does for one VideoFrame of a 4 x 4 grid.
void BM_PipelineFrame(benchmark::State& state) {
  const auto& frames = Frames();
  Pipeline p;
  size_t i = 0;
  for (auto _ : state) {
    const int slot = static_cast<int>(i % kDecoderSlots);
    const EncodedFrame& f = frames[(i / kDecoderSlots) % frames.size()];
    ++i;
    if (!p.decoders[slot]->Decode(f.bytes.data(), static_cast<uint32_t>(f.bytes.size()),
                                  f.Flags())) {
      p.renderer.ClearView();
    }
    p.renderer.PlaceChannel(slot);
    p.renderer.Redraw();
  }
}

// The parts: one decoder's Decode (decompress, convert, copy to its
// surface), placing one pane, composing the grid (16 borders and captions).
void BM_DecoderDecode(benchmark::State& state) {
  const auto& frames = Frames();
  Pipeline p;
  size_t i = 0;
  for (auto _ : state) {
    const EncodedFrame& f = frames[i++ % frames.size()];
    if (!p.decoders[0]->Decode(f.bytes.data(), static_cast<uint32_t>(f.bytes.size()), f.Flags())) {
      state.SkipWithError("the decoder has no surface");
      break;
    }
  }
}

// Placing one pane, composing the grid (16 borders and captions).
void BM_PlaceChannel(benchmark::State& state) {
  Pipeline p;
  int slot = 0;
  for (auto _ : state) p.renderer.PlaceChannel(slot++ % kDecoderSlots);
}

void BM_ComposeGrid(benchmark::State& state) {
  Pipeline p;
  for (auto _ : state) p.renderer.Redraw();
}

void BM_ComposeSingle(benchmark::State& state) {
  Pipeline p;
  p.drawMode = 5;
  for (auto _ : state) p.renderer.Redraw();
}

BENCHMARK(BM_BareDecode)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_PipelineFrame)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_DecoderDecode)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_PlaceChannel)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_ComposeGrid)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_ComposeSingle)->Repetitions(5)->ReportAggregatesOnly(true);

// Prints as usual and keeps the medians, for the ratio at the end.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  MedianReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
        medians[r.run_name.function_name] = r.GetAdjustedCPUTime();
      }
    }
  }
  std::map<std::string, double> medians;
};

}  // namespace
}  // namespace zarvion

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  av_log_set_level(AV_LOG_ERROR);
  benchmark::Initialize(&argc, argv);
  zarvion::MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto& m = reporter.medians;
  auto bare = m.find("BM_BareDecode"), pipe = m.find("BM_PipelineFrame");
  if (bare != m.end() && pipe != m.end() && bare->second > 0) {
    std::printf(
        "pipeline per frame (median CPU) %.1f us, bare decode (median CPU) %.1f us, ratio %.2f\n",
        pipe->second / 1000.0, bare->second / 1000.0, pipe->second / bare->second);
  }
  benchmark::Shutdown();
  return 0;
}
