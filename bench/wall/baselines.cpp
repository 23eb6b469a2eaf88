#include "baselines.h"

#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "platform/avi_file.h"
#include "platform/avi_layout.h"
#include "process.h"
#include "video/frame_ring.h"

namespace zarvion::wallbench {

namespace fs = std::filesystem;

std::vector<std::vector<uint8_t>> ReadAviFrames(const fs::path& file) {
  std::ifstream f(file, std::ios::binary);
  std::vector<uint8_t> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::vector<std::vector<uint8_t>> frames;
  auto le32 = [&](size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
  };
  size_t movi = std::string::npos;
  for (size_t i = 12; i + 12 <= b.size(); ++i) {
    if (std::memcmp(&b[i], "LIST", 4) == 0 && std::memcmp(&b[i + 8], "movi", 4) == 0) {
      movi = i;
      break;
    }
  }
  if (movi == std::string::npos) return frames;
  const size_t end = std::min(b.size(), movi + 8 + le32(movi + 4));
  for (size_t at = movi + 12; at + 8 <= end;) {
    const uint32_t size = le32(at + 4);
    if (at + 8 + size > end) break;
    if (b[at + 2] == 'd' && (b[at + 3] == 'c' || b[at + 3] == 'b') && size > 0) {
      frames.emplace_back(b.begin() + at + 8, b.begin() + at + 8 + size);
    }
    at += 8 + size + (size & 1);
  }
  return frames;
}

namespace {

// One bare one-thread decoder per channel, as the viewer opens them.
class BareDecoders {
 public:
  explicit BareDecoders(size_t count) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MSMPEG4V3);
    for (size_t c = 0; c < count; ++c) {
      AVCodecContext* ctx = avcodec_alloc_context3(codec);
      ctx->width = 352;
      ctx->height = 288;
      ctx->thread_count = 1;
      if (avcodec_open2(ctx, codec, nullptr) < 0) avcodec_free_context(&ctx);
      ctxs_.push_back(ctx);
    }
  }
  ~BareDecoders() {
    for (AVCodecContext*& ctx : ctxs_) avcodec_free_context(&ctx);
    pkt_->data = nullptr;
    av_packet_free(&pkt_);
    av_frame_free(&frame_);
  }
  BareDecoders(const BareDecoders&) = delete;
  BareDecoders& operator=(const BareDecoders&) = delete;

  bool Opened(size_t c) const { return ctxs_[c] != nullptr; }
  // Decodes one packet on decoder `c`; the frames it gave.
  size_t Decode(size_t c, const std::vector<uint8_t>& data) {
    padded_.assign(data.begin(), data.end());
    padded_.resize(data.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    pkt_->data = padded_.data();
    pkt_->size = static_cast<int>(data.size());
    if (!ctxs_[c] || avcodec_send_packet(ctxs_[c], pkt_) < 0) return 0;
    size_t n = 0;
    while (avcodec_receive_frame(ctxs_[c], frame_) == 0) {
      ++n;
      av_frame_unref(frame_);
    }
    return n;
  }

 private:
  std::vector<AVCodecContext*> ctxs_;
  AVPacket* pkt_ = av_packet_alloc();
  AVFrame* frame_ = av_frame_alloc();
  std::vector<uint8_t> padded_;
};

// Heap in use, the allocator's own mappings included.
size_t InUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

}  // namespace

double FloorUs(const std::vector<fs::path>& files, bool interleaved, size_t budget,
               std::chrono::microseconds pace) {
  std::vector<std::vector<std::vector<uint8_t>>> channels;
  size_t frames = 0, longest = 0;
  for (const auto& f : files) {
    channels.push_back(ReadAviFrames(f));
    frames += channels.back().size();
    longest = std::max(longest, channels.back().size());
  }
  if (frames == 0) return 0;
  size_t decoded = 0;
  auto slot = std::chrono::steady_clock::now();
  rusage u0{}, u1{};
  getrusage(RUSAGE_THREAD, &u0);
  const int rounds = std::max(1, static_cast<int>(budget / frames));
  // Paced, only the first `budget` frames are decoded (it takes real time).
  size_t left = pace.count() > 0 ? budget : SIZE_MAX;
  for (int round = 0; round < rounds; ++round) {
    BareDecoders decoders(channels.size());
    auto decode = [&](size_t c, const std::vector<uint8_t>& data) {
      if (!decoders.Opened(c) || left == 0) return;
      --left;
      if (pace.count() > 0) {
        slot += pace;
        std::this_thread::sleep_until(slot);
      }
      decoded += decoders.Decode(c, data);
    };
    if (interleaved) {
      for (size_t i = 0; i < longest; ++i) {
        for (size_t c = 0; c < channels.size(); ++c) {
          if (i < channels[c].size()) decode(c, channels[c][i]);
        }
      }
    } else {
      for (size_t c = 0; c < channels.size(); ++c) {
        for (const auto& data : channels[c]) decode(c, data);
      }
    }
  }
  getrusage(RUSAGE_THREAD, &u1);
  const double us = (u1.ru_utime.tv_sec - u0.ru_utime.tv_sec) * 1e6 +
                    (u1.ru_utime.tv_usec - u0.ru_utime.tv_usec) +
                    (u1.ru_stime.tv_sec - u0.ru_stime.tv_sec) * 1e6 +
                    (u1.ru_stime.tv_usec - u0.ru_stime.tv_usec);
  return decoded ? us / static_cast<double>(decoded) : 0;
}

double DecodersMb(const std::vector<fs::path>& files) {
  std::vector<std::vector<std::vector<uint8_t>>> channels;
  for (const auto& f : files) channels.push_back(ReadAviFrames(f));
  const size_t before = InUse();
  BareDecoders decoders(channels.size());
  // Two seconds of each: the decoders then hold their reference pictures
  // and tables, as the viewer's do.
  for (size_t c = 0; c < channels.size(); ++c) {
    for (size_t i = 0; i < channels[c].size() && i < 50; ++i) decoders.Decode(c, channels[c][i]);
  }
  const size_t after = InUse();
  return after > before ? static_cast<double>(after - before) / (1 << 20) : 0;
}

double PreRollMb(const std::vector<fs::path>& files, size_t bytes,
                 std::chrono::milliseconds preRoll, double seconds) {
  const auto frameTime = std::chrono::milliseconds(1000 / 25);
  const auto pushes = static_cast<size_t>(seconds * 25);
  size_t taken = 0;
  for (const auto& f : files) {
    const std::vector<std::vector<uint8_t>> frames = ReadAviFrames(f);
    if (frames.empty()) continue;
    FrameRing ring(bytes, preRoll);
    auto t = FrameRing::Clock::time_point{};
    for (size_t i = 0; i < pushes; ++i, t += frameTime) {
      const std::vector<uint8_t>& data = frames[i % frames.size()];
      const uint16_t flags = avi::IsIntraFrame(data[0]) ? kAviIfKeyFrame : 0;
      ring.Push(data.data(), static_cast<uint32_t>(data.size()), flags, t);
    }
    taken += ring.Taken();
  }
  return static_cast<double>(taken) / (1 << 20);
}

namespace {

// Runs ffmpeg with -benchmark; CPU microseconds per input frame.
double FfmpegUs(const std::vector<std::string>& middle, size_t inputFrames) {
  std::vector<std::string> argv = {"ffmpeg", "-hide_banner", "-nostdin",  "-loglevel",
                                   "info",   "-nostats",     "-benchmark"};
  argv.insert(argv.end(), middle.begin(), middle.end());
  argv.insert(argv.end(), {"-f", "null", "-"});
  // -benchmark reports on the log at the info level, on standard error.
  const std::string shell = [&] {
    std::string s = "exec";
    for (const auto& a : argv) s += " '" + a + "'";
    return s + " 2>&1";
  }();
  Child c = Spawn({"sh", "-c", shell}, {}, false, true, false);
  if (c.pid <= 0 || inputFrames == 0) return 0;
  double utime = 0, stime = 0;
  for (std::string line; !(line = ReadLine(c.out)).empty() || !feof(c.out);) {
    // bench: utime=1.234s stime=0.012s rtime=1.300s
    const size_t u = line.find("utime=");
    const size_t s = line.find("stime=");
    if (u != std::string::npos && s != std::string::npos) {
      utime = std::atof(line.c_str() + u + 6);
      stime = std::atof(line.c_str() + s + 6);
    }
  }
  int status = 0;
  waitpid(c.pid, &status, 0);
  fclose(c.out);
  return (utime + stime) * 1e6 / static_cast<double>(inputFrames);
}

// Each input is played this many times over, through the concat demuxer
// (our recordings are read straight through, without seeking).
constexpr int kLoops = 2;

std::string Flags(Sampling s) {
  return s == Sampling::kNeighbour ? ":flags=neighbor" : ":flags=bicubic";
}

fs::path Looped(const fs::path& file, int times) {
  const fs::path list = file.string() + "." + std::to_string(times) + ".txt";
  std::ofstream out(list);
  for (int i = 0; i < times; ++i) out << "file '" << file.string() << "'\n";
  return list;
}

}  // namespace

double MosaicUs(const std::vector<fs::path>& files, size_t frames, Sampling s) {
  std::vector<std::string> mid = {
      "-threads", "1", "-filter_threads", "1", "-filter_complex_threads", "1"};
  for (const auto& f : files) {
    mid.insert(mid.end(),
               {"-threads", "1", "-f", "concat", "-safe", "0", "-i", Looped(f, kLoops).string()});
  }
  std::string graph, layout;
  for (size_t i = 0; i < files.size(); ++i) {
    graph += "[" + std::to_string(i) + ":v]scale=480:265" + Flags(s) + ",format=bgra[v" +
             std::to_string(i) + "];";
  }
  for (size_t i = 0; i < files.size(); ++i) graph += "[v" + std::to_string(i) + "]";
  for (size_t i = 0; i < files.size(); ++i) {
    const size_t r = i / 4, c = i % 4;
    if (i) layout += "|";
    layout += std::to_string(c * 480) + "_" + std::to_string(r * 265);
  }
  graph += "xstack=inputs=" + std::to_string(files.size()) + ":layout=" + layout;
  mid.insert(mid.end(), {"-filter_complex", graph});
  return FfmpegUs(mid, frames * kLoops);
}

double SingleUs(const fs::path& file, size_t frames, Sampling s) {
  return FfmpegUs(
      {"-threads", "1", "-filter_threads", "1", "-f", "concat", "-safe", "0", "-i",
       Looped(file, kLoops * 4).string(), "-vf", "scale=1920:1060" + Flags(s) + ",format=bgra"},
      frames * kLoops * 4);
}

}  // namespace zarvion::wallbench
