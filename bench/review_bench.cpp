// The review player's seek: random wall-clock times in a 10-minute CIF
// recording at 25 fps with a key frame every 2 s, each decoded from the key
// frame before to the exact frame, as a drag over the position asks.
// Counters "median_ms" and "p95_ms" over 300 seeks (the goal: under 200).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_recording.h"
#include "export/recording_reader.h"

namespace {

using namespace zarvion::recordings;

constexpr int kFrames = 10 * 60 * 25;
constexpr int kSeeks = 300;

const std::string& Folder() {
  static const zarvion::bench::BenchFolder folder{
      zarvion::bench::MakeBenchFolder("review", kFrames, "-b:v 400k")};
  return folder.path;
}

void BM_RandomSeek(benchmark::State& state) {
  std::vector<Recording> plan;
  std::string error;
  if (!PlanRecordings({Folder() + "/" + std::string(zarvion::bench::kRecordingName)}, &plan,
                      &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  RecordingReader reader(std::move(plan));
  std::mt19937 random(7);
  std::uniform_int_distribution<WallMs> at(reader.Begin(), reader.End() - 1);
  std::vector<double> ms;
  ReadFrame frame;
  for (auto _ : state) {
    const WallMs t = at(random);
    const auto begin = std::chrono::steady_clock::now();
    if (!reader.Seek(t, &frame, &error)) state.SkipWithError(error.c_str());
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin)
                     .count());
  }
  std::sort(ms.begin(), ms.end());
  state.counters["median_ms"] = ms[ms.size() / 2];
  state.counters["p95_ms"] = ms[std::min(ms.size() - 1, ms.size() * 95 / 100)];
}
BENCHMARK(BM_RandomSeek)->Unit(benchmark::kMillisecond)->Iterations(kSeeks)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
