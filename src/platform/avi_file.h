// RIFF AVI writer for one video stream: the stream header and format are
// exactly those the caller gives, one '00dc' chunk per written sample, and
// an idx1 index whose flags are the caller's (0x10 = key frame).
//
// The file stays readable at every moment: each frame goes straight to the
// file (no buffer of our own to lose) and brings the RIFF and movi sizes and
// the frame counts up to date, so a recording cut short by a crash still
// holds every frame written (readers scan it without the index, and
// RepairAvi gives it one). Releasing the file appends the index. A write
// that fails (full disk) is cut back off, and the index is still written.
// The file is always new (O_EXCL) and locked (flock) while open, so a repair
// never touches a recording under way in another process.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/bitmap_info.h"
#include "platform/frame_rate.h"
#include "platform/unique_fd.h"

namespace zarvion {

constexpr uint32_t kStreamTypeVideo = MakeFourCC('v', 'i', 'd', 's');
constexpr uint32_t kAviIfKeyFrame = 0x10;
constexpr uint32_t kOfWrite = 0x0001;
constexpr uint32_t kOfCreate = 0x1000;

// Where the rate in a file's header comes from. Every file this writer makes
// carries a mark in the main header's reserved words, which readers of the
// format ignore: the letters "ZVRT", then this origin as a 32-bit word. A
// file of ours without the mark was written when every recording's header
// said 10 frames a second, whatever the recorder sent.
enum class AviRateOrigin : uint32_t {
  kAssumed = 0,   // nothing better known: the rate the stream was made with
  kMeasured = 1,  // measured from the arrival of the frames as they were written
  kGiven = 2,     // the stream's own rate, known to whoever wrote it
};

// The mark in a file's first `size` bytes (at least the 224 of our header);
// nothing for a file without it (older, or not this writer's).
std::optional<AviRateOrigin> ReadAviRateMark(const uint8_t* header, size_t size);

// Field for field the platform's AVISTREAMINFOA (140 bytes).
struct AviRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};
struct AviStreamInfo {
  uint32_t fccType = 0;
  uint32_t fccHandler = 0;
  uint32_t dwFlags = 0;
  uint32_t dwCaps = 0;
  uint16_t wPriority = 0;
  uint16_t wLanguage = 0;
  uint32_t dwScale = 0;
  uint32_t dwRate = 0;
  uint32_t dwStart = 0;
  uint32_t dwLength = 0;
  uint32_t dwInitialFrames = 0;
  uint32_t dwSuggestedBufferSize = 0;
  uint32_t dwQuality = 0;
  uint32_t dwSampleSize = 0;
  AviRect rcFrame;
  uint32_t dwEditCount = 0;
  uint32_t dwFormatChangeCount = 0;
  char szName[64] = {};
};
static_assert(sizeof(AviStreamInfo) == 140);

class AviFile;

struct AviIndexEntry {
  uint32_t flags;
  uint32_t offset;  // of the chunk, from the 'movi' tag
  uint32_t size;
};

// The file's one stream; owned by its AviFile and valid while it lives.
class AviStream {
 public:
  // The stream format: a 40-byte bitmap header. The first call fixes it; a
  // later one that differs only in biSizeImage (the per-frame length the
  // recorder passes before every frame) is accepted and changes nothing;
  // any other change is refused.
  [[nodiscard]] bool SetFormat(int32_t pos, const BitmapInfoHeader& format, uint32_t size);
  // Appends one sample. `pos` must be the next position; `flags` become its
  // index flags. False when nothing was written (wrong position, a write
  // error, or the file would outgrow what RIFF sizes can describe); the file
  // then still holds every earlier sample intact.
  [[nodiscard]] bool Write(int32_t pos, int32_t samples, const void* data, uint32_t size,
                           uint32_t flags);
  int32_t Length() const;

 private:
  friend class AviFile;
  explicit AviStream(AviFile& file) : file_(file) {}
  AviFile& file_;
};

class AviFile {
 public:
  // Creates the file, which must not exist yet (a link of that name is not
  // followed), and locks it; mode must include kOfCreate|kOfWrite. Null when
  // the file cannot be created or locked; an existing file is left alone.
  [[nodiscard]] static std::unique_ptr<AviFile> Open(const std::string& path, uint32_t mode);
  // Patches the headers, appends the index and closes the file. When the
  // file system has no room for the whole index, frames are dropped from the
  // end until it fits: an indexed file is worth more than its last frames.
  ~AviFile();
  AviFile(const AviFile&) = delete;
  AviFile& operator=(const AviFile&) = delete;

  // The single video stream with the given header; null if one exists
  // already, the type is not "vids", or the headers cannot be written.
  // `origin` goes into the mark.
  [[nodiscard]] AviStream* CreateStream(const AviStreamInfo& info,
                                        AviRateOrigin origin = AviRateOrigin::kAssumed);
  // From now on the stream's rate is measured from the times its frames are
  // written (see ArrivalRate), and goes into the header as soon as it is
  // known, so a file a crash leaves holds it too, and again at release.
  // `known`, a rate measured before (the file before a split), holds at
  // once instead.
  void MeasureRate(std::optional<FrameRate> known = std::nullopt);
  // The stream's rate as the header says it now, and where it comes from.
  FrameRate Rate() const { return {info_.dwRate, info_.dwScale}; }
  AviRateOrigin RateOrigin() const { return origin_; }

  // Bytes in the file so far (headers and whole frames, without the index).
  uint64_t Bytes() const { return end_; }
  // True once a write has failed; the file then takes no more frames.
  bool Failed() const { return failed_; }
  // True when a chunk of `size` bytes still fits the 32-bit RIFF sizes.
  bool Fits(uint32_t size) const;
  // Removes the file when this object is destroyed (a start that could not
  // be completed leaves nothing behind), if its name still refers to it.
  void Discard() { discard_ = true; }
  // True once the file has no name left (its folder was deleted): it is
  // then closed without completing it.
  bool Removed() const;

 private:
  friend class AviStream;
  AviFile(UniqueFd fd, std::string path);
  bool WriteHeaders();
  void Finish();
  // Puts a rate into the header and the stream info.
  void SetRate(FrameRate rate, AviRateOrigin origin);
  void MeasureArrival();

  UniqueFd fd_;
  std::string path_;
  uint64_t dev_ = 0;
  uint64_t ino_ = 0;
  std::unique_ptr<AviStream> stream_;
  AviStreamInfo info_;
  BitmapInfoHeader format_;
  bool formatSet_ = false;
  uint64_t end_ = 0;  // file size so far
  std::vector<AviIndexEntry> index_;
  bool failed_ = false;
  bool discard_ = false;
  AviRateOrigin origin_ = AviRateOrigin::kAssumed;
  bool measuring_ = false;
  ArrivalRate arrival_;
};

}  // namespace zarvion
