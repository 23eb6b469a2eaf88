#include "platform/avi_repair.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/avi_layout.h"
#include "platform/log.h"
#include "platform/unique_fd.h"

namespace zarvion {

namespace {

using namespace avi;

constexpr size_t kPiece = size_t{1} << 20;
// Every size in the file is 32 bits: nothing larger is ours.
constexpr uint64_t kMostBytes = std::numeric_limits<uint32_t>::max();

// The bounds of one file's repair: its deadline, the caller's stop flag and
// the progress report.
class Budget {
 public:
  Budget(const AviRepairOptions& options, uint64_t total)
      : options_(options),
        total_(total),
        deadline_(std::chrono::steady_clock::now() + options.maxTime) {}

  // False (for good) once stopped or out of time.
  bool Go(uint64_t done) {
    if (stopped_) return false;
    if ((options_.cancel && options_.cancel->load()) ||
        std::chrono::steady_clock::now() > deadline_) {
      stopped_ = true;
      return false;
    }
    // Reported at each whole percent, or when a new pass begins.
    const uint64_t percent = total_ ? std::min(done, total_) * 100 / total_ : 100;
    if (options_.progress && percent != percent_) {
      percent_ = percent;
      options_.progress(std::min(done, total_), total_);
    }
    return true;
  }
  bool Stopped() const { return stopped_; }
  bool Cancelled() const { return options_.cancel && options_.cancel->load(); }

 private:
  const AviRepairOptions& options_;
  uint64_t total_;
  std::chrono::steady_clock::time_point deadline_;
  bool stopped_ = false;
  uint64_t percent_ = UINT64_MAX;
};

// Reads a file through a window of one piece.
class Window {
 public:
  Window(int fd, uint64_t size, Budget& budget)
      : fd_(fd), size_(size), budget_(budget), buf_(std::min<uint64_t>(kPiece, size)) {}

  // The `n` bytes at `pos`, or null past the end, on a read error or once
  // the budget is spent.
  const uint8_t* At(uint64_t pos, size_t n) {
    if (pos > size_ || n > size_ - pos) return nullptr;
    if (pos < start_ || pos + n > start_ + len_) {
      if (!Fill(pos) || n > len_) return nullptr;
    }
    return buf_.data() + (pos - start_);
  }
  // Whatever the window holds from `pos` (at least `n` bytes unless the file
  // ends first); its length in *len.
  const uint8_t* From(uint64_t pos, size_t n, size_t* len) {
    if (pos >= size_) return nullptr;
    if (pos < start_ || pos + std::min<uint64_t>(n, size_ - pos) > start_ + len_) {
      if (!Fill(pos)) return nullptr;
    }
    *len = static_cast<size_t>(start_ + len_ - pos);
    return buf_.data() + (pos - start_);
  }

 private:
  bool Fill(uint64_t pos) {
    if (!budget_.Go(pos)) return false;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buf_.size(), size_ - pos));
    if (!PReadAll(fd_, buf_.data(), want, pos)) return false;
    start_ = pos;
    len_ = want;
    return true;
  }

  int fd_;
  uint64_t size_;
  Budget& budget_;
  std::vector<uint8_t> buf_;
  uint64_t start_ = 0;
  size_t len_ = 0;
};

struct Frame {
  uint32_t at;  // the chunk's header, from the start of the file
  uint32_t size;
  bool key;
};

// Finds the whole frames of a file, in order.
class Scanner {
 public:
  Scanner(int fd, uint64_t size, Budget& budget, uint32_t maxFrames)
      : size_(size), maxFrames_(maxFrames), chunks_(fd, size, budget), search_(fd, size, budget) {}

  // False when the budget ran out or there are more frames than allowed.
  bool Run() {
    uint64_t pos = kHeaderEnd;
    while (pos < size_) {
      uint32_t id = 0;
      uint32_t size = 0;
      uint64_t next = 0;
      if (!Chunk(pos, &id, &size, &next)) {
        if (Stopped()) return false;
        clean_ = false;
        pos = Resync(pos + 1, size_);
        continue;
      }
      if (!Followed(next)) {
        // Either the damage follows this chunk, or its size is wrong and
        // runs over chunks of its own: then one of them shows inside it.
        const uint64_t inner = Resync(pos + 8, next);
        if (Stopped()) return false;
        if (inner < next) {
          clean_ = false;
          pos = inner;
          continue;
        }
      }
      // An empty chunk is no frame, yet players count it in time: a file
      // with one cannot take an index of its frames alone in place. Nor can
      // one whose last chunk lacks its pad byte: the index would start off
      // the even offset where readers look for it.
      if ((id == kChunkId && size == 0) || ((size & 1u) && next == pos + 8 + size)) clean_ = false;
      if (id == kChunkId && size > 0) {
        const uint8_t* first = chunks_.At(pos + 8, 1);
        if (!first) return false;
        if (frames_.size() == maxFrames_) {
          tooMany_ = true;
          return false;
        }
        frames_.push_back({static_cast<uint32_t>(pos), size, IsIntraFrame(*first)});
      }
      pos = next;
    }
    return !Stopped();
  }

  const std::vector<Frame>& Frames() const { return frames_; }
  // Nothing but whole chunks from the header to the end of the file.
  bool Clean() const { return clean_; }
  bool TooMany() const { return tooMany_; }

 private:
  bool Stopped() const { return stopped_; }

  // A frame or index chunk at `pos` that ends within the file.
  bool Chunk(uint64_t pos, uint32_t* id, uint32_t* size, uint64_t* next) {
    const uint8_t* h = chunks_.At(pos, 8);
    if (!h) {
      stopped_ = stopped_ || pos + 8 <= size_;
      return false;
    }
    *id = GetLe32(h);
    if (*id != kChunkId && *id != kIdx1) return false;
    *size = GetLe32(h + 4);
    const uint64_t end = pos + 8 + *size;
    if (end > size_) return false;
    // The pad byte of an odd last chunk may be missing.
    *next = std::min(end + (*size & 1u), size_);
    return true;
  }

  // The end of the file or another chunk's header at `next`.
  bool Followed(uint64_t next) {
    if (next == size_) return true;
    const uint8_t* h = chunks_.At(next, 4);
    if (!h) {
      stopped_ = stopped_ || next + 4 <= size_;
      return false;
    }
    const uint32_t id = GetLe32(h);
    return id == kChunkId || id == kIdx1;
  }

  // A chunk whose own size leads to the end of the file or another chunk.
  bool Confirmed(uint64_t pos) {
    uint32_t id = 0;
    uint32_t size = 0;
    uint64_t next = 0;
    return Chunk(pos, &id, &size, &next) && Followed(next);
  }

  // The first confirmed chunk at or after `from`, before `limit`; `limit`
  // when there is none (or the budget ran out).
  uint64_t Resync(uint64_t from, uint64_t limit) {
    uint64_t pos = from;
    while (pos < limit && pos + 8 <= size_) {
      size_t len = 0;
      const uint8_t* b = search_.From(pos, 8, &len);
      if (!b) {
        stopped_ = true;
        return limit;
      }
      // Headers starting in this piece, before the limit.
      const size_t span = static_cast<size_t>(std::min<uint64_t>(len, limit - pos + 3));
      if (span < 4) break;
      const uint8_t* hit[2] = {Find(b, span, "00dc"), Find(b, span, "idx1")};
      while (hit[0] || hit[1]) {
        const int k = !hit[0] ? 1 : !hit[1] ? 0 : hit[1] < hit[0] ? 1 : 0;
        const uint64_t at = pos + static_cast<uint64_t>(hit[k] - b);
        if (Confirmed(at)) return at;
        if (stopped_) return limit;
        hit[k] = Find(hit[k] + 1, span - static_cast<size_t>(hit[k] + 1 - b), k ? "idx1" : "00dc");
      }
      if (span < len || pos + len >= size_) break;
      pos += len - 3;
    }
    return limit;
  }

  static const uint8_t* Find(const uint8_t* b, size_t n, const char* tag) {
    return static_cast<const uint8_t*>(::memmem(b, n, tag, 4));
  }

  uint64_t size_;
  uint32_t maxFrames_;
  Window chunks_;
  Window search_;
  std::vector<Frame> frames_;
  bool clean_ = true;
  bool tooMany_ = false;
  bool stopped_ = false;
};

uint32_t MaxBytesPerSec(const uint8_t* header, const std::vector<Frame>& frames) {
  uint32_t most = 0;
  for (const Frame& f : frames) most = std::max(most, f.size);
  const uint32_t scale = GetLe32(header + kStrhScale);
  const uint32_t rate = GetLe32(header + kStrhRate);
  const uint64_t perSec = scale ? uint64_t{most} * rate / scale : 0;
  return static_cast<uint32_t>(std::min<uint64_t>(perSec, kMostBytes));
}

// Writes the idx1 chunk at `at`: each frame's entry with its offset from
// the movi tag, given by `offset`.
template <typename Offset>
bool WriteIndexAt(int fd, uint64_t at, const std::vector<Frame>& frames, Offset offset) {
  std::vector<uint8_t> buf;
  buf.reserve(64 * 1024);
  uint8_t head[8];
  PutLe32(PutLe32(head, kIdx1), static_cast<uint32_t>(16 * frames.size()));
  if (!PWriteAll(fd, head, sizeof head, at)) return false;
  at += sizeof head;
  for (size_t i = 0; i < frames.size(); ++i) {
    uint8_t e[16];
    uint8_t* p = PutLe32(e, kChunkId);
    p = PutLe32(p, frames[i].key ? kAvifHasIndex : 0u);
    p = PutLe32(p, offset(i));
    PutLe32(p, frames[i].size);
    buf.insert(buf.end(), e, e + 16);
    if (buf.size() == buf.capacity() || i + 1 == frames.size()) {
      if (!PWriteAll(fd, buf.data(), buf.size(), at)) return false;
      at += buf.size();
      buf.clear();
    }
  }
  return true;
}

// Header fields of a file whose frames (and whatever else the movi list
// holds) end at `moviEnd` and whose index follows.
bool PatchHeader(int fd, const uint8_t* header, uint64_t moviEnd, const std::vector<Frame>& frames) {
  const uint32_t n = static_cast<uint32_t>(frames.size());
  const uint64_t end = moviEnd + 8 + 16 * uint64_t{n};
  return PWrite32(fd, static_cast<uint32_t>(moviEnd - kMoviTag), kMoviSize) &&
         PWrite32(fd, n, kAvihTotalFrames) && PWrite32(fd, n, kStrhLength) &&
         PWrite32(fd, MaxBytesPerSec(header, frames), kAvihMaxBytesPerSec) &&
         PWrite32(fd, static_cast<uint32_t>(end - 8), 4) &&
         PWrite32(fd, GetLe32(header + kAvihFlags) | kAvifHasIndex, kAvihFlags);
}

// The index after the last frame, then the sizes: only appended bytes and
// header fields change. A failure takes back what was appended.
AviRepair RepairInPlace(int fd, uint64_t size, const uint8_t* header,
                        const std::vector<Frame>& frames) {
  const bool written =
      WriteIndexAt(fd, size, frames, [&](size_t i) { return frames[i].at - kMoviTag; }) &&
      ::fdatasync(fd) == 0 && PatchHeader(fd, header, size, frames);
  if (written) return AviRepair::kRepaired;
  // Only the index's own bytes go, and the header is as it was.
  if (::ftruncate(fd, static_cast<off_t>(size)) == 0) PWriteAll(fd, header, kHeaderEnd, 0);
  return AviRepair::kFailed;
}

// Removes the copy `fd` again unless it is kept, if its name still refers
// to it. Made after the descriptor's owner, so it runs while `fd` is open.
struct Unlinker {
  int dirFd;
  const std::string& name;
  int fd;
  bool keep = false;
  ~Unlinker() {
    if (keep) return;
    struct stat mine {}, named {};
    if (::fstat(fd, &mine) == 0 &&
        ::fstatat(dirFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        mine.st_dev == named.st_dev && mine.st_ino == named.st_ino) {
      ::unlinkat(dirFd, name.c_str(), 0);
    }
  }
};

// The whole frames into a new file beside the old one.
AviRepair CopyFrames(int dirFd, const std::string& copyName, int fd, const uint8_t* header,
                     const std::vector<Frame>& frames, Budget& budget) {
  uint64_t moviEnd = kHeaderEnd;
  std::vector<uint32_t> offsets(frames.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    offsets[i] = static_cast<uint32_t>(moviEnd - kMoviTag);
    moviEnd += 8 + uint64_t{frames[i].size} + (frames[i].size & 1u);
  }
  if (moviEnd + 8 + 16 * frames.size() > kMostBytes) return AviRepair::kSkipped;

  const UniqueFd copy(::openat(dirFd, copyName.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!copy.Valid()) return errno == EEXIST ? AviRepair::kCopyExists : AviRepair::kFailed;
  const int out = copy.Get();
  Unlinker guard{dirFd, copyName, out};
  if (::flock(out, LOCK_EX | LOCK_NB) != 0) return AviRepair::kFailed;
  if (!PWriteAll(out, header, kHeaderEnd, 0)) return AviRepair::kFailed;

  std::vector<uint8_t> buf(std::min<uint64_t>(kPiece, moviEnd));
  uint64_t at = kHeaderEnd;
  for (const Frame& f : frames) {
    uint8_t head[8];
    PutLe32(PutLe32(head, kChunkId), f.size);
    if (!PWriteAll(out, head, sizeof head, at)) return AviRepair::kFailed;
    at += sizeof head;
    for (uint32_t done = 0; done < f.size;) {
      if (!budget.Go(f.at)) return AviRepair::kSkipped;
      const size_t n = std::min<size_t>(buf.size(), f.size - done);
      if (!PReadAll(fd, buf.data(), n, uint64_t{f.at} + 8 + done) ||
          !PWriteAll(out, buf.data(), n, at)) {
        return AviRepair::kFailed;
      }
      done += static_cast<uint32_t>(n);
      at += n;
    }
    if (f.size & 1u) {
      const uint8_t pad = 0;
      if (!PWriteAll(out, &pad, 1, at++)) return AviRepair::kFailed;
    }
  }
  if (!WriteIndexAt(out, moviEnd, frames, [&](size_t i) { return offsets[i]; }) ||
      !PatchHeader(out, header, moviEnd, frames) || ::fdatasync(out) != 0) {
    return AviRepair::kFailed;
  }
  guard.keep = true;
  return AviRepair::kCopied;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A regular file of this user with no other name.
bool Plain(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && st.st_nlink == 1;
}

// Indexed already: the flag, an idx1 right after the movi list, and the
// RIFF around both. Bytes past the RIFF (appended later) are no concern of
// a reader's, nor of ours.
bool Intact(int fd, const uint8_t* h, uint64_t size) {
  const uint64_t riffEnd = uint64_t{GetLe32(h + 4)} + 8;
  if (!(GetLe32(h + kAvihFlags) & kAvifHasIndex) || riffEnd > size) return false;
  const uint64_t moviEnd = kMoviTag + uint64_t{GetLe32(h + kMoviSize)};
  uint8_t idx[8];
  if (moviEnd + 8 > riffEnd || !PReadAll(fd, idx, sizeof idx, moviEnd)) return false;
  return GetLe32(idx) == kIdx1 && moviEnd + 8 + GetLe32(idx + 4) <= riffEnd;
}

// The file is named by its folder's descriptor; the line names the folder
// the descriptor refers to.
void LogRepairFailure(int dirFd, const std::string& name, const std::string& why, int error) {
  if (!LogEnabled(LogCategory::kRecording)) return;
  char folder[4096] = ".";
  const std::string link = "/proc/self/fd/" + std::to_string(dirFd);
  const ssize_t n = ::readlink(link.c_str(), folder, sizeof folder - 1);
  if (n > 0) folder[n] = '\0';
  Log(LogCategory::kRecording, LogSeverity::kWarning, "repair of %s/%s: %s: %s", folder,
      name.c_str(), why.c_str(), ErrnoText(error).c_str());
}

AviRepairResult Left(AviRepair status, const char* why) {
  AviRepairResult r;
  r.status = status;
  r.why = why;
  return r;
}

}  // namespace

std::string RepairedCopyName(const std::string& name) {
  const bool avi = name.size() >= 4 && name.compare(name.size() - 4, 4, ".avi") == 0;
  return (avi ? name.substr(0, name.size() - 4) : name) + ".repaired.avi";
}

AviRepairResult RepairAviAt(int dirFd, const std::string& name, const AviRepairOptions& options) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    return Left(AviRepair::kNotOurs, "not a file name");
  }
  struct stat named {};
  if (::fstatat(dirFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
    return Left(AviRepair::kNotOurs, "cannot be read");
  }
  if (!Plain(named)) return Left(AviRepair::kNotOurs, "not a plain file of this user");
  bool writable = true;
  const int how = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  UniqueFd file(::openat(dirFd, name.c_str(), O_RDWR | how));
  if (!file.Valid() && (errno == EACCES || errno == EROFS || errno == EPERM)) {
    writable = false;
    file.Reset(::openat(dirFd, name.c_str(), O_RDONLY | how));
  }
  if (!file.Valid()) return Left(AviRepair::kNotOurs, "cannot be read");
  const int fd = file.Get();
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !SameFile(st, named) || !Plain(st)) {
    return Left(AviRepair::kNotOurs, "not a plain file of this user");
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  uint8_t h[kHeaderEnd];
  if (size < kHeaderEnd || size > kMostBytes || !PReadAll(fd, h, sizeof h, 0) ||
      !IsOwnHeader(h)) {
    return Left(AviRepair::kNotOurs, "not a recording of this viewer");
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return Left(AviRepair::kBusy, "being written");
  if (Intact(fd, h, size)) return Left(AviRepair::kIntact, "");

  AviRepairResult result;
  const std::string copyName = RepairedCopyName(name);
  struct stat copy {};
  if (::fstatat(dirFd, copyName.c_str(), &copy, AT_SYMLINK_NOFOLLOW) == 0) {
    result = Left(AviRepair::kCopyExists, "damaged; repaired before");
    result.copy = copyName;
    return result;
  }

  Budget budget(options, size);
  Scanner scan(fd, size, budget, options.maxFrames);
  if (!scan.Run()) {
    return Left(AviRepair::kSkipped, scan.TooMany()       ? "too many frames"
                                     : budget.Cancelled() ? "stopped"
                                     : budget.Stopped()   ? "took too long"
                                                          : "cannot be read");
  }
  result.frames = static_cast<uint32_t>(scan.Frames().size());
  if (scan.Frames().empty()) {
    result.status = AviRepair::kNoFrames;
    result.why = "no whole frame";
    return result;
  }
  if (scan.Clean() && writable) {
    if (size + 8 + 16 * uint64_t{result.frames} > kMostBytes) {
      result.status = AviRepair::kSkipped;
      result.why = "no room for the index within 4 GiB";
      return result;
    }
    result.status = RepairInPlace(fd, size, h, scan.Frames());
    if (result.status == AviRepair::kFailed) result.why = "the index cannot be written";
    if (result.status == AviRepair::kFailed) LogRepairFailure(dirFd, name, result.why, errno);
    return result;
  }
  result.status = CopyFrames(dirFd, copyName, fd, h, scan.Frames(), budget);
  switch (result.status) {
    case AviRepair::kCopied:
    case AviRepair::kCopyExists:
      result.copy = copyName;
      break;
    case AviRepair::kSkipped:
      result.why = budget.Cancelled() ? "stopped" : "took too long";
      break;
    default:
      result.why = "the repaired copy cannot be written";
      LogRepairFailure(dirFd, copyName, result.why, errno);
      break;
  }
  return result;
}

AviRepairResult RepairAvi(const std::string& path, const AviRepairOptions& options) {
  const size_t slash = path.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.Valid()) return Left(AviRepair::kNotOurs, "cannot be read");
  return RepairAviAt(dir.Get(), name, options);
}

AviRepair RepairAvi(const std::string& path) {
  return RepairAvi(path, AviRepairOptions{}).status;
}

}  // namespace zarvion
