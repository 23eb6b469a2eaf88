#include "dvrsim/encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "platform/av_pointers.h"

namespace zarvion::dvrsim {
namespace {

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace

struct Mp43Encoder::Impl {
  AvCodecContextPtr context;
  AvFramePtr frame;
  AvPacketPtr packet;
  SwsContextPtr scaler;
  int64_t pts = 0;
};

Mp43Encoder::Mp43Encoder() : impl_(std::make_unique<Impl>()) {}
Mp43Encoder::~Mp43Encoder() = default;

bool Mp43Encoder::Open(int fps, int gop, int bitrate, std::string* error) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MSMPEG4V3);
  if (!codec) {
    *error = "no MS MPEG-4 v3 encoder in libavcodec";
    return false;
  }
  impl_->context.reset(avcodec_alloc_context3(codec));
  impl_->frame.reset(av_frame_alloc());
  impl_->packet.reset(av_packet_alloc());
  if (!impl_->context || !impl_->frame || !impl_->packet) {
    *error = "out of memory";
    return false;
  }
  AVCodecContext* c = impl_->context.get();
  c->width = kPictureWidth;
  c->height = kPictureHeight;
  c->pix_fmt = AV_PIX_FMT_YUV420P;
  c->time_base = AVRational{1, fps};
  c->framerate = AVRational{fps, 1};
  c->bit_rate = bitrate;
  c->gop_size = gop;
  c->max_b_frames = 0;
  c->thread_count = 1;
  // The encoder's per-picture notices (clipped coefficients) are noise in a
  // server's output; errors still show.
  c->log_level_offset = AV_LOG_VERBOSE - AV_LOG_INFO;
  // Key frames only where asked for: a scene cut must not move them.
  av_opt_set_int(c->priv_data, "sc_threshold", 1000000000, 0);
  if (int rc = avcodec_open2(c, codec, nullptr); rc < 0) {
    *error = "cannot open the MS MPEG-4 v3 encoder: " + AvError(rc);
    return false;
  }
  AVFrame* f = impl_->frame.get();
  f->format = AV_PIX_FMT_YUV420P;
  f->width = kPictureWidth;
  f->height = kPictureHeight;
  if (int rc = av_frame_get_buffer(f, 0); rc < 0) {
    *error = "cannot allocate a picture: " + AvError(rc);
    return false;
  }
  impl_->scaler.reset(sws_getContext(kPictureWidth, kPictureHeight, AV_PIX_FMT_RGB24, kPictureWidth,
                                     kPictureHeight, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr,
                                     nullptr, nullptr));
  if (!impl_->scaler) {
    *error = "cannot set up the colour conversion";
    return false;
  }
  return true;
}

bool Mp43Encoder::Encode(const Canvas& picture, bool forceKey, EncodedFrame* out) {
  if (!impl_->context || picture.Width() != kPictureWidth || picture.Height() != kPictureHeight) {
    return false;
  }
  AVFrame* f = impl_->frame.get();
  if (av_frame_make_writable(f) < 0) return false;
  const uint8_t* src[1] = {picture.Data()};
  const int srcStride[1] = {picture.Width() * 3};
  sws_scale(impl_->scaler.get(), src, srcStride, 0, kPictureHeight, f->data, f->linesize);
  f->pts = impl_->pts++;
  f->pict_type = forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  if (avcodec_send_frame(impl_->context.get(), f) < 0) return false;
  AVPacket* p = impl_->packet.get();
  if (avcodec_receive_packet(impl_->context.get(), p) < 0) return false;
  out->bytes.assign(p->data, p->data + p->size);
  out->key = (p->flags & AV_PKT_FLAG_KEY) != 0;
  av_packet_unref(p);
  return true;
}

}  // namespace zarvion::dvrsim
