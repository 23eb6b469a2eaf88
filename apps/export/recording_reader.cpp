#include "export/recording_reader.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "platform/avi_layout.h"
#include "platform/bitmap_info.h"
#include "platform/mp43_decompressor.h"

namespace zarvion::recordings {

namespace {

// Reading on is cheaper than a seek and a decode from the key frame before
// while the frame wanted is this close ahead.
constexpr uint64_t kReadOnLimit = 64;

// The last frame of `r` at or before `t` (`t` at or after its start).
uint64_t IndexAt(const Recording& r, uint64_t frames, WallMs t) {
  uint64_t i = static_cast<uint64_t>(t - r.name.start) * r.rate.rate / (1000ull * r.rate.scale);
  i = std::min(i, frames - 1);
  while (i + 1 < frames && r.FrameTime(i + 1) <= t) ++i;
  while (i > 0 && r.FrameTime(i) > t) --i;
  return i;
}

}  // namespace

bool IsKeyFrame(const AVPacket& p, uint32_t codecTag) {
  if (p.size <= 0) return false;
  if ((codecTag & 0xDFDFDFDFu) == (kFourCCMp43 & 0xDFDFDFDFu)) return avi::IsIntraFrame(p.data[0]);
  return (p.flags & AV_PKT_FLAG_KEY) != 0;
}

struct RecordingReader::Open {
  size_t recording = 0;
  AVFormatContext* fmt = nullptr;
  AVPacket* packet = nullptr;
  int stream = -1;
  std::unique_ptr<Mp43Decompressor> decoder;
  BitmapInfoHeader in{};
  BitmapInfoHeader out{};
  // The index of the last frame read and fed to the decoder; -1 after a
  // seek or at the start.
  int64_t lastRead = -1;
  // Whether the decoder holds a picture since the last seek.
  bool held = false;

  ~Open() {
    av_packet_free(&packet);
    avformat_close_input(&fmt);
  }
  // The next frame of the stream into `packet`, with its number: 1, 0 at
  // the end, -1 on an error.
  int Read(uint64_t* index) {
    for (;;) {
      av_packet_unref(packet);
      const int r = av_read_frame(fmt, packet);
      if (r == AVERROR_EOF) return 0;
      if (r < 0) return -1;
      if (packet->stream_index != stream) continue;
      const int64_t n = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
      *index = n >= 0 && n != AV_NOPTS_VALUE ? static_cast<uint64_t>(n)
                                             : static_cast<uint64_t>(lastRead + 1);
      lastRead = static_cast<int64_t>(*index);
      return 1;
    }
  }
  // Feeds the frame in `packet` to the decoder; an empty chunk or a frame
  // that does not decode leaves the picture before.
  void Feed(uint32_t codecTag) {
    if (packet->size <= 0) return;
    const bool key = IsKeyFrame(*packet, codecTag);
    if (!held && !key) return;  // nothing to predict from yet
    BitmapInfoHeader frame = in;
    frame.biSizeImage = static_cast<uint32_t>(packet->size);
    if (decoder->DecodeOnly(key ? kAviIfKeyFrame : 0, frame, packet->data, out) == kIcErrOk) {
      held = true;
    }
  }
};

RecordingReader::RecordingReader(std::vector<Recording> recordings)
    : recordings_(std::move(recordings)) {
  std::stable_sort(recordings_.begin(), recordings_.end(),
                   [](const Recording& a, const Recording& b) { return a.name.start < b.name.start; });
  for (Recording& r : recordings_) {
    if (r.rate.rate == 0 || r.rate.scale == 0) r.rate = FrameRate{10, 1};
    frames_.push_back(r.frames);
  }
}

RecordingReader::~RecordingReader() = default;

uint64_t RecordingReader::Frames(size_t r) const { return frames_[r]; }

WallMs RecordingReader::Begin() const {
  for (size_t r = 0; r < recordings_.size(); ++r) {
    if (Frames(r)) return recordings_[r].FrameTime(0);
  }
  return 0;
}

WallMs RecordingReader::End() const {
  WallMs end = 0;
  for (size_t r = 0; r < recordings_.size(); ++r) {
    if (Frames(r)) end = std::max(end, recordings_[r].FrameTime(Frames(r)));
  }
  return end;
}

RecordingReader::Position RecordingReader::Locate(WallMs t) const {
  Position next, last;
  WallMs lastEnd = 0;
  for (size_t r = 0; r < recordings_.size(); ++r) {
    const uint64_t n = Frames(r);
    if (n == 0) continue;
    const Recording& rec = recordings_[r];
    const WallMs begin = rec.FrameTime(0), end = rec.FrameTime(n);
    if (begin <= t && t < end) return Position{true, r, IndexAt(rec, n, t)};
    if (begin > t && !next.has) next = Position{true, r, 0};
    if (!last.has || end > lastEnd) {
      last = Position{true, r, n - 1};
      lastEnd = end;
    }
  }
  return next.has ? next : last;
}

RecordingReader::Position RecordingReader::After(size_t r, uint64_t index) const {
  if (index + 1 < Frames(r)) return Position{true, r, index + 1};
  const WallMs t = recordings_[r].FrameTime(index);
  Position best;
  WallMs bestTime = 0;
  for (size_t q = 0; q < recordings_.size(); ++q) {
    const uint64_t n = Frames(q);
    if (q == r || n == 0 || recordings_[q].FrameTime(n - 1) <= t) continue;
    const uint64_t j =
        recordings_[q].FrameTime(0) > t ? 0 : IndexAt(recordings_[q], n, t) + 1;
    if (j >= n) continue;
    const WallMs time = recordings_[q].FrameTime(j);
    if (!best.has || time < bestTime) {
      best = Position{true, q, j};
      bestTime = time;
    }
  }
  return best;
}

RecordingReader::Position RecordingReader::Before(size_t r, uint64_t index) const {
  if (index > 0) return Position{true, r, index - 1};
  const WallMs t = recordings_[r].FrameTime(0);
  Position best;
  WallMs bestTime = 0;
  for (size_t q = 0; q < recordings_.size(); ++q) {
    const uint64_t n = Frames(q);
    if (q == r || n == 0 || recordings_[q].FrameTime(0) >= t) continue;
    uint64_t j = IndexAt(recordings_[q], n, t - 1);
    const WallMs time = recordings_[q].FrameTime(j);
    if (!best.has || time > bestTime) {
      best = Position{true, q, j};
      bestTime = time;
    }
  }
  return best;
}

bool RecordingReader::OpenFile(size_t r, std::string* error) {
  if (open_ && open_->recording == r) return true;
  open_.reset();
  auto o = std::make_unique<Open>();
  o->recording = r;
  const Recording& rec = recordings_[r];
  if (avformat_open_input(&o->fmt, rec.path.c_str(), nullptr, nullptr) < 0) {
    *error = rec.path + ": cannot read";
    return false;
  }
  for (unsigned i = 0; i < o->fmt->nb_streams; ++i) {
    if (o->fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      o->stream = static_cast<int>(i);
      break;
    }
  }
  const uint32_t tag = rec.codecTag ? rec.codecTag : kFourCCMp43;
  o->decoder = Mp43Decompressor::Open(kFourCCVidc, tag);
  o->in = MakeBitmapInfoHeader(rec.width, rec.height, 24, tag,
                               static_cast<uint32_t>(rec.width) * rec.height * 3);
  o->out = MakeBitmapInfoHeader(rec.width, rec.height, 32, kBiRgb,
                                static_cast<uint32_t>(rec.width) * rec.height * 4);
  if (o->stream < 0 || !o->decoder || rec.width <= 0 || rec.height <= 0 ||
      o->decoder->Begin(o->in, o->out) != kIcErrOk) {
    *error = rec.path + ": no video this viewer decodes";
    return false;
  }
  o->out.biHeight = -rec.height;  // top row first
  o->packet = av_packet_alloc();
  open_ = std::move(o);
  return true;
}

bool RecordingReader::Decode(const Position& p, ReadFrame* out, std::string* error) {
  if (!OpenFile(p.recording, error)) return false;
  Open* o = open_.get();
  const Recording& rec = recordings_[p.recording];
  const uint32_t tag = rec.codecTag ? rec.codecTag : kFourCCMp43;
  const bool readOn = o->lastRead >= 0 && static_cast<uint64_t>(o->lastRead) < p.index &&
                      p.index - static_cast<uint64_t>(o->lastRead) <= kReadOnLimit;
  uint64_t index = 0;
  int got = 0;
  if (!readOn) {
    // Back to the key frame at or before the frame: the index says where
    // they are, the frame's own bits say whether it is one. With none
    // before it (a recording that began between key frames), from the
    // file's start.
    int64_t ts = static_cast<int64_t>(p.index);
    for (int attempt = 0;; ++attempt) {
      o->held = false;
      const bool sought = ts > 0 && av_seek_frame(o->fmt, o->stream, ts, AVSEEK_FLAG_BACKWARD) >= 0;
      if (!sought && o->lastRead >= 0) {
        open_.reset();
        if (!OpenFile(p.recording, error)) return false;
        o = open_.get();
      }
      o->lastRead = -1;
      got = o->Read(&index);
      if (!sought || got <= 0 || attempt >= 8) break;
      if (index <= p.index && IsKeyFrame(*o->packet, tag)) break;
      ts = std::min<int64_t>(static_cast<int64_t>(index), ts) - 1;
    }
  } else {
    got = o->Read(&index);
  }
  for (;;) {
    if (got < 0) {
      *error = rec.path + ": cannot read a frame";
      return false;
    }
    if (got == 0) {
      // The file ends before its header said: it holds fewer frames.
      frames_[p.recording] = std::min<uint64_t>(
          frames_[p.recording],
          std::max<uint64_t>(p.index, static_cast<uint64_t>(o->lastRead + 1)));
      *error = rec.path + ": ends before frame " + std::to_string(p.index);
      return false;
    }
    o->Feed(tag);
    // Frames before a file's first key frame do not decode on their own:
    // the first that does stands for them.
    if (index >= p.index && o->held) break;
    got = o->Read(&index);
  }
  out->width = rec.width;
  out->height = rec.height;
  out->pixels.resize(static_cast<size_t>(rec.width) * rec.height * 4);
  if (o->decoder->ConvertHeld(o->out, out->pixels.data()) != kIcErrOk) {
    std::fill(out->pixels.begin(), out->pixels.end(), 0);
  }
  out->recording = p.recording;
  out->index = index;
  out->time = rec.FrameTime(index);
  current_ = Position{true, p.recording, index};
  return true;
}

bool RecordingReader::Seek(WallMs t, ReadFrame* out, std::string* error) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    const Position p = Locate(t);
    if (!p.has) {
      *error = "no recording to read";
      return false;
    }
    const uint64_t known = frames_[p.recording];
    if (Decode(p, out, error)) return true;
    if (frames_[p.recording] == known) return false;  // not a short file: a real error
  }
  return false;
}

bool RecordingReader::Next(ReadFrame* out, std::string* error) {
  error->clear();
  for (int attempt = 0; current_.has && attempt < 4; ++attempt) {
    const Position p = After(current_.recording, current_.index);
    if (!p.has) return false;
    const uint64_t known = frames_[p.recording];
    if (Decode(p, out, error)) return true;
    if (frames_[p.recording] == known) return false;
    error->clear();  // a short file: on to what follows it
    if (p.recording != current_.recording) current_ = Position{true, p.recording, 0};
    current_.index = frames_[p.recording] ? frames_[p.recording] - 1 : 0;
  }
  return false;
}

bool RecordingReader::Previous(ReadFrame* out, std::string* error) {
  error->clear();
  if (!current_.has) return false;
  const Position from = current_;
  for (Position p = Before(from.recording, from.index); p.has;) {
    if (!Decode(p, out, error)) return false;
    if (current_.recording != from.recording || current_.index < from.index) return true;
    // What lies before the file's first key frame does not decode: on to
    // the recording before.
    p = Before(p.recording, 0);
  }
  current_ = from;
  return false;
}

}  // namespace zarvion::recordings
