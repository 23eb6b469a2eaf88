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
#include <utility>

#include "platform/avi_layout.h"
#include "platform/log.h"

namespace zarvion {

namespace {

using namespace avi;

// A recording that could not be written as it should: which file, what
// failed and the system's reason, which errno keeps for the caller.
void LogFailure(const std::string& path, const char* what) {
  const int error = errno;
  Log(LogCategory::kRecording, LogSeverity::kWarning, "%s: %s: %s", path.c_str(), what,
      ErrnoText(error).c_str());
  errno = error;
}

uint8_t* PutRect16(uint8_t* p, const AviRect& r) {
  p = PutLe16(p, static_cast<uint16_t>(r.left));
  p = PutLe16(p, static_cast<uint16_t>(r.top));
  p = PutLe16(p, static_cast<uint16_t>(r.right));
  return PutLe16(p, static_cast<uint16_t>(r.bottom));
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
                  uint32_t scale, const std::string& path) {
  uint32_t maxChunk = 0;
  for (const AviIndexEntry& e : index) maxChunk = std::max(maxChunk, e.size);
  const uint64_t perSec = scale ? uint64_t{maxChunk} * rate / scale : 0;
  const uint32_t maxBytesPerSec = static_cast<uint32_t>(std::min<uint64_t>(perSec, UINT32_MAX));
  const size_t frames = index.size();
  for (;;) {
    // Whatever lies past the whole frames (a torn chunk, a torn index)
    // goes first, so the sizes never describe it.
    if (::ftruncate(fd, static_cast<off_t>(end)) != 0) {
      LogFailure(path, "cannot cut back to the whole frames");
      return;
    }
    if (!PatchCounts(fd, end, static_cast<uint32_t>(index.size()))) {
      LogFailure(path, "cannot complete the sizes");
      return;
    }
    if (WriteIndex(fd, end, index, maxBytesPerSec)) break;
    if (index.size() == frames) LogFailure(path, "cannot write the index");
    if (index.empty()) {
      ::ftruncate(fd, static_cast<off_t>(end));
      return;
    }
    end = kMoviTag + uint64_t{index.back().offset};
    index.pop_back();
  }
  if (index.size() != frames) {
    Log(LogCategory::kRecording, LogSeverity::kWarning,
        "%s: the last %zu of %zu frames dropped to make room for the index", path.c_str(),
        frames - index.size(), frames);
  }
}

}  // namespace

std::optional<AviRateOrigin> ReadAviRateMark(const uint8_t* header, size_t size) {
  if (size < kHeaderEnd || !IsOwnHeader(header) || GetLe32(header + kAvihMark) != kRateMark) {
    return std::nullopt;
  }
  const uint32_t origin = GetLe32(header + kAvihRateOrigin);
  if (origin > static_cast<uint32_t>(AviRateOrigin::kGiven)) return std::nullopt;
  return static_cast<AviRateOrigin>(origin);
}

std::unique_ptr<AviFile> AviFile::Open(const std::string& path, uint32_t mode) {
  if ((mode & (kOfCreate | kOfWrite)) != (kOfCreate | kOfWrite)) return nullptr;
  // Always a new file: a name that is taken (another recording, a link
  // planted in the folder) is never opened, let alone emptied.
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  // A name that is taken is no failure: the caller tries the next one.
  if (!fd.Valid() && errno != EEXIST) LogFailure(path, "cannot create");
  if (!fd.Valid()) return nullptr;
  std::unique_ptr<AviFile> file(new AviFile(std::move(fd), path));
  // Held while the file is written: a repair in another process leaves a
  // recording under way alone. A repair looks at a file this new only for a
  // moment, so the lock is tried for a while; a file that cannot be locked
  // is not recorded into.
  for (int attempt = 0; ::flock(file->fd_.Get(), LOCK_EX | LOCK_NB) != 0; ++attempt) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || attempt == 100) {
      LogFailure(path, "cannot lock");
      file->Discard();
      return nullptr;
    }
    ::usleep(10000);
  }
  return file;
}

AviFile::AviFile(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {
  struct stat st {};
  if (::fstat(fd_.Get(), &st) == 0) {
    dev_ = st.st_dev;
    ino_ = st.st_ino;
  }
}

AviFile::~AviFile() {
  if (discard_) {
    // Only the file this object made goes: not one that took its name since.
    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) {
      ::unlink(path_.c_str());
    }
  } else if (stream_ && !Removed()) {
    Finish();
  }
}

bool AviFile::Removed() const {
  struct stat st {};
  return ::fstat(fd_.Get(), &st) != 0 || st.st_nlink == 0;
}

void AviFile::Finish() {
  // A recording shorter than the first estimate still gets the rate of the
  // frames it has when they span a second.
  if (measuring_) {
    if (std::optional<FrameRate> r = arrival_.Rate(std::chrono::seconds(1))) {
      if (*r != Rate() || origin_ != AviRateOrigin::kMeasured) {
        SetRate(*r, AviRateOrigin::kMeasured);
      }
    }
  }
  CompleteFile(fd_.Get(), end_, index_, info_.dwRate, info_.dwScale, path_);
}

bool AviFile::Fits(uint32_t size) const {
  // The chunk, the index with one more entry and its header must all stay
  // within what the 32-bit RIFF size can count.
  const uint64_t after = end_ + 8 + size + (size & 1u);
  return after + 8 + 16 * (index_.size() + 1) <= std::numeric_limits<uint32_t>::max();
}

AviStream* AviFile::CreateStream(const AviStreamInfo& info, AviRateOrigin origin) {
  if (stream_ || info.fccType != kStreamTypeVideo || info.dwRate == 0 || info.dwScale == 0) {
    return nullptr;
  }
  info_ = info;
  origin_ = origin;
  if (!WriteHeaders()) {
    LogFailure(path_, "cannot write the headers");
    return nullptr;
  }
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
  p = PutLe32(p, Rate().MicrosecondsPerFrame());
  p = PutLe32(p, 0);  // max bytes per second, known at release
  p = PutLe32(p, 0);  // padding granularity
  p = PutLe32(p, 0);  // flags, set with the index
  p = PutLe32(p, 0);  // total frames
  p = PutLe32(p, 0);  // initial frames
  p = PutLe32(p, 1);  // streams
  p = PutLe32(p, info_.dwSuggestedBufferSize);
  p = PutLe32(p, width);
  p = PutLe32(p, height);
  p = PutLe32(p, kRateMark);
  p = PutLe32(p, static_cast<uint32_t>(origin_));
  p += 8;  // reserved

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
  return PWriteAll(fd_.Get(), h, sizeof h, 0);
}

void AviFile::SetRate(FrameRate rate, AviRateOrigin origin) {
  info_.dwRate = rate.rate;
  info_.dwScale = rate.scale;
  origin_ = origin;
  if (!stream_ || failed_) return;
  const int fd = fd_.Get();
  // The origin goes last: a header never claims a rate it does not hold.
  if (!PWrite32(fd, rate.MicrosecondsPerFrame(), kAvihMicroSecPerFrame) ||
      !PWrite32(fd, rate.scale, kStrhScale) || !PWrite32(fd, rate.rate, kStrhRate) ||
      !PWrite32(fd, static_cast<uint32_t>(origin), kAvihRateOrigin)) {
    LogFailure(path_, "cannot write the frame rate");
  }
}

void AviFile::MeasureRate(std::optional<FrameRate> known) {
  if (known && known->rate && known->scale) {
    measuring_ = false;
    SetRate(*known, AviRateOrigin::kMeasured);
    return;
  }
  measuring_ = true;
  arrival_ = ArrivalRate();
}

void AviFile::MeasureArrival() {
  arrival_.Frame(ArrivalRate::Clock::now());
  if (std::optional<FrameRate> r = arrival_.Rate()) {
    if (*r != Rate() || origin_ != AviRateOrigin::kMeasured) SetRate(*r, AviRateOrigin::kMeasured);
  }
  // Past the first seconds the rate stands; release writes nothing new.
  if (arrival_.Settled()) measuring_ = false;
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
  if (!PWriteAll(f.fd_.Get(), bytes, sizeof bytes, kStrfData)) {
    LogFailure(f.path_, "cannot write the format");
    return false;
  }
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
    ssize_t n = ::pwritev(f.fd_.Get(), iov + first, 3 - first, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // The sizes still describe the samples before this one; the torn
      // chunk goes, and the file takes nothing more.
      LogFailure(f.path_, "cannot write a frame");
      f.failed_ = true;
      ::ftruncate(f.fd_.Get(), static_cast<off_t>(f.end_));
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
  if (!PatchCounts(f.fd_.Get(), f.end_, static_cast<uint32_t>(f.index_.size()))) {
    LogFailure(f.path_, "cannot update the sizes");
    f.failed_ = true;
    return false;
  }
  if (f.measuring_) f.MeasureArrival();
  return true;
}

int32_t AviStream::Length() const {
  return static_cast<int32_t>(file_.index_.size());
}

}  // namespace zarvion
