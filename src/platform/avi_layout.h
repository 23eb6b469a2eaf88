// The fixed layout of the recordings this viewer writes (everything before
// the first frame is 224 bytes at fixed places) and the file helpers the
// writer and the repair share. Internal to the platform library.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include <unistd.h>

#include "platform/bitmap_info.h"

namespace zarvion::avi {

constexpr uint32_t kRiff = MakeFourCC('R', 'I', 'F', 'F');
constexpr uint32_t kList = MakeFourCC('L', 'I', 'S', 'T');
constexpr uint32_t kChunkId = MakeFourCC('0', '0', 'd', 'c');
constexpr uint32_t kIdx1 = MakeFourCC('i', 'd', 'x', '1');
constexpr uint32_t kAvifHasIndex = 0x10;

constexpr uint32_t kAvihData = 32;   // 56 bytes
constexpr uint32_t kStrhData = 108;  // 56 bytes
constexpr uint32_t kStrfData = 172;  // 40 bytes
constexpr uint32_t kMoviSize = 216;
constexpr uint32_t kMoviTag = 220;
constexpr uint32_t kHeaderEnd = 224;

constexpr uint32_t kAvihMicroSecPerFrame = kAvihData;
constexpr uint32_t kAvihMaxBytesPerSec = kAvihData + 4;
constexpr uint32_t kAvihFlags = kAvihData + 12;
constexpr uint32_t kAvihTotalFrames = kAvihData + 16;
constexpr uint32_t kAvihStreams = kAvihData + 24;
// The first two of the main header's four reserved words: this writer's
// mark and where the stream's rate came from (see AviRateOrigin).
constexpr uint32_t kAvihMark = kAvihData + 40;
constexpr uint32_t kAvihRateOrigin = kAvihData + 44;
constexpr uint32_t kRateMark = MakeFourCC('Z', 'V', 'R', 'T');
constexpr uint32_t kStrhType = kStrhData;
constexpr uint32_t kStrhScale = kStrhData + 20;
constexpr uint32_t kStrhRate = kStrhData + 24;
constexpr uint32_t kStrhLength = kStrhData + 32;

// The hdrl list's size: from its type to the movi list.
constexpr uint32_t kHdrlSize = kMoviSize - 4 - 20;
// The strl list's size: its type, strh and strf.
constexpr uint32_t kStrlSize = 4 + 8 + 56 + 8 + 40;

// Goes on with pread or pwrite until all `size` bytes are through; false at
// the end of the file or on an error.
template <typename Byte, typename Io>
inline bool PAll(Io io, int fd, Byte* p, size_t size, uint64_t offset) {
  while (size > 0) {
    ssize_t n = io(fd, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

inline bool PWriteAll(int fd, const void* data, size_t size, uint64_t offset) {
  return PAll(::pwrite, fd, static_cast<const uint8_t*>(data), size, offset);
}

inline bool PWrite32(int fd, uint32_t value, uint64_t offset) {
  uint8_t b[4];
  PutLe32(b, value);
  return PWriteAll(fd, b, 4, offset);
}

inline bool PReadAll(int fd, void* data, size_t size, uint64_t offset) {
  return PAll(::pread, fd, static_cast<uint8_t*>(data), size, offset);
}

// True when the 224 bytes are the header this viewer's writer makes: the
// lists, chunks and sizes at their places, one video stream.
inline bool IsOwnHeader(const uint8_t* h) {
  auto at = [h](uint32_t offset, uint32_t value) { return GetLe32(h + offset) == value; };
  return at(0, kRiff) && at(8, MakeFourCC('A', 'V', 'I', ' ')) && at(12, kList) &&
         at(16, kHdrlSize) && at(20, MakeFourCC('h', 'd', 'r', 'l')) &&
         at(kAvihData - 8, MakeFourCC('a', 'v', 'i', 'h')) && at(kAvihData - 4, 56) &&
         at(kAvihStreams, 1) && at(kStrhData - 20, kList) && at(kStrhData - 16, kStrlSize) &&
         at(kStrhData - 12, MakeFourCC('s', 't', 'r', 'l')) &&
         at(kStrhData - 8, MakeFourCC('s', 't', 'r', 'h')) && at(kStrhData - 4, 56) &&
         at(kStrhType, MakeFourCC('v', 'i', 'd', 's')) &&
         at(kStrfData - 8, MakeFourCC('s', 't', 'r', 'f')) && at(kStrfData - 4, 40) &&
         at(kMoviSize - 4, kList) && at(kMoviTag, MakeFourCC('m', 'o', 'v', 'i'));
}

// An MP43 frame opens with its picture type in two bits, 00 for an intra
// picture.
inline bool IsIntraFrame(uint8_t first) { return (first >> 6) == 0; }

}  // namespace zarvion::avi
