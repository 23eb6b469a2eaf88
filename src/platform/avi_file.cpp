#include "platform/avi_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace zarvion {

namespace {

constexpr uint32_t kRiff = MakeFourCC('R', 'I', 'F', 'F');
constexpr uint32_t kList = MakeFourCC('L', 'I', 'S', 'T');
constexpr uint32_t kChunkId = MakeFourCC('0', '0', 'd', 'c');
constexpr uint32_t kAvifHasIndex = 0x10;

// Fixed layout of everything before the frames.
constexpr uint32_t kAvihData = 32;   // 56 bytes
constexpr uint32_t kStrhData = 108;  // 56 bytes
constexpr uint32_t kStrfData = 172;  // 40 bytes
constexpr uint32_t kMoviSize = 216;
constexpr uint32_t kMoviTag = 220;
constexpr uint32_t kHeaderEnd = 224;

constexpr uint32_t kAvihMaxBytesPerSec = kAvihData + 4;
constexpr uint32_t kAvihFlags = kAvihData + 12;
constexpr uint32_t kAvihTotalFrames = kAvihData + 16;
constexpr uint32_t kStrhScale = kStrhData + 20;
constexpr uint32_t kStrhLength = kStrhData + 32;

bool PWriteAll(int fd, const void* data, size_t size, uint64_t offset) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

bool PWrite32(int fd, uint32_t value, uint64_t offset) {
  uint8_t b[4];
  PutLe32(b, value);
  return PWriteAll(fd, b, 4, offset);
}

uint8_t* PutRect16(uint8_t* p, const AviRect& r) {
  p = PutLe16(p, static_cast<uint16_t>(r.left));
  p = PutLe16(p, static_cast<uint16_t>(r.top));
  p = PutLe16(p, static_cast<uint16_t>(r.right));
  return PutLe16(p, static_cast<uint16_t>(r.bottom));
}

uint32_t Le32At(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool PatchCounts(int fd, uint64_t end, uint32_t frames) {
  // The movi list grows first, then the RIFF: a reader never sees a RIFF
  // that ends inside a chunk.
  return PWrite32(fd, static_cast<uint32_t>(end - kMoviTag), kMoviSize) &&
         PWrite32(fd, frames, kAvihTotalFrames) && PWrite32(fd, frames, kStrhLength) &&
         PWrite32(fd, static_cast<uint32_t>(end - 8), 4);
}

bool WriteIndex(int fd, uint64_t end, const std::vector<AviIndexEntry>& index,
                uint32_t maxBytesPerSec) {
  std::vector<uint8_t> idx(8 + 16 * index.size());
  uint8_t* p = idx.data();
  p = PutLe32(p, MakeFourCC('i', 'd', 'x', '1'));
  p = PutLe32(p, static_cast<uint32_t>(16 * index.size()));
  for (const AviIndexEntry& e : index) {
    p = PutLe32(p, kChunkId);
    p = PutLe32(p, e.flags);
    p = PutLe32(p, e.offset);
    p = PutLe32(p, e.size);
  }
  if (!PWriteAll(fd, idx.data(), idx.size(), end)) return false;
  return PWrite32(fd, static_cast<uint32_t>(end + idx.size() - 8), 4) &&
         PWrite32(fd, kAvifHasIndex, kAvihFlags) &&
         PWrite32(fd, maxBytesPerSec, kAvihMaxBytesPerSec);
}

// Counts and index for a file whose whole frames end at `end`. Where the
// file system has no room left for the index, the last frames give theirs.
void CompleteFile(int fd, uint64_t end, std::vector<AviIndexEntry>& index, uint32_t rate,
                  uint32_t scale) {
  uint32_t maxChunk = 0;
  for (const AviIndexEntry& e : index) maxChunk = std::max(maxChunk, e.size);
  const uint64_t perSec = scale ? uint64_t{maxChunk} * rate / scale : 0;
  const uint32_t maxBytesPerSec = static_cast<uint32_t>(std::min<uint64_t>(perSec, UINT32_MAX));
  for (;;) {
    // Whatever lies past the whole frames (a torn chunk, a torn index)
    // goes first, so the sizes never describe it.
    if (::ftruncate(fd, static_cast<off_t>(end)) != 0) return;
    if (!PatchCounts(fd, end, static_cast<uint32_t>(index.size()))) return;
    if (WriteIndex(fd, end, index, maxBytesPerSec)) return;
    if (index.empty()) {
      ::ftruncate(fd, static_cast<off_t>(end));
      return;
    }
    end = kMoviTag + uint64_t{index.back().offset};
    index.pop_back();
  }
}

}  // namespace

std::unique_ptr<AviFile> AviFile::Open(const std::string& path, uint32_t mode, bool replace) {
  if ((mode & (kOfCreate | kOfWrite)) != (kOfCreate | kOfWrite)) return nullptr;
  const int how = O_WRONLY | O_CREAT | O_CLOEXEC | (replace ? O_TRUNC : O_EXCL);
  int fd = ::open(path.c_str(), how, 0644);
  if (fd < 0) return nullptr;
  // Held while the file is written: a repair in another process leaves a
  // recording under way alone.
  ::flock(fd, LOCK_EX | LOCK_NB);
  return std::unique_ptr<AviFile>(new AviFile(fd, path));
}

AviFile::AviFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

AviFile::~AviFile() {
  if (discard_) {
    ::unlink(path_.c_str());
  } else if (stream_) {
    Finish();
  }
  ::close(fd_);
}

void AviFile::Finish() {
  CompleteFile(fd_, end_, index_, info_.dwRate, info_.dwScale);
}

bool AviFile::Fits(uint32_t size) const {
  // The chunk, the index with one more entry and its header must all stay
  // within what the 32-bit RIFF size can count.
  const uint64_t after = end_ + 8 + size + (size & 1u);
  return after + 8 + 16 * (index_.size() + 1) <= std::numeric_limits<uint32_t>::max();
}

AviStream* AviFile::CreateStream(const AviStreamInfo& info) {
  if (stream_ || info.fccType != kStreamTypeVideo || info.dwRate == 0 || info.dwScale == 0) {
    return nullptr;
  }
  info_ = info;
  if (!WriteHeaders()) return nullptr;
  end_ = kHeaderEnd;
  stream_.reset(new AviStream(*this));
  return stream_.get();
}

bool AviFile::WriteHeaders() {
  uint8_t h[kHeaderEnd] = {};
  uint8_t* p = h;
  p = PutLe32(p, kRiff);
  p = PutLe32(p, kHeaderEnd - 8);
  p = PutLe32(p, MakeFourCC('A', 'V', 'I', ' '));
  p = PutLe32(p, kList);
  p = PutLe32(p, kMoviSize - 4 - 20);  // hdrl: from its type to the movi list
  p = PutLe32(p, MakeFourCC('h', 'd', 'r', 'l'));

  const uint32_t width = static_cast<uint32_t>(info_.rcFrame.right - info_.rcFrame.left);
  const uint32_t height = static_cast<uint32_t>(info_.rcFrame.bottom - info_.rcFrame.top);
  p = PutLe32(p, MakeFourCC('a', 'v', 'i', 'h'));
  p = PutLe32(p, 56);
  p = PutLe32(p, static_cast<uint32_t>(1000000ull * info_.dwScale / info_.dwRate));
  p = PutLe32(p, 0);  // max bytes per second, known at release
  p = PutLe32(p, 0);  // padding granularity
  p = PutLe32(p, 0);  // flags, set with the index
  p = PutLe32(p, 0);  // total frames
  p = PutLe32(p, 0);  // initial frames
  p = PutLe32(p, 1);  // streams
  p = PutLe32(p, info_.dwSuggestedBufferSize);
  p = PutLe32(p, width);
  p = PutLe32(p, height);
  p += 16;  // reserved

  p = PutLe32(p, kList);
  p = PutLe32(p, 4 + 8 + 56 + 8 + 40);
  p = PutLe32(p, MakeFourCC('s', 't', 'r', 'l'));
  p = PutLe32(p, MakeFourCC('s', 't', 'r', 'h'));
  p = PutLe32(p, 56);
  p = PutLe32(p, info_.fccType);
  p = PutLe32(p, info_.fccHandler);
  p = PutLe32(p, info_.dwFlags);
  p = PutLe16(p, info_.wPriority);
  p = PutLe16(p, info_.wLanguage);
  p = PutLe32(p, info_.dwInitialFrames);
  p = PutLe32(p, info_.dwScale);
  p = PutLe32(p, info_.dwRate);
  p = PutLe32(p, info_.dwStart);
  p = PutLe32(p, 0);  // length, counted as frames are written
  p = PutLe32(p, info_.dwSuggestedBufferSize);
  p = PutLe32(p, info_.dwQuality);
  p = PutLe32(p, info_.dwSampleSize);
  p = PutRect16(p, info_.rcFrame);
  p = PutLe32(p, MakeFourCC('s', 't', 'r', 'f'));
  p = PutLe32(p, 40);
  p += 40;  // the format, given by SetFormat

  p = PutLe32(p, kList);
  p = PutLe32(p, 4);
  p = PutLe32(p, MakeFourCC('m', 'o', 'v', 'i'));
  if (p != h + sizeof h) return false;
  return PWriteAll(fd_, h, sizeof h, 0);
}

bool AviStream::SetFormat(int32_t /*pos*/, const BitmapInfoHeader& format, uint32_t size) {
  AviFile& f = file_;
  if (size != sizeof(BitmapInfoHeader) || f.failed_) return false;
  if (f.formatSet_) {
    BitmapInfoHeader a = f.format_, b = format;
    a.biSizeImage = b.biSizeImage = 0;
    return std::memcmp(&a, &b, sizeof a) == 0;
  }
  uint8_t bytes[40];
  PutBitmapInfoHeader(bytes, format);
  if (!PWriteAll(f.fd_, bytes, sizeof bytes, kStrfData)) return false;
  f.format_ = format;
  f.formatSet_ = true;
  return true;
}

bool AviStream::Write(int32_t pos, int32_t samples, const void* data, uint32_t size,
                      uint32_t flags) {
  AviFile& f = file_;
  if (f.failed_ || samples != 1 || pos != Length() || (size > 0 && !data)) return false;
  if (!f.Fits(size)) return false;
  const uint64_t padded = size + (size & 1u);
  const uint64_t after = f.end_ + 8 + padded;
  uint8_t head[8];
  PutLe32(PutLe32(head, kChunkId), size);
  uint8_t pad = 0;
  iovec iov[3] = {{head, 8}, {const_cast<void*>(data), size}, {&pad, padded - size}};
  size_t total = static_cast<size_t>(8 + padded);
  uint64_t offset = f.end_;
  int first = 0;
  while (total > 0) {
    ssize_t n = ::pwritev(f.fd_, iov + first, 3 - first, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // The sizes still describe the samples before this one; the torn
      // chunk goes, and the file takes nothing more.
      f.failed_ = true;
      ::ftruncate(f.fd_, static_cast<off_t>(f.end_));
      return false;
    }
    total -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
    size_t left = static_cast<size_t>(n);
    while (first < 3 && left >= iov[first].iov_len) {
      left -= iov[first].iov_len;
      ++first;
    }
    if (first < 3) {
      iov[first].iov_base = static_cast<uint8_t*>(iov[first].iov_base) + left;
      iov[first].iov_len -= left;
    }
  }
  f.index_.push_back({flags, static_cast<uint32_t>(f.end_ - kMoviTag), size});
  f.end_ = after;
  if (!PatchCounts(f.fd_, f.end_, static_cast<uint32_t>(f.index_.size()))) {
    f.failed_ = true;
    return false;
  }
  return true;
}

int32_t AviStream::Length() const {
  return static_cast<int32_t>(file_.index_.size());
}

AviRepair RepairAvi(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return AviRepair::kNotOurs;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return AviRepair::kBusy;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return AviRepair::kNotOurs;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  uint8_t h[kHeaderEnd];
  if (size < kHeaderEnd || ::pread(fd, h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) {
    return AviRepair::kNotOurs;
  }
  auto tag = [&](uint32_t at, uint32_t fourcc) { return Le32At(h + at) == fourcc; };
  if (!tag(0, kRiff) || !tag(8, MakeFourCC('A', 'V', 'I', ' ')) ||
      !tag(kAvihData - 8, MakeFourCC('a', 'v', 'i', 'h')) ||
      !tag(kStrhData - 8, MakeFourCC('s', 't', 'r', 'h')) ||
      !tag(kStrfData - 8, MakeFourCC('s', 't', 'r', 'f')) || !tag(kMoviSize - 4, kList) ||
      !tag(kMoviTag, MakeFourCC('m', 'o', 'v', 'i'))) {
    return AviRepair::kNotOurs;
  }
  if ((Le32At(h + kAvihFlags) & kAvifHasIndex) && uint64_t{Le32At(h + 4)} + 8 == size) {
    return AviRepair::kIntact;
  }
  const uint32_t scale = Le32At(h + kStrhScale);
  const uint32_t rate = Le32At(h + kStrhScale + 4);

  // Every whole frame chunk, in order; the first thing that is not one
  // (a torn chunk, a torn index) ends the frames.
  std::vector<AviIndexEntry> index;
  uint64_t end = kHeaderEnd;
  while (end + 8 <= size) {
    uint8_t c[9] = {};
    const ssize_t got = ::pread(fd, c, sizeof c, static_cast<off_t>(end));
    if (got < 8 || Le32At(c) != kChunkId) break;
    const uint32_t chunk = Le32At(c + 4);
    const uint64_t next = end + 8 + chunk + (chunk & 1u);
    if (next > size || (chunk > 0 && got < 9)) break;
    const bool intra = chunk > 0 && (c[8] >> 6) == 0;
    index.push_back({intra ? kAviIfKeyFrame : 0u, static_cast<uint32_t>(end - kMoviTag), chunk});
    end = next;
  }
  // What the file holds must stay within the 32-bit sizes with its index.
  while (!index.empty() && end + 8 + 16 * index.size() > std::numeric_limits<uint32_t>::max()) {
    end = kMoviTag + uint64_t{index.back().offset};
    index.pop_back();
  }
  CompleteFile(fd, end, index, rate, scale);
  return AviRepair::kRepaired;
}

}  // namespace zarvion
