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

class Mp43Decompressor {
 public:
  // A decompressor for type "vidc" and the given handler (the only one
  // there is: "MP43", any letter case); null for any other FOURCC or when
  // libavcodec has no MS MPEG-4 v3 decoder.
  static std::unique_ptr<Mp43Decompressor> Open(uint32_t fccType, uint32_t fccHandler,
                                                uint32_t mode = kIcModeFastDecompress);
  ~Mp43Decompressor();
  Mp43Decompressor(const Mp43Decompressor&) = delete;
  Mp43Decompressor& operator=(const Mp43Decompressor&) = delete;

  // The bit count GetFormat offers: 32 (the default) or 24.
  void SetPreferredBitCount(uint16_t bits);

  // Writes the preferred output for `in` over `out`: same size, bottom-up,
  // one plane, the preferred bit count, BI_RGB. Fails (out untouched) when
  // `in` is not an MP43 format with a usable size.
  int32_t GetFormat(const BitmapInfoHeader& in, BitmapInfoHeader* out) const;
  // Whether `in` can be turned into `out` (32 or 24 bits, BI_RGB, same
  // width, height of the same magnitude; negative = top-down rows).
  int32_t Query(const BitmapInfoHeader& in, const BitmapInfoHeader& out) const;
  // Opens the codec for `in` and prepares the conversion to `out`. May be
  // called again to switch formats; replaces what an earlier Begin set up.
  int32_t Begin(const BitmapInfoHeader& in, const BitmapInfoHeader& out);
  // Decompresses `in.biSizeImage` bytes of `data` into `picture`, which
  // holds at least out's image size. Both formats must match those given to
  // Begin (biSizeImage of `in` aside), except that `out` may turn the row
  // order (the sign of biHeight) frame by frame. `flags` are the decompression flags;
  // none of them changes an ordinary decompression.
  int32_t Decompress(uint32_t flags, const BitmapInfoHeader& in, const uint8_t* data,
                     const BitmapInfoHeader& out, uint8_t* picture);
  // Decompress in two halves: DecodeOnly decodes the frame and keeps its
  // picture; ConvertHeld writes that picture out (any number of times) until
  // the next DecodeOnly or End. A picture nobody looks at need not be
  // converted. ConvertHeld fails when the last decode did.
  int32_t DecodeOnly(uint32_t flags, const BitmapInfoHeader& in, const uint8_t* data,
                     const BitmapInfoHeader& out);
  int32_t ConvertHeld(const BitmapInfoHeader& out, uint8_t* picture);
  // Releases what Begin set up; Decompress then fails until the next Begin.
  int32_t End();

 private:
  Mp43Decompressor();
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace zarvion
