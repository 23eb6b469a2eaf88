// The repair of recordings that a crash, a kill or a power cut left without
// index, or damaged. A recording is evidence: the repair never removes or
// rewrites a byte that held a frame.
//
// A file whose whole frames run from the header to its end (what a kill
// leaves; an empty chunk among them does not count as whole) is repaired in
// place: the index goes after its last frame and the
// sizes and counts in the header are corrected; nothing else is written. Any
// other file of ours (a torn last chunk, a damaged chunk, a zeroed page,
// bytes that are no chunk) is left exactly as it is, and its whole frames
// are copied into a new file beside it, "<name>.repaired.avi", with their
// index. Frames after a damaged region are found again by scanning for the
// next chunk header that its own size confirms, so one bad chunk costs that
// chunk only. Chunks of size 0 are no frames: the index holds only frames.
//
// Only regular files of this user, never through a symbolic link, with
// exactly the header this viewer's writer makes are touched; a file under
// way (locked by its writer) is left alone. The file is read in pieces, so
// memory stays bounded whatever its size, and the work on one file is
// bounded in time and frames.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace zarvion {

// What RepairAvi found and did.
enum class AviRepair {
  kIntact,     // the file has its index already; nothing changed
  kRepaired,   // the index was appended and the sizes corrected in place
  kCopied,     // damaged: its whole frames are now in `copy`; the file is unchanged
  kCopyExists, // damaged, and a repaired copy is beside it already; nothing changed
  kBusy,       // another writer holds the file; nothing changed
  kNotOurs,    // not a regular file of this user with this viewer's header; nothing changed
  kNoFrames,   // ours, but it holds no whole frame; nothing changed
  kSkipped,    // too many frames, too long, or stopped; nothing changed
  kFailed,     // the index or the copy could not be written (no room); nothing changed
};

struct AviRepairOptions {
  // At most this many frames are indexed (16 bytes of index and 12 of
  // memory each); a file with more is skipped.
  uint32_t maxFrames = 4u << 20;
  // A file whose repair takes longer is skipped.
  std::chrono::milliseconds maxTime{120000};
  // Set by another thread to stop at the next piece read; the file is then
  // skipped.
  const std::atomic<bool>* cancel = nullptr;
  // Told the bytes done of the file's total while it is read or copied.
  std::function<void(uint64_t done, uint64_t total)> progress;
};

struct AviRepairResult {
  AviRepair status = AviRepair::kNotOurs;
  uint32_t frames = 0;  // whole frames found (repaired or copied)
  std::string copy;     // the new file's name, for kCopied and kCopyExists
  std::string why;      // for the files left alone: in a few words
};

// Repairs `path`. The file must not be a symbolic link; the copy, if one is
// made, goes into the same folder.
[[nodiscard]] AviRepairResult RepairAvi(const std::string& path, const AviRepairOptions& options);
// The same for `name` (no '/') in the folder open as `dirFd`: the file must
// be in that folder itself and have no other name.
[[nodiscard]] AviRepairResult RepairAviAt(int dirFd, const std::string& name,
                                          const AviRepairOptions& options);
// With the default bounds; the status only.
[[nodiscard]] AviRepair RepairAvi(const std::string& path);

// The name of the repaired copy of `name`.
std::string RepairedCopyName(const std::string& name);

}  // namespace zarvion
