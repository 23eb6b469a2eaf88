// One camera's recordings read back picture by picture, as a player wants
// them: the frame of a wall-clock time, the next one and the one before,
// across the parts of a split recording and from one recording to the next.
//
// The recordings are taken in time order as one line of frames. A gap
// between two recordings is skipped (the frame after the last of one is the
// first of the next); where two overlap (a manual and an event recording of
// the same camera) each moment is shown once, from the one that began
// first. A seek decodes from the key frame at or before the frame wanted.
//
// Not thread-safe: one reader per thread. No Qt.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "export/recording_files.h"

struct AVPacket;

namespace zarvion::recordings {

struct ReadFrame {
  // 32-bit pixels (B, G, R, unused in memory), top row first, rows of
  // width * 4 bytes: a QImage of Format_RGB32 over them needs no copy.
  std::vector<uint8_t> pixels;
  int width = 0;
  int height = 0;
  WallMs time = 0;
  size_t recording = 0;  // into Recordings()
  uint64_t index = 0;    // the frame's number in its file
};

// Whether a packet of a stream of `codecTag` opens with a key frame. An MP43
// frame says so in its own first bits, whatever an index (or its absence)
// says; other codecs by the packet's flag.
bool IsKeyFrame(const AVPacket& p, uint32_t codecTag);

class RecordingReader {
 public:
  // `recordings` as PlanRecordings gives them (in time order).
  explicit RecordingReader(std::vector<Recording> recordings);
  ~RecordingReader();
  RecordingReader(const RecordingReader&) = delete;
  RecordingReader& operator=(const RecordingReader&) = delete;

  const std::vector<Recording>& Recordings() const { return recordings_; }
  // From the first frame to after the last; 0, 0 when there is none.
  WallMs Begin() const;
  WallMs End() const;

  // The frame shown at `t`: the last one at or before it; in a gap or
  // before the first recording, the next recording's first frame; after
  // the last, the last frame. False with `error` when nothing decodes.
  bool Seek(WallMs t, ReadFrame* out, std::string* error);
  // The frame after (before) the last one given; false at the end (start)
  // or on an error (then `error` is set).
  bool Next(ReadFrame* out, std::string* error);
  bool Previous(ReadFrame* out, std::string* error);
  // The frame given last: valid after a successful call.
  bool HasFrame() const { return current_.has; }

 private:
  struct Position {
    bool has = false;
    size_t recording = 0;
    uint64_t index = 0;
  };
  struct Open;
  // Where Seek(t) lands, without decoding.
  Position Locate(WallMs t) const;
  // The first frame after the end of recording `r`'s `index`th that another
  // recording holds: the next in play.
  Position After(size_t r, uint64_t index) const;
  Position Before(size_t r, uint64_t index) const;
  // Frames a recording holds, as far as known.
  uint64_t Frames(size_t r) const;
  // Decodes frame `p` (reading on from the file's place when that is just
  // before it, else from the key frame before) into `out`.
  bool Decode(const Position& p, ReadFrame* out, std::string* error);
  bool OpenFile(size_t r, std::string* error);

  std::vector<Recording> recordings_;
  // Frames found by reading to a file's end, when fewer than its header says
  // (a file cut short); else its header's count.
  std::vector<uint64_t> frames_;
  std::unique_ptr<Open> open_;
  Position current_;
};

}  // namespace zarvion::recordings
