// Recordings under stress, read back by ffprobe and ffmpeg: a recording
// process killed with SIGKILL, a file system that fills up under a recording
// and a snapshot, a recording passing its split size, the repair of an
// index lost to a crash, two recordings given one name, and a record folder
// that goes away under a recording.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <iterator>
#include <optional>
#include <thread>

#include "avi_test_util.h"
#include "mp43_test_frames.h"
#include "platform/avi_file.h"
#include "platform/avi_repair.h"
#include "video/channel_decoder.h"
#include "video/recording_repair.h"

extern char** environ;

namespace zarvion {
namespace {

using testing::EncodedFrame;
using testing::ExpectedPackets;
using testing::ExpectIndexed;
using testing::Packets;
using testing::ReadFile;
using testing::RunCommand;
using testing::TempDir;

void ExpectDecodes(const std::string& file) {
  std::string out;
  EXPECT_TRUE(RunCommand("ffmpeg -v error -nostdin -xerror -i '" + file + "' -f null - 2>&1", &out))
      << file << ": " << out;
  EXPECT_EQ(out, "") << file;
}

std::vector<std::string> SortedFiles(const TempDir& dir) {
  std::vector<std::string> files = dir.Files();
  std::sort(files.begin(), files.end());
  return files;
}

class RecordingTest : public ::testing::Test {
 protected:
  std::unique_ptr<CChannelDecoder> MakeDecoder(const std::string& folder) {
    auto d = std::make_unique<CChannelDecoder>();
    d->nChannel = 0;
    EXPECT_TRUE(d->Create(352, 288));
    d->recordFolder = [folder] { return folder; };
    return d;
  }
  static void Decode(CChannelDecoder& d, const EncodedFrame& f) {
    EXPECT_TRUE(d.Decode(f.bytes.data(), static_cast<uint32_t>(f.bytes.size()), f.Flags()));
  }
};

// --- kill -9 ---------------------------------------------------------------

struct Child {
  pid_t pid = -1;
  int out = -1;
};

Child SpawnRecorder(const std::string& folder, const std::string& framesFile,
                    const std::string& period = {}, const std::string& mode = {}) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  const std::string program = std::string(ZARVION_BIN_DIR) + "/record_child";
  char* argv[] = {const_cast<char*>(program.c_str()),
                  const_cast<char*>(folder.c_str()),
                  const_cast<char*>(framesFile.c_str()),
                  period.empty() ? nullptr : const_cast<char*>(period.c_str()),
                  mode.empty() ? nullptr : const_cast<char*>(mode.c_str()),
                  nullptr};
  Child c;
  if (posix_spawn(&c.pid, program.c_str(), &actions, nullptr, argv, environ) != 0) c.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  c.out = fds[0];
  return c;
}

// Reads acknowledgements until `want` have come, or the child ends, or a
// generous bound passes. The count so far.
size_t ReadAcks(int fd, size_t have, size_t want) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  char buf[256];
  while (have < want && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0) continue;
    const ssize_t n = ::read(fd, buf, std::min(sizeof buf, want - have));
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  return have;
}

// The frames as record_child reads them.
void WriteFramesFile(const std::string& path, const std::vector<EncodedFrame>& frames) {
  std::ofstream f(path, std::ios::binary);
  for (const EncodedFrame& e : frames) {
    const uint32_t n = static_cast<uint32_t>(e.bytes.size());
    const char head[5] = {char(n), char(n >> 8), char(n >> 16), char(n >> 24), char(e.key)};
    f.write(head, 5);
    f.write(reinterpret_cast<const char*>(e.bytes.data()), n);
  }
}

TEST_F(RecordingTest, KilledRecordingKeepsEveryAppendedFrameAndRepairRestoresKeyFrames) {
  const std::vector<EncodedFrame> frames = testing::EncodeTestFrames(12, 4);
  TempDir dir;
  const std::string framesFile = dir.Path() + "/frames.bin";
  WriteFramesFile(framesFile, frames);
  // Kills at several moments of the recording, counted in appended frames.
  for (size_t moment : {1u, 5u, 13u, 40u}) {
    SCOPED_TRACE("killed after " + std::to_string(moment) + " frames");
    TempDir out;
    Child child = SpawnRecorder(out.Path(), framesFile);
    ASSERT_GT(child.pid, 0);
    size_t acked = ReadAcks(child.out, 0, moment);
    ASSERT_EQ(acked, moment);
    ::kill(child.pid, SIGKILL);
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    // Frames acknowledged before it died were appended as well.
    acked = ReadAcks(child.out, acked, SIZE_MAX);
    ::close(child.out);

    const std::vector<std::string> files = SortedFiles(out);
    ASSERT_EQ(files.size(), 1u);
    const std::string file = out.Path() + "/" + files[0];
    std::string count;
    ASSERT_TRUE(RunCommand(
        "ffprobe -v error -count_frames -select_streams v -show_entries stream=nb_read_frames "
        "-of csv=p=0 '" +
            file + "'",
        &count));
    const size_t held = std::stoul(count);
    EXPECT_GE(held, acked);
    EXPECT_LE(held, acked + 1);  // at most the one it was appending
    ExpectDecodes(file);

    // Without the index every frame reads as a key frame; the repair reads
    // the picture types and gives the key frames back.
    std::string said;
    EXPECT_TRUE(
        RunCommand(std::string(ZARVION_BIN_DIR) + "/zarvion-avi-repair '" + file + "'", &said));
    EXPECT_EQ(said, file + ": repaired\n");
    ExpectIndexed(file);
    EXPECT_EQ(Packets(file), ExpectedPackets(frames, 0, held));
    ExpectDecodes(file);
    EXPECT_EQ(RepairAvi(file), AviRepair::kIntact);
  }
}

TEST_F(RecordingTest, KilledEventRecordingIsRepairedWithItsFramesFromBefore) {
  const std::vector<EncodedFrame> frames = testing::EncodeTestFrames(12, 4);
  TempDir dir;
  const std::string framesFile = dir.Path() + "/frames.bin";
  WriteFramesFile(framesFile, frames);
  TempDir out;
  Child child = SpawnRecorder(out.Path(), framesFile, "2", "event");
  ASSERT_GT(child.pid, 0);
  ASSERT_EQ(ReadAcks(child.out, 0, 7), 7u);
  ::kill(child.pid, SIGKILL);
  int status = 0;
  ::waitpid(child.pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  const size_t acked = ReadAcks(child.out, 7, SIZE_MAX);
  ::close(child.out);

  const std::vector<std::string> files = SortedFiles(out);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].rfind("EVENT_CH01_", 0), 0u) << files[0];
  const std::string file = out.Path() + "/" + files[0];
  std::string said;
  EXPECT_TRUE(
      RunCommand(std::string(ZARVION_BIN_DIR) + "/zarvion-avi-repair '" + file + "'", &said));
  EXPECT_EQ(said, file + ": repaired\n");
  ExpectIndexed(file);
  // The ring's frames first, from the first key frame it was given (frame
  // 4), then every frame from the start of the file again.
  const std::string packets = Packets(file);
  const size_t held = static_cast<size_t>(std::count(packets.begin(), packets.end(), '\n'));
  EXPECT_GE(held, 8 + acked);
  EXPECT_LE(held, 8 + acked + 1);
  EXPECT_EQ(packets, ExpectedPackets(frames, 4, held));
  ExpectDecodes(file);
}

// What ffprobe reads of a file's rate and length.
std::string ProbeRate(const std::string& file) {
  std::string out;
  RunCommand("ffprobe -v error -select_streams v -show_entries "
             "stream=r_frame_rate,avg_frame_rate,nb_frames -of csv=p=0 '" + file + "'",
             &out);
  return out;
}

std::optional<AviRateOrigin> RateMark(const std::string& file) {
  const std::string bytes = ReadFile(file);
  return ReadAviRateMark(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST_F(RecordingTest, HeaderTellsTheRateFramesArriveAtAlsoAfterACrash) {
  const std::vector<EncodedFrame> frames = testing::EncodeTestFrames(25, 5);
  TempDir dir;
  const std::string framesFile = dir.Path() + "/frames.bin";
  WriteFramesFile(framesFile, frames);
  // A recording process killed 3.2 s into a 25 fps channel; meanwhile one
  // here completes 3 s of it.
  TempDir crashed, completed;
  Child child = SpawnRecorder(crashed.Path(), framesFile, "40");
  ASSERT_GT(child.pid, 0);
  {
    auto d = MakeDecoder(completed.Path());
    ASSERT_TRUE(d->StartRecording());
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 76; ++i) {
      std::this_thread::sleep_until(start + std::chrono::milliseconds(40) * i);
      Decode(*d, frames[i % frames.size()]);
    }
    d->StopRecording();
  }
  EXPECT_EQ(ReadAcks(child.out, 0, 80), 80u);
  ::kill(child.pid, SIGKILL);
  ::waitpid(child.pid, nullptr, 0);
  ::close(child.out);

  ASSERT_EQ(completed.Files().size(), 1u);
  const std::string file = completed.Path() + "/" + completed.Files()[0];
  EXPECT_EQ(ProbeRate(file), "25/1,25/1,76\n");
  EXPECT_EQ(RateMark(file), AviRateOrigin::kMeasured);

  ASSERT_EQ(crashed.Files().size(), 1u);
  const std::string left = crashed.Path() + "/" + crashed.Files()[0];
  EXPECT_EQ(RepairAvi(left), AviRepair::kRepaired);
  EXPECT_EQ(ProbeRate(left).substr(0, 10), "25/1,25/1,");
  EXPECT_EQ(RateMark(left), AviRateOrigin::kMeasured);
  ExpectDecodes(left);
}

TEST_F(RecordingTest, RepairCopiesAroundATornTailLeavesLiveAndForeignFilesAlone) {
  const std::vector<EncodedFrame> frames = testing::EncodeTestFrames(10, 3);
  TempDir dir;
  const std::string file = dir.Path() + "/CLIENT_CH01_2026_01_01_00_00_00_000.avi";
  std::string torn;
  {
    // The file as a crash in the middle of a frame leaves it: whole frames,
    // then a torn chunk.
    auto avi = AviFile::Open(file, kOfCreate | kOfWrite);
    AviStream* stream = testing::CreateMp43Stream(*avi);
    ASSERT_NE(stream, nullptr);
    for (int i = 0; i < 10; ++i) {
      ASSERT_TRUE(stream->Write(i, 1, frames[i].bytes.data(),
                                static_cast<uint32_t>(frames[i].bytes.size()), frames[i].Flags()));
    }
    // Open in this process: a repair elsewhere must not touch it.
    EXPECT_EQ(RepairAvi(file), AviRepair::kBusy);
    const std::string whole = ReadFile(file);
    torn = whole + std::string("00dc\x40\x1f\x00\x00partial", 15);
    avi.reset();  // (completes it; the torn copy below is what a crash leaves)
    std::ofstream(file, std::ios::binary | std::ios::trunc) << torn;
  }
  // The torn chunk held part of a frame: the file stays as the crash left
  // it, and its whole frames go into a copy beside it.
  EXPECT_EQ(RepairRecordings(dir.Path()), 1);
  EXPECT_EQ(ReadFile(file), torn);
  const std::string copy = dir.Path() + "/CLIENT_CH01_2026_01_01_00_00_00_000.repaired.avi";
  ExpectIndexed(copy);
  EXPECT_EQ(Packets(copy), ExpectedPackets(frames, 0, 10));
  ExpectDecodes(copy);
  EXPECT_EQ(RepairRecordings(dir.Path()), 0);
  EXPECT_EQ(RepairAvi(file), AviRepair::kCopyExists);
  EXPECT_EQ(RepairAvi(copy), AviRepair::kIntact);

  const std::string foreign = dir.Path() + "/CLIENT_CH02_x.avi";
  std::ofstream(foreign, std::ios::binary) << "RIFF....AVI LIST";
  EXPECT_EQ(RepairAvi(foreign), AviRepair::kNotOurs);
  EXPECT_EQ(ReadFile(foreign), "RIFF....AVI LIST");
  EXPECT_EQ(RepairAvi(dir.Path() + "/missing.avi"), AviRepair::kNotOurs);
}

// --- split -----------------------------------------------------------------

TEST_F(RecordingTest, PassingTheSplitSizeGoesOnInANewFileAtAKeyFrame) {
  const std::vector<EncodedFrame> frames = testing::EncodeTestFrames(20, 5);
  size_t total = 0;
  for (const EncodedFrame& f : frames) total += f.bytes.size();
  TempDir dir;
  auto d = MakeDecoder(dir.Path());
  // About three files per pass over the frames.
  const std::string split = std::to_string(total / 3);
  ::setenv("ZARVION_RECORD_SPLIT_BYTES", split.c_str(), 1);
  const bool started = d->StartRecording();
  ::unsetenv("ZARVION_RECORD_SPLIT_BYTES");
  ASSERT_TRUE(started);
  const size_t sent = 60;
  for (size_t i = 0; i < sent; ++i) Decode(*d, frames[i % frames.size()]);
  EXPECT_EQ(d->bRecording, 1);
  d->StopRecording();

  const std::vector<std::string> files = SortedFiles(dir);
  ASSERT_GE(files.size(), 6u);
  size_t seen = 0;
  for (const std::string& name : files) {
    SCOPED_TRACE(name);
    const std::string file = dir.Path() + "/" + name;
    ExpectIndexed(file);
    ExpectDecodes(file);
    const std::string packets = Packets(file);
    const size_t count = static_cast<size_t>(std::count(packets.begin(), packets.end(), '\n'));
    ASSERT_GT(count, 0u);
    // In order, none lost or repeated, each file opening on a key frame.
    EXPECT_EQ(packets, ExpectedPackets(frames, seen, count));
    EXPECT_TRUE(frames[seen % frames.size()].key);
    // A file passes the split size only by the frames up to the next key.
    EXPECT_LT(ReadFile(file).size(), total / 3 + total);
    seen += count;
  }
  EXPECT_EQ(seen, sent);
}

TEST(RecordSplitBytesTest, DefaultsToOneGibibyteAndStaysWithinThreeGibibytes) {
  ::unsetenv("ZARVION_RECORD_SPLIT_BYTES");
  EXPECT_EQ(RecordSplitBytes(), uint64_t{1} << 30);
  for (const char* bad : {"", "0", "-5", "12x", "x"}) {
    ::setenv("ZARVION_RECORD_SPLIT_BYTES", bad, 1);
    EXPECT_EQ(RecordSplitBytes(), uint64_t{1} << 30) << bad;
  }
  ::setenv("ZARVION_RECORD_SPLIT_BYTES", "65536", 1);
  EXPECT_EQ(RecordSplitBytes(), 65536u);
  ::setenv("ZARVION_RECORD_SPLIT_BYTES", "99999999999", 1);
  EXPECT_EQ(RecordSplitBytes(), uint64_t{3} << 30);
  ::unsetenv("ZARVION_RECORD_SPLIT_BYTES");
}

// --- full disk -------------------------------------------------------------

// A small tmpfs of its own, mounted for the test (needs root).
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const std::string& path, const char* size) : path_(path) {
    const std::string options = std::string("size=") + size;
    mounted_ = ::geteuid() == 0 && ::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

TEST_F(RecordingTest, FullFileSystemStopsCleanlyAndKeepsEarlierFilesIndexed) {
  TempDir dir;
  SmallFileSystem fs(dir.Path(), "192k");
  if (!fs.Mounted()) GTEST_SKIP() << "needs root to mount a small tmpfs; not checked here";
  const std::vector<EncodedFrame> frames = testing::EncodeTestFrames(12, 4);
  auto d = MakeDecoder(dir.Path());
  int stops = 0;
  d->onRecordingStopped = [&] { ++stops; };
  ASSERT_TRUE(d->StartRecording());
  size_t sent = 0;
  while (d->bRecording && sent < 5000) Decode(*d, frames[sent++ % frames.size()]);
  ASSERT_EQ(d->bRecording, 0) << "the file system never filled";
  EXPECT_EQ(stops, 1);
  EXPECT_EQ(d->pAviFile, nullptr);
  // The decoder goes on showing pictures.
  Decode(*d, frames[0]);
  EXPECT_EQ(d->bSignal, 1);

  std::vector<std::string> files = SortedFiles(dir);
  ASSERT_EQ(files.size(), 1u);
  const std::string file = dir.Path() + "/" + files[0];
  ExpectIndexed(file);
  // Every whole frame before the one that did not fit (the last few may
  // have given way to the index), key flags and all.
  const std::string packets = Packets(file);
  const size_t held = static_cast<size_t>(std::count(packets.begin(), packets.end(), '\n'));
  EXPECT_GE(held + 4, sent - 1);
  EXPECT_LT(held, sent);
  EXPECT_EQ(packets, ExpectedPackets(frames, 0, held));
  ExpectDecodes(file);

  // Fill what room is left; then neither a recording nor a snapshot leaves
  // a file behind.
  {
    std::ofstream filler(dir.Path() + "/filler", std::ios::binary);
    const std::string block(4096, '\0');
    for (int i = 0; i < 1000 && filler; ++i) filler.write(block.data(), block.size());
  }
  EXPECT_FALSE(d->StartRecording());
  EXPECT_EQ(d->bRecording, 0);
  EXPECT_FALSE(d->SaveBitmap(dir.Path() + "/CH01_snapshot.bmp"));
  files = SortedFiles(dir);
  EXPECT_EQ(files, (std::vector<std::string>{files[0], "filler"}));
  EXPECT_EQ(files.size(), 2u);
  ExpectIndexed(file);
}

// --- names and places ------------------------------------------------------

TEST_F(RecordingTest, RecordingsGivenTheSameNameBothKeepEveryFrame) {
  const std::vector<EncodedFrame> frames = testing::EncodeTestFrames(12, 4);
  TempDir dir;
  // Two tabs recording channel 1 of two recorders in the same millisecond.
  LocalTime same;
  same.wYear = 2026;
  same.wMonth = 3;
  same.wDay = 4;
  auto a = MakeDecoder(dir.Path());
  auto b = MakeDecoder(dir.Path());
  a->recordClock = b->recordClock = [same] { return same; };
  ASSERT_TRUE(a->StartRecording());
  ASSERT_TRUE(b->StartRecording());
  for (size_t i = 0; i < 24; ++i) {
    Decode(*a, frames[i % frames.size()]);
    if (i < 12) Decode(*b, frames[i]);
  }
  a->StopRecording();
  b->StopRecording();
  // A stepped-back clock meets both names taken.
  ASSERT_TRUE(a->StartRecording());
  for (size_t i = 0; i < 8; ++i) Decode(*a, frames[i]);
  a->StopRecording();

  const std::string base = "CLIENT_CH01_2026_03_04_00_00_00_000";
  EXPECT_EQ(SortedFiles(dir),
            (std::vector<std::string>{base + ".avi", base + "_2.avi", base + "_3.avi"}));
  const std::vector<size_t> held = {24, 12, 8};
  for (size_t i = 0; i < held.size(); ++i) {
    const std::string file = dir.Path() + "/" + SortedFiles(dir)[i];
    ExpectIndexed(file);
    EXPECT_EQ(Packets(file), ExpectedPackets(frames, 0, held[i])) << file;
  }
}

TEST_F(RecordingTest, VanishedOrReadOnlyFolderStopsTheRecordingAtOnce) {
  const std::vector<EncodedFrame> frames = testing::EncodeTestFrames(12, 4);
  TempDir dir;
  const std::string folder = dir.Path() + "/rec";
  auto d = MakeDecoder(folder);
  int stops = 0;
  d->onRecordingStopped = [&] { ++stops; };

  // Deleted while recording: the recording stops instead of writing into
  // a file nobody can find.
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  ASSERT_TRUE(d->StartRecording());
  for (size_t i = 0; i < 5; ++i) Decode(*d, frames[i]);
  ASSERT_TRUE(RunCommand("rm -rf '" + folder + "'"));
  Decode(*d, frames[5]);
  EXPECT_EQ(d->bRecording, 0);
  EXPECT_EQ(stops, 1);
  EXPECT_EQ(d->pAviFile, nullptr);

  // Renamed away: the file is completed where it now is.
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  ASSERT_TRUE(d->StartRecording());
  for (size_t i = 0; i < 5; ++i) Decode(*d, frames[i]);
  const std::string moved = dir.Path() + "/moved";
  ASSERT_EQ(::rename(folder.c_str(), moved.c_str()), 0);
  Decode(*d, frames[5]);
  EXPECT_EQ(d->bRecording, 0);
  EXPECT_EQ(stops, 2);
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(moved)) files.push_back(e.path());
  ASSERT_EQ(files.size(), 1u);
  ExpectIndexed(files[0]);
  EXPECT_EQ(Packets(files[0]), ExpectedPackets(frames, 0, 5));

  // Made read-only (root writes anywhere, so a read-only mount of it).
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  ASSERT_TRUE(d->StartRecording());
  for (size_t i = 0; i < 5; ++i) Decode(*d, frames[i]);
  bool mounted = false;
  if (::geteuid() == 0) {
    mounted = ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
              ::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                      nullptr) == 0;
  } else {
    ::chmod(folder.c_str(), 0555);
  }
  Decode(*d, frames[5]);
  EXPECT_EQ(d->bRecording, 0);
  EXPECT_EQ(stops, 3);
  if (mounted) ::umount2(folder.c_str(), MNT_DETACH);
  ::chmod(folder.c_str(), 0755);
  files.clear();
  for (const auto& e : std::filesystem::directory_iterator(folder)) files.push_back(e.path());
  ASSERT_EQ(files.size(), 1u);
  ExpectIndexed(files[0]);
  EXPECT_EQ(Packets(files[0]), ExpectedPackets(frames, 0, 5));
}

TEST_F(RecordingTest, RecordingThatCannotWriteItsFirstFrameLeavesNoFile) {
  TempDir dir;
  SmallFileSystem fs(dir.Path(), "64k");
  if (!fs.Mounted()) GTEST_SKIP() << "needs root to mount a small tmpfs; not checked here";
  // Fill it, then free 6 KiB: room for the header, not for a large frame.
  const std::string filler = dir.Path() + "/filler";
  {
    std::ofstream f(filler, std::ios::binary);
    const std::string block(4096, 'x');
    for (int i = 0; i < 100 && f; ++i) f.write(block.data(), block.size());
  }
  const off_t full = static_cast<off_t>(std::filesystem::file_size(filler));
  ASSERT_EQ(::truncate(filler.c_str(), full - 6 * 1024), 0);
  auto d = MakeDecoder(dir.Path());
  int stops = 0;
  d->onRecordingStopped = [&] { ++stops; };
  ASSERT_TRUE(d->StartRecording());
  const std::vector<uint8_t> frame(32 * 1024, 0x00);
  EXPECT_TRUE(d->Decode(frame.data(), static_cast<uint32_t>(frame.size()), 0x10));
  EXPECT_EQ(d->bRecording, 0);
  EXPECT_EQ(stops, 1);
  EXPECT_EQ(SortedFiles(dir), std::vector<std::string>{"filler"});
}

TEST_F(RecordingTest, SnapshotWithoutPictureLeavesNoFile) {
  TempDir dir;
  auto d = MakeDecoder(dir.Path());
  // A picture of another size than the surface cannot be written whole.
  d->rcSurface = Rect{0, 0, 100, 100};
  EXPECT_FALSE(d->SaveBitmap(dir.Path() + "/CH01.bmp"));
  EXPECT_TRUE(dir.Files().empty());
  EXPECT_FALSE(d->SaveBitmap(dir.Path() + "/no-such-folder/CH01.bmp"));
}

}  // namespace
}  // namespace zarvion
