#include "platform/yuv_rows.h"

#include <algorithm>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace zarvion {

namespace {

// BT.601, limited range: 255 / 219 for luma, the chroma weights scaled by
// it, all in 13 fractional bits. Samples are taken in 3 fractional bits and
// each product keeps its high 16 bits, so a result is
// (sample * 8 - offset) * coefficient >> 16.
constexpr int kLumaOffset = 16 * 8;
constexpr int kChromaOffset = 128 * 8;
constexpr int kLuma = 9539;
constexpr int kVToRed = 13075;
constexpr int kUToBlue = 16525;
constexpr int kUToGreen = -3209;
constexpr int kVToGreen = -6660;

inline int High16(int a, int b) {
  return (a * b) >> 16;
}

inline uint32_t Clamp8(int v) {
  return static_cast<uint32_t>(std::clamp(v, 0, 255));
}

inline uint32_t Pixel(int y, int u, int v) {
  const int luma = High16(y * 8 - kLumaOffset, kLuma);
  const int cu = u * 8 - kChromaOffset;
  const int cv = v * 8 - kChromaOffset;
  const int blue = luma + High16(cu, kUToBlue);
  const int green = luma + (High16(cu, kUToGreen) + High16(cv, kVToGreen));
  const int red = luma + High16(cv, kVToRed);
  return 0xFF000000u | (Clamp8(red) << 16) | (Clamp8(green) << 8) | Clamp8(blue);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ZARVION_YUV_AVX2 1

bool HaveAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

// Sixteen pixels from an even luma column: sixteen luma, eight of each
// chroma.
__attribute__((target("avx2"))) inline void Convert16(const uint8_t* y, const uint8_t* u,
                                                      const uint8_t* v, uint32_t* out) {
  const __m256i luma8 = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y)));
  const __m128i u8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(u));
  const __m128i v8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(v));
  // Each chroma sample twice, for its two columns.
  const __m256i cu =
      _mm256_sub_epi16(_mm256_slli_epi16(_mm256_cvtepu8_epi16(_mm_unpacklo_epi8(u8, u8)), 3),
                       _mm256_set1_epi16(kChromaOffset));
  const __m256i cv =
      _mm256_sub_epi16(_mm256_slli_epi16(_mm256_cvtepu8_epi16(_mm_unpacklo_epi8(v8, v8)), 3),
                       _mm256_set1_epi16(kChromaOffset));
  const __m256i luma = _mm256_mulhi_epi16(
      _mm256_sub_epi16(_mm256_slli_epi16(luma8, 3), _mm256_set1_epi16(kLumaOffset)),
      _mm256_set1_epi16(kLuma));
  const __m256i blue = _mm256_adds_epi16(luma, _mm256_mulhi_epi16(cu, _mm256_set1_epi16(kUToBlue)));
  const __m256i red = _mm256_adds_epi16(luma, _mm256_mulhi_epi16(cv, _mm256_set1_epi16(kVToRed)));
  const __m256i green = _mm256_adds_epi16(
      luma, _mm256_adds_epi16(_mm256_mulhi_epi16(cu, _mm256_set1_epi16(kUToGreen)),
                              _mm256_mulhi_epi16(cv, _mm256_set1_epi16(kVToGreen))));
  // Per 128-bit half (eight pixels): B..B R..R and G..G FF..FF, then
  // interleaved into B G R FF.
  const __m256i br = _mm256_packus_epi16(blue, red);
  const __m256i ga = _mm256_packus_epi16(green, _mm256_set1_epi16(255));
  const __m256i bg = _mm256_unpacklo_epi8(br, ga);
  const __m256i ra = _mm256_unpackhi_epi8(br, ga);
  const __m256i p0 = _mm256_unpacklo_epi16(bg, ra);  // pixels 0-3 | 8-11
  const __m256i p1 = _mm256_unpackhi_epi16(bg, ra);  // pixels 4-7 | 12-15
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute2x128_si256(p0, p1, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8), _mm256_permute2x128_si256(p0, p1, 0x31));
}

__attribute__((target("avx2"))) void ConvertRowAvx2(const uint8_t* y, const uint8_t* u,
                                                    const uint8_t* v, int first, int count,
                                                    uint32_t* out) {
  int x = first;
  const int end = first + count;
  if (x & 1) {
    *out++ = Pixel(y[x], u[x >> 1], v[x >> 1]);
    ++x;
  }
  for (; x + 16 <= end; x += 16, out += 16) Convert16(y + x, u + (x >> 1), v + (x >> 1), out);
  for (; x < end; ++x) *out++ = Pixel(y[x], u[x >> 1], v[x >> 1]);
}
#endif

}  // namespace

void ConvertYuvRowPlain(const YuvPlanes& p, int row, int first, int count, uint32_t* out) {
  const uint8_t* y = p.y + static_cast<ptrdiff_t>(row) * p.yStride;
  const uint8_t* u = p.u + static_cast<ptrdiff_t>(row >> 1) * p.uStride;
  const uint8_t* v = p.v + static_cast<ptrdiff_t>(row >> 1) * p.vStride;
  for (int x = first; x < first + count; ++x) *out++ = Pixel(y[x], u[x >> 1], v[x >> 1]);
}

void ConvertYuvRow(const YuvPlanes& p, int row, int first, int count, uint32_t* out) {
#ifdef ZARVION_YUV_AVX2
  if (HaveAvx2()) {
    ConvertRowAvx2(p.y + static_cast<ptrdiff_t>(row) * p.yStride,
                   p.u + static_cast<ptrdiff_t>(row >> 1) * p.uStride,
                   p.v + static_cast<ptrdiff_t>(row >> 1) * p.vStride, first, count, out);
    return;
  }
#endif
  ConvertYuvRowPlain(p, row, first, count, out);
}

void ConvertYuvPicture(const YuvPlanes& planes, uint8_t* top, int stride) {
  for (int row = 0; row < planes.height; ++row) {
    ConvertYuvRow(planes, row, 0, planes.width,
                  reinterpret_cast<uint32_t*>(top + static_cast<ptrdiff_t>(row) * stride));
  }
}

}  // namespace zarvion
