// What one of this viewer's recordings holds, read from its header and its
// index without decoding anything: frames, key frames, the stream's rate
// and whether that rate can be believed. For the catalogue of recordings,
// which reads every file of a folder once and must do it quickly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/frame_rate.h"

namespace zarvion {

struct AviSummary {
  uint64_t bytes = 0;
  int64_t modifiedNs = 0;  // the file's mtime, ns since the epoch
  // The header is the one this viewer's writer makes; the rest holds only then.
  bool ours = false;
  // The file has its index (closed by its writer, or repaired).
  bool indexed = false;
  // Another writer holds the file (a recording under way).
  bool busy = false;
  uint32_t frames = 0;     // from the index; without one, as the header counts them
  uint32_t keyFrames = 0;  // from the index; 0 without one
  FrameRate rate;          // as the header says
  // The header's rate is the stream's: measured or given, or (in a file of
  // ours written before the header said the true rate) anything but the
  // 10 frames a second every such file said.
  bool rateTrusted = false;
};

// Nothing when the file cannot be opened or is no regular file. A link is
// not followed.
std::optional<AviSummary> ReadAviSummary(const std::string& path);

}  // namespace zarvion
