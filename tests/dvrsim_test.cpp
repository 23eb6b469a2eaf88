// The simulated recorder, checked from the outside: a raw protocol client on
// loopback, libavcodec's own decoder for the frames, and the executable run
// as a child process.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include "dvrsim/dvrsim.h"
#include "dvrsim/pictures.h"
#include "net/protocol.h"

namespace zarvion::dvrsim {
namespace {

using Clock = std::chrono::steady_clock;

struct Msg {
  MessageHeader h;
  std::vector<uint8_t> payload;
};

// A blocking client that reads the server's messages as the protocol
// defines their payloads.
class RawClient {
 public:
  explicit RawClient(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~RawClient() { close(fd_); }
  bool Connected() const { return connected_; }

  void Send(const MessageHeader& h, const std::vector<uint8_t>& payload = {}) {
    std::vector<uint8_t> m(kHeaderSize);
    h.EncodeTo(m.data());
    m.insert(m.end(), payload.begin(), payload.end());
    ASSERT_EQ(send(fd_, m.data(), m.size(), MSG_NOSIGNAL), static_cast<ssize_t>(m.size()));
  }
  void Login(const std::string& text = "") {
    std::vector<uint8_t> p(kLoginPayloadSize, 0);
    std::memcpy(p.data(), text.data(), std::min(text.size(), p.size()));
    Send(ComposeLogin(), p);
  }

  // Reads exactly n bytes; false on close or when no byte came for
  // timeoutMs. The wait is for the next byte, not for all of them: a server
  // that trickles a frame byte by byte on a loaded machine takes as long as
  // it takes, and is in step as long as the bytes keep coming.
  bool Read(uint8_t* p, size_t n, int timeoutMs = 5000) {
    size_t done = 0;
    while (done < n) {
      pollfd pf{fd_, POLLIN, 0};
      if (poll(&pf, 1, timeoutMs) <= 0) return false;
      const ssize_t got = recv(fd_, p + done, n - done, 0);
      if (got <= 0) return false;
      if (static_cast<size_t>(got) < n - done) ++shortReads_;
      done += static_cast<size_t>(got);
    }
    return true;
  }
  std::optional<Msg> Next(int timeoutMs = 5000) {
    uint8_t raw[kHeaderSize];
    if (!Read(raw, sizeof raw, timeoutMs)) return std::nullopt;
    Msg m{MessageHeader::Decode(raw), {}};
    size_t size = 0;
    switch (m.h.code) {
      case kVideoFrame:
      case kServerNotice:
        size = m.h.length;
        break;
      case kFileList:
        size = size_t{m.h.length} * kFileRecordSize;
        break;
      case kVideoParamTable:
        size = (m.h.length & 0xFF) * kVideoParamRecordSize;
        break;
    }
    m.payload.resize(size);
    if (size && !Read(m.payload.data(), size, timeoutMs)) return std::nullopt;
    return m;
  }
  // The next message of the given code, skipping others (live frames).
  std::optional<Msg> NextOf(uint8_t code, int timeoutMs = 5000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
      auto m = Next(timeoutMs);
      if (!m) return std::nullopt;
      if (m->h.code == code) return m;
    }
    return std::nullopt;
  }
  // True when the server closes the connection within timeoutMs.
  bool ClosedWithin(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t sink[65536];
    while (Clock::now() < deadline) {
      pollfd pf{fd_, POLLIN, 0};
      if (poll(&pf, 1, 50) <= 0) continue;
      if (recv(fd_, sink, sizeof sink, 0) <= 0) return true;
    }
    return false;
  }
  // Login, SessionQuery, SessionInfo and, when offered, the picture settings.
  Msg StartSession(const std::string& login = "") {
    Login(login);
    Send(ComposeSessionQuery());
    auto info = Next();
    EXPECT_TRUE(info && info->h.code == kSessionInfo);
    if (info && (info->h.param4 & kFlagPictureSettings)) {
      Send(ComposeVideoParamQuery());
      auto table = Next();
      EXPECT_TRUE(table && table->h.code == kVideoParamTable);
    }
    return info.value_or(Msg{});
  }
  int ShortReads() const { return shortReads_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
  int shortReads_ = 0;
};

// libavcodec's MS MPEG-4 v3 decoder, giving RGB24 pictures.
class Decoder {
 public:
  Decoder() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MSMPEG4V3);
    ctx_ = avcodec_alloc_context3(codec);
    ctx_->width = 352;
    ctx_->height = 288;
    opened_ = avcodec_open2(ctx_, codec, nullptr) == 0;
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
  }
  ~Decoder() {
    sws_freeContext(sws_);
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&ctx_);
  }
  // Decodes one frame; returns its stamp, or nullopt if it did not decode
  // to a stamped 352 x 288 picture.
  std::optional<uint32_t> Decode(const std::vector<uint8_t>& bytes) {
    if (!opened_) return std::nullopt;
    packet_->data = const_cast<uint8_t*>(bytes.data());
    packet_->size = static_cast<int>(bytes.size());
    if (avcodec_send_packet(ctx_, packet_) < 0) return std::nullopt;
    if (avcodec_receive_frame(ctx_, frame_) < 0) return std::nullopt;
    if (frame_->width != 352 || frame_->height != 288) return std::nullopt;
    sws_ = sws_getCachedContext(sws_, 352, 288, static_cast<AVPixelFormat>(frame_->format), 352,
                                288, AV_PIX_FMT_RGB24, SWS_POINT, nullptr, nullptr, nullptr);
    std::vector<uint8_t>& rgb = rgb_;
    rgb.resize(352 * 288 * 3);
    uint8_t* dst[1] = {rgb.data()};
    const int stride[1] = {352 * 3};
    sws_scale(sws_, frame_->data, frame_->linesize, 0, 288, dst, stride);
    uint32_t stamp = 0;
    if (!ReadStamp(rgb.data(), 352, 288, 352 * 3, &stamp)) return std::nullopt;
    return stamp;
  }
  // The last picture Decode gave, packed RGB24.
  const std::vector<uint8_t>& Picture() const { return rgb_; }

 private:
  std::vector<uint8_t> rgb_;
  AVCodecContext* ctx_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  SwsContext* sws_ = nullptr;
  bool opened_ = false;
};

std::vector<uint8_t> RecordBytes(const std::string& location) {
  const FileRecord r = FileRecord::WithLocation(location);
  return {r.bytes.begin(), r.bytes.end()};
}

Options Small(int channels = 2) {
  Options o;
  o.channels = channels;
  return o;
}

struct Running {
  explicit Running(Options o) : server(std::move(o)) { started = server.Start(); }
  Server server;
  bool started;
};

TEST(DvrsimSession, InfoAndParamTableFollowChannelsAndFlags) {
  for (int channels : {0, 5}) {
    for (uint16_t flags = 0; flags < 4; ++flags) {
      SCOPED_TRACE(testing::Message() << channels << " channels, flags " << flags);
      Options o = Small(channels);
      o.flags = flags;
      Running r(o);
      ASSERT_TRUE(r.started) << r.server.Error();
      RawClient c(r.server.Port());
      c.Login();
      c.Send(ComposeSessionQuery());
      auto info = c.Next();
      ASSERT_TRUE(info);
      EXPECT_EQ(info->h.code, kSessionInfo);
      EXPECT_EQ(info->h.channel, channels);
      EXPECT_EQ(info->h.param4, flags);
      EXPECT_TRUE(info->h.ChecksumValid());
      if (flags & kFlagPictureSettings) {
        c.Send(ComposeVideoParamQuery());
        auto table = c.Next();
        ASSERT_TRUE(table);
        ASSERT_EQ(table->h.code, kVideoParamTable);
        ASSERT_EQ(table->h.length, static_cast<uint32_t>(channels));
        std::set<std::vector<uint8_t>> distinct;
        for (int j = 0; j < channels; ++j) {
          distinct.emplace(table->payload.begin() + 4 * j, table->payload.begin() + 4 * j + 4);
        }
        EXPECT_EQ(distinct.size(), static_cast<size_t>(channels));
      }
      if (channels > 0) {
        // Live video follows the session start and nothing comes before it.
        auto next = c.Next();
        ASSERT_TRUE(next);
        EXPECT_EQ(next->h.code, kVideoFrame);
      }
    }
  }
}

TEST(DvrsimLive, EveryChannelDecodesWithKeyFramesEveryGop) {
  Options o;
  o.gop = 10;
  Running r(o);
  ASSERT_TRUE(r.started) << r.server.Error();
  RawClient c(r.server.Port());
  EXPECT_EQ(c.StartSession().h.channel, 16);
  std::map<int, Decoder> decoders;
  std::map<int, std::vector<uint32_t>> frames;
  while (true) {
    bool all = true;
    for (int ch = 0; ch < 16; ++ch) all = all && frames[ch].size() >= 12;
    if (all) break;
    auto m = c.NextOf(kVideoFrame);
    ASSERT_TRUE(m);
    ASSERT_LT(m->h.channel, 16);
    ASSERT_LE(m->h.length, kFrameBufferSize);
    auto stamp = decoders[m->h.channel].Decode(m->payload);
    ASSERT_TRUE(stamp) << "channel " << int{m->h.channel};
    const uint32_t frame = *stamp & 0xFFF;
    EXPECT_EQ(*stamp >> 12, m->h.channel);
    EXPECT_EQ(m->h.param0, frame % 10 == 0 ? kKeyFrameFlag : 0) << "frame " << frame;
    frames[m->h.channel].push_back(frame);
  }
  for (auto& [ch, list] : frames) {
    EXPECT_EQ(list[0], 0u) << "channel " << ch << " must start with its first key frame";
    for (size_t i = 1; i < list.size(); ++i) EXPECT_EQ(list[i], list[i - 1] + 1);
  }
}

TEST(DvrsimLive, MaskSelectsChannelsAndANewChannelStartsWithAKeyFrame) {
  Options o = Small(8);
  o.gop = 25;
  Running r(o);
  ASSERT_TRUE(r.started);
  RawClient c(r.server.Port());
  c.StartSession();
  // Let the loops move off their first key frame.
  for (int i = 0; i < 8 * 5; ++i) ASSERT_TRUE(c.NextOf(kVideoFrame));
  c.Send(ComposeSelectChannels(0x0002));
  ASSERT_TRUE(r.server.WaitFor(
      [](const LoggedMessage& m) { return m.header.code == kSelectChannels; }, 2000));
  // Frames in flight drain; then only channel index 1 arrives.
  int onlyOne = 0;
  while (onlyOne < 10) {
    auto m = c.NextOf(kVideoFrame);
    ASSERT_TRUE(m);
    onlyOne = m->h.channel == 1 ? onlyOne + 1 : 0;
  }
  for (int i = 0; i < 5; ++i) {
    auto m = c.NextOf(kVideoFrame);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->h.channel, 1);
  }
  c.Send(ComposeSelectChannels(0x0022));
  Decoder d;
  std::optional<Msg> first;
  while (!first) {
    auto m = c.NextOf(kVideoFrame);
    ASSERT_TRUE(m);
    ASSERT_TRUE(m->h.channel == 1 || m->h.channel == 5);
    if (m->h.channel == 5) first = m;
  }
  EXPECT_EQ(first->h.param0, kKeyFrameFlag);
  EXPECT_TRUE(d.Decode(first->payload));
}

// A session's live pictures as luma planes, channel by channel, each
// channel's decoder kept in step while another is waited for.
class LumaWatcher {
 public:
  using Luma = std::vector<uint8_t>;
  explicit LumaWatcher(uint16_t port) : client_(port) { client_.StartSession(); }

  Luma Next(int channel) {
    while (queued_[channel].empty()) {
      auto m = client_.NextOf(kVideoFrame);
      if (!m) return {};
      Decoder& d = decoders_[m->h.channel];
      if (!d.Decode(m->payload)) return {};
      Luma y(352 * 288);
      const uint8_t* p = d.Picture().data();
      for (size_t i = 0; i < y.size(); ++i, p += 3)
        y[i] = (p[0] * 77 + p[1] * 150 + p[2] * 29) >> 8;
      queued_[m->h.channel].push_back(std::move(y));
    }
    Luma y = std::move(queued_[channel].front());
    queued_[channel].pop_front();
    return y;
  }

 private:
  RawClient client_;
  std::map<int, Decoder> decoders_;
  std::map<int, std::deque<Luma>> queued_;
};

// Mean absolute difference of 16 x 16 blocks of the picture above the
// frame counter (rows 0..223), row by row.
constexpr int kBlockColumns = 22, kBlockRows = 14;
std::vector<double> BlockDiffs(const LumaWatcher::Luma& a, const LumaWatcher::Luma& b,
                               bool signedDiff = false) {
  std::vector<double> d(kBlockColumns * kBlockRows, 0.0);
  if (a.size() != b.size() || a.empty()) return {};
  for (int y = 0; y < kBlockRows * 16; ++y) {
    for (int x = 0; x < 352; ++x) {
      const int v = b[y * 352 + x] - a[y * 352 + x];
      d[(y / 16) * kBlockColumns + x / 16] += (signedDiff ? v : std::abs(v)) / 256.0;
    }
  }
  return d;
}

double Mean(const std::vector<double>& v) {
  double sum = 0;
  for (double x : v) sum += x;
  return v.empty() ? 0 : sum / static_cast<double>(v.size());
}

TEST(DvrsimScenes, AnObjectCrossesOnlyTheCommandedChannel) {
  Running r(Small(2));
  ASSERT_TRUE(r.started) << r.server.Error();
  LumaWatcher w(r.server.Port());
  for (int i = 0; i < 5; ++i) ASSERT_FALSE(w.Next(0).empty() || w.Next(1).empty());
  const auto still0 = w.Next(0), still1 = w.Next(1);
  ASSERT_TRUE(r.server.Command("motion 2 1"));
  EXPECT_FALSE(r.server.Command("motion 3 1"));  // no such channel
  std::vector<int> lefts;
  int strayBlocks = 0, otherChannel = 0;
  for (int i = 0; i < 40; ++i) {
    const auto d0 = BlockDiffs(still0, w.Next(0)), d1 = BlockDiffs(still1, w.Next(1));
    ASSERT_FALSE(d0.empty() || d1.empty());
    int left = -1;
    for (int b = 0; b < kBlockColumns * kBlockRows; ++b) {
      if (d0[b] > 25) ++otherChannel;
      if (d1[b] <= 25) continue;
      // The object's band is rows 150..221: block rows 9 to 13.
      if (b / kBlockColumns < 9) ++strayBlocks;
      if (left < 0 || b % kBlockColumns < left) left = b % kBlockColumns;
    }
    if (left >= 0) lefts.push_back(left);
  }
  EXPECT_EQ(otherChannel, 0);
  EXPECT_EQ(strayBlocks, 0);
  ASSERT_GE(lefts.size(), 15u);
  for (size_t i = 1; i < lefts.size(); ++i) EXPECT_GE(lefts[i], lefts[i - 1]);
  EXPECT_GE(lefts.back() - lefts.front(), 15);
  // Once across, the channel is still again.
  const auto after = BlockDiffs(still1, w.Next(1));
  ASSERT_FALSE(after.empty());
  EXPECT_LT(*std::max_element(after.begin(), after.end()), 25);
}

TEST(DvrsimScenes, LightAtOnceNoiseEverywhereAndAClockInEveryFrame) {
  Running r(Small(2));
  ASSERT_TRUE(r.started) << r.server.Error();
  LumaWatcher w(r.server.Port());
  // The counter under the picture (rows 234..261, columns 24..163) changes
  // in every frame, from the loop and from the live stream alike.
  auto clockTicks = [](const LumaWatcher::Luma& a, const LumaWatcher::Luma& b) {
    int changed = 0;
    for (int y = 234; y < 262; ++y) {
      for (int x = 24; x < 164; ++x) changed += std::abs(a[y * 352 + x] - b[y * 352 + x]) > 60;
    }
    return changed >= 20;
  };
  auto prev = w.Next(1);
  for (int i = 0; i < 30; ++i) {
    auto next = w.Next(1);
    ASSERT_FALSE(next.empty());
    EXPECT_TRUE(clockTicks(prev, next)) << "loop frame " << i;
    prev = std::move(next);
  }

  EXPECT_FALSE(r.server.Command("light 2 dim"));
  EXPECT_FALSE(r.server.Command("noise 2 31"));
  ASSERT_TRUE(r.server.Command("light 2"));
  const auto dark = prev;
  double shift = 0;
  for (int i = 0; i < 25 && shift < 5; ++i) {
    prev = w.Next(1);
    shift = Mean(BlockDiffs(dark, prev, true));
  }
  EXPECT_GT(shift, 30) << "the first brighter picture is already fully lit";
  const auto lit = BlockDiffs(dark, prev, true);
  EXPECT_GT(std::count_if(lit.begin(), lit.end(), [](double d) { return d > 20; }),
            static_cast<long>(lit.size() * 8 / 10));
  for (int i = 0; i < 30; ++i) {
    auto next = w.Next(1);
    ASSERT_FALSE(next.empty());
    EXPECT_TRUE(clockTicks(prev, next)) << "live frame " << i;
    prev = std::move(next);
  }
  ASSERT_TRUE(r.server.Command("light 2"));

  // Frame-to-frame differences of each block, averaged over 20 frames.
  auto flicker = [&](int channel) {
    std::vector<double> sum(kBlockColumns * kBlockRows, 0.0);
    auto last = w.Next(channel);
    for (int i = 0; i < 20; ++i) {
      auto next = w.Next(channel);
      const auto d = BlockDiffs(last, next);
      if (d.empty()) return std::vector<double>{};
      for (size_t b = 0; b < d.size(); ++b) sum[b] += d[b] / 20;
      last = std::move(next);
    }
    return sum;
  };
  for (int i = 0; i < 30; ++i) w.Next(1);  // back on the loop
  const auto quiet = flicker(1), quietOther = flicker(0);
  ASSERT_TRUE(r.server.Command("noise 2 20"));
  for (int i = 0; i < 5; ++i) w.Next(1);
  const auto noisy = flicker(1), noisyOther = flicker(0);
  ASSERT_FALSE(quiet.empty() || noisy.empty() || noisyOther.empty());
  const double quietMax = *std::max_element(quiet.begin(), quiet.end());
  EXPECT_GT(std::count_if(noisy.begin(), noisy.end(), [&](double d) { return d > quietMax; }),
            static_cast<long>(noisy.size() * 9 / 10));
  EXPECT_GT(Mean(noisy), 2 * Mean(quiet));
  EXPECT_LT(Mean(noisyOther), 1.5 * Mean(quietOther));
}

TEST(DvrsimPlayback, ListsRecordingsAndPlaysTheirPictures) {
  Options o = Small(4);
  o.recordings = 5;
  o.steps = 73728;
  Running r(o);
  ASSERT_TRUE(r.started);
  RawClient c(r.server.Port());
  c.StartSession();
  c.Send(ComposeSelectChannels(0));
  c.Send(ComposeFileListRequest());
  auto list = c.NextOf(kFileList);
  ASSERT_TRUE(list);
  ASSERT_EQ(list->h.length, 5u);
  const auto locations = r.server.RecordingLocations();
  ASSERT_EQ(locations.size(), 5u);
  std::set<std::string> distinctChannels;
  for (size_t i = 0; i < 5; ++i) {
    FileRecord rec;
    std::copy_n(list->payload.begin() + i * kFileRecordSize, kFileRecordSize, rec.bytes.begin());
    const std::string loc(rec.Location());
    EXPECT_EQ(loc, locations[i]);
    // CHcc_YYYY_MM_DD_hh_mm_ss: the positions the client cuts apart.
    ASSERT_EQ(loc.size(), 28u) << loc;
    EXPECT_EQ(loc.substr(0, 2), "CH");
    for (size_t p : {2, 3, 5, 6, 7, 8, 10, 11, 13, 14, 16, 17, 19, 20, 22, 23})
      EXPECT_TRUE(isdigit(static_cast<unsigned char>(loc[p]))) << loc << " at " << p;
    distinctChannels.insert(loc.substr(2, 2));
  }
  EXPECT_GT(distinctChannels.size(), 1u);

  // An unknown location starts nothing.
  c.Send(ComposePlayFileRequest(), RecordBytes("CH99_x.avi"));
  c.Send(ComposePlaybackStep(0));
  c.Send(ComposePlayFileRequest(), RecordBytes(locations[2]));
  auto info = c.Next();
  ASSERT_TRUE(info);
  ASSERT_EQ(info->h.code, kPlaybackInfo) << "no reply to the unknown location";
  EXPECT_EQ(info->h.param3, 0x2000);
  EXPECT_EQ(info->h.param4, 0x0001);

  Decoder d;
  auto step = [&](uint32_t k, bool key) {
    SCOPED_TRACE(testing::Message() << "step " << k);
    c.Send(ComposePlaybackStep(k));
    auto m = c.Next();
    ASSERT_TRUE(m);
    ASSERT_EQ(m->h.code, kVideoFrame);
    EXPECT_EQ(m->h.channel, 0);
    EXPECT_EQ(m->h.param0, key ? kKeyFrameFlag : 0);
    EXPECT_EQ(d.Decode(m->payload), std::optional<uint32_t>(k));
  };
  step(0, true);
  step(1, false);
  step(2, false);
  step(70003, true);  // a jump restarts from a key frame
  step(70004, false);
  c.Send(ComposePlaybackStep(73728));  // past the end: nothing
  c.Send(ComposePlaybackStop());
  c.Send(ComposePlaybackStep(3));  // no playback: nothing
  ASSERT_TRUE(r.server.WaitFor(
      [](const LoggedMessage& m) {
        return m.header.code == kPlaybackStep && PlaybackStepNumber(m.header) == 3;
      },
      2000));
  r.server.Command("view grid 4");
  auto after = c.Next();
  ASSERT_TRUE(after);
  EXPECT_EQ(after->h.code, kSelectView);
}

TEST(DvrsimCommands, ViewsNoticesAndClose) {
  Running r(Small(0));
  ASSERT_TRUE(r.started);
  RawClient c(r.server.Port());
  c.StartSession();
  ASSERT_TRUE(r.server.WaitFor(
      [](const LoggedMessage& m) { return m.header.code == kVideoParamQuery; }, 2000));
  EXPECT_EQ(r.server.ConnectedClients(), 1);
  EXPECT_TRUE(r.server.Command("view single 5"));
  EXPECT_TRUE(r.server.Command("view grid 9"));
  EXPECT_TRUE(r.server.Command("notice 录像已开始"));
  EXPECT_TRUE(r.server.Command("notice " + std::string(2000, 'x')));
  EXPECT_FALSE(r.server.Command("view sideways 3"));
  EXPECT_FALSE(r.server.Command("dance"));

  auto single = c.Next(), grid = c.Next(), notice = c.Next(), longNotice = c.Next();
  ASSERT_TRUE(single && grid && notice && longNotice);
  EXPECT_EQ(single->h.code, kSelectView);
  EXPECT_EQ(single->h.param0, 1);
  EXPECT_EQ(single->h.channel, 5);
  EXPECT_EQ(grid->h.param0, 0);
  EXPECT_EQ(grid->h.channel, 9);
  ASSERT_EQ(notice->h.code, kServerNotice);
  const std::vector<uint8_t> gbk = {0xC2, 0xBC, 0xCF, 0xF1, 0xD2, 0xD1, 0xBF, 0xAA, 0xCA, 0xBC, 0};
  EXPECT_EQ(notice->payload, gbk);
  // Cut so that the text and its NUL fit the client's 1024 bytes.
  EXPECT_EQ(longNotice->h.length, kServerTextSize);
  EXPECT_EQ(longNotice->payload.back(), 0);

  EXPECT_TRUE(r.server.Command("close"));
  EXPECT_TRUE(c.ClosedWithin(2000));
  EXPECT_EQ(r.server.ConnectedClients(), 0);
}

TEST(DvrsimCommands, PictureSettingsUpdateTheTable) {
  Running r(Small(3));
  ASSERT_TRUE(r.started);
  {
    RawClient c(r.server.Port());
    c.StartSession();
    c.Send(ComposeVideoParamSet(0, 64, 68, 128, 0));
    c.Send(ComposeVideoParamSet(2, 10, 20, 30, 40));
    ASSERT_TRUE(r.server.WaitFor(
        [](const LoggedMessage& m) {
          return m.header.code == kVideoParamSet && m.header.channel == 2;
        },
        2000));
  }
  RawClient c(r.server.Port());
  c.Login();
  c.Send(ComposeSessionQuery());
  ASSERT_TRUE(c.Next());
  c.Send(ComposeVideoParamQuery());
  auto table = c.Next();
  ASSERT_TRUE(table);
  // brightness, hue, saturation, contrast
  const std::vector<uint8_t> expect = {128, 0, 64, 68, 30, 40, 10, 20, 128, 0, 64, 68};
  EXPECT_EQ(table->payload, expect);
}

TEST(DvrsimLogin, OnlyTheConfiguredParameterIsAccepted) {
  Options o = Small(1);
  o.login = "user=admin";
  Running r(o);
  ASSERT_TRUE(r.started);
  {
    RawClient wrong(r.server.Port());
    wrong.Login("user=guest");
    wrong.Send(ComposeSessionQuery());
    EXPECT_TRUE(wrong.ClosedWithin(2000));
  }
  RawClient right(r.server.Port());
  EXPECT_EQ(right.StartSession("user=admin").h.code, kSessionInfo);
}

TEST(DvrsimLog, EveryMessageIsRecordedWithItsChecksumValidity) {
  const std::string path = testing::TempDir() + "dvrsim_log_" + std::to_string(getpid()) + ".jsonl";
  Options o = Small(1);
  o.logFile = path;
  Running r(o);
  ASSERT_TRUE(r.started);
  {
    RawClient c(r.server.Port());
    c.StartSession("abc");
    MessageHeader bad = ComposeSelectChannels(1);
    bad.checksum += 1;
    c.Send(bad);
    c.Send(ComposeHeader(77));
    c.Send(ComposePlayFileRequest(), std::vector<uint8_t>(kFileRecordSize, 0));
    ASSERT_TRUE(r.server.WaitFor(
        [](const LoggedMessage& m) { return m.header.code == kPlayFileRequest; }, 2000));
  }
  RawClient second(r.server.Port());
  second.Send(ComposeSessionQuery());
  ASSERT_TRUE(r.server.WaitFor([](const LoggedMessage& m) { return m.client == 2; }, 2000));

  const auto log = r.server.Messages();
  ASSERT_EQ(log.size(), 7u);
  const uint8_t codes[] = {kLogin, kSessionQuery,    kVideoParamQuery, kSelectChannels,
                           77,     kPlayFileRequest, kSessionQuery};
  for (size_t i = 0; i < log.size(); ++i) {
    EXPECT_EQ(log[i].header.code, codes[i]);
    EXPECT_EQ(log[i].checksumValid, i != 3) << i;
    EXPECT_EQ(log[i].client, i < 6 ? 1 : 2);
  }
  ASSERT_EQ(log[0].payload.size(), kLoginPayloadSize);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(log[0].payload.data()), 3), "abc");
  EXPECT_EQ(log[5].payload.size(), kFileRecordSize);

  r.server.Stop();
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_NE(lines[0].find("\"code\":11"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("\"payload\":\"616263"), std::string::npos) << lines[0];
  EXPECT_NE(lines[3].find("\"checksumValid\":false"), std::string::npos) << lines[3];
  EXPECT_NE(lines[6].find("\"client\":2"), std::string::npos) << lines[6];
}

TEST(DvrsimClients, TwoClientsHaveTheirOwnSessionsAndMasks) {
  Running r(Small(4));
  ASSERT_TRUE(r.started);
  RawClient a(r.server.Port()), b(r.server.Port());
  a.StartSession();
  b.StartSession();
  a.Send(ComposeSelectChannels(0x1));
  b.Send(ComposeSelectChannels(0x8));
  ASSERT_TRUE(r.server.WaitFor(
      [](const LoggedMessage& m) { return m.client == 2 && m.header.code == kSelectChannels; },
      2000));
  EXPECT_EQ(r.server.ConnectedClients(), 2);
  auto settle = [](RawClient& c, uint8_t channel) {
    int run = 0;
    for (int i = 0; i < 200 && run < 8; ++i) {
      auto m = c.NextOf(kVideoFrame);
      if (!m) return false;
      run = m->h.channel == channel ? run + 1 : 0;
    }
    return run == 8;
  };
  EXPECT_TRUE(settle(a, 0));
  EXPECT_TRUE(settle(b, 3));
  for (auto& log : r.server.Messages()) EXPECT_TRUE(log.client == 1 || log.client == 2);
}

// Each fault, seen from a client that follows the protocol.
class DvrsimFault : public testing::Test {
 protected:
  void Start(const char* fault) {
    Options o = Small(2);
    o.faults = {fault};
    server_ = std::make_unique<Running>(o);
    ASSERT_TRUE(server_->started);
    client_ = std::make_unique<RawClient>(server_->server.Port());
  }
  // Asserts that a decodable live frame follows: the stream is in step.
  void ExpectLiveFrame() {
    auto m = client_->Next();
    ASSERT_TRUE(m);
    ASSERT_EQ(m->h.code, kVideoFrame);
    ASSERT_TRUE(m->h.ChecksumValid());
    EXPECT_TRUE(Decoder().Decode(m->payload));
  }
  std::unique_ptr<Running> server_;
  std::unique_ptr<RawClient> client_;
};

TEST_F(DvrsimFault, OversizeFrame) {
  Start("oversize-frame");
  client_->StartSession();
  auto m = client_->Next();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->h.code, kVideoFrame);
  EXPECT_GT(m->h.length, kFrameBufferSize);
  ExpectLiveFrame();
}

TEST_F(DvrsimFault, ChannelOutOfRange) {
  Start("channel-out-of-range");
  client_->StartSession();
  auto m = client_->Next();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->h.channel, 20);
  ExpectLiveFrame();
}

TEST_F(DvrsimFault, LongNoticeWithoutNul) {
  Start("long-notice");
  client_->StartSession();
  auto m = client_->Next();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->h.code, kServerNotice);
  EXPECT_EQ(m->payload.size(), 3000u);
  EXPECT_EQ(std::count(m->payload.begin(), m->payload.end(), 0), 0);
  ExpectLiveFrame();
}

TEST_F(DvrsimFault, BigParamTable) {
  Start("big-param-table");
  client_->Login();
  client_->Send(ComposeSessionQuery());
  ASSERT_TRUE(client_->Next());
  client_->Send(ComposeVideoParamQuery());
  auto m = client_->Next();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->h.length, 40u);
  EXPECT_EQ(m->payload.size(), 160u);
  ExpectLiveFrame();
}

TEST_F(DvrsimFault, TruncatedFrame) {
  Start("truncated-frame");
  client_->StartSession();
  for (int i = 0; i < 100; ++i) {
    uint8_t raw[kHeaderSize];
    if (!client_->Read(raw, sizeof raw)) break;
    const MessageHeader h = MessageHeader::Decode(raw);
    ASSERT_EQ(h.code, kVideoFrame);
    std::vector<uint8_t> payload(h.length);
    if (!client_->Read(payload.data(), payload.size())) {
      SUCCEED();
      return;
    }
  }
  FAIL() << "no frame was cut short";
}

TEST_F(DvrsimFault, Trickle) {
  Start("trickle");
  client_->StartSession();
  ExpectLiveFrame();
  EXPECT_GT(client_->ShortReads(), 3);
}

TEST_F(DvrsimFault, WrongFirstReply) {
  Start("wrong-first-reply");
  client_->Login();
  client_->Send(ComposeSessionQuery());
  auto m = client_->Next();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->h.code, kFileList);
  EXPECT_EQ(m->h.length, 0u);
  ExpectLiveFrame();
}

TEST_F(DvrsimFault, UnknownCode) {
  Start("unknown-code");
  client_->StartSession();
  auto m = client_->Next();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->h.code, 5);
  EXPECT_EQ(m->h.length, 0u);
  ExpectLiveFrame();
}

TEST_F(DvrsimFault, CloseAfterLogin) {
  Start("close-after-login");
  client_->Login();
  client_->Send(ComposeSessionQuery());
  EXPECT_FALSE(client_->Next(2000));
  EXPECT_TRUE(client_->ClosedWithin(500));
}

TEST(DvrsimServer, StopEndsSessionsOfClientsThatDoNotRead) {
  Running r(Small(16));
  ASSERT_TRUE(r.started);
  RawClient c(r.server.Port());
  c.Login();
  c.Send(ComposeSessionQuery());
  c.Send(ComposeVideoParamQuery());
  // The client reads nothing, so the server's writer soon blocks on a full socket.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto before = Clock::now();
  r.server.Stop();
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(2)) << "Stop hung";
  EXPECT_TRUE(c.ClosedWithin(2000));
}

TEST(DvrsimServer, ScheduledNoticeArrivesAndTheDurationEndsTheServer) {
  Options o = Small(0);
  o.noticesAfter = {{0.3, "hello"}};
  o.durationSeconds = 1.0;
  Running r(o);
  ASSERT_TRUE(r.started);
  RawClient c(r.server.Port());
  c.StartSession();
  auto notice = c.NextOf(kServerNotice, 3000);
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->payload, (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', 0}));
  EXPECT_FALSE(r.server.Finished());
  EXPECT_TRUE(c.ClosedWithin(3000));
  EXPECT_TRUE(r.server.Finished());
}

TEST(DvrsimServer, RejectsBadOptions) {
  Options o;
  o.channels = 17;
  Server s(o);
  EXPECT_FALSE(s.Start());
  EXPECT_FALSE(s.Error().empty());

  std::string error;
  Options parsed;
  EXPECT_TRUE(ParseArguments(
      {"--port", "0", "--fault", "trickle", "--notice-after", "1.5", "你好", "--channels=4"},
      &parsed, &error))
      << error;
  EXPECT_EQ(parsed.channels, 4);
  EXPECT_EQ(parsed.faults, std::vector<std::string>{"trickle"});
  ASSERT_EQ(parsed.noticesAfter.size(), 1u);
  EXPECT_EQ(parsed.noticesAfter[0].second, "你好");
  for (std::vector<std::string> bad : {std::vector<std::string>{"--port", "65536"},
                                       {"--channels", "17"},
                                       {"--fault", "nonsense"},
                                       {"--gop"},
                                       {"--what"},
                                       {"--fps", "0"}}) {
    EXPECT_FALSE(ParseArguments(bad, &parsed, &error)) << bad[0];
  }
}

// Runs the executable with `args`; returns its exit status and its stdout
// and stderr (merged into err).
struct ProcessResult {
  int status = -1;
  std::string out, err;
};
ProcessResult Execute(const std::string& args, const std::string& input = "") {
  const std::string cmd = std::string(ZARVION_BIN_DIR) + "/zarvion-dvrsim " + args;
  // Test programs run side by side: each process, and each call, has its own files.
  static int calls = 0;
  const std::string stem =
      testing::TempDir() + "dvrsim_" + std::to_string(getpid()) + "_" + std::to_string(++calls);
  const std::string errFile = stem + "_stderr.txt";
  const std::string inFile = stem + "_stdin.txt";
  std::ofstream(inFile) << input;
  ProcessResult r;
  FILE* p = popen((cmd + " <" + inFile + " 2>" + errFile).c_str(), "r");
  if (!p) return r;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) r.out += buf;
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  std::ifstream e(errFile);
  r.err.assign(std::istreambuf_iterator<char>(e), {});
  std::remove(errFile.c_str());
  std::remove(inFile.c_str());
  return r;
}

TEST(DvrsimExecutable, BadCommandLinesGetOneLineAndStatusTwo) {
  for (const char* args : {"--channels 17", "--port 70000", "--frobnicate", "--fault nope"}) {
    const ProcessResult r = Execute(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << args << ": " << r.err;
    EXPECT_TRUE(r.out.empty());
  }
}

// Someone setting up a hostile-input run finds every fault by its name.
TEST(DvrsimExecutable, HelpNamesEveryFault) {
  const ProcessResult r = Execute("--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("--fault NAME"), std::string::npos) << r.out;
  for (const std::string& fault : KnownFaults()) {
    EXPECT_NE(r.out.find("\n  " + fault + " "), std::string::npos) << fault << "\n" << r.out;
  }
}

TEST(DvrsimExecutable, AnnouncesItsAddressAndStopsByItself) {
  const ProcessResult r = Execute("--channels 1 --duration 0.5", "view grid 4\nbogus\n");
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.out.rfind("listening on 127.0.0.1:", 0), 0u) << r.out;
  EXPECT_NE(r.err.find("bogus"), std::string::npos);
}

TEST(DvrsimExecutable, StopsCleanlyOnSigterm) {
  const std::string cmd = std::string(ZARVION_BIN_DIR) + "/zarvion-dvrsim";
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    execl(cmd.c_str(), cmd.c_str(), "--channels", "2", "--duration", "20",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  // Its first line comes once its signal handling is in place (a fixed
  // wait is too short for a slow build).
  char c = 0;
  while (read(out[0], &c, 1) == 1 && c != '\n') {
  }
  EXPECT_EQ(c, '\n') << "no first line";
  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  close(out[0]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace zarvion::dvrsim
