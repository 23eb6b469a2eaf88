// The export's speed: a 20 s CIF recording at 25 fps to H.264 in MP4, as
// zarvion-export does it (our MP43 decoder, libx264 at crf 20, veryfast),
// beside `ffmpeg -i in.avi -c:v libx264` of the same file. Median of three.
// Counter "x_real_time": seconds of video exported per second.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench_recording.h"
#include "export/recording_export.h"

namespace {

using namespace zarvion::recordings;

constexpr int kFrames = 500;

const std::string& Folder() {
  static const zarvion::bench::BenchFolder folder{
      zarvion::bench::MakeBenchFolder("export", kFrames, "")};
  return folder.path;
}

void Report(benchmark::State& state) {
  state.counters["x_real_time"] = benchmark::Counter(
      kFrames / 25.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_ExportMp4(benchmark::State& state) {
  const std::string in = Folder() + "/" + std::string(zarvion::bench::kRecordingName);
  const std::string out = Folder() + "/ours.mp4";
  for (auto _ : state) {
    ExportOptions options;
    options.files = {in};
    options.out = out;
    if (!ExportRecordings(options).ok) state.SkipWithError("the export failed");
  }
  Report(state);
}
BENCHMARK(BM_ExportMp4)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->UseRealTime();

void BM_FfmpegTranscode(benchmark::State& state) {
  const std::string command = "ffmpeg -v error -nostdin -y -i '" + Folder() +
                              "/CLIENT_CH01_2026_01_01_00_00_00_000.avi' -c:v libx264 -preset "
                              "veryfast -crf 20 -threads 4 '" +
                              Folder() + "/ffmpeg.mp4'";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("ffmpeg failed");
  }
  Report(state);
}
BENCHMARK(BM_FfmpegTranscode)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
