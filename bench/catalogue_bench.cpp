// The catalogue over a record folder of 10,000 small recordings (4 cameras,
// one file every 4 minutes each, about a week): the first scan that reads
// every file, then what every later start pays (open the database,
// reconcile the unchanged folder, read a day), and a day's query alone.
// Median of three.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <QFile>
#include <QString>

#include "platform/avi_file.h"
#include "viewer/recording_catalogue.h"

namespace {

using zarvion::viewer::RecordingCatalogue;

constexpr int kRecordings = 10000;
constexpr int kCameras = 4;
constexpr int kFrames = 25;
// 2026-03-01 00:00 local, the first file's start.
constexpr int kMinutesApart = 4;

struct BenchFolder {
  std::string path;
  ~BenchFolder() { std::filesystem::remove_all(path); }
};

void WriteRecording(const std::string& path) {
  using namespace zarvion;
  auto avi = AviFile::Open(path, kOfCreate | kOfWrite);
  if (!avi) std::abort();
  AviStreamInfo info;
  info.fccType = kStreamTypeVideo;
  info.dwRate = 25;
  info.dwScale = 1;
  info.rcFrame = AviRect{0, 0, 352, 288};
  AviStream* stream = avi->CreateStream(info, AviRateOrigin::kMeasured);
  if (!stream ||
      !stream->SetFormat(0, MakeBitmapInfoHeader(352, 288, 24, kFourCCMp43, 352 * 288 * 3),
                         sizeof(BitmapInfoHeader))) {
    std::abort();
  }
  const std::vector<uint8_t> bytes(120, 0x3c);
  for (int i = 0; i < kFrames; ++i) {
    if (!stream->Write(i, 1, bytes.data(), static_cast<uint32_t>(bytes.size()),
                       i % 10 == 0 ? kAviIfKeyFrame : 0)) {
      std::abort();
    }
  }
}

const std::string& Folder() {
  static const BenchFolder folder{[] {
    const char* tmp = std::getenv("TMPDIR");
    std::string f = std::string(tmp && *tmp ? tmp : "/tmp") + "/zarvion-catalogue-bench-XXXXXX";
    if (!mkdtemp(f.data())) std::abort();
    std::filesystem::create_directory(f + "/rec");
    for (int i = 0; i < kRecordings; ++i) {
      const int camera = i % kCameras;
      const int minutes = (i / kCameras) * kMinutesApart;
      char name[96];
      std::snprintf(name, sizeof name, "/rec/CLIENT_CH%02d_2026_03_%02d_%02d_%02d_00_%03d.avi",
                    camera + 1, 1 + minutes / 1440, minutes / 60 % 24, minutes % 60, camera);
      WriteRecording(f + name);
    }
    return f;
  }()};
  return folder.path;
}

QString Database() {
  return QString::fromStdString(Folder() + "/recordings.sqlite");
}

void RemoveDatabase() {
  for (const char* end : {"", "-wal", "-shm"}) QFile::remove(Database() + QLatin1String(end));
}

void ReconcileAndWait(RecordingCatalogue& catalogue) {
  catalogue.Reconcile({QString::fromStdString(Folder() + "/rec")});
  while (catalogue.Reconciling()) usleep(500);
  catalogue.Flush();
}

// A day in the middle of the week.
int64_t DayStart() {
  return RecordingCatalogue::StartOfName(QStringLiteral("CLIENT_CH01_2026_03_04_00_00_00_000.avi"));
}

void BM_FirstScan(benchmark::State& state) {
  Folder();
  for (auto _ : state) {
    RemoveDatabase();
    RecordingCatalogue catalogue(Database());
    ReconcileAndWait(catalogue);
    if (catalogue.Entries(0, int64_t{1} << 50).size() != kRecordings) {
      state.SkipWithError("not every recording was entered");
    }
  }
  state.counters["recordings"] = kRecordings;
}
BENCHMARK(BM_FirstScan)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->UseRealTime();

// What a start pays once the folder was scanned: the whole of it must stay
// under a second.
void BM_OpenReconcileUnchangedAndReadADay(benchmark::State& state) {
  Folder();
  {
    RecordingCatalogue first(Database());
    ReconcileAndWait(first);
  }
  size_t day = 0;
  for (auto _ : state) {
    RecordingCatalogue catalogue(Database());
    ReconcileAndWait(catalogue);
    day = catalogue.Entries(DayStart(), DayStart() + 86400000).size();
  }
  if (day != 360 * kCameras) state.SkipWithError("a day should hold 1,440 recordings");
}
BENCHMARK(BM_OpenReconcileUnchangedAndReadADay)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->UseRealTime();

void BM_DayQuery(benchmark::State& state) {
  Folder();
  RecordingCatalogue catalogue(Database());
  ReconcileAndWait(catalogue);
  for (auto _ : state) {
    benchmark::DoNotOptimize(catalogue.Entries(DayStart(), DayStart() + 86400000));
  }
}
BENCHMARK(BM_DayQuery)->Unit(benchmark::kMicrosecond)->Repetitions(3)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
