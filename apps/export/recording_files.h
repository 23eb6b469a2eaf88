// The viewer's recordings as files to read back: the start time and
// channel their names carry, the frame rate their headers (or, for files
// written before the header said the true rate, their neighbours) give,
// and the wall-clock times the user names a range with.
//
// Library of the export; the review window reads recordings through it too.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/avi_file.h"
#include "platform/frame_rate.h"

namespace zarvion::recordings {

// Milliseconds since the epoch, from a local wall-clock time.
using WallMs = int64_t;

// What a recording's name says: "<PREFIX>_CHnn_YYYY_MM_DD_HH_MM_SS_mmm.avi",
// where PREFIX is letters and digits ("CLIENT", "EVENT"), optionally with
// "_2", "_3", ... (a name already taken) and ".repaired" (a repair's copy)
// before ".avi". Any folder before the name is ignored.
struct RecordingName {
  std::string prefix;
  int channel = 0;
  WallMs start = 0;
};
std::optional<RecordingName> ParseRecordingName(const std::string& path);

// "YYYY-MM-DD HH:MM:SS" as local time; nothing for any other text or a date
// that does not exist.
std::optional<WallMs> ParseWallClock(const std::string& text);
// The other way round, for messages and the time burnt into pictures.
std::string FormatWallClock(WallMs t);

// Where a file's rate comes from.
enum class RateSource {
  kHeader,    // its header holds the stream's real rate
  kNextFile,  // an older file: its frames over the time to the next file
  kAssumed,   // nothing better known: 10 frames a second
};

struct Recording {
  std::string path;
  RecordingName name;
  uint32_t frames = 0;  // as the header counts them
  int width = 0;
  int height = 0;
  uint32_t codecTag = 0;
  FrameRate rate;
  RateSource rateSource = RateSource::kAssumed;
  // The wall-clock time of frame `i`, to the millisecond.
  WallMs FrameTime(uint64_t i) const {
    return name.start + static_cast<WallMs>(i * 1000 * rate.scale / rate.rate);
  }
};

// Opens every file's header (through libavformat), sorts them by their
// start time and gives each its rate. False, with `error` saying which file
// and why, when a file cannot be read, is no video recording or has no
// start time in its name.
bool PlanRecordings(const std::vector<std::string>& paths, std::vector<Recording>* out,
                    std::string* error);

}  // namespace zarvion::recordings
