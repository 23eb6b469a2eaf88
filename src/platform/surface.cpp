#include "platform/surface.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

#include <QColor>
#include <QFontMetrics>
#include <QPainter>
#include <QString>

namespace zarvion {

namespace {

constexpr int kMaxSide = 16384;

Rect Intersect(const Rect& a, const Rect& b) {
  return Rect{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
              std::min(a.bottom, b.bottom)};
}

}  // namespace

Font::Font(int pixelHeight, const char* face) : pixelHeight_(pixelHeight) {
  static std::once_flag substituted;
  std::call_once(substituted, [] {
    QFont::insertSubstitution(QString::fromUtf8(kFontFace), QString::fromUtf8(kFontFaceSubstitute));
  });
  font_.setFamily(QString::fromUtf8(face));
  font_.setPixelSize(pixelHeight > 0 ? pixelHeight : 1);
  font_.setWeight(QFont::Normal);
  font_.setItalic(false);
  font_.setUnderline(false);
  font_.setStrikeOut(false);
}

bool Surface::Create(int width, int height) {
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return false;
  const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
  std::unique_ptr<uint8_t[]> pixels(new (std::nothrow) uint8_t[bytes]());
  if (!pixels) return false;
  pixels_ = std::move(pixels);
  width_ = width;
  height_ = height;
  image_ = QImage(pixels_.get(), width_, height_, Stride(), QImage::Format_RGB32);
  xmap_.assign(static_cast<size_t>(width_), 0);
  return true;
}

void Surface::Fill(uint32_t pixel) { Fill(Bounds(), pixel); }

void Surface::Fill(const Rect& rect, uint32_t pixel) {
  if (!Valid()) return;
  const Rect r = Intersect(rect, Bounds());
  if (r.Empty()) return;
  for (int y = r.top; y < r.bottom; ++y) {
    uint32_t* row = reinterpret_cast<uint32_t*>(pixels_.get() + static_cast<size_t>(y) * Stride());
    std::fill(row + r.left, row + r.right, pixel);
  }
}

bool Surface::StretchFrom(const Rect& dst, const Surface& src, const Rect& srcRect) {
  if (&src == this || !Valid() || !src.Valid() || dst.Empty() || srcRect.Empty()) return false;
  if (srcRect.left < 0 || srcRect.top < 0 || srcRect.right > src.width_ ||
      srcRect.bottom > src.height_) {
    return false;
  }
  const Rect clip = Intersect(dst, Bounds());
  if (clip.Empty()) return true;

  // Sample at pixel centres so that both edges of the source are reached
  // symmetrically; 64-bit products keep large rectangles exact.
  const int64_t dw = dst.Width(), dh = dst.Height();
  const int64_t sw = srcRect.Width(), sh = srcRect.Height();
  const int cols = clip.Width();
  for (int i = 0; i < cols; ++i) {
    const int64_t dx = clip.left + i - dst.left;
    xmap_[static_cast<size_t>(i)] = srcRect.left + static_cast<int>((2 * dx + 1) * sw / (2 * dw));
  }
  const bool sameWidth = dw == sw && clip.left == dst.left;
  int lastSy = -1;
  const uint32_t* lastRow = nullptr;
  for (int y = clip.top; y < clip.bottom; ++y) {
    const int64_t dy = y - dst.top;
    const int sy = srcRect.top + static_cast<int>((2 * dy + 1) * sh / (2 * dh));
    uint32_t* out =
        reinterpret_cast<uint32_t*>(pixels_.get() + static_cast<size_t>(y) * Stride()) + clip.left;
    if (sy == lastSy) {
      std::memcpy(out, lastRow, static_cast<size_t>(cols) * 4);
      continue;
    }
    const uint32_t* in =
        reinterpret_cast<const uint32_t*>(src.pixels_.get() + static_cast<size_t>(sy) * src.Stride());
    if (sameWidth) {
      std::memcpy(out, in + srcRect.left, static_cast<size_t>(cols) * 4);
    } else {
      const int* map = xmap_.data();
      for (int i = 0; i < cols; ++i) out[i] = in[map[i]];
    }
    lastSy = sy;
    lastRow = out;
  }
  return true;
}

bool Surface::DrawText(const Font* font, std::string_view utf8, int x, int y, uint32_t colorref) {
  if (!Valid()) return false;
  QPainter painter(&image_);
  if (!painter.isActive()) return false;
  if (font) painter.setFont(font->Get());
  painter.setPen(QColor(colorref & 0xFF, (colorref >> 8) & 0xFF, (colorref >> 16) & 0xFF));
  const int ascent = painter.fontMetrics().ascent();
  painter.drawText(x, y + ascent,
                   QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
  return true;
}

}  // namespace zarvion
