// The video pipeline on real frames: channel decoder against ffmpeg's own
// decode, statistics and captions, AVI recording read back by ffprobe and
// ffmpeg, the renderer's panes and borders read back from the back surface,
// and snapshots read back by ffmpeg.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <thread>

#include "mp43_test_frames.h"
#include "platform/avi_file.h"
#include "video/captions.h"
#include "video/channel_decoder.h"
#include "video/file_names.h"
#include "video/frame_ring.h"
#include "video/renderer.h"

namespace zarvion {
namespace {

using testing::EncodedFrame;
using testing::RunCommand;
using testing::TempDir;

constexpr size_t kPictureBytes = 352 * 288 * 4;
constexpr size_t kBackBytes = 1024 * 768 * 4;

uint32_t PixelAt(const Surface& s, int x, int y) {
  uint32_t v;
  std::memcpy(&v, s.Lock() + static_cast<size_t>(y) * s.Stride() + x * 4, 4);
  return v & 0x00FFFFFF;
}
uint32_t PixelAt(const CVideoSurface& s, int x, int y) {
  return PixelAt(*s.pSurface, x, y);
}

int CountPixels(const CVideoSurface& s, const Rect& r, uint32_t pixel) {
  int n = 0;
  for (int y = r.top; y < r.bottom; ++y)
    for (int x = r.left; x < r.right; ++x) n += PixelAt(s, x, y) == pixel;
  return n;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

double PsnrAgainst(const CVideoSurface& s, const std::string& oracle, size_t frame) {
  return testing::PsnrBgrx(s.pSurface->Lock(),
                           reinterpret_cast<const uint8_t*>(oracle.data()) + frame * kPictureBytes,
                           352 * 288);
}

class VideoTest : public ::testing::Test {
 protected:
  std::unique_ptr<CChannelDecoder> MakeDecoder(int slot) {
    auto d = std::make_unique<CChannelDecoder>();
    d->nChannel = slot;
    d->hFont = &large_;
    EXPECT_TRUE(d->Create(352, 288));
    d->bWaitKeyFrame = 1;
    return d;
  }
  bool Decode(CChannelDecoder& d, const EncodedFrame& f) {
    return d.Decode(f.bytes.data(), static_cast<uint32_t>(f.bytes.size()), f.Flags());
  }

  Font small_{kFontSmallHeight};
  Font large_{kFontLargeHeight};
};

TEST_F(VideoTest, NewDecoderShowsNoSignalOnBlue) {
  auto d = MakeDecoder(0);
  EXPECT_EQ(d->rcSurface, (Rect{0, 0, 352, 288}));
  EXPECT_EQ(PixelAt(*d, 0, 0), kPixelBlue200);
  EXPECT_EQ(PixelAt(*d, 351, 287), kPixelBlue200);
  EXPECT_GT(CountPixels(*d, Rect{100, 100, 352, 160}, 0x00C800), 20);
  EXPECT_EQ(CountPixels(*d, Rect{0, 0, 352, 100}, 0x00C800), 0);
  EXPECT_EQ(d->biIn.bmiHeader.biCompression, kFourCCMp43);
  EXPECT_EQ(d->biIn.bmiHeader.biBitCount, 24);
  EXPECT_EQ(d->biIn.bmiHeader.biSizeImage, 352u * 288 * 3);
  EXPECT_EQ(d->biOut.bmiHeader.biBitCount, 32);
  EXPECT_EQ(d->biOut.bmiHeader.biHeight, 288);
  EXPECT_NE(d->hic, nullptr);
  EXPECT_EQ(d->bSignal, 0);

  // A decoder whose surface cannot be had stays inert.
  CChannelDecoder broken;
  EXPECT_FALSE(broken.Create(0, 288));
  uint8_t junk[8] = {};
  EXPECT_TRUE(broken.Decode(junk, sizeof junk, 0x10));
  EXPECT_EQ(broken.bSignal, 0);
  broken.recordFolder = [] { return std::string("/tmp"); };
  EXPECT_FALSE(broken.StartRecording());
}

TEST_F(VideoTest, WaitsForKeyFrameThenMatchesFfmpegIn32And24Bits) {
  const std::vector<EncodedFrame> frames = testing::EncodeTestFrames(24, 8);
  ASSERT_EQ(frames.size(), 24u);
  ASSERT_TRUE(frames[8].key && frames[16].key && !frames[1].key);
  TempDir dir;
  const std::string oracle = testing::FfmpegDecodeFrames(dir.Path() + "/oracle.avi", frames);
  ASSERT_EQ(oracle.size(), frames.size() * kPictureBytes);

  auto d32 = MakeDecoder(0);
  auto d24 = MakeDecoder(1);
  // Ask the decompressor for 24-bit output, as one that prefers it would.
  d24->biOut.bmiHeader.biBitCount = 24;
  d24->biOut.bmiHeader.biSizeImage = 352 * 288 * 3;
  ASSERT_EQ(d24->hic->Begin(d24->biIn.bmiHeader, d24->biOut.bmiHeader), kIcErrOk);

  // Joining mid-stream: the frames before the key frame are withheld.
  for (size_t i = 1; i < 8; ++i) {
    for (CChannelDecoder* d : {d32.get(), d24.get()}) {
      EXPECT_TRUE(Decode(*d, frames[i]));
      EXPECT_EQ(d->bSignal, 1);
      EXPECT_EQ(d->bWaitKeyFrame, 1);
      EXPECT_EQ(PixelAt(*d, 0, 0), kPixelRed150);
      EXPECT_GT(CountPixels(*d, Rect{100, 100, 352, 160}, 0x00C800), 20);
    }
  }
  // The 24-bit copy leaves each pixel's fourth byte alone.
  uint8_t* bits = d24->pSurface->Lock();
  for (size_t p = 0; p < 352 * 288; ++p) bits[p * 4 + 3] = 0x5A;

  for (size_t i = 8; i < frames.size(); ++i) {
    if (i == 12) {
      // A frame that fails to decode shows the notice once.
      std::vector<uint8_t> junk(64, 0xFF);
      EXPECT_TRUE(d32->Decode(junk.data(), 64, 0));
      EXPECT_EQ(PixelAt(*d32, 0, 0), kPixelRed150);
    }
    ASSERT_TRUE(Decode(*d32, frames[i]));
    ASSERT_TRUE(Decode(*d24, frames[i]));
    EXPECT_EQ(d32->bWaitKeyFrame, 0);
    if (i < 12 || i >= 16) {
      EXPECT_GE(PsnrAgainst(*d32, oracle, i), 45.0) << "frame " << i;
    }
    EXPECT_GE(PsnrAgainst(*d24, oracle, i), 45.0) << "frame " << i;
  }
  int kept = 0;
  for (size_t p = 0; p < 352 * 288; ++p) kept += bits[p * 4 + 3] == 0x5A;
  EXPECT_EQ(kept, 352 * 288);

  // Waiting again (a view change) withholds until the next key frame.
  d24->bWaitKeyFrame = 1;
  EXPECT_TRUE(Decode(*d24, frames[17]));
  EXPECT_EQ(PixelAt(*d24, 0, 0), kPixelRed150);
}

TEST_F(VideoTest, RatesCountClosedIntervalsAndCaptionsFormatThem) {
  auto d = MakeDecoder(2);
  std::vector<uint8_t> junk(1000, 0xEE);
  // The first frame closes an empty interval.
  EXPECT_TRUE(d->Decode(junk.data(), 100, 0));
  EXPECT_EQ(d->nFps, 0);
  EXPECT_EQ(d->nBps, 0u);
  // Hold the clock within one second, then let the next frame open a new one.
  d->tLastTick = INT32_MAX;
  for (uint32_t size : {100u, 200u, 300u, 34u, 400u, 100u}) {
    EXPECT_TRUE(d->Decode(junk.data(), size, 0));
  }
  d->tLastTick = 0;
  EXPECT_TRUE(d->Decode(junk.data(), 500, 0));
  EXPECT_EQ(d->nFps, 7);
  EXPECT_EQ(d->nBps, 1234u);
  EXPECT_EQ(FormatSingleCaption(d->nChannel + 1, d->nFps, d->nBps), "CH 3 07fps 01234Bps");
  EXPECT_EQ(FormatSingleCaption(3, 25, 123456), "CH 3 25fps 123456Bps");

  // The interval in which the byte total wraps keeps the previous rate.
  d->tLastTick = INT32_MAX;
  d->dwBytesTotal = d->dwBytesAtTick = 0xFFFFFF00u;
  EXPECT_TRUE(d->Decode(junk.data(), 0x200, 0));
  d->tLastTick = 0;
  EXPECT_TRUE(d->Decode(junk.data(), 10, 0));
  EXPECT_EQ(d->nFps, 2);
  EXPECT_EQ(d->nBps, 1234u);

  EXPECT_EQ(FormatPaneCaption(16, true), "CH 16");
  EXPECT_EQ(FormatPaneCaption(1, false), "CH 1 无信号");
}

// A camera's name takes the place of "CH k"; one too wide for its room is
// cut between characters, with "…" after it, so that it and what follows fit.
TEST(CaptionTest, ANamedCameraIsShownByItsNameCutToItsRoom) {
  EXPECT_EQ(FormatPaneCaption(3, false, "仓库"), "仓库 无信号");
  EXPECT_EQ(FormatSingleCaption(3, 7, 1234, "仓库"), "仓库 07fps 01234Bps");
  const Font font(kFontSmallHeight);
  const std::string rest = " " + NoSignalWord();
  EXPECT_EQ(FitCameraName(&font, "仓库", rest, 200), "仓库");
  const std::string name = "东侧仓库北门外的停车场入口";
  const std::string cut = FitCameraName(&font, name, rest, 100);
  ASSERT_GT(cut.size(), std::string("…").size());
  EXPECT_EQ(name.rfind(cut.substr(0, cut.size() - std::string("…").size()), 0), 0u);
  EXPECT_TRUE(cut.ends_with("…"));
  TextPainter painter;
  EXPECT_LE(painter.Extent(&font, cut + rest, 0, 0).right, 100);
  EXPECT_GT(painter.Extent(&font, name + rest, 0, 0).right, 100);
  EXPECT_EQ(FitCameraName(&font, name, rest, 1), "…");
}

TEST(FileNameTest, OneTrailingSeparatorIsDropped) {
  LocalTime t;
  t.wYear = 2007;
  t.wMonth = 5;
  t.wDay = 9;
  t.wHour = 14;
  t.wMinute = 3;
  t.wSecond = 7;
  t.wMilliseconds = 45;
  EXPECT_EQ(RecordFileName("/home/u/Holmvard/Movie/", 12, t),
            "/home/u/Holmvard/Movie/CLIENT_CH12_2007_05_09_14_03_07_045.avi");
  EXPECT_EQ(RecordFileName("/m", 3, t), "/m/CLIENT_CH03_2007_05_09_14_03_07_045.avi");
  EXPECT_EQ(EventRecordFileName("/m/", 3, t), "/m/EVENT_CH03_2007_05_09_14_03_07_045.avi");
  EXPECT_EQ(SnapshotFileName("/b//", 5, t), "/b//CH05_2007_05_09_14_03_07_045.bmp");
}

TEST_F(VideoTest, RecordingHoldsEveryFrameAsReceived) {
  const std::vector<EncodedFrame> frames = testing::EncodeTestFrames(20, 6);
  TempDir dir;
  auto d = MakeDecoder(2);
  d->recordFolder = [&] { return dir.Path() + "/"; };
  ASSERT_TRUE(d->StartRecording());
  EXPECT_EQ(d->bRecording, 1);
  // Recording starts while the channel still waits for a key frame.
  for (size_t i = 2; i < 20; ++i) Decode(*d, frames[i]);
  d->StopRecording();
  EXPECT_EQ(d->bRecording, 0);
  EXPECT_EQ(d->pAviFile, nullptr);
  d->StopRecording();  // harmless when idle

  const std::vector<std::string> files = dir.Files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(std::regex_match(files[0], std::regex(R"(CLIENT_CH03_\d{4}(_\d\d){5}_\d{3}\.avi)")))
      << files[0];
  const std::string file = dir.Path() + "/" + files[0];
  std::string out;
  ASSERT_TRUE(
      RunCommand("ffprobe -v error -show_entries stream=codec_type,codec_tag_string,width,height,"
                 "r_frame_rate,nb_frames -of default=nw=1 '" +
                     file + "'",
                 &out));
  EXPECT_EQ(out,
            "codec_type=video\ncodec_tag_string=MP43\nwidth=352\nheight=288\n"
            "r_frame_rate=10/1\nnb_frames=18\n");
  ASSERT_TRUE(RunCommand(
      "ffprobe -v error -select_streams v -show_entries packet=flags,size -of csv=p=0 '" + file +
          "'",
      &out));
  std::string expect;
  for (size_t i = 2; i < 20; ++i) {
    expect += std::to_string(frames[i].bytes.size()) + (frames[i].key ? ",K_\n" : ",__\n");
  }
  EXPECT_EQ(out, expect);
  // ffmpeg decodes it; it may only remark that the file opens on a P-frame.
  EXPECT_TRUE(RunCommand("ffmpeg -v warning -nostdin -i '" + file + "' -f null - 2>&1", &out));
  EXPECT_EQ(out.find("rror"), std::string::npos) << out;

  // A frame that does not decode is recorded all the same.
  TempDir junkDir;
  d->recordFolder = [&] { return junkDir.Path(); };
  ASSERT_TRUE(d->StartRecording());
  std::vector<uint8_t> junk(77, 0xFF);
  EXPECT_TRUE(d->Decode(junk.data(), 77, 0));
  Decode(*d, frames[6]);
  d->StopRecording();
  ASSERT_EQ(junkDir.Files().size(), 1u);
  ASSERT_TRUE(
      RunCommand("ffprobe -v error -select_streams v -show_entries packet=size -of "
                 "csv=p=0 '" +
                     junkDir.Path() + "/" + junkDir.Files()[0] + "'",
                 &out));
  EXPECT_EQ(out, "77\n" + std::to_string(frames[6].bytes.size()) + "\n");

  // A start whose file cannot be created leaves the decoder idle.
  d->recordFolder = [] { return std::string("/nonexistent-zarvion-folder"); };
  EXPECT_FALSE(d->StartRecording());
  EXPECT_EQ(d->bRecording, 0);
  EXPECT_TRUE(Decode(*d, frames[7]));
}

TEST(FrameRingTest, HoldsThePreRollFromAKeyFrameWithinItsBytes) {
  using std::chrono::milliseconds;
  FrameRing ring(1000, milliseconds(500));
  const FrameRing::Clock::time_point t0{};
  std::vector<uint8_t> bytes;
  const auto push = [&](int i, uint32_t size, bool key) {
    bytes.assign(size, static_cast<uint8_t>(i));
    ring.Push(bytes.data(), size, key ? kAviIfKeyFrame : 0, t0 + milliseconds(100 * i));
  };
  const auto intact = [&] {
    size_t held = 0;
    for (size_t k = 0; k < ring.Frames(); ++k) {
      const FrameRing::Frame f = ring.At(k);
      held += f.size;
      for (uint32_t b = 0; b < f.size; ++b) {
        if (f.data[b] != f.data[0]) return false;
      }
    }
    return held == ring.Bytes() && ring.Bytes() <= ring.Capacity() &&
           (ring.Frames() == 0 || (ring.At(0).flags & kAviIfKeyFrame));
  };
  push(0, 50, false);
  EXPECT_EQ(ring.Frames(), 0u);  // nothing to begin with before a key frame
  // 10 frames a second, a key frame every fourth: at 1.2 s the pre-roll
  // begins at 0.7 s, and the last key frame at or before it is frame 5.
  for (int i = 1; i <= 12; ++i) push(i, 40, (i - 1) % 4 == 0);
  ASSERT_EQ(ring.Frames(), 8u);
  EXPECT_EQ(ring.At(0).data[0], 5);
  EXPECT_EQ(ring.At(7).data[0], 12);
  EXPECT_TRUE(intact());
  // Frames of every size wrap the buffer; the oldest go, and whole key
  // frame groups with them, never the bytes of a frame still held.
  for (int i = 13; i < 200; ++i) {
    push(i, static_cast<uint32_t>(60 + (i * 37) % 280), i % 3 == 0);
    ASSERT_TRUE(intact()) << i;
    if (i % 3 == 0) {
      EXPECT_EQ(ring.At(ring.Frames() - 1).data[0], static_cast<uint8_t>(i));
    }
  }
  push(200, 1001, true);  // larger than the ring
  EXPECT_EQ(ring.Frames(), 0u);
  EXPECT_EQ(ring.Bytes(), 0u);
}

TEST(FrameRingTest, TakesWhatTheFramesNeedAndGivesTheRestBack) {
  using std::chrono::milliseconds;
  FrameRing ring(FrameRing::kDefaultBytes, milliseconds(1000));
  const FrameRing::Clock::time_point t0{};
  std::vector<uint8_t> bytes;
  int n = 0;
  // 25 frames a second of `size` bytes, a key frame every second.
  const auto run = [&](int seconds, uint32_t size) {
    for (int end = n + seconds * 25; n < end; ++n) {
      bytes.assign(size, static_cast<uint8_t>(n));
      ring.Push(bytes.data(), size, n % 25 == 0 ? kAviIfKeyFrame : 0, t0 + milliseconds(40 * n));
      ASSERT_EQ(ring.At(ring.Frames() - 1).data[size - 1], static_cast<uint8_t>(n));
      ASSERT_EQ(ring.At(0).flags & kAviIfKeyFrame, kAviIfKeyFrame);
    }
  };
  const auto reach = [&] { return ring.At(ring.Frames() - 1).t - ring.At(0).t; };
  EXPECT_EQ(ring.Taken(), 0u);
  // 16 KB frames: the ring grows as the frames come, never losing one the
  // pre-roll wants, to about the 2 seconds of them it holds at most.
  run(5, 16000);
  EXPECT_GE(reach(), milliseconds(1000));
  EXPECT_LE(ring.Taken(), size_t{1} << 20);
  const size_t high = ring.Taken();
  // A tenth of the bitrate for long enough: most of it goes back, and the
  // frames held are the same.
  run(10, 1600);
  EXPECT_EQ(ring.Taken(), high) << "nothing given back before a while";
  run(50, 1600);
  EXPECT_LE(ring.Taken(), high / 4);
  EXPECT_GE(reach(), milliseconds(1000));
  run(3, 16000);
  EXPECT_GE(reach(), milliseconds(1000));

  // The cap holds: 60 KB frames fill 2 MiB and lose the oldest.
  run(3, 60000);
  EXPECT_EQ(ring.Taken(), FrameRing::kDefaultBytes);
  EXPECT_LE(ring.Bytes(), FrameRing::kDefaultBytes);

  // A ring of no bytes keeps nothing and takes nothing.
  ring.Configure(0, milliseconds(1000));
  EXPECT_EQ(ring.Taken(), 0u);
  bytes.assign(10, 0);
  ring.Push(bytes.data(), 10, kAviIfKeyFrame, t0 + milliseconds(40 * n));
  EXPECT_EQ(ring.Frames(), 0u);
  EXPECT_EQ(ring.Taken(), 0u);
}

TEST_F(VideoTest, AnEventRecordingBeginsWithTheFramesBeforeIt) {
  const std::vector<EncodedFrame> frames = testing::EncodeTestFrames(24, 6);
  TempDir dir;
  auto d = MakeDecoder(2);
  d->recordFolder = [&] { return dir.Path(); };
  for (size_t i = 2; i < 16; ++i) Decode(*d, frames[i]);
  // The record button's recording runs beside it.
  ASSERT_TRUE(d->StartRecording());
  ASSERT_TRUE(d->StartEventRecording());
  EXPECT_EQ(d->EventRecording().frames, 10u);  // from the key frame 6 on
  for (size_t i = 16; i < 24; ++i) Decode(*d, frames[i]);
  d->StopRecording();
  const EventRecordingStatus status = d->EventRecording();
  EXPECT_TRUE(status.recording);
  EXPECT_EQ(status.frames, 18u);
  d->StopEventRecording();
  EXPECT_FALSE(d->EventRecording().recording);

  std::vector<std::string> files = dir.Files();
  std::sort(files.begin(), files.end());
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(dir.Path() + "/" + files[1], status.path);
  EXPECT_TRUE(std::regex_match(files[1], std::regex(R"(EVENT_CH03_\d{4}(_\d\d){5}_\d{3}\.avi)")))
      << files[1];
  std::string out;
  ASSERT_TRUE(
      RunCommand("ffprobe -v error -select_streams v -show_entries packet=size -of csv=p=0 '" +
                     status.path + "'",
                 &out));
  std::string expect;
  for (size_t i = 6; i < 24; ++i) expect += std::to_string(frames[i].bytes.size()) + "\n";
  EXPECT_EQ(out, expect);

  // A folder that cannot take the file: no recording, no file.
  d->recordFolder = [] { return std::string("/nonexistent-zarvion-folder"); };
  EXPECT_FALSE(d->StartEventRecording());
  EXPECT_NE(d->EventRecording().error, 0);
  EXPECT_TRUE(d->EventRecording().path.empty());
}

TEST_F(VideoTest, StopWhileAppendingLeavesEveryFileComplete) {
  const std::vector<EncodedFrame> frames = testing::EncodeTestFrames(10, 5);
  TempDir dir;
  auto d = MakeDecoder(0);
  d->recordFolder = [&] { return dir.Path(); };
  std::atomic<bool> stop{false};
  std::atomic<size_t> decoded{0};
  std::thread feeder([&] {
    for (size_t i = 0; !stop; ++i) {
      Decode(*d, frames[i % frames.size()]);
      ++decoded;
    }
  });
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(d->StartRecording());
    // Two frames decoded since the start: at least one was appended (a slow
    // build may take longer than any fixed time for it).
    const size_t before = decoded;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (decoded < before + 2 && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_GE(decoded, before + 2);
    d->StopRecording();
    // Distinct names: they differ in the millisecond.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  stop = true;
  feeder.join();
  const std::vector<std::string> files = dir.Files();
  ASSERT_EQ(files.size(), 6u);
  for (const std::string& f : files) {
    const std::string bytes = ReadFile(dir.Path() + "/" + f);
    ASSERT_GT(bytes.size(), 232u);
    // Complete: the RIFF covers the whole file and ends with the index.
    uint32_t riff;
    std::memcpy(&riff, bytes.data() + 4, 4);
    EXPECT_EQ(riff, bytes.size() - 8) << f;
    std::string out;
    EXPECT_TRUE(RunCommand(
        "ffmpeg -v error -nostdin -i '" + dir.Path() + "/" + f + "' -f null - 2>&1", &out))
        << f;
  }
}

// The window's side as the tests drive it.
class TestPresenter : public Presenter {
 public:
  Rect WindowRect() const override { return window; }
  Point CursorPos() const override { return cursor; }
  bool CanDraw() const override { return visible; }
  void Present(const Rect& t, const Rect& s) override {
    ++presents;
    target = t;
    source = s;
  }
  Rect window{0, 0, 804, 624};
  Point cursor{-1000, -1000};
  bool visible = true;
  int presents = 0;
  Rect target, source;
};

class RendererTest : public VideoTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(renderer_.Create(1024, 768));
    renderer_.SetCaptionFont(&small_);
    renderer_.SetPresenter(&presenter_);
    for (int s = 0; s < kDecoderSlots; ++s) {
      decoders_[s] = std::make_unique<CChannelDecoder>();
      decoders_[s]->nChannel = s;
      decoders_[s]->hFont = &large_;
      renderer_.BindDecoder(s, decoders_[s].get());
      ASSERT_TRUE(decoders_[s]->Create(352, 288));
      decoders_[s]->Fill(Colour(s));
    }
  }
  static uint32_t Colour(int slot) { return 0x00203040u + 0x00081008u * slot; }
  uint32_t Back(int x, int y) { return PixelAt(renderer_.BackBuffer(), x, y); }
  std::string BackBytes() {
    const Surface& s = *renderer_.BackSurface();
    return std::string(reinterpret_cast<const char*>(s.Lock()), s.Stride() * s.Height());
  }

  std::atomic<uint32_t> drawMode_{kDrawGrid4Mode};
  std::atomic<uint32_t> layoutDirty_{0};
  std::atomic<uint32_t> snapshot_{0};
  Renderer renderer_{ViewWords{drawMode_, layoutDirty_, snapshot_}};
  TestPresenter presenter_;
  std::array<std::unique_ptr<CChannelDecoder>, kDecoderSlots> decoders_;
  static constexpr uint32_t kDrawGrid4Mode = 0x00040000;
};

TEST(PaneGeometryTest, PanesTileTheAreaExactly) {
  EXPECT_EQ(PaneRect(2, 0, 1, 804, 604), (Rect{402, 0, 804, 302}));
  EXPECT_EQ(PaneRect(2, 1, 0, 804, 604), (Rect{0, 302, 402, 604}));
  EXPECT_EQ(PaneRect(3, 0, 0, 600, 600).right, 200);
  EXPECT_EQ(PaneRect(3, 0, 1, 600, 600), (Rect{200, 0, 400, 200}));
  EXPECT_EQ(PaneRect(3, 2, 2, 600, 600), (Rect{400, 400, 600, 600}));
  for (int side : {2, 3, 4}) {
    for (int w = 2 * side + 1; w < 700; w += 37) {
      for (int c = 0; c + 1 < side; ++c) {
        EXPECT_EQ(PaneRect(side, 0, c, w, w).right, PaneRect(side, 0, c + 1, w, w).left);
      }
      EXPECT_EQ(PaneRect(side, side - 1, side - 1, w, w + 5).right, w);
      EXPECT_EQ(PaneRect(side, side - 1, side - 1, w, w + 5).bottom, w + 5);
    }
  }
}

TEST(PaneGeometryTest, OnlyTableDrawModesShowAnything) {
  EXPECT_EQ(ClassifyDrawMode(0).kind, ViewKind::kSingle);
  EXPECT_EQ(ClassifyDrawMode(15).slot, 15);
  EXPECT_EQ(ClassifyDrawMode(0x80000000u).kind, ViewKind::kSingle);
  EXPECT_EQ(ClassifyDrawMode(0x80000000u).slot, 0);
  EXPECT_EQ(ClassifyDrawMode(0x00040000).side, 2);
  EXPECT_EQ(ClassifyDrawMode(0x00090000).side, 3);
  EXPECT_EQ(ClassifyDrawMode(0x00100000).side, 4);
  for (uint32_t m : {16u, 0xFFFFu, 0x00010000u, 0x00010001u, 0x00050000u, 0x00200000u, 0x7FFFFFFFu,
                     0x80000001u, 0xFFFFFFFFu}) {
    EXPECT_EQ(ClassifyDrawMode(m).kind, ViewKind::kNone) << std::hex << m;
  }
}

TEST_F(RendererTest, GridPanesAndBordersLandOnTheirLines) {
  presenter_.window = Rect{100, 50, 904, 674};  // W 804, H 604
  for (int s = 0; s < 16; ++s) renderer_.PlaceChannel(s);
  renderer_.Redraw();
  EXPECT_EQ(presenter_.presents, 1);
  EXPECT_EQ(presenter_.target, (Rect{100, 50, 904, 654}));
  EXPECT_EQ(presenter_.source, (Rect{0, 0, 804, 604}));
  for (int x : {0, 401, 402, 803}) EXPECT_EQ(Back(x, 150), 0u) << x;
  for (int y : {0, 301, 302, 603}) EXPECT_EQ(Back(200, y), 0u) << y;
  EXPECT_EQ(Back(1, 150), Colour(0));
  EXPECT_EQ(Back(400, 300), Colour(0));
  EXPECT_EQ(Back(403, 150), Colour(1));
  EXPECT_EQ(Back(802, 602), Colour(3));
  EXPECT_EQ(Back(200, 450), Colour(2));
  // Slots beyond the grid are never placed; outside the view stays clear.
  EXPECT_EQ(CountPixels(renderer_.BackBuffer(), Rect{0, 0, 804, 604}, Colour(6)), 0);
  EXPECT_EQ(Back(804, 10), kPixelBlue200);
  EXPECT_EQ(Back(10, 604), kPixelBlue200);
  // Captions: near black on every pane, none of them highlighted.
  EXPECT_GT(CountPixels(renderer_.BackBuffer(), Rect{402, 302, 480, 320}, 0x010101), 5);
  EXPECT_EQ(CountPixels(renderer_.BackBuffer(), Rect{0, 0, 804, 604}, 0x00FFFF), 0);

  // The pointer inside pane 3 highlights its border and caption only.
  presenter_.cursor = Point{100 + 600, 50 + 400};
  renderer_.Redraw();
  EXPECT_EQ(Back(402, 450), 0xFFFF00u);
  EXPECT_EQ(Back(803, 450), 0xFFFF00u);
  EXPECT_EQ(Back(600, 302), 0xFFFF00u);
  EXPECT_EQ(Back(401, 450), 0u);
  EXPECT_GT(CountPixels(renderer_.BackBuffer(), Rect{402, 302, 480, 320}, 0x00FFFF), 5);

  // On a border line it highlights nothing: the test is strict.
  renderer_.PlaceChannel(3);
  presenter_.cursor = Point{100 + 402, 50 + 450};
  renderer_.Redraw();
  EXPECT_EQ(CountPixels(renderer_.BackBuffer(), Rect{0, 0, 804, 604}, 0xFFFF00), 0);
}

// A notice shrunk into a small pane keeps every stroke of its glyphs: each
// green pixel of the channel's surface has one where it lands in the pane.
// Sampled plainly, the one-pixel strokes of rows that fall between two
// sampled rows are lost, and "无信号" reads "无信弓".
TEST_F(RendererTest, ANoticeShrunkIntoAPaneKeepsEveryStroke) {
  CChannelDecoder fresh;
  fresh.nChannel = 0;
  fresh.hFont = &large_;
  ASSERT_TRUE(fresh.Create(352, 288));
  renderer_.BindDecoder(0, &fresh);
  drawMode_ = 0x00100000;  // 4 x 4
  presenter_.window = Rect{0, 0, 960, 728};
  renderer_.PlaceChannel(0);
  renderer_.Redraw();
  const Rect pane = PaneRect(4, 0, 0, 960, 708);
  ASSERT_LT(pane.Width(), 352);
  ASSERT_LT(pane.Height(), 288);
  int strokes = 0, lost = 0;
  for (int sy = 0; sy < 288; ++sy) {
    for (int sx = 0; sx < 352; ++sx) {
      if (PixelAt(fresh, sx, sy) != 0x00C800) continue;
      ++strokes;
      const int x = pane.left + sx * pane.Width() / 352, y = pane.top + sy * pane.Height() / 288;
      bool shown = false;
      for (int dy = -1; dy <= 1 && !shown; ++dy) {
        for (int dx = -1; dx <= 1 && !shown; ++dx) shown = Back(x + dx, y + dy) == 0x00C800;
      }
      lost += !shown;
    }
  }
  EXPECT_GT(strokes, 100);
  EXPECT_EQ(lost, 0);
  // The ground is the notice's own.
  EXPECT_EQ(Back(pane.left + 20, pane.top + 60), kPixelBlue200);
  renderer_.BindDecoder(0, decoders_[0].get());
}

TEST_F(RendererTest, ViewsOutsideTheTableComposeNothing) {
  presenter_.window = Rect{0, 0, 640, 500};
  for (uint32_t mode : {16u, 0x00010000u, 0x00050000u, 0x80000001u, 0xFFFFFFFFu}) {
    drawMode_ = mode;
    const std::string before = BackBytes();
    for (int s = -1; s < 20; ++s) renderer_.PlaceChannel(s);
    renderer_.Redraw();
    EXPECT_EQ(BackBytes(), before) << std::hex << mode;
  }
  drawMode_ = kDrawGrid4Mode;
  const std::string before = BackBytes();
  for (int s : {-1, 4, 6, 15, 16, 255}) renderer_.PlaceChannel(s);
  EXPECT_EQ(BackBytes(), before);
}

TEST_F(RendererTest, SingleAndPlaybackViewsFillTheAreaWithCaption) {
  presenter_.window = Rect{0, 0, 640, 500};
  drawMode_ = 5;
  renderer_.Redraw();
  EXPECT_EQ(Back(320, 240), Colour(5));
  EXPECT_EQ(Back(639, 479), Colour(5));
  EXPECT_EQ(Back(640, 200), kPixelBlue200);
  EXPECT_EQ(Back(300, 480), kPixelBlue200);
  EXPECT_GT(CountPixels(renderer_.BackBuffer(), Rect{0, 0, 200, 20}, 0xFBFBFB), 10);
  drawMode_ = kDrawPlayback;
  renderer_.Redraw();
  EXPECT_EQ(Back(320, 240), Colour(0));

  // A cleared layout starts from blue.
  drawMode_ = 0x00100000;
  layoutDirty_ = 1;
  renderer_.Redraw();
  EXPECT_EQ(layoutDirty_, 0u);
  EXPECT_EQ(Back(400, 300), kPixelBlue200);

  // A window taller and wider than the screen is clipped to the back surface.
  presenter_.window = Rect{5, 5, 3005, 2025};
  for (int s = 0; s < 16; ++s) renderer_.PlaceChannel(s);
  renderer_.Redraw();
  EXPECT_EQ(presenter_.source, (Rect{0, 0, 1024, 768}));
  EXPECT_EQ(presenter_.target, (Rect{5, 5, 1029, 773}));
  drawMode_ = 3;
  renderer_.Redraw();
  EXPECT_EQ(Back(1023, 767), Colour(3));
  // No video area at all: nothing is presented.
  const int presents = presenter_.presents;
  presenter_.window = Rect{0, 0, 300, 15};
  renderer_.Redraw();
  EXPECT_EQ(presenter_.presents, presents);
}

// A window that stretches the single view itself gets the picture, its
// source and caption from TakeSingle, and the back surface is left alone in
// that view; in a grid there is nothing to take.
TEST_F(RendererTest, APresenterThatDrawsTheSingleViewTakesItsPicture) {
  struct DrawingPresenter : TestPresenter {
    bool DrawsSingleView() const override { return true; }
  } presenter;
  presenter.window = Rect{0, 0, 640, 500};
  renderer_.SetPresenter(&presenter);
  Surface picture;
  Rect source;
  std::string caption;
  for (int s = 0; s < 4; ++s) renderer_.PlaceChannel(s);
  renderer_.Redraw();  // the grid, with every pane's picture
  EXPECT_FALSE(renderer_.TakeSingle(picture, &source, &caption));
  const std::string grid = BackBytes();

  drawMode_ = 5;
  decoders_[5]->nFps = 7;
  decoders_[5]->nBps = 1234;
  const int presents = presenter.presents;
  renderer_.Redraw();
  EXPECT_EQ(presenter.presents, presents + 1);
  EXPECT_EQ(BackBytes(), grid);
  ASSERT_TRUE(renderer_.TakeSingle(picture, &source, &caption));
  EXPECT_EQ(source, (Rect{0, 0, 352, 288}));
  EXPECT_EQ(caption, "CH 6 07fps 01234Bps");
  ASSERT_EQ(picture.Width(), 352);
  EXPECT_EQ(PixelAt(picture, 351, 287), Colour(5));
  // Nothing new: nothing presented. A new picture is.
  renderer_.Redraw();
  EXPECT_EQ(presenter.presents, presents + 1);
  {
    std::lock_guard<std::mutex> hold(renderer_.Lock());
    decoders_[5]->Fill(Colour(9));
    ++decoders_[5]->dwPictureSerial;
  }
  renderer_.Redraw();
  EXPECT_EQ(presenter.presents, presents + 2);
  ASSERT_TRUE(renderer_.TakeSingle(picture, &source, &caption));
  EXPECT_EQ(PixelAt(picture, 10, 10), Colour(9));

  drawMode_ = kDrawPlayback;
  bool ended = false;
  renderer_.SetPlaybackEnded([&] { return ended; });
  renderer_.Redraw();
  ASSERT_TRUE(renderer_.TakeSingle(picture, &source, &caption));
  EXPECT_EQ(PixelAt(picture, 10, 10), Colour(0));
  EXPECT_EQ(caption.substr(0, 5), "CH 1 ");
  EXPECT_NE(caption.find("fps"), std::string::npos);
  // The recording runs out: the same last picture, the end instead of rates.
  ended = true;
  renderer_.Redraw();
  EXPECT_EQ(presenter.presents, presents + 4);
  ASSERT_TRUE(renderer_.TakeSingle(picture, &source, &caption));
  EXPECT_EQ(caption, "CH 1 回放结束");
  EXPECT_EQ(PixelAt(picture, 10, 10), Colour(0));
  ended = false;  // the slider taken back: rates again
  renderer_.Redraw();
  ASSERT_TRUE(renderer_.TakeSingle(picture, &source, &caption));
  EXPECT_NE(caption.find("fps"), std::string::npos);

  drawMode_ = kDrawGrid4Mode;
  renderer_.Redraw();
  EXPECT_FALSE(renderer_.TakeSingle(picture, &source, &caption));
  EXPECT_EQ(BackBytes(), grid);
  renderer_.SetPresenter(&presenter_);
}

TEST_F(RendererTest, SnapshotSavesTheDecoderPictureTheRightWayUp) {
  const std::vector<EncodedFrame> frames = testing::EncodeTestFrames(3, 10);
  ASSERT_TRUE(Decode(*decoders_[4], frames[0]));
  TempDir dir;
  renderer_.SetSnapshotFolder([&] { return dir.Path() + "/"; });
  presenter_.window = Rect{0, 0, 800, 620};

  // Pending in a grid; served by the next single view.
  snapshot_ = 1;
  renderer_.Redraw();
  EXPECT_EQ(snapshot_, 1u);
  EXPECT_TRUE(dir.Files().empty());
  drawMode_ = 4;
  renderer_.Redraw();
  EXPECT_EQ(snapshot_, 0u);
  std::vector<std::string> files = dir.Files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(std::regex_match(files[0], std::regex(R"(CH05_\d{4}(_\d\d){5}_\d{3}\.bmp)")))
      << files[0];
  const std::string path = dir.Path() + "/" + files[0];
  const std::string bytes = ReadFile(path);
  ASSERT_EQ(bytes.size(), 405558u);
  const CVideoSurface& pic = *decoders_[4];
  const uint8_t* rows = pic.pSurface->Lock();
  EXPECT_EQ(bytes.substr(0, 2), "BM");
  EXPECT_EQ(std::memcmp(bytes.data() + 54, rows + 287 * 352 * 4, 352 * 4), 0);
  EXPECT_EQ(std::memcmp(bytes.data() + bytes.size() - 352 * 4, rows, 352 * 4), 0);
  uint32_t v;
  std::memcpy(&v, bytes.data() + 2, 4);
  EXPECT_EQ(v, 405558u);
  std::memcpy(&v, bytes.data() + 10, 4);
  EXPECT_EQ(v, 54u);
  std::memcpy(&v, bytes.data() + 34, 4);
  EXPECT_EQ(v, 405504u);

  // ffmpeg reads it the right way up, pixel for pixel.
  const std::string decoded = testing::FfmpegDecode(path, "bgra");
  ASSERT_EQ(decoded.size(), kPictureBytes);
  size_t mismatches = 0;
  for (size_t p = 0; p < 352 * 288; ++p) {
    mismatches += std::memcmp(decoded.data() + p * 4, rows + p * 4, 3) != 0;
  }
  EXPECT_EQ(mismatches, 0u);

  // In the playback view the file is named for channel 1.
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  drawMode_ = kDrawPlayback;
  snapshot_ = 1;
  renderer_.Redraw();
  files = dir.Files();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(std::count_if(files.begin(), files.end(),
                          [](const std::string& f) { return f.rfind("CH01_", 0) == 0; }),
            1);
}

// The window paints from its own copy, kept up to date with the changed
// rectangles alone, or by trading pixels for a whole single view: whatever
// the renderer draws, the copy must show what a renderer that never traded
// holds on its back surface.
TEST_F(RendererTest, ChangedRectanglesKeepTheWindowsCopyCurrent) {
  const std::vector<EncodedFrame> frames = testing::EncodeTestFrames(12, 4);
  std::atomic<uint32_t> mode2{0}, dirty2{0}, snapshot2{0};
  Renderer plain{ViewWords{mode2, dirty2, snapshot2}};
  ASSERT_TRUE(plain.Create(1024, 768));
  plain.SetCaptionFont(&small_);
  plain.SetPresenter(&presenter_);
  for (int s = 0; s < kDecoderSlots; ++s) plain.BindDecoder(s, decoders_[s].get());

  Surface front;
  ASSERT_TRUE(front.Create(1024, 768));
  std::memcpy(front.Lock(), renderer_.BackSurface()->Lock(), kBackBytes);
  std::array<Rect, kMaxChanges> changes;
  int trades = 0;
  auto collect = [&] {
    const Surface& back = *renderer_.BackSurface();
    bool swapped = false;
    const int n = renderer_.TakeChanges(changes, &front, &swapped);
    trades += swapped;
    for (int i = 0; i < n && !swapped; ++i) {
      const Rect& r = changes[static_cast<size_t>(i)];
      for (int y = r.top; y < r.bottom; ++y) {
        const size_t at = static_cast<size_t>(y) * back.Stride() + r.left * 4;
        std::memcpy(front.Lock() + at, back.Lock() + at, static_cast<size_t>(r.Width()) * 4);
      }
    }
    plain.TakeChanges(changes);
    return n;
  };
  auto same = [&]() -> ::testing::AssertionResult {
    const uint32_t* a = reinterpret_cast<const uint32_t*>(front.Lock());
    const uint32_t* b = reinterpret_cast<const uint32_t*>(plain.BackSurface()->Lock());
    for (size_t p = 0; p < kBackBytes / 4; ++p) {
      if (a[p] != b[p]) {
        return ::testing::AssertionFailure() << "pixel (" << p % 1024 << ", " << p / 1024 << ") "
                                             << std::hex << a[p] << " vs " << b[p];
      }
    }
    return ::testing::AssertionSuccess();
  };
  presenter_.window = Rect{0, 0, 900, 700};
  const Point points[] = {{-5, -5}, {100, 100}, {450, 300}, {899, 10}, {300, 690}, {225, 170}};
  const uint32_t modes[] = {0x00100000, 0x00040000, 7, 0x00090000, kDrawPlayback, 0x00100000};
  for (int step = 0; step < 240; ++step) {
    if (step % 40 == 0) drawMode_ = mode2 = modes[step / 40];
    if (step % 7 == 3) presenter_.cursor = points[(step / 7) % 6];
    if (step % 53 == 10) layoutDirty_ = dirty2 = 1;
    if (step == 120) presenter_.window = Rect{0, 0, 700, 500};
    // One channel's frame, or every channel's in a row as the recorder
    // sends them.
    for (int k = 0; k < (step % 10 == 5 ? 16 : 1); ++k) {
      const int slot = (step * 5 + k) % 16;
      ASSERT_TRUE(Decode(*decoders_[slot], frames[(step + k) % frames.size()]));
      for (Renderer* r : {&renderer_, &plain}) {
        r->PlaceChannel(slot);
        r->Redraw();
      }
    }
    if (step % 3 == 0) {
      collect();
      ASSERT_TRUE(same()) << "step " << step;
    }
  }
  collect();
  EXPECT_TRUE(same());
  EXPECT_GT(trades, 0);
  // Nothing new: nothing changed, nothing presented.
  const int presents = presenter_.presents;
  renderer_.Redraw();
  EXPECT_EQ(collect(), 0);
  EXPECT_EQ(presenter_.presents, presents);
}

TEST_F(RendererTest, SingleViewRedrawsOnlyForItsOwnChannel) {
  const std::vector<EncodedFrame> frames = testing::EncodeTestFrames(6, 3);
  presenter_.window = Rect{0, 0, 640, 500};
  drawMode_ = 2;
  renderer_.Redraw();
  EXPECT_EQ(presenter_.presents, 1);
  EXPECT_EQ(Back(320, 240), Colour(2));
  // Frames of the other channels go on being decoded, but the view shows
  // channel 3 only, so nothing is presented for them.
  for (int i = 0; i < 6; ++i) {
    for (int slot : {0, 1, 5, 15}) {
      ASSERT_TRUE(Decode(*decoders_[slot], frames[i]));
      renderer_.PlaceChannel(slot);
      renderer_.Redraw();
    }
  }
  EXPECT_EQ(presenter_.presents, 1);
  EXPECT_EQ(Back(320, 240), Colour(2));
  // Its own frame is shown at once: first the notice of the key-frame wait.
  decoders_[2]->bWaitKeyFrame = 1;
  ASSERT_TRUE(Decode(*decoders_[2], frames[1]));
  renderer_.Redraw();
  EXPECT_EQ(presenter_.presents, 2);
  EXPECT_EQ(Back(320, 240), kPixelRed150);
  ASSERT_TRUE(Decode(*decoders_[2], frames[0]));
  renderer_.Redraw();
  EXPECT_EQ(presenter_.presents, 3);
  EXPECT_NE(Back(320, 240), kPixelRed150);
}

// A channel the view does not show has its frames decoded but converted
// only when looked at: whatever then reads its picture (the single view,
// a grid pane, a snapshot) must find the latest frame, exactly as a
// channel that was shown all along holds it.
TEST_F(RendererTest, ChannelsOutOfViewShowTheirLatestPictureWhenLookedAt) {
  const std::vector<EncodedFrame> frames = testing::EncodeTestFrames(13, 6);
  ASSERT_TRUE(frames[12].key);
  auto reference = MakeDecoder(0);
  auto picture = [](const CChannelDecoder& d) {
    return std::string(reinterpret_cast<const char*>(d.pSurface->Lock()), kPictureBytes);
  };
  presenter_.window = Rect{0, 0, 640, 500};
  drawMode_ = 2;
  renderer_.Redraw();
  for (int s : {5, 9}) decoders_[s]->bWaitKeyFrame = 1;
  for (size_t i = 0; i < 9; ++i) {
    ASSERT_TRUE(Decode(*reference, frames[i]));
    for (int s : {5, 9}) {
      ASSERT_TRUE(Decode(*decoders_[s], frames[i]));
      renderer_.PlaceChannel(s);
      renderer_.Redraw();
    }
  }
  // The shown channel's view is still its own.
  EXPECT_EQ(Back(320, 240), Colour(2));

  // Switched to: the latest frame, not an older one.
  drawMode_ = 5;
  renderer_.Redraw();
  EXPECT_TRUE(picture(*decoders_[5]) == picture(*reference));
  EXPECT_NE(Back(320, 240), Colour(5));

  // A snapshot of a channel out of view is of its latest frame too.
  TempDir dir;
  renderer_.SetSnapshotFolder([&] { return dir.Path() + "/"; });
  ASSERT_TRUE(Decode(*reference, frames[9]));
  ASSERT_TRUE(Decode(*decoders_[9], frames[9]));
  renderer_.Redraw();
  // Taken while the window cannot be drawn on: nothing is composed.
  presenter_.visible = false;
  drawMode_ = 9;
  snapshot_ = 1;
  renderer_.Redraw();
  presenter_.visible = true;
  const std::vector<std::string> files = dir.Files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(picture(*decoders_[9]) == picture(*reference));
  const std::string bmp = ReadFile(dir.Path() + "/" + files[0]);
  ASSERT_EQ(bmp.size(), 405558u);
  EXPECT_EQ(std::memcmp(bmp.data() + bmp.size() - 352 * 4, reference->pSurface->Lock(), 352 * 4),
            0);

  // Back in the grid, every pane is placed from the latest picture; a frame
  // that fails while out of view still shows the notice.
  drawMode_ = kDrawGrid4Mode;
  renderer_.Redraw();
  drawMode_ = 9;
  renderer_.Redraw();
  std::vector<uint8_t> junk(64, 0xFF);
  EXPECT_TRUE(decoders_[5]->Decode(junk.data(), 64, 0));
  EXPECT_EQ(PixelAt(*decoders_[5], 0, 0), kPixelRed150);
  ASSERT_TRUE(Decode(*decoders_[5], frames[12]));
  ASSERT_TRUE(Decode(*reference, frames[12]));
  drawMode_ = 0x00100000;
  renderer_.Redraw();
  renderer_.PlaceChannel(5);
  const Rect pane = PaneRect(4, 1, 1, 640, 480);
  Surface expected;
  ASSERT_TRUE(expected.Create(1024, 768));
  ASSERT_TRUE(expected.StretchFrom(pane, *reference->pSurface, reference->rcSurface));
  int differing = 0;
  for (int y = pane.top; y < pane.bottom; ++y) {
    for (int x = pane.left; x < pane.right; ++x) differing += Back(x, y) != PixelAt(expected, x, y);
  }
  EXPECT_EQ(differing, 0);
  // The channel's own surface is brought up to date when it is read.
  decoders_[5]->CatchUp();
  EXPECT_TRUE(picture(*decoders_[5]) == picture(*reference));
}

TEST_F(RendererTest, AnUnseenWindowGetsNothingDrawnButSnapshotsGoOn) {
  TempDir dir;
  renderer_.SetSnapshotFolder([&] { return dir.Path() + "/"; });
  presenter_.window = Rect{0, 0, 640, 500};
  presenter_.visible = false;
  const std::string before = BackBytes();
  layoutDirty_ = 1;
  renderer_.Redraw();
  drawMode_ = 6;
  snapshot_ = 1;
  renderer_.Redraw();
  EXPECT_EQ(presenter_.presents, 0);
  EXPECT_EQ(layoutDirty_, 1u) << "the clear waits for the window to be seen";
  EXPECT_TRUE(BackBytes() == before);
  EXPECT_EQ(snapshot_, 0u);
  const std::vector<std::string> files = dir.Files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].rfind("CH07_", 0), 0u) << files[0];

  presenter_.visible = true;
  renderer_.Redraw();
  EXPECT_EQ(presenter_.presents, 1);
  EXPECT_EQ(Back(320, 240), Colour(6));
}

// Out of sight every frame is decoded but none converted, placed or
// composed; released surfaces hold nothing; the first composition in sight
// shows every pane's latest picture, each converted once.
TEST_F(RendererTest, AnUnseenWindowConvertsNothingUntilItIsSeenAgain) {
  const std::vector<EncodedFrame> frames = testing::EncodeTestFrames(8, 4);
  ASSERT_TRUE(frames[0].key);
  auto reference = MakeDecoder(0);
  auto conversions = [&] {
    uint32_t n = 0;
    for (auto& d : decoders_) n += d->dwConversions.load();
    return n;
  };
  presenter_.window = Rect{0, 0, 640, 500};
  presenter_.visible = false;
  // Slot 3 shows "无信号" throughout, slot 2 a notice: both are made again.
  std::vector<uint8_t> junk(64, 0xFF);
  auto feed = [&](size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
      ASSERT_TRUE(Decode(*reference, frames[i]));
      for (int s : {0, 1}) {
        ASSERT_TRUE(Decode(*decoders_[s], frames[i]));
        renderer_.PlaceChannel(s);
        renderer_.Redraw();
      }
    }
    EXPECT_TRUE(decoders_[2]->Decode(junk.data(), 64, 0));
  };
  for (int s = 0; s < 4; ++s) ASSERT_TRUE(decoders_[s]->Create(352, 288));
  const std::string noSignal(reinterpret_cast<const char*>(decoders_[3]->pSurface->Lock()),
                             kPictureBytes);
  feed(0, 4);
  EXPECT_EQ(conversions(), 0u);
  EXPECT_EQ(presenter_.presents, 0);

  // Given back while unseen; decoding goes on into released surfaces.
  EXPECT_TRUE(renderer_.ReleaseSurfaces());
  for (int s = 0; s < 4; ++s) EXPECT_TRUE(decoders_[s]->SurfaceReleased()) << s;
  EXPECT_FALSE(renderer_.BackSurface()->Valid());
  feed(4, 8);
  EXPECT_EQ(conversions(), 0u);
  EXPECT_TRUE(decoders_[0]->SurfaceReleased());

  presenter_.visible = true;
  EXPECT_FALSE(renderer_.ReleaseSurfaces()) << "only while unseen";
  renderer_.Redraw();
  EXPECT_EQ(presenter_.presents, 1);
  EXPECT_EQ(conversions(), 2u) << "each pane's latest picture, once";
  ASSERT_TRUE(renderer_.BackSurface()->Valid());
  Surface expected;
  ASSERT_TRUE(expected.Create(1024, 768));
  for (int s = 0; s < 4; ++s) {
    decoders_[s]->CatchUp();
    const CChannelDecoder& source = s < 2 ? *reference : *decoders_[s];
    if (s == 3) {
      EXPECT_TRUE(std::string(reinterpret_cast<const char*>(source.pSurface->Lock()),
                              kPictureBytes) == noSignal);
    }
    if (s == 2) {
      EXPECT_EQ(PixelAt(source, 0, 0), kPixelRed150);
    }
    const Rect pane = PaneRect(2, s / 2, s % 2, 640, 480);
    // A notice is shrunk keeping its strokes.
    ASSERT_TRUE(s < 2 ? expected.StretchFrom(pane, *source.pSurface, source.rcSurface)
                      : StretchKeeping(expected.View(), pane, expected.Bounds(),
                                       source.pSurface->View(), source.rcSurface,
                                       PixelOfColorref(kNoticeColor)));
    // The border and the caption's corner aside, the pane is the latest
    // picture or notice.
    int differing = 0;
    for (int y = pane.top + 1; y < pane.bottom - 1; ++y) {
      for (int x = pane.left + 1; x < pane.right - 1; ++x) {
        if (x < pane.left + 100 && y < pane.top + 30) continue;
        differing += Back(x, y) != PixelAt(expected, x, y);
      }
    }
    EXPECT_EQ(differing, 0) << s;
  }
  EXPECT_TRUE(std::string(reinterpret_cast<const char*>(decoders_[0]->pSurface->Lock()),
                          kPictureBytes) ==
              std::string(reinterpret_cast<const char*>(reference->pSurface->Lock()),
                          kPictureBytes));
}

// A pane the window draws from its picture needs none of the channel's own
// pixels: they are given back, and made again (with what the channel shows
// then) as soon as the pane is composed from them.
TEST_F(RendererTest, PanesDrawnFromPicturesGiveTheirChannelsPixelsBack) {
  struct PicturePresenter : TestPresenter {
    bool DrawsGridPictures() const override { return true; }
  } presenter;
  presenter.window = Rect{0, 0, 640, 500};
  renderer_.SetPresenter(&presenter);
  const std::vector<EncodedFrame> frames = testing::EncodeTestFrames(3, 4);
  for (int s : {0, 1}) ASSERT_TRUE(decoders_[s]->Create(352, 288));
  for (const EncodedFrame& f : frames) {
    for (int s : {0, 1}) {
      ASSERT_TRUE(Decode(*decoders_[s], f));
      renderer_.PlaceChannel(s);
    }
  }
  renderer_.Redraw();
  std::array<PanePicture, kDecoderSlots> panes;
  EXPECT_EQ(renderer_.TakeGridPictures(panes) & 3u, 3u);
  EXPECT_TRUE(decoders_[0]->SurfaceReleased());
  EXPECT_TRUE(decoders_[1]->SurfaceReleased());
  EXPECT_FALSE(decoders_[2]->SurfaceReleased()) << "a pane without a picture keeps its look";

  // Undecodable data: the notice goes on the pane through the back surface.
  std::vector<uint8_t> junk(64, 0xFF);
  EXPECT_TRUE(decoders_[0]->Decode(junk.data(), 64, 0));
  renderer_.PlaceChannel(0);
  renderer_.Redraw();
  EXPECT_FALSE(decoders_[0]->SurfaceReleased());
  EXPECT_EQ(PixelAt(*decoders_[0], 0, 0), kPixelRed150);
  EXPECT_EQ(Back(100, 150), kPixelRed150);
  // A new size with no frame since: the pane keeps its look, not blue.
  presenter.window = Rect{0, 0, 800, 620};
  renderer_.Redraw();
  EXPECT_EQ(Back(350, 280), kPixelRed150);
  renderer_.SetPresenter(&presenter_);
}

TEST_F(RendererTest, DecodingPlacingAndRedrawingOnTwoThreads) {
  const std::vector<EncodedFrame> frames = testing::EncodeTestFrames(20, 5);
  drawMode_ = 0x00100000;
  presenter_.window = Rect{0, 0, 1000, 760};
  std::atomic<bool> stop{false};
  std::thread connection([&] {
    for (size_t i = 0; !stop; ++i) {
      const int slot = static_cast<int>(i % 16);
      if (!Decode(*decoders_[slot], frames[i % frames.size()])) renderer_.ClearView();
      renderer_.PlaceChannel(slot);
      renderer_.Redraw();
    }
  });
  for (int i = 0; i < 100; ++i) {
    layoutDirty_ = 1;
    renderer_.Redraw();
    std::lock_guard<std::mutex> lock(renderer_.Lock());
    ASSERT_NE(renderer_.BackSurface(), nullptr);
  }
  stop = true;
  connection.join();
  EXPECT_GT(presenter_.presents, 100);
}

}  // namespace
}  // namespace zarvion
