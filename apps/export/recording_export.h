// The export of recordings: a range of one or more of the viewer's AVI
// recordings, joined in time order, as an MP4 file anyone can play (H.264,
// yuv420p, the index at the front so it plays while it downloads) or as an
// AVI of the original frames, cut at key frames without re-encoding.
//
// Frames keep their true times: frame i of a file lies at the file's start
// (from its name) plus i periods of its rate, so a gap between two
// recordings stays a gap in the MP4. The file is written under a temporary
// name beside the output and renamed only when complete; a failure or a
// cancel leaves nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "export/recording_files.h"

namespace zarvion::recordings {

struct ExportOptions {
  std::vector<std::string> files;
  // The range, [from, to): frames at or after `from` and before `to`;
  // unset, the files' whole length.
  std::optional<WallMs> from;
  std::optional<WallMs> to;
  bool avi = false;       // the original frames instead of H.264 in MP4
  bool burnTime = false;  // the wall-clock time drawn into the pictures (MP4 only)
  std::string out;
  // Set by another thread or a signal handler: the export stops at the
  // next frame and removes what it wrote.
  const std::atomic<bool>* cancel = nullptr;
  // Frames done of the frames expected, after each frame.
  std::function<void(uint64_t done, uint64_t total)> progress;
};

struct ExportResult {
  bool ok = false;
  std::string error;    // for a failure, what went wrong in a line
  uint64_t frames = 0;  // frames written
  FrameRate rate;       // the output's nominal rate
};

ExportResult ExportRecordings(const ExportOptions& options);

}  // namespace zarvion::recordings
