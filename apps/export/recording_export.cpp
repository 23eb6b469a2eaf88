#include "export/recording_export.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <random>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "export/recording_reader.h"
#include "export/time_stamp.h"
#include "platform/avi_file.h"
#include "platform/bitmap_info.h"
#include "platform/mp43_decompressor.h"

namespace zarvion::recordings {

namespace {

// The MP4's time base: fine enough that every usual rate's period and every
// millisecond of a file's start is a whole number of ticks.
constexpr int64_t kTicksPerSecond = 90000;

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

// The frames of one recording in file order, each with its index.
class FrameReader {
 public:
  ~FrameReader() { avformat_close_input(&fmt_); }
  bool Open(const std::string& path, std::string* error) {
    const int r = avformat_open_input(&fmt_, path.c_str(), nullptr, nullptr);
    if (r < 0) {
      *error = path + ": cannot read: " + AvError(r);
      return false;
    }
    for (unsigned i = 0; i < fmt_->nb_streams; ++i) {
      if (fmt_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        stream_ = static_cast<int>(i);
        break;
      }
    }
    if (stream_ < 0) {
      *error = path + ": not a video recording";
      return false;
    }
    path_ = path;
    return true;
  }
  // The next frame into `p` with its index: 1, 0 at the end, -1 on an error.
  int Next(AVPacket* p, uint64_t* index, std::string* error) {
    for (;;) {
      av_packet_unref(p);
      const int r = av_read_frame(fmt_, p);
      if (r == AVERROR_EOF) return 0;
      if (r < 0) {
        *error = path_ + ": cannot read a frame: " + AvError(r);
        return -1;
      }
      if (p->stream_index != stream_) continue;
      // The demuxer numbers the frames (an empty chunk takes its place in
      // time as well).
      const int64_t n = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
      *index = n != AV_NOPTS_VALUE && n >= 0 ? static_cast<uint64_t>(n) : counted_;
      counted_ = *index + 1;
      return 1;
    }
  }

 private:
  AVFormatContext* fmt_ = nullptr;
  int stream_ = -1;
  std::string path_;
  uint64_t counted_ = 0;
};

// A fresh temporary name beside `out`, created empty with the mode a new
// file gets (so no one else takes it). Empty when the folder takes none.
std::string MakeTemporary(const std::string& out) {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".part-%06x", random() & 0xFFFFFFu);
    const std::string name = out + suffix;
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      return name;
    }
    if (errno != EEXIST) return {};
  }
  return {};
}

// Where the frames go: the two kinds of output.
class Sink {
 public:
  virtual ~Sink() = default;
  // Called once before the first frame of each file.
  virtual bool BeginFile(const Recording& r, std::string* error) = 0;
  // One frame at `ticks` (in kTicksPerSecond); `shown` false for the frames
  // before the range that only lead up to it.
  virtual bool Frame(const AVPacket& p, bool key, int64_t ticks, WallMs time, bool shown,
                     std::string* error) = 0;
  virtual bool Finish(std::string* error) = 0;
  // Frames written so far.
  virtual uint64_t Written() const = 0;
};

// The original frames, from the first key frame on, into our AVI writer.
class AviSink : public Sink {
 public:
  AviSink(std::string temp, FrameRate rate, AviRateOrigin origin)
      : temp_(std::move(temp)), rate_(rate), origin_(origin) {}
  ~AviSink() override {
    if (file_) {
      file_->Discard();
      file_.reset();
    }
  }
  bool BeginFile(const Recording& r, std::string* error) override {
    if (!file_) {
      // The writer makes its file itself (never over an existing one).
      ::unlink(temp_.c_str());
      file_ = AviFile::Open(temp_, kOfCreate | kOfWrite);
      if (!file_) {
        *error = temp_ + ": cannot create: " + std::strerror(errno);
        return false;
      }
      AviStreamInfo info;
      info.fccType = kStreamTypeVideo;
      info.dwRate = rate_.rate;
      info.dwScale = rate_.scale;
      info.dwSuggestedBufferSize = static_cast<uint32_t>(r.width) * r.height * 4;
      info.rcFrame = AviRect{0, 0, r.width, r.height};
      stream_ = file_->CreateStream(info, origin_);
      format_ = MakeBitmapInfoHeader(r.width, r.height, 24, r.codecTag ? r.codecTag : kFourCCMp43,
                                     static_cast<uint32_t>(r.width) * r.height * 3);
      if (!stream_ || !stream_->SetFormat(0, format_, sizeof format_)) {
        *error = temp_ + ": cannot write the header";
        return false;
      }
    } else if (r.width != format_.biWidth || r.height != format_.biHeight) {
      *error = r.path + ": its pictures are not the size of the first file's";
      return false;
    }
    return true;
  }
  bool Frame(const AVPacket& p, bool key, int64_t, WallMs, bool, std::string* error) override {
    if (!started_ && !key) return true;
    started_ = true;
    if (!stream_->Write(stream_->Length(), 1, p.data, static_cast<uint32_t>(p.size),
                        key ? kAviIfKeyFrame : 0)) {
      *error = temp_ + ": cannot write a frame (disk full, or past the 4 GiB an AVI can hold)";
      return false;
    }
    ++written_;
    return true;
  }
  bool Finish(std::string* error) override {
    if (!file_) return true;
    const bool failed = file_->Failed();
    stream_ = nullptr;
    file_.reset();  // completes the header and index
    if (failed) *error = temp_ + ": cannot write the file";
    return !failed;
  }
  uint64_t Written() const override { return written_; }

 private:
  std::string temp_;
  FrameRate rate_;
  AviRateOrigin origin_;
  std::unique_ptr<AviFile> file_;
  AviStream* stream_ = nullptr;
  BitmapInfoHeader format_{};
  bool started_ = false;
  uint64_t written_ = 0;
};

// Decoded by our MP43 decompressor, encoded by libx264, muxed into MP4.
class Mp4Sink : public Sink {
 public:
  Mp4Sink(std::string temp, FrameRate rate, bool burnTime)
      : temp_(std::move(temp)), rate_(rate), burnTime_(burnTime) {}
  ~Mp4Sink() override {
    sws_freeContext(sws_);
    av_frame_free(&yuv_);
    av_packet_free(&packet_);
    avcodec_free_context(&enc_);
    if (mux_) {
      if (mux_->pb) avio_closep(&mux_->pb);
      avformat_free_context(mux_);
    }
  }

  bool BeginFile(const Recording& r, std::string* error) override {
    waitKey_ = true;
    if (!enc_) return Start(r, error);
    if (r.width != width_ || r.height != height_) {
      *error = r.path + ": its pictures are not the size of the first file's";
      return false;
    }
    return true;
  }

  bool Frame(const AVPacket& p, bool key, int64_t ticks, WallMs time, bool shown,
             std::string* error) override {
    // Each file is decoded from its first key frame; a frame that does not
    // decode leaves its moment to the picture before.
    if (waitKey_ && !key) return true;
    waitKey_ = false;
    if (p.size <= 0) return true;
    BitmapInfoHeader in = in_;
    in.biSizeImage = static_cast<uint32_t>(p.size);
    if (decoder_->Decompress(key ? kAviIfKeyFrame : 0, in, p.data, out_, bgrx_.data()) !=
        kIcErrOk) {
      return true;
    }
    if (!shown) return true;
    if (burnTime_) {
      DrawTimeStamp(bgrx_.data(), width_, height_, width_ * 4, FormatWallClock(time));
    }
    if (av_frame_make_writable(yuv_) < 0) {
      *error = "out of memory";
      return false;
    }
    const uint8_t* src[1] = {bgrx_.data()};
    const int srcStride[1] = {width_ * 4};
    sws_scale(sws_, src, srcStride, 0, height_, yuv_->data, yuv_->linesize);
    if (first_ < 0) first_ = ticks;
    int64_t pts = ticks - first_;
    if (pts <= lastPts_) pts = lastPts_ + 1;  // overlapping files: keep the order
    lastPts_ = pts;
    yuv_->pts = pts;
    return Encode(yuv_, error) && (++frames_, true);
  }

  bool Finish(std::string* error) override {
    if (!enc_) return true;
    if (!Encode(nullptr, error)) return false;
    const int r = av_write_trailer(mux_);
    if (r < 0) {
      *error = temp_ + ": cannot complete the file: " + AvError(r);
      return false;
    }
    const int c = avio_closep(&mux_->pb);
    if (c < 0) {
      *error = temp_ + ": cannot write the file: " + AvError(c);
      return false;
    }
    return true;
  }
  uint64_t Written() const override { return frames_; }

 private:
  bool Start(const Recording& r, std::string* error) {
    width_ = r.width;
    height_ = r.height;
    decoder_ = Mp43Decompressor::Open(kFourCCVidc, r.codecTag ? r.codecTag : kFourCCMp43);
    in_ = MakeBitmapInfoHeader(width_, height_, 24, r.codecTag ? r.codecTag : kFourCCMp43,
                               static_cast<uint32_t>(width_) * height_ * 3);
    out_ = MakeBitmapInfoHeader(width_, height_, 32, kBiRgb,
                                static_cast<uint32_t>(width_) * height_ * 4);
    if (!decoder_ || decoder_->Query(in_, out_) != kIcErrOk ||
        decoder_->Begin(in_, out_) != kIcErrOk) {
      *error = r.path + ": no decompressor for its frames";
      return false;
    }
    out_.biHeight = -height_;  // top row first
    bgrx_.assign(static_cast<size_t>(width_) * height_ * 4, 0);

    // 4:2:0 wants even sizes: an odd row or column is scaled away.
    const int w = width_ & ~1, h = height_ & ~1;
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) {
      *error = "this libavcodec has no H.264 encoder (libx264)";
      return false;
    }
    enc_ = avcodec_alloc_context3(codec);
    yuv_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!enc_ || !yuv_ || !packet_) {
      *error = "out of memory";
      return false;
    }
    enc_->width = w;
    enc_->height = h;
    enc_->pix_fmt = AV_PIX_FMT_YUV420P;
    enc_->time_base = AVRational{1, static_cast<int>(kTicksPerSecond)};
    enc_->framerate = AVRational{static_cast<int>(rate_.rate), static_cast<int>(rate_.scale)};
    enc_->sample_aspect_ratio = AVRational{1, 1};
    // A key frame every two seconds or so: a player seeks no further back.
    enc_->gop_size = std::max(1, static_cast<int>(2 * rate_.Fps() + 0.5));
    // The encoder's threads: a few, not every core of a server.
    enc_->thread_count = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u));

    int ret = avformat_alloc_output_context2(&mux_, nullptr, "mp4", temp_.c_str());
    if (ret < 0 || !mux_) {
      *error = "cannot set up the MP4 writer: " + AvError(ret);
      return false;
    }
    if (mux_->oformat->flags & AVFMT_GLOBALHEADER) enc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* encOptions = nullptr;
    av_dict_set(&encOptions, "preset", "veryfast", 0);
    av_dict_set(&encOptions, "crf", "20", 0);
    ret = avcodec_open2(enc_, codec, &encOptions);
    av_dict_free(&encOptions);
    if (ret < 0) {
      *error = "cannot open the H.264 encoder: " + AvError(ret);
      return false;
    }
    yuv_->format = AV_PIX_FMT_YUV420P;
    yuv_->width = w;
    yuv_->height = h;
    if (av_frame_get_buffer(yuv_, 0) < 0) {
      *error = "out of memory";
      return false;
    }
    sws_ = sws_getContext(width_, height_, AV_PIX_FMT_BGR0, w, h, AV_PIX_FMT_YUV420P, SWS_BILINEAR,
                          nullptr, nullptr, nullptr);
    if (!sws_) {
      *error = "cannot set up the picture conversion";
      return false;
    }
    // The pictures are ITU-R BT.601, limited range, as the encoder is told.
    enc_->colorspace = AVCOL_SPC_SMPTE170M;

    stream_ = avformat_new_stream(mux_, nullptr);
    if (!stream_ || avcodec_parameters_from_context(stream_->codecpar, enc_) < 0) {
      *error = "cannot set up the MP4 stream";
      return false;
    }
    stream_->time_base = enc_->time_base;
    stream_->avg_frame_rate = enc_->framerate;
    ret = avio_open(&mux_->pb, temp_.c_str(), AVIO_FLAG_WRITE);
    if (ret < 0) {
      *error = temp_ + ": cannot create: " + AvError(ret);
      return false;
    }
    AVDictionary* muxOptions = nullptr;
    // The index (moov) before the frames, so a player starts at once.
    av_dict_set(&muxOptions, "movflags", "+faststart", 0);
    ret = avformat_write_header(mux_, &muxOptions);
    av_dict_free(&muxOptions);
    if (ret < 0) {
      *error = temp_ + ": cannot write the MP4 header: " + AvError(ret);
      return false;
    }
    period_ = kTicksPerSecond * rate_.scale / rate_.rate;
    return true;
  }

  bool Encode(const AVFrame* frame, std::string* error) {
    int ret = avcodec_send_frame(enc_, frame);
    if (ret < 0) {
      *error = "the H.264 encoder failed: " + AvError(ret);
      return false;
    }
    for (;;) {
      ret = avcodec_receive_packet(enc_, packet_);
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return true;
      if (ret < 0) {
        *error = "the H.264 encoder failed: " + AvError(ret);
        return false;
      }
      if (packet_->duration <= 0) packet_->duration = period_;
      av_packet_rescale_ts(packet_, enc_->time_base, stream_->time_base);
      packet_->stream_index = stream_->index;
      ret = av_interleaved_write_frame(mux_, packet_);
      if (ret < 0) {
        *error = temp_ + ": cannot write: " + AvError(ret);
        return false;
      }
    }
  }

  std::string temp_;
  FrameRate rate_;
  bool burnTime_;
  int width_ = 0;
  int height_ = 0;
  std::unique_ptr<Mp43Decompressor> decoder_;
  BitmapInfoHeader in_{};
  BitmapInfoHeader out_{};
  std::vector<uint8_t> bgrx_;
  bool waitKey_ = true;
  SwsContext* sws_ = nullptr;
  AVCodecContext* enc_ = nullptr;
  AVFrame* yuv_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFormatContext* mux_ = nullptr;
  AVStream* stream_ = nullptr;
  int64_t period_ = 1;
  int64_t first_ = -1;
  int64_t lastPts_ = -1;
  uint64_t frames_ = 0;
};

// The moment of frame `i` of `r` in kTicksPerSecond since the epoch.
int64_t Ticks(const Recording& r, uint64_t i) {
  return r.name.start * (kTicksPerSecond / 1000) +
         static_cast<int64_t>(i * kTicksPerSecond * r.rate.scale / r.rate.rate);
}

// Removes the temporary file unless it has been renamed to the output.
struct TemporaryFile {
  std::string path;
  ~TemporaryFile() {
    if (!path.empty()) ::unlink(path.c_str());
  }
};

}  // namespace

ExportResult ExportRecordings(const ExportOptions& options) {
  ExportResult result;
  if (options.files.empty()) {
    result.error = "no recordings given";
    return result;
  }
  if (options.out.empty()) {
    result.error = "no output file given (-o OUT)";
    return result;
  }
  const WallMs from = options.from.value_or(std::numeric_limits<WallMs>::min());
  const WallMs to = options.to.value_or(std::numeric_limits<WallMs>::max());
  if (from >= to) {
    result.error = "--from must be before --to";
    return result;
  }
  std::vector<Recording> plan;
  if (!PlanRecordings(options.files, &plan, &result.error)) return result;

  // The frames in the range, as the headers count them, and the rate of the
  // first file that has any.
  // Where two recordings overlap (a camera recording on the button and on
  // motion at once) each moment is exported once, from the one that began
  // first: a later one starts where the earlier ones end. An AVI, cut at
  // key frames, may repeat the frames from the key frame before that point.
  std::vector<WallMs> starts(plan.size());
  WallMs covered = std::numeric_limits<WallMs>::min();
  for (size_t k = 0; k < plan.size(); ++k) {
    starts[k] = std::max(from, covered);
    covered = std::max(covered, plan[k].FrameTime(plan[k].frames));
  }
  uint64_t total = 0;
  const Recording* first = nullptr;
  for (size_t k = 0; k < plan.size(); ++k) {
    const Recording& r = plan[k];
    uint64_t n = 0;
    for (uint64_t i = 0; i < r.frames; ++i) {
      const WallMs t = r.FrameTime(i);
      if (t >= to) break;
      if (t >= starts[k]) ++n;
    }
    if (n && !first) first = &r;
    total += n;
  }
  if (!first) {
    if (options.from && options.to) {
      result.error = "no frames between " + FormatWallClock(from) + " and " + FormatWallClock(to);
    } else if (options.from) {
      result.error = "no frames at or after " + FormatWallClock(from);
    } else if (options.to) {
      result.error = "no frames before " + FormatWallClock(to);
    } else {
      result.error = "no frames in the files";
    }
    return result;
  }
  result.rate = first->rate;

  TemporaryFile temp{MakeTemporary(options.out)};
  if (temp.path.empty()) {
    result.error = options.out + ": cannot write beside it: " + std::strerror(errno);
    return result;
  }
  std::unique_ptr<Sink> sink;
  if (options.avi) {
    const AviRateOrigin origin =
        first->rateSource == RateSource::kAssumed ? AviRateOrigin::kAssumed : AviRateOrigin::kGiven;
    sink = std::make_unique<AviSink>(temp.path, first->rate, origin);
  } else {
    sink = std::make_unique<Mp4Sink>(temp.path, first->rate, options.burnTime);
  }

  PacketPtr packet(av_packet_alloc());
  uint64_t done = 0;
  bool begun = false;
  for (size_t k = 0; k < plan.size(); ++k) {
    const Recording& r = plan[k];
    const WallMs fileFrom = starts[k];
    if (r.name.start >= to) break;
    FrameReader reader;
    if (!reader.Open(r.path, &result.error)) return result;
    // The frames since the last key frame before the range: what decoding
    // (or a cut at a key frame) needs in front of the range's first frame.
    std::deque<PacketPtr> lead;
    bool fileBegun = false;
    for (;;) {
      if (options.cancel && options.cancel->load()) {
        result.error = "stopped";
        return result;
      }
      uint64_t i = 0;
      const int got = reader.Next(packet.get(), &i, &result.error);
      if (got < 0) return result;
      if (got == 0) break;
      const WallMs t = r.FrameTime(i);
      if (t >= to) break;
      const bool key = IsKeyFrame(*packet, r.codecTag);
      if (t < fileFrom) {
        if (key) lead.clear();
        lead.emplace_back(av_packet_clone(packet.get()));
        if (!lead.back()) {
          result.error = "out of memory";
          return result;
        }
        continue;
      }
      if (!fileBegun) {
        if (!sink->BeginFile(r, &result.error)) return result;
        fileBegun = begun = true;
        uint64_t leadIndex = i - lead.size();
        for (const PacketPtr& p : lead) {
          if (!sink->Frame(*p, IsKeyFrame(*p, r.codecTag), Ticks(r, leadIndex),
                           r.FrameTime(leadIndex), false, &result.error)) {
            return result;
          }
          ++leadIndex;
        }
        lead.clear();
      }
      if (!sink->Frame(*packet, key, Ticks(r, i), t, true, &result.error)) return result;
      ++done;
      if (options.progress) options.progress(done, std::max(done, total));
    }
  }
  if (!begun || !sink->Finish(&result.error)) {
    if (result.error.empty()) result.error = "no frames in the range";
    return result;
  }
  result.frames = sink->Written();
  if (result.frames == 0) {
    result.error = "no frame in the range could be decoded";
    return result;
  }
  if (options.cancel && options.cancel->load()) {
    result.error = "stopped";
    return result;
  }
  if (::rename(temp.path.c_str(), options.out.c_str()) != 0) {
    result.error = options.out + ": cannot write: " + std::strerror(errno);
    return result;
  }
  temp.path.clear();
  result.ok = true;
  return result;
}

}  // namespace zarvion::recordings
