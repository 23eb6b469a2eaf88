#include "platform/avi_summary.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/avi_file.h"
#include "platform/avi_layout.h"
#include "platform/little_endian.h"
#include "platform/unique_fd.h"

namespace zarvion {

using namespace avi;

namespace {

// Index entries read at a time.
constexpr size_t kIndexBatch = 4096;

// Counts the frames and key frames of the idx1 chunk that follows the movi
// list; false when there is no whole one.
bool ReadIndex(int fd, const uint8_t* h, uint64_t size, AviSummary* out) {
  const uint64_t riffEnd = uint64_t{GetLe32(h + 4)} + 8;
  if (!(GetLe32(h + kAvihFlags) & kAvifHasIndex) || riffEnd > size) return false;
  const uint64_t moviEnd = kMoviTag + uint64_t{GetLe32(h + kMoviSize)};
  uint8_t chunk[8];
  if (moviEnd + 8 > riffEnd || !PReadAll(fd, chunk, sizeof chunk, moviEnd)) return false;
  const uint64_t length = GetLe32(chunk + 4);
  if (GetLe32(chunk) != kIdx1 || moviEnd + 8 + length > riffEnd) return false;
  const uint64_t entries = length / 16;
  uint8_t buffer[kIndexBatch * 16];
  uint64_t frames = 0;
  uint64_t keys = 0;
  for (uint64_t done = 0; done < entries;) {
    const uint64_t n = std::min<uint64_t>(kIndexBatch, entries - done);
    if (!PReadAll(fd, buffer, n * 16, moviEnd + 8 + done * 16)) return false;
    for (uint64_t i = 0; i < n; ++i) {
      const uint8_t* e = buffer + i * 16;
      if (GetLe32(e) != kChunkId) continue;
      ++frames;
      if (GetLe32(e + 4) & kAviIfKeyFrame) ++keys;
    }
    done += n;
  }
  out->frames = static_cast<uint32_t>(frames);
  out->keyFrames = static_cast<uint32_t>(keys);
  return true;
}

}  // namespace

std::optional<AviSummary> ReadAviSummary(const std::string& path) {
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file.Valid()) return std::nullopt;
  const int fd = file.Get();
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  AviSummary s;
  s.bytes = static_cast<uint64_t>(st.st_size);
  s.modifiedNs = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  uint8_t h[kHeaderEnd];
  if (s.bytes < kHeaderEnd || !PReadAll(fd, h, sizeof h, 0) || !IsOwnHeader(h)) return s;
  s.ours = true;
  // The writer holds its lock until the index is written.
  if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
    s.busy = true;
  } else {
    ::flock(fd, LOCK_UN);
  }
  s.rate = {GetLe32(h + kStrhRate), GetLe32(h + kStrhScale)};
  const std::optional<AviRateOrigin> mark = ReadAviRateMark(h, sizeof h);
  s.rateTrusted = s.rate.rate > 0 && s.rate.scale > 0 &&
                  (mark ? *mark != AviRateOrigin::kAssumed : !(s.rate == FrameRate{10, 1}));
  s.indexed = !s.busy && ReadIndex(fd, h, s.bytes, &s);
  if (!s.indexed) {
    s.frames = GetLe32(h + kAvihTotalFrames);
    s.keyFrames = 0;
  }
  return s;
}

}  // namespace zarvion
