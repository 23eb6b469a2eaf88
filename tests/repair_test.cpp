// The repair of damaged recordings, read back by ffprobe: a crash recording
// with a flipped chunk id, a huge size field or a zeroed page keeps every
// whole frame; files that are not plainly ours are left byte for byte; a
// pathological file is neither grown nor allowed to hold the repair up.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>

#include "avi_test_util.h"
#include "mp43_test_frames.h"
#include "platform/avi_file.h"
#include "platform/avi_repair.h"
#include "video/recording_repair.h"

namespace zarvion {
namespace {

using testing::EncodedFrame;
using testing::ExpectIndexed;
using testing::PacketLine;
using testing::Packets;
using testing::ReadFile;
using testing::TempDir;

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A recording of `count` frames by the real writer, as a crash leaves it
// (the bytes read while it was still being written: no index), and where
// each frame's chunk starts.
struct Crash {
  std::string bytes;
  std::vector<size_t> at;
  std::vector<EncodedFrame> frames;  // in the order written
};

Crash MakeCrash(const std::vector<EncodedFrame>& source, size_t count, const std::string& dir) {
  Crash c;
  const std::string path = dir + "/writing.avi";
  auto avi = AviFile::Open(path, kOfCreate | kOfWrite);
  AviStream* stream = testing::CreateMp43Stream(*avi);
  size_t at = 224;
  for (size_t i = 0; i < count; ++i) {
    const EncodedFrame& f = source[i % source.size()];
    EXPECT_TRUE(stream->Write(static_cast<int32_t>(i), 1, f.bytes.data(),
                              static_cast<uint32_t>(f.bytes.size()), f.Flags()));
    c.at.push_back(at);
    c.frames.push_back(f);
    at += 8 + f.bytes.size() + (f.bytes.size() & 1);
  }
  c.bytes = ReadFile(path);
  avi->Discard();
  return c;
}

// The packets of the frames whose chunk header the damage [from, to) left
// whole, with the key flag the frame's first byte now gives.
std::string Survivors(const Crash& c, const std::string& damaged, size_t from, size_t to) {
  std::string s;
  for (size_t i = 0; i < c.at.size(); ++i) {
    if (c.at[i] < to && c.at[i] + 8 > from) continue;
    if (c.at[i] + 8 + c.frames[i].bytes.size() > damaged.size()) continue;
    s += PacketLine(c.frames[i].bytes.size(), (static_cast<uint8_t>(damaged[c.at[i] + 8]) >> 6) == 0);
  }
  return s;
}

size_t Lines(const std::string& s) { return static_cast<size_t>(std::count(s.begin(), s.end(), '\n')); }

TEST(AviRepairTest, DamagedCrashRecordingKeepsEveryWholeFrameInACopyAndIsLeftAsItWas) {
  const std::vector<EncodedFrame> source = testing::EncodeTestFrames(12, 4);
  TempDir dir;
  const Crash crash = MakeCrash(source, 601, dir.Path());
  ASSERT_EQ(crash.at.size(), 601u);
  const size_t k = 300;  // the frame hit
  struct Damage {
    const char* what;
    size_t from, to;
    std::function<void(std::string&)> apply;
  };
  const size_t page = crash.at[k] & ~size_t{4095};  // holds frame k's header
  const std::vector<Damage> damages = {
      {"flipped chunk id", crash.at[k], crash.at[k] + 1,
       [&](std::string& b) { b[crash.at[k]] ^= 0x01; }},
      {"huge size field", crash.at[k] + 4, crash.at[k] + 8,
       [&](std::string& b) { b.replace(crash.at[k] + 4, 4, "\xF0\xFF\xFF\xFF", 4); }},
      {"zeroed page", page, page + 4096, [&](std::string& b) { b.replace(page, 4096, 4096, '\0'); }},
      {"torn last chunk", crash.bytes.size() - 3, crash.bytes.size(),
       [&](std::string& b) { b.resize(b.size() - 3); }},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    std::string damaged = crash.bytes;
    d.apply(damaged);
    const std::string file = dir.Path() + "/CLIENT_CH01_damaged.avi";
    const std::string copy = dir.Path() + "/CLIENT_CH01_damaged.repaired.avi";
    WriteBytes(file, damaged);

    const AviRepairResult r = RepairAvi(file, {});
    ASSERT_EQ(r.status, AviRepair::kCopied) << r.why;
    EXPECT_EQ(ReadFile(file), damaged);
    const std::string expected = Survivors(crash, damaged, d.from, d.to);
    EXPECT_GE(Lines(expected), 590u);
    EXPECT_EQ(r.frames, Lines(expected));
    ExpectIndexed(copy);
    EXPECT_EQ(Packets(copy), expected);
    // Once is enough: the damaged file keeps its copy, the copy is whole.
    EXPECT_EQ(RepairAvi(file), AviRepair::kCopyExists);
    EXPECT_EQ(RepairAvi(copy), AviRepair::kIntact);
    EXPECT_EQ(ReadFile(file), damaged);
    ::unlink(copy.c_str());
  }
}

TEST(AviRepairTest, WholeFramesToTheEndAreIndexedInPlaceByAppendingOnly) {
  const std::vector<EncodedFrame> source = testing::EncodeTestFrames(12, 4);
  TempDir dir;
  const Crash crash = MakeCrash(source, 40, dir.Path());
  const std::string& bytes = crash.bytes;
  const std::string file = dir.Path() + "/CLIENT_CH01_crash.avi";
  WriteBytes(file, bytes);
  const AviRepairResult r = RepairAvi(file, {});
  ASSERT_EQ(r.status, AviRepair::kRepaired) << r.why;
  EXPECT_EQ(r.frames, 40u);
  const std::string after = ReadFile(file);
  // Past the header's sizes, counts and flags, every byte is as it was.
  EXPECT_EQ(after.size(), bytes.size() + 8 + 16 * 40);
  EXPECT_EQ(after.substr(224, bytes.size() - 224), bytes.substr(224));
  ExpectIndexed(file);
  EXPECT_EQ(Packets(file), testing::ExpectedPackets(source, 0, 40));
  EXPECT_EQ(RepairAvi(file), AviRepair::kIntact);
  EXPECT_EQ(ReadFile(file), after);
}

TEST(AviRepairTest, FilesThatAreNotPlainlyOursAreLeftByteForByte) {
  const std::vector<EncodedFrame> source = testing::EncodeTestFrames(12, 4);
  TempDir dir;
  TempDir outside;
  const Crash crash = MakeCrash(source, 30, dir.Path());
  const std::string folder = dir.Path() + "/rec";
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);

  // A complete recording with bytes appended: its index still covers it.
  std::string tailed;
  {
    const std::string path = folder + "/CLIENT_CH01_complete.avi";
    WriteBytes(path, crash.bytes);
    ASSERT_EQ(RepairAvi(path), AviRepair::kRepaired);
    tailed = ReadFile(path) + std::string("sixteen bytes...", 16);
    WriteBytes(path, tailed);
  }
  // A link in the folder to an unindexed recording outside it.
  const std::string target = outside.Path() + "/CLIENT_CH01_target.avi";
  WriteBytes(target, crash.bytes);
  ASSERT_EQ(::symlink(target.c_str(), (folder + "/CLIENT_CH01_link.avi").c_str()), 0);
  // A recording this viewer did not write.
  const std::string foreign = folder + "/CLIENT_CH02_foreign.avi";
  std::string out;
  ASSERT_TRUE(testing::RunCommand("ffmpeg -v error -nostdin -f lavfi -i testsrc=size=64x48:rate=5 "
                                  "-t 1 -c:v mpeg4 -y '" + foreign + "' 2>&1", &out))
      << out;
  // Another user's unindexed recording (root hands it to nobody).
  const std::string others = folder + "/CLIENT_CH03_others.avi";
  WriteBytes(others, crash.bytes);
  const bool otherUser = ::geteuid() == 0 && ::chown(others.c_str(), 65534, 65534) == 0;
  // A second name for an unindexed recording.
  const std::string linked = folder + "/CLIENT_CH04_hardlinked.avi";
  WriteBytes(linked, crash.bytes);
  ASSERT_EQ(::link(linked.c_str(), (outside.Path() + "/second-name.avi").c_str()), 0);

  const std::string foreignBytes = ReadFile(foreign);
  EXPECT_EQ(RepairRecordings(folder), 0);
  EXPECT_EQ(ReadFile(folder + "/CLIENT_CH01_complete.avi"), tailed);
  EXPECT_EQ(ReadFile(target), crash.bytes);
  EXPECT_EQ(ReadFile(foreign), foreignBytes);
  EXPECT_EQ(ReadFile(linked), crash.bytes);
  if (otherUser) {
    EXPECT_EQ(ReadFile(others), crash.bytes);
    EXPECT_EQ(RepairAvi(others), AviRepair::kNotOurs);
  }
  EXPECT_EQ(RepairAvi(folder + "/CLIENT_CH01_link.avi"), AviRepair::kNotOurs);
  EXPECT_EQ(RepairAvi(foreign), AviRepair::kNotOurs);
  EXPECT_EQ(RepairAvi(folder + "/CLIENT_CH01_complete.avi"), AviRepair::kIntact);
  EXPECT_EQ(testing::Packets(folder + "/CLIENT_CH01_complete.avi"),
            testing::ExpectedPackets(source, 0, 30));
  // Nothing was written beside them either.
  const auto entries = std::filesystem::directory_iterator(folder);
  EXPECT_EQ(std::distance(begin(entries), end(entries)), 5);
}

// A file of our header and 400 MiB without a frame (sparse: cheap to make).
std::string MakeEmptyGiant(const std::string& folder, const std::string& header) {
  const std::string path = folder + "/CLIENT_CH05_giant.avi";
  WriteBytes(path, header);
  EXPECT_EQ(::truncate(path.c_str(), 224 + (off_t{400} << 20)), 0);
  return path;
}

TEST(AviRepairTest, PathologicalFilesAreSkippedNotGrown) {
  const std::vector<EncodedFrame> source = testing::EncodeTestFrames(12, 4);
  TempDir dir;
  const Crash crash = MakeCrash(source, 10, dir.Path());
  const std::string header = crash.bytes.substr(0, 224);
  const std::string giant = MakeEmptyGiant(dir.Path(), header);
  struct stat before {};
  ASSERT_EQ(::stat(giant.c_str(), &before), 0);
  EXPECT_EQ(RepairAvi(giant, {}).status, AviRepair::kNoFrames);

  // Out of time, stopped, or more frames than allowed: left as it is.
  AviRepairOptions quick;
  quick.maxTime = std::chrono::milliseconds(0);
  EXPECT_EQ(RepairAvi(giant, quick).status, AviRepair::kSkipped);
  std::atomic<bool> stop{true};
  AviRepairOptions stopped;
  stopped.cancel = &stop;
  EXPECT_EQ(RepairAvi(giant, stopped).status, AviRepair::kSkipped);
  struct stat after {};
  ASSERT_EQ(::stat(giant.c_str(), &after), 0);
  EXPECT_EQ(after.st_size, before.st_size);
  EXPECT_EQ(after.st_blocks, before.st_blocks);

  const std::string crowded = dir.Path() + "/CLIENT_CH06_crowded.avi";
  WriteBytes(crowded, crash.bytes);
  AviRepairOptions few;
  few.maxFrames = 9;
  EXPECT_EQ(RepairAvi(crowded, few).status, AviRepair::kSkipped);
  EXPECT_EQ(ReadFile(crowded), crash.bytes);

  // A million empty chunks between frames: players count them in time, so
  // the frames go into a copy, and its index holds the frames alone.
  std::string empties;
  for (int i = 0; i < 1 << 20; ++i) empties.append("00dc\0\0\0\0", 8);
  const std::string padded = dir.Path() + "/CLIENT_CH07_padded.avi";
  const std::string bytes =
      crash.bytes.substr(0, crash.at[5]) + empties + crash.bytes.substr(crash.at[5]);
  WriteBytes(padded, bytes);
  const AviRepairResult r = RepairAvi(padded, {});
  EXPECT_EQ(r.status, AviRepair::kCopied);
  EXPECT_EQ(r.frames, 10u);
  EXPECT_EQ(ReadFile(padded), bytes);
  const std::string copy = dir.Path() + "/CLIENT_CH07_padded.repaired.avi";
  EXPECT_EQ(ReadFile(copy).size(), crash.bytes.size() + 8 + 16 * 10);
  EXPECT_EQ(Packets(copy), testing::ExpectedPackets(source, 0, 10));
}

TEST(RecordingRepairTest, ReportsProgressAndStopsWhenDestroyedMidway) {
  const std::vector<EncodedFrame> source = testing::EncodeTestFrames(12, 4);
  TempDir dir;
  const Crash crash = MakeCrash(source, 10, dir.Path());
  const std::string folder = dir.Path() + "/rec";
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  WriteBytes(folder + "/CLIENT_CH01_a.avi", crash.bytes);
  const std::string giant = MakeEmptyGiant(folder, crash.bytes.substr(0, 224));

  std::vector<RecordingRepairNote> notes;
  {
    RecordingRepair repair(folder, [&](const RecordingRepairNote& n) { notes.push_back(n); });
    repair.Start();
    ASSERT_TRUE(repair.WaitFinished(std::chrono::seconds(120)));
  }
  ASSERT_FALSE(notes.empty());
  EXPECT_EQ(notes.back().kind, RecordingRepairNote::Kind::kFinished);
  EXPECT_EQ(notes.back().repaired, 1);
  EXPECT_EQ(notes.back().unrepaired, 1);
  EXPECT_EQ(notes.back().files, 2);
  int files = 0;
  bool progress = false;
  for (const RecordingRepairNote& n : notes) {
    files += n.kind == RecordingRepairNote::Kind::kFile;
    progress |= n.kind == RecordingRepairNote::Kind::kProgress && n.name == "CLIENT_CH05_giant.avi";
  }
  EXPECT_EQ(files, 2);  // one repaired, one without frames
  EXPECT_TRUE(progress);
  ExpectIndexed(folder + "/CLIENT_CH01_a.avi");

  // Destroyed while it reads: it stops, and the file is as it was.
  std::promise<void> reading;
  std::atomic<bool> told{false};
  {
    RecordingRepair repair(folder, [&](const RecordingRepairNote& n) {
      if (n.kind == RecordingRepairNote::Kind::kProgress && !told.exchange(true)) {
        reading.set_value();
      }
    });
    ::unlink((folder + "/CLIENT_CH01_a.avi").c_str());
    repair.Start();
    reading.get_future().wait();
  }
  struct stat st {};
  ASSERT_EQ(::stat(giant.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 224 + (off_t{400} << 20));
}

}  // namespace
}  // namespace zarvion
