#include "platform/mp43_decompressor.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "platform/av_pointers.h"
#include "platform/yuv_rows.h"

namespace zarvion {

namespace {

constexpr int kMaxSide = 4096;

bool IsMp43(uint32_t fcc) {
  char c[4];
  for (int i = 0; i < 4; ++i) {
    c[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(fcc >> (8 * i))));
  }
  return MakeFourCC(c[0], c[1], c[2], c[3]) == kFourCCMp43;
}

bool UsableInput(const BitmapInfoHeader& in) {
  return IsMp43(in.biCompression) && in.biWidth > 0 && in.biHeight > 0 && in.biWidth <= kMaxSide &&
         in.biHeight <= kMaxSide;
}

uint32_t ImageSize(const BitmapInfoHeader& out) {
  return static_cast<uint32_t>(out.biWidth) * static_cast<uint32_t>(std::abs(out.biHeight)) *
         (out.biBitCount / 8u);
}

}  // namespace

int FfmpegLogLevel(const char* text) {
  if (!text || !*text) return AV_LOG_QUIET;
  static constexpr std::pair<std::string_view, int> kNames[] = {
      {"quiet", AV_LOG_QUIET},     {"panic", AV_LOG_PANIC},     {"fatal", AV_LOG_FATAL},
      {"error", AV_LOG_ERROR},     {"warning", AV_LOG_WARNING}, {"info", AV_LOG_INFO},
      {"verbose", AV_LOG_VERBOSE}, {"debug", AV_LOG_DEBUG},     {"trace", AV_LOG_TRACE}};
  for (const auto& [name, level] : kNames) {
    if (name == text) return level;
  }
  char* end = nullptr;
  const long n = std::strtol(text, &end, 10);
  if (*end != '\0' || n < AV_LOG_QUIET || n > AV_LOG_TRACE) return AV_LOG_QUIET;
  return static_cast<int>(n);
}

namespace {

// The library's default prints a line for every damaged frame a server
// sends, on the host's standard error; that stays off unless asked for.
void SetLogLevelOnce() {
  static std::once_flag once;
  std::call_once(once,
                 [] { av_log_set_level(FfmpegLogLevel(std::getenv(kFfmpegLogLevelVariable))); });
}

AVPixelFormat OutputFormat(uint16_t bitCount) {
  // BGR0 and BGRA lay out the same bytes; the library keeps a conversion to
  // BGR0 as BGRA, so asking for BGRA lets its context be reused.
  return bitCount == 32 ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGR24;
}

// A conversion context kept for as long as the pictures keep their size
// and format.
struct SwsCache {
  SwsContextPtr sws;
  AVPixelFormat source = AV_PIX_FMT_NONE;
  AVPixelFormat target = AV_PIX_FMT_NONE;
  int width = 0;
  int height = 0;

  SwsContext* For(int w, int h, AVPixelFormat from, AVPixelFormat to) {
    if (!sws || from != source || to != target || w != width || h != height) {
      sws.reset(sws_getContext(w, h, from, w, h, to, SWS_FAST_BILINEAR, nullptr, nullptr,
                               nullptr));
      source = sws ? from : AV_PIX_FMT_NONE;
      target = to;
      width = w;
      height = h;
    }
    return sws.get();
  }
  void Reset() {
    sws.reset();
    source = AV_PIX_FMT_NONE;
  }
};

// The planes of a picture our own converter takes: 8-bit 4:2:0 (taken as
// limited range, as libswscale takes that format). False for any other.
bool PlanesOf(const AVFrame* frame, YuvPlanes* planes) {
  if (frame->format != AV_PIX_FMT_YUV420P || !frame->data[0] || !frame->data[1] ||
      !frame->data[2]) {
    return false;
  }
  *planes = YuvPlanes{frame->data[0],     frame->data[1],     frame->data[2], frame->linesize[0],
                      frame->linesize[1], frame->linesize[2], frame->width,   frame->height};
  return true;
}

// `frame` to `to` at rows `stride` bytes apart from `top` (a negative
// stride writes bottom-up). 32-bit pictures from 4:2:0 planes go through
// our converter, so every picture shown is made by the same one;
// libswscale takes anything else.
bool ConvertFrame(SwsCache& cache, const AVFrame* frame, AVPixelFormat to, uint8_t* top,
                  int stride) {
  if (YuvPlanes planes; to == AV_PIX_FMT_BGRA && PlanesOf(frame, &planes)) {
    ConvertYuvPicture(planes, top, stride);
    return true;
  }
  SwsContext* sws = cache.For(frame->width, frame->height,
                              static_cast<AVPixelFormat>(frame->format), to);
  if (!sws) return false;
  uint8_t* dst[4] = {top, nullptr, nullptr, nullptr};
  int dstStride[4] = {stride, 0, 0, 0};
  return sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, dstStride) ==
         frame->height;
}

}  // namespace

// Counted by hand: the decompressor reads the count (acquire) to learn
// that every holder has let go (release) before it decodes into the frame.
struct HeldFrame {
  AvFramePtr frame{av_frame_alloc()};
  std::atomic<int> holders{1};
};

namespace {

void Hold(HeldFrame* f) { f->holders.fetch_add(1, std::memory_order_relaxed); }

void LetGo(HeldFrame* f) {
  if (f && f->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete f;
}

}  // namespace

void Mp43Decompressor::FrameRelease::operator()(HeldFrame* f) const { LetGo(f); }

SharedPicture::SharedPicture() = default;
SharedPicture::~SharedPicture() { LetGo(held_); }
SharedPicture::SharedPicture(SharedPicture&& other) noexcept
    : held_(std::exchange(other.held_, nullptr)) {}
SharedPicture& SharedPicture::operator=(SharedPicture&& other) noexcept {
  if (this != &other) {
    LetGo(held_);
    held_ = std::exchange(other.held_, nullptr);
  }
  return *this;
}
const AVFrame* SharedPicture::Frame() const { return held_ ? held_->frame.get() : nullptr; }
bool SharedPicture::Empty() const { return !held_ || !held_->frame->buf[0]; }
void SharedPicture::Reset() { LetGo(std::exchange(held_, nullptr)); }
int SharedPicture::Width() const { return Empty() ? 0 : Frame()->width; }
int SharedPicture::Height() const { return Empty() ? 0 : Frame()->height; }

struct PictureConverter::State final : StretchRowSource {
  SwsCache cache;
  // Stretch's source row: made at the widest picture seen, never per frame.
  std::vector<uint32_t> row;
  YuvPlanes planes;
  // A picture in another format is converted whole, then stretched.
  Surface whole;

  const uint32_t* Row(int y, int first, int end) override {
    ConvertYuvRow(planes, y, first, end - first, row.data());
    return row.data();
  }
};
PictureConverter::PictureConverter() : state_(std::make_unique<State>()) {}
PictureConverter::~PictureConverter() = default;

bool PictureConverter::Convert(const SharedPicture& picture, uint8_t* pixels, int stride) {
  if (picture.Empty() || !pixels) return false;
  return ConvertFrame(state_->cache, picture.Frame(), OutputFormat(32), pixels, stride);
}

bool PictureConverter::Stretch(const SharedPicture& picture, const Rect& srcRect,
                               const PixelView& dst, const Rect& dstRect, const Rect& clip) {
  if (picture.Empty()) return false;
  State& s = *state_;
  const AVFrame* frame = picture.Frame();
  if (!PlanesOf(frame, &s.planes)) {
    if ((!s.whole.Valid() || s.whole.Width() != frame->width ||
         s.whole.Height() != frame->height) &&
        !s.whole.Create(frame->width, frame->height)) {
      return false;
    }
    const PixelView whole = s.whole.View();
    if (!Convert(picture, whole.pixels, whole.stride)) return false;
    return StretchPixels(dst, dstRect, clip, whole, srcRect, 0xFF000000u);
  }
  if (s.row.size() < static_cast<size_t>(frame->width)) {
    s.row.resize(static_cast<size_t>(frame->width));
  }
  return StretchRows(dst, dstRect, clip, frame->width, frame->height, srcRect, s, 0);
}

struct Mp43Decompressor::State {
  const AVCodec* codec = nullptr;
  AvCodecContextPtr ctx;
  AvPacketPtr packet;
  // The pictures decoded into, each held here and by whatever shares it;
  // a frame is decoded into one nobody else holds, made only when every
  // one is shared. `frame` is the last one decoded.
  std::vector<std::unique_ptr<HeldFrame, FrameRelease>> frames;
  AVFrame* frame = nullptr;
  SwsCache sws;
  // The codec reads a little past the end of its input; the frame is copied
  // into this zero-padded buffer, which only ever grows. It is handed over
  // counted, so the codec takes a reference instead of a copy of its own;
  // should the codec still hold it when the next frame comes, a new one is
  // made.
  AvBufferPtr input;
  BitmapInfoHeader in;
  BitmapInfoHeader out;
  uint16_t preferredBits = 32;
  // `frame` holds the last frame decoded, until the next decode or End.
  bool held = false;
  // Begin took the formats; `ctx` is opened by the first frame after it.
  bool begun = false;
};

Mp43Decompressor::Mp43Decompressor() : state_(std::make_unique<State>()) {}
Mp43Decompressor::~Mp43Decompressor() = default;

std::unique_ptr<Mp43Decompressor> Mp43Decompressor::Open(uint32_t fccType, uint32_t fccHandler,
                                                         uint32_t /*mode*/) {
  SetLogLevelOnce();
  if (fccType != kFourCCVidc || !IsMp43(fccHandler)) return nullptr;
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MSMPEG4V3);
  if (!codec) return nullptr;
  std::unique_ptr<Mp43Decompressor> d(new Mp43Decompressor());
  d->state_->codec = codec;
  d->state_->packet.reset(av_packet_alloc());
  if (!d->state_->packet) return nullptr;
  return d;
}

void Mp43Decompressor::SetPreferredBitCount(uint16_t bits) {
  if (bits == 24 || bits == 32) state_->preferredBits = bits;
}

int32_t Mp43Decompressor::GetFormat(const BitmapInfoHeader& in, BitmapInfoHeader* out) const {
  if (!out) return kIcErrBadParam;
  if (!UsableInput(in)) return kIcErrBadFormat;
  BitmapInfoHeader f =
      MakeBitmapInfoHeader(in.biWidth, in.biHeight, state_->preferredBits, kBiRgb, 0);
  f.biSizeImage = ImageSize(f);
  *out = f;
  return kIcErrOk;
}

int32_t Mp43Decompressor::Query(const BitmapInfoHeader& in, const BitmapInfoHeader& out) const {
  if (!UsableInput(in)) return kIcErrBadFormat;
  if (out.biCompression != kBiRgb || (out.biBitCount != 32 && out.biBitCount != 24) ||
      out.biWidth != in.biWidth || std::abs(out.biHeight) != in.biHeight) {
    return kIcErrBadFormat;
  }
  return kIcErrOk;
}

int32_t Mp43Decompressor::Begin(const BitmapInfoHeader& in, const BitmapInfoHeader& out) {
  if (int32_t r = Query(in, out); r != kIcErrOk) return r;
  End();
  // The codec is opened by the first frame, the conversion made by the
  // first picture written out: a channel that never sends costs neither.
  state_->in = in;
  state_->out = out;
  state_->begun = true;
  return kIcErrOk;
}

namespace {

AvCodecContextPtr OpenContext(const AVCodec* codec, const BitmapInfoHeader& in) {
  AvCodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) return nullptr;
  // The stream carries no picture size, so it has to come from the format.
  ctx->width = in.biWidth;
  ctx->height = in.biHeight;
  ctx->codec_tag = kFourCCMp43;
  // One packet in, one picture out: frame threading would delay output.
  ctx->thread_count = 1;
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return nullptr;
  return ctx;
}

}  // namespace

int32_t Mp43Decompressor::Decompress(uint32_t flags, const BitmapInfoHeader& in,
                                     const uint8_t* data, const BitmapInfoHeader& out,
                                     uint8_t* picture) {
  if (state_->begun && !picture) return kIcErrBadParam;
  const int32_t r = DecodeOnly(flags, in, data, out);
  if (r != kIcErrOk) return r;
  return ConvertHeld(out, picture);
}

int32_t Mp43Decompressor::DecodeOnly(uint32_t /*flags*/, const BitmapInfoHeader& in,
                                     const uint8_t* data, const BitmapInfoHeader& out) {
  State& s = *state_;
  if (!s.begun) return kIcErrError;
  if (!data) return kIcErrBadParam;
  if (in.biWidth != s.in.biWidth || in.biHeight != s.in.biHeight || !IsMp43(in.biCompression) ||
      out.biWidth != s.out.biWidth || std::abs(out.biHeight) != std::abs(s.out.biHeight) ||
      out.biBitCount != s.out.biBitCount || out.biCompression != s.out.biCompression) {
    return kIcErrBadFormat;
  }
  // Whatever happens to this frame, the last one's picture is gone. The
  // pictures nobody shares any more go back to the codec, and the first of
  // them takes this frame's.
  s.held = false;
  s.frame = nullptr;
  for (const auto& f : s.frames) {
    // Whoever let go of it last had finished reading it.
    if (f->holders.load(std::memory_order_acquire) != 1) continue;
    av_frame_unref(f->frame.get());
    if (!s.frame) s.frame = f->frame.get();
  }
  if (!s.frame) {
    std::unique_ptr<HeldFrame, FrameRelease> fresh(new (std::nothrow) HeldFrame);
    if (!fresh || !fresh->frame) return kIcErrMemory;
    s.frame = fresh->frame.get();
    s.frames.push_back(std::move(fresh));
  }
  const uint32_t size = in.biSizeImage;
  // An empty packet would put the codec into draining mode for good.
  if (size == 0) return kIcErrError;
  const size_t need = size + static_cast<size_t>(AV_INPUT_BUFFER_PADDING_SIZE);
  if (!s.input || static_cast<size_t>(s.input->size) < need ||
      !av_buffer_is_writable(s.input.get())) {
    // Room for a picture's worth, so it is rarely made again.
    const size_t room = std::max(need, static_cast<size_t>(s.in.biWidth) * s.in.biHeight * 3 / 2 +
                                           AV_INPUT_BUFFER_PADDING_SIZE);
    if (room > static_cast<size_t>(INT_MAX)) return kIcErrMemory;
    s.input.reset(av_buffer_alloc(room));
    if (!s.input) return kIcErrMemory;
  }
  std::memcpy(s.input->data, data, size);
  std::memset(s.input->data + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
  if (!s.ctx) {
    s.ctx = OpenContext(s.codec, s.in);
    if (!s.ctx) return kIcErrInternal;
  }

  AVPacket* pkt = s.packet.get();
  pkt->buf = av_buffer_ref(s.input.get());
  if (!pkt->buf) return kIcErrMemory;
  pkt->data = s.input->data;
  pkt->size = static_cast<int>(size);
  int ret = avcodec_send_packet(s.ctx.get(), pkt);
  av_packet_unref(pkt);
  if (ret < 0) return kIcErrError;
  AVFrame* frame = s.frame;
  ret = avcodec_receive_frame(s.ctx.get(), frame);
  if (ret < 0) return kIcErrError;
  if (frame->width != s.out.biWidth || frame->height != std::abs(s.out.biHeight)) {
    av_frame_unref(frame);
    return kIcErrError;
  }
  s.held = true;
  return kIcErrOk;
}

int32_t Mp43Decompressor::ConvertHeld(const BitmapInfoHeader& out, uint8_t* picture) {
  State& s = *state_;
  if (!s.ctx || !s.held) return kIcErrError;
  if (!picture) return kIcErrBadParam;
  if (out.biWidth != s.out.biWidth || std::abs(out.biHeight) != std::abs(s.out.biHeight) ||
      out.biBitCount != s.out.biBitCount || out.biCompression != s.out.biCompression) {
    return kIcErrBadFormat;
  }
  const int h = std::abs(s.out.biHeight);
  const int stride = s.out.biWidth * (s.out.biBitCount / 8);
  // Bottom-up output: start at the last row and step backwards.
  uint8_t* top = out.biHeight > 0 ? picture + static_cast<size_t>(h - 1) * stride : picture;
  return ConvertFrame(s.sws, s.frame, OutputFormat(s.out.biBitCount), top,
                      out.biHeight > 0 ? -stride : stride)
             ? kIcErrOk
             : kIcErrError;
}

bool Mp43Decompressor::ShareHeld(SharedPicture* into) const {
  if (!into) return false;
  const State& s = *state_;
  into->Reset();
  if (!s.held || !s.ctx) return false;
  for (const auto& f : s.frames) {
    if (f->frame.get() == s.frame) {
      Hold(f.get());
      into->held_ = f.get();
      return true;
    }
  }
  return false;
}

bool Mp43Decompressor::HeldLuma(const uint8_t** luma, int* stride, int* width,
                                int* height) const {
  const AVFrame* f = state_->frame;
  if (!state_->held || !f || !f->data[0] || f->linesize[0] <= 0) return false;
  // Every planar YUV format the codec gives starts with the full-size Y.
  *luma = f->data[0];
  *stride = f->linesize[0];
  *width = f->width;
  *height = f->height;
  return true;
}

int32_t Mp43Decompressor::End() {
  // Shared pictures stay with their holders.
  state_->frames.clear();
  state_->frame = nullptr;
  state_->held = false;
  state_->sws.Reset();
  state_->ctx.reset();
  state_->begun = false;
  return kIcErrOk;
}

}  // namespace zarvion
