// YUV 4:2:0 (8-bit, BT.601 limited range) to 32-bit BGRX rows with opaque
// alpha, one row at a time. Each chroma sample serves the 2 x 2 luma it
// sits on; the arithmetic is 16-bit fixed point with the coefficients in
// 13 fractional bits, the same steps libswscale's unscaled x86 converter
// takes, so its pictures and ours agree byte for byte where it takes them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zarvion {

// The planes of one picture: luma of `width` x `height`, chroma of half
// that each way (rounded up), rows `stride` bytes apart.
struct YuvPlanes {
  const uint8_t* y = nullptr;
  const uint8_t* u = nullptr;
  const uint8_t* v = nullptr;
  int yStride = 0;
  int uStride = 0;
  int vStride = 0;
  int width = 0;
  int height = 0;
};

// Columns [first, first + count) of luma row `row` into `out` (count
// pixels, 0xFFRRGGBB). Uses AVX2 where the processor has it.
void ConvertYuvRow(const YuvPlanes& planes, int row, int first, int count, uint32_t* out);
// The same bytes, pixel by pixel: for the tests and processors without AVX2.
void ConvertYuvRowPlain(const YuvPlanes& planes, int row, int first, int count, uint32_t* out);

// The whole picture, top row first, rows `stride` bytes apart (negative:
// bottom-up from `top`).
void ConvertYuvPicture(const YuvPlanes& planes, uint8_t* top, int stride);

}  // namespace zarvion
