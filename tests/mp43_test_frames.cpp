#include "mp43_test_frames.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <memory>

#include "platform/avi_file.h"
#include "platform/bitmap_info.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

namespace zarvion::testing {

std::vector<EncodedFrame> EncodeTestFrames(int count, int gop, int width, int height) {
  std::vector<EncodedFrame> frames;
  av_log_set_level(AV_LOG_ERROR);
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MSMPEG4V3);
  if (!codec) return frames;
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->width = width;
  ctx->height = height;
  ctx->pix_fmt = AV_PIX_FMT_YUV420P;
  ctx->time_base = AVRational{1, 25};
  ctx->gop_size = gop;
  ctx->max_b_frames = 0;
  ctx->bit_rate = 800000;
  if (avcodec_open2(ctx, codec, nullptr) < 0) {
    avcodec_free_context(&ctx);
    return frames;
  }
  AVFrame* frame = av_frame_alloc();
  frame->format = ctx->pix_fmt;
  frame->width = width;
  frame->height = height;
  av_frame_get_buffer(frame, 0);
  AVPacket* pkt = av_packet_alloc();
  auto drain = [&] {
    while (avcodec_receive_packet(ctx, pkt) == 0) {
      EncodedFrame f;
      f.bytes.assign(pkt->data, pkt->data + pkt->size);
      f.key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
      frames.push_back(std::move(f));
      av_packet_unref(pkt);
    }
  };
  for (int n = 0; n < count; ++n) {
    av_frame_make_writable(frame);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        // Diagonal bands that move with n, plus a bright square that slides.
        int v = ((x + 2 * y + 6 * n) & 0xFF);
        if (x / 48 == (n % 7) && y > 100 && y < 180) v = 235;
        frame->data[0][y * frame->linesize[0] + x] = static_cast<uint8_t>(16 + v * 219 / 255);
      }
    }
    for (int y = 0; y < height / 2; ++y) {
      for (int x = 0; x < width / 2; ++x) {
        frame->data[1][y * frame->linesize[1] + x] = static_cast<uint8_t>(64 + ((x + n) & 0x7F));
        frame->data[2][y * frame->linesize[2] + x] = static_cast<uint8_t>(192 - ((y + n) & 0x7F));
      }
    }
    frame->pts = n;
    if (avcodec_send_frame(ctx, frame) < 0) break;
    drain();
  }
  avcodec_send_frame(ctx, nullptr);
  drain();
  av_packet_free(&pkt);
  av_frame_free(&frame);
  avcodec_free_context(&ctx);
  return frames;
}

bool RunCommand(const std::string& command, std::string* output) {
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return false;
  std::string out;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  const int status = pclose(pipe);
  if (output) *output = std::move(out);
  return status == 0;
}

std::string FfmpegDecode(const std::string& file, const std::string& pixFmt) {
  std::string out;
  RunCommand("ffmpeg -v error -nostdin -i '" + file + "' -f rawvideo -pix_fmt " + pixFmt + " -",
             &out);
  return out;
}

std::string FfmpegDecodeFrames(const std::string& path, const std::vector<EncodedFrame>& frames) {
  {
    auto avi = AviFile::Open(path, kOfCreate | kOfWrite);
    if (!avi) return {};
    AviStreamInfo info;
    info.fccType = kStreamTypeVideo;
    info.dwScale = 1;
    info.dwRate = 10;
    info.rcFrame = AviRect{0, 0, 352, 288};
    AviStream* stream = avi->CreateStream(info);
    if (!stream) return {};
    BitmapInfoHeader in = MakeBitmapInfoHeader(352, 288, 24, kFourCCMp43, 0);
    for (size_t i = 0; i < frames.size(); ++i) {
      in.biSizeImage = static_cast<uint32_t>(frames[i].bytes.size());
      if (!stream->SetFormat(int32_t(i), in, 40) ||
          !stream->Write(int32_t(i), 1, frames[i].bytes.data(), in.biSizeImage,
                         frames[i].Flags())) {
        return {};
      }
    }
  }
  return FfmpegDecode(path, "bgra");
}

AviStream* CreateMp43Stream(AviFile& avi) {
  AviStreamInfo info;
  info.fccType = kStreamTypeVideo;
  info.dwScale = 1;
  info.dwRate = 10;
  info.rcFrame = AviRect{0, 0, 352, 288};
  AviStream* stream = avi.CreateStream(info);
  if (stream && !stream->SetFormat(0, MakeBitmapInfoHeader(352, 288, 24, kFourCCMp43, 0), 40)) {
    return nullptr;
  }
  return stream;
}

double PsnrBgrx(const uint8_t* a, const uint8_t* b, size_t pixels) {
  double sum = 0;
  for (size_t i = 0; i < pixels; ++i) {
    for (int c = 0; c < 3; ++c) {
      const double d = double(a[i * 4 + c]) - double(b[i * 4 + c]);
      sum += d * d;
    }
  }
  if (sum == 0) return std::numeric_limits<double>::infinity();
  const double mse = sum / (pixels * 3.0);
  return 10.0 * std::log10(255.0 * 255.0 / mse);
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zarvion-video-XXXXXX").string();
  if (mkdtemp(pattern.data())) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> TempDir::Files() const {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(path_, ec)) {
    names.push_back(e.path().filename().string());
  }
  return names;
}

}  // namespace zarvion::testing
