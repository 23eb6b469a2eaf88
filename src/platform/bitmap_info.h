// The 40-byte bitmap header that describes both the compressed frames and
// the decompressed pictures, and the FOURCC helper. Shared by the
// decompressor and the AVI writer; header-only.
#pragma once

#include <cstdint>

#include "platform/little_endian.h"

namespace zarvion {

constexpr uint32_t MakeFourCC(char a, char b, char c, char d) {
  return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
         (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}

constexpr uint32_t kFourCCMp43 = MakeFourCC('M', 'P', '4', '3');
constexpr uint32_t kFourCCVidc = MakeFourCC('v', 'i', 'd', 'c');
constexpr uint32_t kBiRgb = 0;

// Field for field the platform's BITMAPINFOHEADER; every member is naturally
// aligned, so the struct has no padding and is exactly 40 bytes. Written to
// files field by field (little-endian), never by copying the struct.
struct BitmapInfoHeader {
  uint32_t biSize = 0;
  int32_t biWidth = 0;
  int32_t biHeight = 0;  // positive: rows bottom-up
  uint16_t biPlanes = 0;
  uint16_t biBitCount = 0;
  uint32_t biCompression = 0;
  uint32_t biSizeImage = 0;
  int32_t biXPelsPerMeter = 0;
  int32_t biYPelsPerMeter = 0;
  uint32_t biClrUsed = 0;
  uint32_t biClrImportant = 0;
};
static_assert(sizeof(BitmapInfoHeader) == 40);

// One plane of width x height; the size fields named, the rest zero.
constexpr BitmapInfoHeader MakeBitmapInfoHeader(int32_t width, int32_t height, uint16_t bitCount,
                                                uint32_t compression, uint32_t sizeImage) {
  BitmapInfoHeader h;
  h.biSize = 40;
  h.biWidth = width;
  h.biHeight = height;
  h.biPlanes = 1;
  h.biBitCount = bitCount;
  h.biCompression = compression;
  h.biSizeImage = sizeImage;
  return h;
}

// A header plus the one colour-table entry the product's formats carry (it
// stays zero).
struct BitmapInfo {
  BitmapInfoHeader bmiHeader;
  uint32_t bmiColors[1] = {0};
};

inline uint8_t* PutBitmapInfoHeader(uint8_t* p, const BitmapInfoHeader& h) {
  p = PutLe32(p, h.biSize);
  p = PutLe32(p, static_cast<uint32_t>(h.biWidth));
  p = PutLe32(p, static_cast<uint32_t>(h.biHeight));
  p = PutLe16(p, h.biPlanes);
  p = PutLe16(p, h.biBitCount);
  p = PutLe32(p, h.biCompression);
  p = PutLe32(p, h.biSizeImage);
  p = PutLe32(p, static_cast<uint32_t>(h.biXPelsPerMeter));
  p = PutLe32(p, static_cast<uint32_t>(h.biYPelsPerMeter));
  p = PutLe32(p, h.biClrUsed);
  p = PutLe32(p, h.biClrImportant);
  return p;
}

}  // namespace zarvion
