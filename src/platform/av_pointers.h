// Owning pointers for the codec library's objects, each freed by the
// library's own call. Header only: code that has the codec library but not
// the rest of the media library (the simulated recorder) uses it too.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace zarvion {

struct AvCodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct AvFrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct AvPacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct AvBufferUnref {
  void operator()(AVBufferRef* b) const { av_buffer_unref(&b); }
};
struct SwsContextFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};

using AvCodecContextPtr = std::unique_ptr<AVCodecContext, AvCodecContextFree>;
using AvFramePtr = std::unique_ptr<AVFrame, AvFrameFree>;
using AvPacketPtr = std::unique_ptr<AVPacket, AvPacketFree>;
using AvBufferPtr = std::unique_ptr<AVBufferRef, AvBufferUnref>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextFree>;

}  // namespace zarvion
