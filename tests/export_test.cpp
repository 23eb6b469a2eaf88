// zarvion-export, run as a user runs it, its files read back by ffprobe and
// ffmpeg: two consecutive recordings as one MP4 at their true rate and
// times, a range of them, the original frames cut at a key frame, and bad
// input or a stop half-way leaving nothing behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "avi_test_util.h"
#include "export/recording_files.h"
#include "mp43_test_frames.h"
#include "platform/avi_file.h"

extern char** environ;

namespace zarvion {
namespace {

using testing::EncodedFrame;
using testing::RunCommand;
using testing::TempDir;

const std::string kExport = std::string(ZARVION_BIN_DIR) + "/zarvion-export";

// A recording as the viewer writes it: frames first..first+count-1 (in a
// loop over `frames`), its rate in the header with the given origin.
void WriteRecording(const std::string& path, const std::vector<EncodedFrame>& frames, size_t first,
                    size_t count, FrameRate rate, AviRateOrigin origin) {
  auto avi = AviFile::Open(path, kOfCreate | kOfWrite);
  ASSERT_NE(avi, nullptr);
  AviStreamInfo info;
  info.fccType = kStreamTypeVideo;
  info.dwRate = rate.rate;
  info.dwScale = rate.scale;
  info.rcFrame = AviRect{0, 0, 352, 288};
  AviStream* stream = avi->CreateStream(info, origin);
  ASSERT_NE(stream, nullptr);
  ASSERT_TRUE(stream->SetFormat(0, MakeBitmapInfoHeader(352, 288, 24, kFourCCMp43, 352 * 288 * 3),
                                sizeof(BitmapInfoHeader)));
  for (size_t i = 0; i < count; ++i) {
    const EncodedFrame& f = frames[(first + i) % frames.size()];
    ASSERT_TRUE(stream->Write(static_cast<int32_t>(i), 1, f.bytes.data(),
                              static_cast<uint32_t>(f.bytes.size()), f.Flags()));
  }
}

std::string Probe(const std::string& file) {
  std::string out;
  RunCommand(
      "ffprobe -v error -count_frames -select_streams v -show_entries "
      "stream=codec_name,pix_fmt,r_frame_rate,avg_frame_rate,nb_read_frames:"
      "format=duration -of default=nw=1 '" +
          file + "'",
      &out);
  return out;
}

// The top-level boxes of an MP4, in file order.
std::vector<std::string> TopBoxes(const std::string& bytes) {
  std::vector<std::string> boxes;
  for (size_t at = 0; at + 8 <= bytes.size();) {
    uint64_t size = 0;
    for (int i = 0; i < 4; ++i) size = size << 8 | static_cast<uint8_t>(bytes[at + i]);
    boxes.push_back(bytes.substr(at + 4, 4));
    if (size < 8) break;
    at += size;
  }
  return boxes;
}

// The mean PSNR of the pictures of `a` against those of `b` from picture
// `from` on; -1 when `a` has pictures `b` lacks.
double MeanPsnr(const std::string& a, const std::string& b, size_t from) {
  const size_t picture = 352 * 288 * 4;
  const size_t n = a.size() / picture;
  if (n == 0 || (from + n) * picture > b.size()) return -1;
  double sum = 0;
  for (size_t i = 0; i < n; ++i) {
    const double p = testing::PsnrBgrx(
        reinterpret_cast<const uint8_t*>(a.data()) + i * picture,
        reinterpret_cast<const uint8_t*>(b.data()) + (from + i) * picture, 352 * 288);
    sum += std::min(p, 99.0);
  }
  return sum / static_cast<double>(n);
}

class ExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    frames_ = testing::EncodeTestFrames(100, 10);
    // Two consecutive recordings of 2 s at 25 frames a second: the second
    // starts where the first ends.
    first_ = dir_.Path() + "/CLIENT_CH01_2026_03_01_10_00_00_000.avi";
    second_ = dir_.Path() + "/CLIENT_CH01_2026_03_01_10_00_02_000.avi";
    WriteRecording(first_, frames_, 0, 50, {25, 1}, AviRateOrigin::kMeasured);
    WriteRecording(second_, frames_, 50, 50, {25, 1}, AviRateOrigin::kMeasured);
  }
  // The files in the folder besides the two recordings.
  std::vector<std::string> Others() const {
    std::vector<std::string> files = dir_.Files();
    files.erase(std::remove_if(files.begin(), files.end(),
                               [](const std::string& f) { return f.rfind("CLIENT_", 0) == 0; }),
                files.end());
    std::sort(files.begin(), files.end());
    return files;
  }
  std::vector<EncodedFrame> frames_;
  TempDir dir_;
  std::string first_, second_;
};

TEST_F(ExportTest, JoinsRecordingsIntoAnMp4AtTheirRateAndCutsARangeToItsFrames) {
  const std::string source =
      testing::FfmpegDecode(first_, "bgra") + testing::FfmpegDecode(second_, "bgra");
  const std::string mp4 = dir_.Path() + "/all.mp4";
  std::string said;
  // Given out of order: they are joined in time order.
  ASSERT_TRUE(
      RunCommand(kExport + " '" + second_ + "' '" + first_ + "' -o '" + mp4 + "' 2>&1", &said))
      << said;
  EXPECT_EQ(Probe(mp4),
            "codec_name=h264\npix_fmt=yuv420p\nr_frame_rate=25/1\navg_frame_rate=25/1\n"
            "nb_read_frames=100\nduration=4.000000\n");
  const std::vector<std::string> boxes = TopBoxes(testing::ReadFile(mp4));
  const auto moov = std::find(boxes.begin(), boxes.end(), "moov");
  const auto mdat = std::find(boxes.begin(), boxes.end(), "mdat");
  ASSERT_NE(moov, boxes.end());
  ASSERT_NE(mdat, boxes.end());
  EXPECT_LT(moov, mdat) << "the index must come before the frames";
  EXPECT_GT(MeanPsnr(testing::FfmpegDecode(mp4, "bgra"), source, 0), 35.0);

  // Seconds 1 to 3: the second half of one file and the first of the next.
  const std::string part = dir_.Path() + "/part.mp4";
  ASSERT_TRUE(RunCommand(kExport + " --from '2026-03-01 10:00:01' --to '2026-03-01 10:00:03' '" +
                             first_ + "' '" + second_ + "' -o '" + part + "' 2>&1",
                         &said))
      << said;
  EXPECT_EQ(Probe(part),
            "codec_name=h264\npix_fmt=yuv420p\nr_frame_rate=25/1\navg_frame_rate=25/1\n"
            "nb_read_frames=50\nduration=2.000000\n");
  // The pictures are those of frames 25 to 74, not their neighbours.
  const std::string cut = testing::FfmpegDecode(part, "bgra");
  EXPECT_GT(MeanPsnr(cut, source, 25), 35.0);
  EXPECT_LT(MeanPsnr(cut, source, 26), 30.0);
  EXPECT_EQ(Others(), (std::vector<std::string>{"all.mp4", "part.mp4"}));
}

// A camera that records on the button and on motion at once: the moments
// both files hold are exported once.
TEST_F(ExportTest, OverlappingRecordingsGiveEachMomentOnce) {
  const std::string event = dir_.Path() + "/EVENT_CH01_2026_03_01_10_00_01_000.avi";
  WriteRecording(event, frames_, 25, 50, {25, 1}, AviRateOrigin::kMeasured);
  const std::string source =
      testing::FfmpegDecode(first_, "bgra") + testing::FfmpegDecode(second_, "bgra");
  const std::string mp4 = dir_.Path() + "/once.mp4";
  std::string said;
  ASSERT_TRUE(RunCommand(kExport + " '" + first_ + "' '" + event + "' '" + second_ + "' -o '" +
                             mp4 + "' 2>&1",
                         &said))
      << said;
  EXPECT_EQ(Probe(mp4),
            "codec_name=h264\npix_fmt=yuv420p\nr_frame_rate=25/1\navg_frame_rate=25/1\n"
            "nb_read_frames=100\nduration=4.000000\n");
  EXPECT_GT(MeanPsnr(testing::FfmpegDecode(mp4, "bgra"), source, 0), 35.0);
}

// The PSNR over rows [top, bottom) and columns [left, right) of every
// picture of two decodes of the same length.
double RegionPsnr(const std::string& a, const std::string& b, int top, int bottom, int left,
                  int right) {
  const size_t picture = 352 * 288 * 4;
  if (a.size() != b.size() || a.empty()) return -1;
  double squares = 0;
  double samples = 0;
  for (size_t at = 0; at + picture <= a.size(); at += picture) {
    for (int y = top; y < bottom; ++y) {
      for (int x = left; x < right; ++x) {
        for (int c = 0; c < 3; ++c) {
          const size_t i = at + (static_cast<size_t>(y) * 352 + static_cast<size_t>(x)) * 4 + c;
          const double d = static_cast<uint8_t>(a[i]) - static_cast<uint8_t>(b[i]);
          squares += d * d;
          samples += 1;
        }
      }
    }
  }
  if (squares == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 / (squares / samples));
}

TEST_F(ExportTest, TheTimeIsBurntIntoTheTopLeftCornerOnly) {
  const std::string plain = dir_.Path() + "/plain.mp4";
  const std::string timed = dir_.Path() + "/timed.mp4";
  std::string said;
  ASSERT_TRUE(RunCommand(kExport + " '" + first_ + "' -o '" + plain + "' 2>&1", &said)) << said;
  ASSERT_TRUE(RunCommand(kExport + " --time '" + first_ + "' -o '" + timed + "' 2>&1", &said))
      << said;
  const std::string a = testing::FfmpegDecode(plain, "bgra");
  const std::string b = testing::FfmpegDecode(timed, "bgra");
  ASSERT_EQ(a.size(), size_t{352} * 288 * 4 * 50);
  // "2026-03-01 10:00:00" in figures a twelfth of the height, from a small
  // margin: the figures' band changes a lot; the lower half of the picture
  // only within encoding error (the encoder spends its bits differently).
  EXPECT_LT(RegionPsnr(a, b, 8, 28, 8, 200), 20.0);
  EXPECT_GT(RegionPsnr(a, b, 144, 288, 0, 352), 35.0);
}

TEST_F(ExportTest, AviKeepsTheOriginalFramesFromTheKeyFrameBeforeTheRange) {
  const std::string avi = dir_.Path() + "/cut.avi";
  std::string said;
  // Seconds 1 to 2 are frames 25 to 49; the cut starts at the key frame
  // before them, frame 20. Without an end, the next file follows whole.
  ASSERT_TRUE(RunCommand(kExport +
                             " --avi --from '2026-03-01 10:00:01' --to "
                             "'2026-03-01 10:00:02' '" +
                             first_ + "' '" + second_ + "' -o '" + avi + "' 2>&1 && " + kExport +
                             " --avi '" + first_ + "' '" + second_ +
                             "' --from '2026-03-01 10:00:01' -o '" + avi + ".2' 2>&1",
                         &said))
      << said;
  EXPECT_EQ(testing::Packets(avi), testing::ExpectedPackets(frames_, 20, 30));
  EXPECT_EQ(testing::Packets(avi + ".2"), testing::ExpectedPackets(frames_, 20, 80));
  // The same bytes as the sources' frames, not a new encoding of them.
  auto hashes = [](const std::string& file) {
    std::string out;
    RunCommand("ffprobe -v error -show_data_hash MD5 -show_entries packet=data_hash -of csv=p=0 '" +
                   file + "'",
               &out);
    return out;
  };
  const std::string firstHashes = hashes(first_);
  size_t at = 0;
  for (int line = 0; line < 20; ++line) at = firstHashes.find('\n', at) + 1;
  EXPECT_EQ(hashes(avi), firstHashes.substr(at));
  EXPECT_EQ(hashes(avi + ".2"), firstHashes.substr(at) + hashes(second_));
  // Marked with the rate it was given.
  const std::string bytes = testing::ReadFile(avi);
  EXPECT_EQ(ReadAviRateMark(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
            AviRateOrigin::kGiven);
  std::string rate;
  RunCommand("ffprobe -v error -show_entries stream=r_frame_rate -of csv=p=0 '" + avi + "'", &rate);
  EXPECT_EQ(rate, "25/1\n");
}

TEST_F(ExportTest, BadInputOrAStopLeavesNoFileAndFails) {
  const std::string out = dir_.Path() + "/out.mp4";
  const struct {
    std::string args;
    std::string says;
  } cases[] = {
      {"--speed 2 '" + first_ + "'", "unknown option '--speed'"},
      {"'" + dir_.Path() + "/CLIENT_CH01_2026_03_01_11_00_00_000.avi'", "cannot read"},
      {"'" + dir_.Path() + "/holiday.avi'", "no start time in its name"},
      {"--from '2026-02-30 10:00:00' '" + first_ + "'", "bad time '2026-02-30 10:00:00'"},
      {"--from '2026-03-01 10:00' '" + first_ + "'", "bad time"},
      {"--from '2026-03-01 10:00:05' '" + first_ + "' '" + second_ + "'", "no frames"},
      {"--from '2026-03-01 10:00:02' --to '2026-03-01 10:00:01' '" + first_ + "'", "before"},
  };
  std::ofstream(dir_.Path() + "/holiday.avi") << "RIFF";
  for (const auto& c : cases) {
    std::string said;
    EXPECT_FALSE(RunCommand(kExport + " " + c.args + " -o '" + out + "' 2>&1", &said)) << c.args;
    EXPECT_NE(said.find(c.says), std::string::npos) << c.args << ": " << said;
  }
  EXPECT_EQ(Others(), std::vector<std::string>{"holiday.avi"});

  // A long recording, stopped by SIGTERM once the export is under way.
  const std::string longer = dir_.Path() + "/CLIENT_CH02_2026_03_01_12_00_00_000.avi";
  WriteRecording(longer, frames_, 0, 3000, {25, 1}, AviRateOrigin::kMeasured);
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  std::vector<std::string> args = {kExport, longer, "-o", out};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, kExport.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  std::string said;
  char buf[256];
  while (said.find('%') == std::string::npos) {
    const ssize_t n = ::read(pipeFds[0], buf, sizeof buf);
    if (n <= 0) break;
    said.append(buf, static_cast<size_t>(n));
  }
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(pipeFds[0]);
  ASSERT_TRUE(WIFEXITED(status)) << said;
  EXPECT_NE(WEXITSTATUS(status), 0);
  EXPECT_EQ(Others(), std::vector<std::string>{"holiday.avi"}) << said;
}

TEST(RecordingFilesTest, OlderFilesTakeTheirRateFromTheNextFilesStart) {
  const std::vector<EncodedFrame> frames = testing::EncodeTestFrames(10, 10);
  TempDir dir;
  // Written before the header said the true rate: 10 whatever was sent.
  // 75 frames in the 3 s to the next file were 25 a second; the last file
  // has no next and stays at 10.
  const std::string a = dir.Path() + "/CLIENT_CH01_2026_03_01_10_00_00_000.avi";
  const std::string b = dir.Path() + "/CLIENT_CH01_2026_03_01_10_00_03_000.avi";
  const std::string c = dir.Path() + "/CLIENT_CH02_2026_03_01_10_00_01_500.avi";
  WriteRecording(a, frames, 0, 75, {10, 1}, AviRateOrigin::kAssumed);
  WriteRecording(b, frames, 0, 20, {10, 1}, AviRateOrigin::kAssumed);
  WriteRecording(c, frames, 0, 20, {30000, 1001}, AviRateOrigin::kMeasured);
  std::vector<recordings::Recording> plan;
  std::string error;
  ASSERT_TRUE(recordings::PlanRecordings({b, c, a}, &plan, &error)) << error;
  ASSERT_EQ(plan.size(), 3u);
  EXPECT_EQ(plan[0].path, a);
  EXPECT_EQ(plan[0].rate, (FrameRate{25, 1}));
  EXPECT_EQ(plan[0].rateSource, recordings::RateSource::kNextFile);
  EXPECT_EQ(plan[1].path, c);
  EXPECT_EQ(plan[1].rate, (FrameRate{30000, 1001}));
  EXPECT_EQ(plan[1].rateSource, recordings::RateSource::kHeader);
  EXPECT_EQ(plan[2].rate, (FrameRate{10, 1}));
  EXPECT_EQ(plan[2].rateSource, recordings::RateSource::kAssumed);
  EXPECT_EQ(plan[0].FrameTime(74) - plan[0].FrameTime(0), 2960);
}

}  // namespace
}  // namespace zarvion
