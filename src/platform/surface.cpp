#include "platform/surface.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <mutex>

#include <sys/mman.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <QColor>
#include <QFontMetrics>
#include <QPainter>
#include <QString>

namespace zarvion {

namespace {

constexpr int kMaxSide = 16384;
constexpr size_t kMaxTextMasks = 128;
const std::string kDefaultFontKey = "default";

}  // namespace

Font::Font(int pixelHeight, const char* face) : pixelHeight_(pixelHeight) {
  static std::once_flag substituted;
  std::call_once(substituted, [] {
    QFont::insertSubstitution(QString::fromUtf8(kFontFace), QString::fromUtf8(kFontFaceSubstitute));
  });
  font_.setFamily(QString::fromUtf8(face));
  font_.setWeight(QFont::Normal);
  font_.setItalic(false);
  font_.setUnderline(false);
  font_.setStrikeOut(false);
  // Solid glyphs in exactly the text colour, as the product's bitmap faces
  // draw; it also keeps captions that are redrawn over themselves stable.
  font_.setStyleStrategy(QFont::NoAntialias);
  // The height is the cell's (ascent plus descent), while Qt sizes a font
  // by its characters: the largest size whose cell still fits is taken.
  const int cell = pixelHeight > 0 ? pixelHeight : 1;
  int size = cell;
  font_.setPixelSize(size);
  while (size > 1 && QFontMetrics(font_).height() > cell) font_.setPixelSize(--size);
  key_ = font_.key().toStdString();
}

bool Surface::Create(int width, int height) {
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return false;
  const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
  void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return false;
  pixels_ =
      std::unique_ptr<uint8_t[], PixelMapping>(static_cast<uint8_t*>(mapped), PixelMapping{bytes});
  width_ = width;
  height_ = height;
  image_ = QImage(pixels_.get(), width_, height_, Stride(), QImage::Format_RGB32);
  return true;
}

void PixelMapping::operator()(uint8_t* pixels) const {
  munmap(pixels, bytes);
}

void Surface::Release() {
  image_ = QImage();
  pixels_.reset();
}

bool Surface::SwapPixels(Surface& other) {
  if (&other == this || !Valid() || !other.Valid() || other.width_ != width_ ||
      other.height_ != height_) {
    return false;
  }
  pixels_.swap(other.pixels_);
  image_.swap(other.image_);
  return true;
}

void Surface::Fill(uint32_t pixel) {
  Fill(Bounds(), pixel);
}

void Surface::Fill(const Rect& rect, uint32_t pixel) {
  if (!Valid()) return;
  const Rect r = Intersect(rect, Bounds());
  if (r.Empty()) return;
  for (int y = r.top; y < r.bottom; ++y) {
    uint32_t* row = reinterpret_cast<uint32_t*>(pixels_.get() + static_cast<size_t>(y) * Stride());
    std::fill(row + r.left, row + r.right, pixel);
  }
}

namespace {

// Yields (2 d + 1) s / (2 D) for d = first, first + 1, ... by stepping the
// quotient and remainder.
class CentreSampler {
 public:
  CentreSampler(int64_t first, int64_t s, int64_t d) : den_(2 * d) {
    const int64_t num = (2 * first + 1) * s;
    q_ = num / den_;
    r_ = num % den_;
    stepQ_ = (2 * s) / den_;
    stepR_ = (2 * s) % den_;
  }
  int Next() {
    const int value = static_cast<int>(q_);
    q_ += stepQ_;
    r_ += stepR_;
    if (r_ >= den_) {
      r_ -= den_;
      ++q_;
    }
    return value;
  }

 private:
  int64_t den_, q_, r_, stepQ_, stepR_;
};

// The column map of one stretch: the source column of every output column
// and, per run of eight outputs that comes from eight neighbouring source
// pixels (every enlargement, and reductions down to nearly 1:1), where the
// eight start and how they are arranged, so a row is written eight pixels
// at a time with one load and one permutation. With `stream` the runs
// start `head` pixels into the row, where the destination rows are 32-byte
// aligned (when they all can be), and are written with streaming stores.
// Kept per thread and only ever grown, so stretching allocates nothing
// once warm.
struct ColumnPlan {
  std::vector<int> map;
  int head = 0;
  bool stream = false;
  std::vector<int> blockBase;       // first source column of a run; -1: pixel by pixel
  std::vector<int32_t> blockIndex;  // eight offsets from blockBase per run
};

void GatherScalar(uint32_t* out, const uint32_t* in, const int* map, int n, uint32_t set) {
  for (int i = 0; i < n; ++i) out[i] = in[map[i]] | set;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ZARVION_STRETCH_AVX2 1
__attribute__((target("avx2"))) void GatherBlocks(uint32_t* out, const uint32_t* in,
                                                  const ColumnPlan& plan, int n, uint32_t set) {
  const int* map = plan.map.data();
  const int head = std::min(plan.head, n);
  GatherScalar(out, in, map, head, set);
  const int blocks = (n - head) / 8;
  const __m256i bits = _mm256_set1_epi32(static_cast<int>(set));
  for (int b = 0; b < blocks; ++b) {
    const int at = head + 8 * b;
    const int base = plan.blockBase[static_cast<size_t>(b)];
    uint32_t* o = out + at;
    if (base < 0) {
      GatherScalar(o, in, map + at, 8, set);
      continue;
    }
    const __m256i pixels = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + base));
    const __m256i index = _mm256_loadu_si256(
        reinterpret_cast<const __m256i*>(plan.blockIndex.data() + 8 * static_cast<size_t>(b)));
    const __m256i v = _mm256_or_si256(_mm256_permutevar8x32_epi32(pixels, index), bits);
    if (plan.stream) {
      _mm256_stream_si256(reinterpret_cast<__m256i*>(o), v);
    } else {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), v);
    }
  }
  const int done = head + 8 * blocks;
  GatherScalar(out + done, in, map + done, n - done, set);
}

bool HaveAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

}  // namespace

namespace {

// The stretch itself, for rows that are there (StretchPixels) and rows made
// as they are needed (StretchRows). The column map is taken relative to the
// first source column the clip needs; `fetch(sy, first, end)` gives source
// row sy with that column at [0] and the pixels up to column `end` behind
// it, and is asked once per distinct source row.
template <typename Fetch>
void StretchWith(const PixelView& dst, const Rect& dstRect, const Rect& clip, int srcWidth,
                 const Rect& srcRect, uint32_t set, bool stream, Fetch&& fetch) {
  // Sample at pixel centres so that both edges of the source are reached
  // symmetrically: source = (2 d + 1) s / (2 D). The quotients are stepped
  // exactly, without a division per pixel or row.
  const int64_t dw = dstRect.Width(), dh = dstRect.Height();
  const int64_t sw = srcRect.Width(), sh = srcRect.Height();
  const int cols = clip.Width();
  thread_local ColumnPlan plan;
  if (plan.map.size() < static_cast<size_t>(cols)) {
    plan.map.resize(static_cast<size_t>(cols));
    plan.blockBase.resize(static_cast<size_t>(cols) / 8 + 1);
    plan.blockIndex.resize(static_cast<size_t>(cols) + 8);
  }
  CentreSampler xs(clip.left - dstRect.left, sw, dw);
  const int first = srcRect.left + xs.Next();
  plan.map[0] = 0;
  for (int i = 1; i < cols; ++i) {
    plan.map[static_cast<size_t>(i)] = srcRect.left + xs.Next() - first;
  }
  // The source columns the rows are read at: up to the last one mapped,
  // and the ends of the runs loaded eight at a time.
  int end = first + plan.map[static_cast<size_t>(cols) - 1] + 1;
  bool blocks = false;
  plan.head = 0;
  plan.stream = false;
#ifdef ZARVION_STRETCH_AVX2
  if (HaveAvx2()) {
    const uintptr_t at =
        reinterpret_cast<uintptr_t>(dst.pixels + static_cast<size_t>(clip.top) * dst.stride +
                                    static_cast<size_t>(clip.left) * 4);
    if (stream && dst.stride % 32 == 0 && at % 4 == 0) {
      plan.head = static_cast<int>((32 - at % 32) % 32 / 4);
      plan.stream = true;
    }
    for (int b = 0; plan.head + 8 * b + 8 <= cols; ++b) {
      const int* m = plan.map.data() + plan.head + 8 * b;
      // The eight loaded pixels must lie in the source row.
      const bool near = m[7] - m[0] < 8 && first + m[0] + 8 <= srcWidth;
      plan.blockBase[static_cast<size_t>(b)] = near ? m[0] : -1;
      for (int j = 0; j < 8; ++j) {
        plan.blockIndex[static_cast<size_t>(8 * b + j)] = near ? m[j] - m[0] : 0;
      }
      if (near) end = std::max(end, first + m[0] + 8);
      blocks |= near;
    }
  }
#endif
  const bool sameWidth = dw == sw && clip.left == dstRect.left && set == 0;
  CentreSampler ys(clip.top - dstRect.top, sh, dh);
  int lastSy = -1;
  const uint32_t* in = nullptr;
  const uint32_t* lastRow = nullptr;
  for (int y = clip.top; y < clip.bottom; ++y) {
    const int sy = srcRect.top + ys.Next();
    uint32_t* out =
        reinterpret_cast<uint32_t*>(dst.pixels + static_cast<size_t>(y) * dst.stride) + clip.left;
    const bool repeat = sy == lastSy;
    if (!repeat) in = fetch(sy, first, end);
    if (sameWidth) {
      std::memcpy(out, in, static_cast<size_t>(cols) * 4);
    } else if (repeat && !plan.stream) {
      std::memcpy(out, lastRow, static_cast<size_t>(cols) * 4);
#ifdef ZARVION_STRETCH_AVX2
    } else if (blocks) {
      // A streamed row that repeats is made again from its source row,
      // still in the cache, rather than read back from memory.
      GatherBlocks(out, in, plan, cols, set);
#endif
    } else {
      GatherScalar(out, in, plan.map.data(), cols, set);
    }
    lastSy = sy;
    lastRow = out;
  }
#ifdef ZARVION_STRETCH_AVX2
  // Streamed stores are ordered before whatever hands the pixels on.
  if (blocks && plan.stream) _mm_sfence();
#endif
}

bool StretchArgumentsUsable(const PixelView& dst, const Rect& dstRect, int srcWidth,
                            int srcHeight, const Rect& srcRect) {
  return dst.pixels && !dstRect.Empty() && !srcRect.Empty() && srcRect.left >= 0 &&
         srcRect.top >= 0 && srcRect.right <= srcWidth && srcRect.bottom <= srcHeight;
}

}  // namespace

bool StretchPixels(const PixelView& dst, const Rect& dstRect, const Rect& clipRect,
                   const PixelView& src, const Rect& srcRect, uint32_t set, bool stream) {
  if (!src.pixels || dst.pixels == src.pixels ||
      !StretchArgumentsUsable(dst, dstRect, src.width, src.height, srcRect)) {
    return false;
  }
  const Rect clip = Intersect(Intersect(dstRect, dst.Bounds()), clipRect);
  if (clip.Empty()) return true;
  StretchWith(dst, dstRect, clip, src.width, srcRect, set, stream, [&](int sy, int first, int) {
    return reinterpret_cast<const uint32_t*>(src.pixels + static_cast<size_t>(sy) * src.stride) +
           first;
  });
  return true;
}

bool StretchKeeping(const PixelView& dst, const Rect& dstRect, const Rect& clipRect,
                    const PixelView& src, const Rect& srcRect, uint32_t keep) {
  if (!StretchPixels(dst, dstRect, clipRect, src, srcRect)) return false;
  const int64_t dw = dstRect.Width(), dh = dstRect.Height();
  const int64_t sw = srcRect.Width(), sh = srcRect.Height();
  // Enlarged, every source pixel is sampled already.
  if (sw <= dw && sh <= dh) return true;
  const uint32_t colour = keep & 0x00FFFFFFu;
  auto sourceRow = [&](int64_t sy) {
    return reinterpret_cast<const uint32_t*>(src.pixels +
                                             static_cast<size_t>(srcRect.top + sy) * src.stride) +
           srcRect.left;
  };
  // Where the colour is in the source at all (the text's box): only the
  // pixels over it need a look.
  int64_t top = sh, bottom = 0, left = sw, right = 0;
  for (int64_t sy = 0; sy < sh; ++sy) {
    const uint32_t* in = sourceRow(sy);
    bool any = false;  // without a branch per pixel, most rows have none
    for (int64_t sx = 0; sx < sw; ++sx) any |= (in[sx] & 0x00FFFFFFu) == colour;
    if (!any) continue;
    top = std::min(top, sy);
    bottom = sy + 1;
    int64_t first = 0, last = sw;
    while ((in[first] & 0x00FFFFFFu) != colour) ++first;
    while ((in[last - 1] & 0x00FFFFFFu) != colour) --last;
    left = std::min(left, first);
    right = std::max(right, last);
  }
  if (top >= bottom) return true;
  // The source pixels under destination pixel d of an axis: from where d
  // begins to where the next one does, and at least the one sampled.
  auto under = [](int64_t d, int64_t s, int64_t n) {
    const int64_t sampled = (2 * d + 1) * s / (2 * n);
    return std::pair<int64_t, int64_t>(std::min(d * s / n, sampled),
                                       std::max((d + 1) * s / n, sampled + 1));
  };
  const Rect clip = Intersect(Intersect(dstRect, dst.Bounds()), clipRect);
  // The columns over the text's box, each with its source columns: worked
  // out once, not for every row.
  thread_local std::vector<std::array<int64_t, 3>> columns;
  columns.clear();
  for (int x = clip.left; x < clip.right; ++x) {
    const auto [x0, x1] = under(x - dstRect.left, sw, dw);
    if (x1 > left && x0 < right) columns.push_back({x, x0, x1});
  }
  for (int y = clip.top; y < clip.bottom; ++y) {
    const auto [y0, y1] = under(y - dstRect.top, sh, dh);
    if (y1 <= top || y0 >= bottom) continue;
    auto* out = reinterpret_cast<uint32_t*>(dst.pixels + static_cast<size_t>(y) * dst.stride);
    for (const auto& [x, x0, x1] : columns) {
      bool found = false;
      for (int64_t sy = std::max(y0, top); sy < std::min(y1, bottom) && !found; ++sy) {
        const uint32_t* in = sourceRow(sy);
        for (int64_t sx = x0; sx < x1 && !found; ++sx) found = (in[sx] & 0x00FFFFFFu) == colour;
      }
      if (found) out[x] = (out[x] & 0xFF000000u) | colour;
    }
  }
  return true;
}

bool StretchRows(const PixelView& dst, const Rect& dstRect, const Rect& clipRect, int srcWidth,
                 int srcHeight, const Rect& srcRect, StretchRowSource& rows, uint32_t set) {
  if (!StretchArgumentsUsable(dst, dstRect, srcWidth, srcHeight, srcRect)) return false;
  const Rect clip = Intersect(Intersect(dstRect, dst.Bounds()), clipRect);
  if (clip.Empty()) return true;
  StretchWith(dst, dstRect, clip, srcWidth, srcRect, set, false,
              [&](int sy, int first, int end) { return rows.Row(sy, first, end); });
  return true;
}

bool Surface::StretchFrom(const Rect& dst, const Surface& src, const Rect& srcRect, bool stream) {
  if (&src == this || !Valid() || !src.Valid()) return false;
  return StretchPixels(View(), dst, Bounds(), src.View(), srcRect, 0, stream);
}

const TextPainter::TextMask& TextPainter::MaskFor(const Font* font, std::string_view utf8) {
  // Lookups happen for every caption of every composition: no allocation
  // unless the text is new.
  const std::string& fontKey = font ? font->Key() : kDefaultFontKey;
  lookupKey_.assign(fontKey);
  lookupKey_.push_back('\0');
  lookupKey_.append(utf8);
  if (auto it = masks_.find(lookupKey_); it != masks_.end()) return it->second;
  std::string key = lookupKey_;
  const QFont qfont = font ? font->Get() : QFont();
  // Texts that change (the rates) would grow the cache without end.
  if (masks_.size() >= kMaxTextMasks) masks_.clear();

  const QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
  const QFontMetrics metrics(qfont);
  // Room on every side for glyphs that overhang their advance.
  const int margin = std::max(4, metrics.height());
  const int w = metrics.horizontalAdvance(text) + 2 * margin;
  const int h = metrics.height() + 2 * margin;
  QImage scratch(w, h, QImage::Format_ARGB32_Premultiplied);
  scratch.fill(Qt::transparent);
  {
    QPainter painter(&scratch);
    painter.setFont(qfont);
    painter.setPen(Qt::white);
    painter.drawText(margin, margin + metrics.ascent(), text);
  }
  int x0 = w, y0 = h, x1 = -1, y1 = -1;
  for (int y = 0; y < h; ++y) {
    const QRgb* row = reinterpret_cast<const QRgb*>(scratch.constScanLine(y));
    for (int x = 0; x < w; ++x) {
      if (qAlpha(row[x]) == 0) continue;
      x0 = std::min(x0, x);
      x1 = std::max(x1, x);
      y0 = std::min(y0, y);
      y1 = std::max(y1, y);
    }
  }
  TextMask mask;
  if (x1 >= 0) {
    mask.dx = x0 - margin;
    mask.dy = y0 - margin;
    mask.width = x1 - x0 + 1;
    mask.height = y1 - y0 + 1;
    mask.bits.resize(static_cast<size_t>(mask.width) * mask.height);
    for (int y = 0; y < mask.height; ++y) {
      const QRgb* row = reinterpret_cast<const QRgb*>(scratch.constScanLine(y0 + y));
      for (int x = 0; x < mask.width; ++x) {
        mask.bits[static_cast<size_t>(y) * mask.width + x] = qAlpha(row[x0 + x]) != 0;
      }
    }
  }
  return masks_.emplace(std::move(key), std::move(mask)).first->second;
}

void DrawOutline(const PixelView& dst, const Rect& r, const Rect& clip, uint32_t pixel) {
  if (!dst.pixels) return;
  const Rect area = Intersect(clip, dst.Bounds());
  auto row = [&](int y) {
    return reinterpret_cast<uint32_t*>(dst.pixels + static_cast<size_t>(y) * dst.stride);
  };
  if (r.left < r.right) {
    const int x0 = std::max(r.left, area.left), x1 = std::min(r.right, area.right);
    for (int y : {r.top, r.bottom - 1}) {
      if (y < area.top || y >= area.bottom) continue;
      for (int x = x0; x < x1; ++x) row(y)[x] = pixel;
    }
  }
  if (r.top < r.bottom) {
    const int y0 = std::max(r.top, area.top), y1 = std::min(r.bottom, area.bottom);
    for (int x : {r.left, r.right - 1}) {
      if (x < area.left || x >= area.right) continue;
      for (int y = y0; y < y1; ++y) row(y)[x] = pixel;
    }
  }
}

void TextPainter::Draw(const PixelView& target, const Rect& clip, const Font* font,
                       std::string_view utf8, int x, int y, uint32_t colorref) {
  if (!target.pixels) return;
  const TextMask& mask = MaskFor(font, utf8);
  // Written as QPainter writes an opaque pen on RGB32.
  const uint32_t pixel = PixelOfColorref(colorref);
  const int left = x + mask.dx, top = y + mask.dy;
  const Rect area = Intersect(Intersect(clip, target.Bounds()),
                              Rect{left, top, left + mask.width, top + mask.height});
  for (int py = area.top; py < area.bottom; ++py) {
    uint32_t* row =
        reinterpret_cast<uint32_t*>(target.pixels + static_cast<size_t>(py) * target.stride);
    const uint8_t* bits = mask.bits.data() + static_cast<size_t>(py - top) * mask.width;
    for (int px = area.left; px < area.right; ++px) {
      if (bits[px - left]) row[px] = pixel;
    }
  }
}

Rect TextPainter::Extent(const Font* font, std::string_view utf8, int x, int y) {
  const TextMask& mask = MaskFor(font, utf8);
  return Rect{x + mask.dx, y + mask.dy, x + mask.dx + mask.width, y + mask.dy + mask.height};
}

bool Surface::DrawText(const Font* font, std::string_view utf8, int x, int y, uint32_t colorref) {
  if (!Valid()) return false;
  text_.Draw(View(), Bounds(), font, utf8, x, y, colorref);
  return true;
}

}  // namespace zarvion
