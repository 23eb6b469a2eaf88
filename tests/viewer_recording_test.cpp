// A tab's recording against the simulator: it goes on after the recorder
// comes back, a full disk is told and leaves no file, and low free space is
// told once each time it runs low.
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QLabel>
#include <QTest>

#include "settings/settings_store.h"
#include "video/channel_decoder.h"
#include "viewer_test_util.h"
#include "window/control_window.h"
#include "window/window_layout.h"

namespace zarvion::viewer {
namespace {

using namespace test;
namespace fs = std::filesystem;

std::string Output(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[256];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  return ::pclose(pipe) == 0 ? out : std::string();
}

int FramesIn(const fs::path& avi) {
  return std::atoi(Output("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                          "stream=nb_read_frames -of csv=p=0 '" +
                          avi.string() + "'")
                       .c_str());
}

std::vector<fs::path> FilesIn(const fs::path& folder, const std::string& extension) {
  std::vector<fs::path> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    if (entry.path().extension() == extension) found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

// Fills the volume of `folder` until a write fails; returns the filler.
fs::path Fill(const fs::path& folder, const std::string& name = "filler") {
  const fs::path filler = folder / name;
  std::FILE* f = std::fopen(filler.c_str(), "ab");
  const std::string block(4096, 'x');
  while (f && std::fwrite(block.data(), block.size(), 1, f) == 1 && std::fflush(f) == 0) {
  }
  if (f) std::fclose(f);
  return filler;
}

// A small tmpfs over a folder for one test (needs root).
class SmallVolume {
 public:
  SmallVolume(const fs::path& folder, const std::string& size) : folder_(folder) {
    fs::create_directories(folder);
    mounted_ = ::geteuid() == 0 &&
               ::mount("tmpfs", folder.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
  }
  ~SmallVolume() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }

 private:
  fs::path folder_;
  bool mounted_ = false;
};

class RecordingTab : public ViewerTest {
 protected:
  void SetUp() override {
    ViewerTest::SetUp();
    QObject::connect(&tab_, &RecorderTab::EventOccurred,
                     [this](const Event& e) { events_.push_back(e); });
    // These tests tell motion by hand; the detector would only add events
    // of its own on a slow machine's uneven pictures.
    for (int channel = 0; channel < 16; ++channel) tab_.SetMotionEnabled(channel, false);
  }
  void UseFolders(const fs::path& record, const fs::path& snapshots) {
    fs::create_directories(record);
    fs::create_directories(snapshots);
    ASSERT_TRUE(RegSetString(Hive::kCurrentUser, kSettingsKey, kRecordDirValue, record.string()));
    ASSERT_TRUE(RegSetString(Hive::kCurrentUser, kSettingsKey, kCapDirValue, snapshots.string()));
  }
  void GoLiveOn(int channel) {
    tab_.resize(800, 640);
    tab_.show();
    tab_.Connect(At(*server_));
    ASSERT_TRUE(WaitUntil([&] { return tab_.EnlargeChannel(channel); }, 8000 * kSlow));
  }
  // The events of `kind`, in order.
  std::vector<Event> Of(EventKind kind) const {
    std::vector<Event> found;
    for (const Event& e : events_) {
      if (e.kind == kind) found.push_back(e);
    }
    return found;
  }
  bool WaitFor(EventKind kind, size_t count = 1) {
    return WaitUntil([&] { return Of(kind).size() >= count; }, 8000 * kSlow);
  }
  bool RecordMarkShown() const { return tab_.RecordMark() && tab_.RecordMark()->isVisible(); }
  QString RecordCaption() const { return tab_.Window()->Button(kIdRecord)->text(); }
  void Snapshot() { tab_.Window()->OnCapture(); }

  std::unique_ptr<dvrsim::Server> server_ = StartRecorder();
  RecorderTab tab_;
  std::vector<Event> events_;
};

TEST_F(RecordingTab, GoesOnInANewFileWhenTheRecorderComesBack) {
  ASSERT_TRUE(server_);
  const fs::path movies = fs::path(zarvion::testing::TestHome()) / "resume-movies";
  fs::remove_all(movies);
  UseFolders(movies, movies);
  tab_.SetReconnectPolicy(ReconnectPolicy(std::chrono::milliseconds(300)));
  GoLiveOn(2);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitUntil([&] { return tab_.Window()->StartRecording(); }, 5000 * kSlow));
  ASSERT_TRUE(WaitFor(EventKind::kRecordingStarted));
  EXPECT_EQ(Of(EventKind::kRecordingStarted)[0].channel, 2);
  EXPECT_TRUE(WaitUntil([&] { return RecordMarkShown(); }, 2000 * kSlow));
  EXPECT_EQ(tab_.RecordMark()->text(), QString::fromUtf8("● REC"));
  QTest::qWait(1500);

  const uint16_t port = server_->Port();
  server_.reset();
  ASSERT_TRUE(WaitFor(EventKind::kRecordingFailed));
  EXPECT_EQ(Of(EventKind::kRecordingFailed)[0].detail, QString::fromUtf8("连接中断"));
  EXPECT_FALSE(RecordMarkShown());
  EXPECT_EQ(tab_.ChannelToResume(), 2);

  server_ = StartRecorder(port);
  ASSERT_TRUE(server_);
  ASSERT_TRUE(WaitFor(EventKind::kRecordingResumed));
  const Event resumed = Of(EventKind::kRecordingResumed)[0];
  EXPECT_EQ(resumed.channel, 2);
  EXPECT_EQ(EventKindText(resumed.kind), QString::fromUtf8("录像已恢复"));
  EXPECT_EQ(tab_.Window()->Object().dwDrawMode.load(), 2u);
  EXPECT_TRUE(WaitUntil([&] { return RecordMarkShown(); }, 2000 * kSlow));
  QTest::qWait(1500);

  tab_.Window()->StopRecording();
  ASSERT_TRUE(WaitFor(EventKind::kRecordingStopped));
  EXPECT_EQ(Of(EventKind::kRecordingStopped)[0].detail, resumed.detail);
  EXPECT_FALSE(RecordMarkShown());
  EXPECT_EQ(Of(EventKind::kRecordingStarted).size(), 1u);
  EXPECT_EQ(tab_.ChannelToResume(), -1);

  const auto avis = FilesIn(movies, ".avi");
  ASSERT_EQ(avis.size(), 2u);
  EXPECT_EQ(avis[1].string(), resumed.detail.toStdString());
  EXPECT_GT(FramesIn(avis[0]), 0);
  EXPECT_GT(FramesIn(avis[1]), 0);

  // Stopped by the operator, a recording does not come back after a loss.
  server_.reset();
  server_ = StartRecorder(port);
  ASSERT_TRUE(WaitUntil([&] { return tab_.Sessions() == 3; }, 8000 * kSlow));
  QTest::qWait(500);
  EXPECT_EQ(Of(EventKind::kRecordingResumed).size(), 1u);
  EXPECT_EQ(FilesIn(movies, ".avi").size(), 2u);
}

TEST_F(RecordingTab, TheCatalogueHearsOfEveryPartOfASplitRecordingAndOfSnapshots) {
  ASSERT_TRUE(server_);
  const fs::path movies = fs::path(zarvion::testing::TestHome()) / "split-movies";
  fs::remove_all(movies);
  UseFolders(movies, movies);
  RecordingCatalogue catalogue(QString::fromStdString(movies.string() + ".sqlite"));
  // As the main window wires every tab.
  QObject::connect(&tab_, &RecorderTab::RecordingFileStarted,
                   [&](const QString& path, CatalogueKind kind, int channel, qint64 startMs) {
                     catalogue.Started(path, kind, tab_.Title(), channel, startMs);
                   });
  QObject::connect(&tab_, &RecorderTab::RecordingFileEnded,
                   [&](const QString& path) { catalogue.Finished(path); });
  QObject::connect(&tab_, &RecorderTab::SnapshotFileSaved,
                   [&](const QString& path, int channel, qint64 timeMs) {
                     catalogue.SnapshotSaved(path, tab_.Title(), channel, timeMs);
                   });
  GoLiveOn(1);
  if (HasFatalFailure()) return;
  ::setenv("ZARVION_RECORD_SPLIT_BYTES", "30000", 1);
  const bool started = WaitUntil([&] { return tab_.Window()->StartRecording(); }, 5000 * kSlow);
  ::unsetenv("ZARVION_RECORD_SPLIT_BYTES");
  ASSERT_TRUE(started);
  ASSERT_TRUE(WaitUntil([&] { return FilesIn(movies, ".avi").size() >= 3; }, 15000 * kSlow));
  Snapshot();
  ASSERT_TRUE(WaitFor(EventKind::kSnapshotSaved));
  tab_.Window()->StopRecording();
  ASSERT_TRUE(WaitFor(EventKind::kRecordingStopped));
  catalogue.Flush();

  const auto avis = FilesIn(movies, ".avi");
  std::vector<CatalogueEntry> recordings;
  std::vector<CatalogueEntry> snapshots;
  for (CatalogueEntry& e : catalogue.Entries(0, int64_t{1} << 50)) {
    (e.kind == CatalogueKind::kSnapshot ? snapshots : recordings).push_back(std::move(e));
  }
  ASSERT_EQ(recordings.size(), avis.size());
  for (size_t i = 0; i < avis.size(); ++i) {
    const CatalogueEntry& e = recordings[i];
    SCOPED_TRACE(avis[i].string());
    EXPECT_EQ(e.path.toStdString(), avis[i].string());
    EXPECT_EQ(e.kind, CatalogueKind::kManual);
    EXPECT_EQ(e.channel, 1);
    EXPECT_EQ(e.recorder, tab_.Title());
    EXPECT_TRUE(e.complete);
    EXPECT_EQ(e.frames, FramesIn(avis[i]));
    // Each part after a split opens on a key frame, where the one before
    // ended, give or take a frame.
    if (i > 0) {
      EXPECT_GE(e.keyFrames, 1);
      EXPECT_NEAR(e.startMs, recordings[i - 1].endMs, 250);
    }
  }
  ASSERT_EQ(snapshots.size(), 1u);
  EXPECT_EQ(snapshots[0].path, Of(EventKind::kSnapshotSaved)[0].detail);
  EXPECT_EQ(snapshots[0].channel, 1);
}

TEST_F(RecordingTab, MotionRecordsTheSecondsBeforeItUntilThePostRollIsOver) {
  ASSERT_TRUE(server_);
  const fs::path movies = fs::path(zarvion::testing::TestHome()) / "event-movies";
  fs::remove_all(movies);
  UseFolders(movies, movies);
  RecorderTab::EventRecordingTimes times;
  times.postRoll = std::chrono::milliseconds(1000);
  tab_.SetEventRecordingTimes(times);
  tab_.resize(800, 640);
  tab_.show();
  tab_.Connect(At(*server_));
  ASSERT_TRUE(
      WaitUntil([&] { return tab_.CurrentState() == RecorderTab::State::kLive; }, 8000 * kSlow));
  QTest::qWait(6000);

  // Motion that comes back within the post-roll goes on in the same file.
  emit tab_.MotionChanged(3, true);
  ASSERT_EQ(Of(EventKind::kRecordingStarted).size(), 1u);
  const QString path = tab_.EventRecordingPath(3);
  QTest::qWait(1000);
  emit tab_.MotionChanged(3, false);
  QTest::qWait(300);
  emit tab_.MotionChanged(3, true);
  QTest::qWait(1000);
  emit tab_.MotionChanged(3, false);
  ASSERT_TRUE(WaitFor(EventKind::kRecordingStopped));
  EXPECT_TRUE(tab_.EventRecordingPath(3).isEmpty());
  EXPECT_EQ(Of(EventKind::kRecordingStarted).size(), 1u);
  const Event stopped = Of(EventKind::kRecordingStopped)[0];
  EXPECT_EQ(stopped.channel, 3);
  EXPECT_EQ(stopped.detail, path);

  const auto avis = FilesIn(movies, ".avi");
  ASSERT_EQ(avis.size(), 1u);
  EXPECT_EQ(avis[0].string(), path.toStdString());
  EXPECT_EQ(avis[0].filename().string().rfind("EVENT_CH04_", 0), 0u) << avis[0];
  const std::string file = "'" + avis[0].string() + "'";
  const std::string flags =
      Output("ffprobe -v error -select_streams v -show_entries packet=flags -of csv=p=0 " + file);
  EXPECT_EQ(flags.substr(0, 1), "K");
  // Pre-roll, motion and post-roll, less at most the one GOP (a second) the
  // pre-roll's key frame may leave out.
  const double duration = std::atof(
      Output("ffprobe -v error -show_entries format=duration -of csv=p=0 " + file).c_str());
  EXPECT_GE(duration, 5 + 2.3 + 1 - 1.0);
  EXPECT_EQ(Output("ffmpeg -v error -nostdin -i " + file + " -f null - 2>&1; echo $?"), "0\n");

  // Off for the camera: motion records nothing, and the camera keeps no
  // seconds before it.
  EXPECT_GT(tab_.Window()->Decoder(3)->PreRollBytes(), 0u);
  tab_.SetMotionRecording(3, false);
  emit tab_.MotionChanged(3, true);
  EXPECT_TRUE(tab_.EventRecordingPath(3).isEmpty());
  EXPECT_EQ(Of(EventKind::kRecordingStarted).size(), 1u);
  QTest::qWait(200);
  EXPECT_EQ(tab_.Window()->Decoder(3)->PreRollTaken(), 0u);
}

TEST_F(RecordingTab, AFullDiskIsToldAndLeavesNoFile) {
  ASSERT_TRUE(server_);
  const fs::path full = fs::path(zarvion::testing::TestHome()) / "full-disk";
  SmallVolume volume(full, "256k");
  if (!volume.Mounted()) GTEST_SKIP() << "needs root to mount a small tmpfs; not checked here";
  UseFolders(full, full);
  Fill(full);
  GoLiveOn(0);
  if (HasFatalFailure()) return;

  EXPECT_FALSE(tab_.Window()->StartRecording());
  ASSERT_TRUE(WaitFor(EventKind::kRecordingFailed));
  EXPECT_EQ(Of(EventKind::kRecordingFailed)[0].detail, QString::fromUtf8("磁盘已满"));
  EXPECT_EQ(RecordCaption(), QString::fromUtf8("录像"));
  EXPECT_TRUE(Of(EventKind::kRecordingStarted).empty());
  EXPECT_FALSE(RecordMarkShown());

  Snapshot();
  ASSERT_TRUE(WaitFor(EventKind::kSnapshotFailed));
  EXPECT_EQ(Of(EventKind::kSnapshotFailed)[0].detail, QString::fromUtf8("磁盘已满"));
  EXPECT_EQ(Of(EventKind::kDiskSpaceLow).size(), 1u);
  EXPECT_TRUE(FilesIn(full, ".avi").empty());
  EXPECT_TRUE(FilesIn(full, ".bmp").empty());

  // Room for a start, then the disk fills under the recording: it stops,
  // says why, and keeps what it wrote.
  fs::remove(full / "filler");
  ASSERT_TRUE(tab_.Window()->StartRecording());
  ASSERT_TRUE(WaitFor(EventKind::kRecordingStarted));
  Fill(full, "filler2");
  ASSERT_TRUE(WaitFor(EventKind::kRecordingFailed, 2));
  EXPECT_EQ(Of(EventKind::kRecordingFailed)[1].detail, QString::fromUtf8("磁盘已满"));
  EXPECT_TRUE(WaitUntil([&] { return RecordCaption() == QString::fromUtf8("录像"); }, 2000));
  EXPECT_FALSE(RecordMarkShown());
  EXPECT_EQ(FilesIn(full, ".avi").size(), 1u);
}

// Without a volume of its own: a file size limit makes the same writes
// fail (EFBIG), which the operator hears in the system's words.
TEST_F(RecordingTab, AWriteRefusedByTheFileSizeLimitLeavesNoFile) {
  ASSERT_TRUE(server_);
  const fs::path folder = fs::path(zarvion::testing::TestHome()) / "size-limit";
  fs::remove_all(folder);
  UseFolders(folder, folder);
  GoLiveOn(1);
  if (HasFatalFailure()) return;

  struct rlimit old {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto previous = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 1000;  // room for a recording's headers, not its first frame
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  Snapshot();
  const bool snapshotTold = WaitFor(EventKind::kSnapshotFailed);
  const bool started = tab_.Window()->StartRecording();
  const bool recordingTold = WaitFor(EventKind::kRecordingFailed);
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, previous);

  const QString words = QString::fromLocal8Bit(std::strerror(EFBIG));
  ASSERT_TRUE(snapshotTold);
  EXPECT_EQ(Of(EventKind::kSnapshotFailed)[0].detail, words);
  // The start takes the headers; the first frame is refused.
  EXPECT_TRUE(started);
  ASSERT_TRUE(recordingTold);
  EXPECT_EQ(Of(EventKind::kRecordingFailed)[0].detail, words);
  EXPECT_TRUE(FilesIn(folder, ".avi").empty());
  EXPECT_TRUE(FilesIn(folder, ".bmp").empty());
}

TEST_F(RecordingTab, LowSpaceIsToldOncePerCrossing) {
  ASSERT_TRUE(server_);
  const fs::path folder = fs::path(zarvion::testing::TestHome()) / "low-disk";
  SmallVolume volume(folder, "8m");
  if (!volume.Mounted()) GTEST_SKIP() << "needs root to mount a small tmpfs; not checked here";
  UseFolders(folder, folder);
  tab_.SetDiskLowFloor(3 << 20);
  GoLiveOn(0);
  if (HasFatalFailure()) return;
  const auto shots = [&](size_t n) { return WaitFor(EventKind::kSnapshotSaved, n); };
  // Leaves about `free` bytes free.
  const auto leave = [&](uintmax_t free) {
    std::ofstream f(folder / "ballast", std::ios::binary | std::ios::trunc);
    const auto space = fs::space(folder).available;
    const std::string bytes(space > free ? space - free : 0, 'x');
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  };

  Snapshot();
  ASSERT_TRUE(shots(1));
  EXPECT_TRUE(Of(EventKind::kDiskSpaceLow).empty());
  leave(2 << 20);
  Snapshot();
  ASSERT_TRUE(shots(2));
  Snapshot();
  ASSERT_TRUE(shots(3));
  ASSERT_EQ(Of(EventKind::kDiskSpaceLow).size(), 1u);
  EXPECT_EQ(Of(EventKind::kDiskSpaceLow)[0].detail, QString::fromStdString(folder.string()));
  fs::remove(folder / "ballast");
  Snapshot();
  ASSERT_TRUE(shots(4));
  EXPECT_EQ(Of(EventKind::kDiskSpaceLow).size(), 1u);
  leave(2 << 20);
  Snapshot();
  ASSERT_TRUE(shots(5));
  EXPECT_EQ(Of(EventKind::kDiskSpaceLow).size(), 2u);
}

}  // namespace
}  // namespace zarvion::viewer
