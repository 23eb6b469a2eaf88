// The "MP43" video decompressor: one compressed frame in, one bottom-up RGB
// picture (32-bit BGRX by preference, or 24-bit BGR) out, frames taken one
// at a time in arrival order with a result per frame. Backed by libavcodec's
// MS MPEG-4 v3 decoder and libswscale.
//
// The calls follow the platform decompressor protocol: open by FOURCC, ask
// for the preferred output format, query, begin, decompress frame by frame,
// end. The compressed stream carries no picture size, so the codec is
// opened by Begin, which knows it from the input format. Nothing is
// allocated per frame once Begin has run.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/bitmap_info.h"
#include "platform/surface.h"

struct AVFrame;

namespace zarvion {

// Per-call results, as the platform's ICERR_* codes.
enum Mp43Result : int32_t {
  kIcErrOk = 0,
  kIcErrUnsupported = -1,
  kIcErrBadFormat = -2,
  kIcErrMemory = -3,
  kIcErrInternal = -4,
  kIcErrBadParam = -6,
  kIcErrError = -100,
};

constexpr uint32_t kIcModeFastDecompress = 3;

// The environment variable that sets how much libavcodec logs: a level
// name ("quiet" ... "trace") or its number. Unset: quiet.
inline constexpr const char* kFfmpegLogLevelVariable = "ZARVION_FFMPEG_LOGLEVEL";
// The library's level for such a text; quiet for anything else.
int FfmpegLogLevel(const char* text);

// One of a decompressor's decoded pictures, held by it and by the pictures
// shared from it.
struct HeldFrame;

// A picture a decompressor decoded, shared with it (no copy) to be
// converted later, on another thread if need be. Neither the codec nor the
// decompressor writes a picture while it is shared, so the pixels stay as
// they are until every holder has let go. Sharing takes no allocation: the
// decompressor decodes into a picture of its own that nobody shares.
// Move only; each holder is used by one thread at a time.
class SharedPicture {
 public:
  SharedPicture();
  ~SharedPicture();
  SharedPicture(SharedPicture&& other) noexcept;
  SharedPicture& operator=(SharedPicture&& other) noexcept;
  SharedPicture(const SharedPicture&) = delete;
  SharedPicture& operator=(const SharedPicture&) = delete;

  bool Empty() const;
  void Reset();
  int Width() const;
  int Height() const;

 private:
  friend class Mp43Decompressor;
  friend class PictureConverter;
  const AVFrame* Frame() const;
  HeldFrame* held_ = nullptr;
};

// Turns shared pictures into 32-bit rows, top row first: the same pixels as
// the decompressor's own 32-bit output (opaque). Keeps what it needs from
// one picture to the next, so a warm converter allocates nothing; one
// converter per thread.
class PictureConverter {
 public:
  PictureConverter();
  ~PictureConverter();
  PictureConverter(const PictureConverter&) = delete;
  PictureConverter& operator=(const PictureConverter&) = delete;
  // `pixels` holds the picture's height rows of `stride` bytes, each with
  // room for its width. False (pixels untouched) for an empty picture or
  // when the conversion cannot be set up.
  [[nodiscard]] bool Convert(const SharedPicture& picture, uint8_t* pixels, int stride);
  // Nearest-neighbour stretch of srcRect of `picture` onto dstRect of dst,
  // inside `clip`, in one pass: each destination row converts only the
  // source columns it reads, of its one source row, into a row of the
  // converter's own. The pixels are those of Convert, then StretchPixels
  // with every pixel opaque. False (nothing written) as StretchPixels, or
  // for an empty picture or one that cannot be converted.
  [[nodiscard]] bool Stretch(const SharedPicture& picture, const Rect& srcRect,
                             const PixelView& dst, const Rect& dstRect, const Rect& clip);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

class Mp43Decompressor {
 public:
  // A decompressor for type "vidc" and the given handler (the only one
  // there is: "MP43", any letter case); null for any other FOURCC or when
  // libavcodec has no MS MPEG-4 v3 decoder.
  [[nodiscard]] static std::unique_ptr<Mp43Decompressor> Open(
      uint32_t fccType, uint32_t fccHandler, uint32_t mode = kIcModeFastDecompress);
  ~Mp43Decompressor();
  Mp43Decompressor(const Mp43Decompressor&) = delete;
  Mp43Decompressor& operator=(const Mp43Decompressor&) = delete;

  // The bit count GetFormat offers: 32 (the default) or 24.
  void SetPreferredBitCount(uint16_t bits);

  // Writes the preferred output for `in` over `out`: same size, bottom-up,
  // one plane, the preferred bit count, BI_RGB. Fails (out untouched) when
  // `in` is not an MP43 format with a usable size.
  [[nodiscard]] int32_t GetFormat(const BitmapInfoHeader& in, BitmapInfoHeader* out) const;
  // Whether `in` can be turned into `out` (32 or 24 bits, BI_RGB, same
  // width, height of the same magnitude; negative = top-down rows).
  [[nodiscard]] int32_t Query(const BitmapInfoHeader& in, const BitmapInfoHeader& out) const;
  // Takes `in` and `out` for the frames to come (the codec is opened by the
  // first of them, the conversion made by the first picture written out).
  // May be called again to switch formats; replaces what an earlier Begin
  // set up.
  [[nodiscard]] int32_t Begin(const BitmapInfoHeader& in, const BitmapInfoHeader& out);
  // Decompresses `in.biSizeImage` bytes of `data` into `picture`, which
  // holds at least out's image size. Both formats must match those given to
  // Begin (biSizeImage of `in` aside), except that `out` may turn the row
  // order (the sign of biHeight) frame by frame. `flags` are the decompression flags;
  // none of them changes an ordinary decompression.
  [[nodiscard]] int32_t Decompress(uint32_t flags, const BitmapInfoHeader& in, const uint8_t* data,
                                   const BitmapInfoHeader& out, uint8_t* picture);
  // Decompress in two halves: DecodeOnly decodes the frame and keeps its
  // picture; ConvertHeld writes that picture out (any number of times) until
  // the next DecodeOnly or End. A picture nobody looks at need not be
  // converted. ConvertHeld fails when the last decode did.
  [[nodiscard]] int32_t DecodeOnly(uint32_t flags, const BitmapInfoHeader& in, const uint8_t* data,
                                   const BitmapInfoHeader& out);
  [[nodiscard]] int32_t ConvertHeld(const BitmapInfoHeader& out, uint8_t* picture);
  // Shares the held picture with `into` (replacing what it held); false,
  // and `into` emptied, when there is none.
  [[nodiscard]] bool ShareHeld(SharedPicture* into) const;
  // The held picture's luma plane, read only until the next DecodeOnly or
  // End; false when there is none.
  bool HeldLuma(const uint8_t** luma, int* stride, int* width, int* height) const;
  // Releases what Begin set up; Decompress then fails until the next Begin.
  int32_t End();

 private:
  Mp43Decompressor();
  struct FrameRelease {
    void operator()(HeldFrame* f) const;
  };
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace zarvion
