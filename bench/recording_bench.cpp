// Recording costs: an appended frame, and the repair of a lost index.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/avi_file.h"
#include "platform/avi_repair.h"

namespace {

using namespace zarvion;

std::string TempFile() {
  const char* dir = std::getenv("TMPDIR");
  std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/zarvion-bench-XXXXXX";
  const int fd = mkstemp(pattern.data());
  if (fd >= 0) close(fd);
  unlink(pattern.c_str());  // the writer makes its files itself
  return pattern;
}

AviStream* Begin(AviFile& file) {
  AviStreamInfo info;
  info.fccType = kStreamTypeVideo;
  info.dwScale = 1;
  info.dwRate = 10;
  info.rcFrame = AviRect{0, 0, 352, 288};
  AviStream* stream = file.CreateStream(info);
  if (!stream || !stream->SetFormat(0, MakeBitmapInfoHeader(352, 288, 24, kFourCCMp43, 0), 40)) {
    std::abort();  // nothing to measure without a recording
  }
  return stream;
}

// One 8 KB frame (a typical CIF P-frame at a recorder's bit rates).
void BM_AppendFrame(benchmark::State& state) {
  const std::string path = TempFile();
  std::vector<uint8_t> frame(8192, 0x40);
  auto file = AviFile::Open(path, kOfCreate | kOfWrite);
  AviStream* stream = Begin(*file);
  int32_t pos = 0;
  for (auto _ : state) {
    if (pos == 20000) {
      state.PauseTiming();
      file.reset();
      unlink(path.c_str());
      file = AviFile::Open(path, kOfCreate | kOfWrite);
      stream = Begin(*file);
      pos = 0;
      state.ResumeTiming();
    }
    if (!stream->Write(pos, 1, frame.data(), static_cast<uint32_t>(frame.size()),
                       pos % 10 ? 0 : 0x10)) {
      state.SkipWithError("a frame could not be written");
      break;
    }
    ++pos;
  }
  file.reset();
  unlink(path.c_str());
}

// An hour at 10 frames per second (36,000 frames of 8 KB, 295 MB) killed
// before its index was written, then repaired.
void BM_RepairHour(benchmark::State& state) {
  const std::string path = TempFile();
  std::vector<uint8_t> frame(8192, 0x40);
  for (auto _ : state) {
    state.PauseTiming();
    {
      unlink(path.c_str());
      auto file = AviFile::Open(path, kOfCreate | kOfWrite);
      AviStream* stream = Begin(*file);
      for (int32_t i = 0; i < 36000; ++i) {
        frame[0] = i % 10 ? 0x40 : 0x00;
        if (!stream->Write(i, 1, frame.data(), static_cast<uint32_t>(frame.size()), 0)) {
          std::abort();  // a recording short of its hour would time something else
        }
      }
      file->Discard();  // the index must not be written: as a kill leaves it
      const std::string keep = path + ".kept";
      link(path.c_str(), keep.c_str());
      file.reset();
      rename(keep.c_str(), path.c_str());
    }
    state.ResumeTiming();
    benchmark::DoNotOptimize(RepairAvi(path));
  }
  unlink(path.c_str());
}

}  // namespace

BENCHMARK(BM_AppendFrame)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_RepairHour)->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
