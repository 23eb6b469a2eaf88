// Off-screen 32-bit pixel surface (X8R8G8B8: bytes blue, green, red, unused;
// as a number 0x00RRGGBB), rows top first, stride exactly width x 4, and the
// fonts that text is drawn with. The pixels live in a buffer of our own that
// a QImage (Format_RGB32) wraps, so QPainter can draw text on it while every
// other operation touches the bytes directly.
//
// A Surface does no locking of its own: its users serialise access (the
// video pipeline does so with its renderer lock).
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <QFont>
#include <QImage>

namespace zarvion {

struct Point {
  int x = 0;
  int y = 0;
};

// Edges as the platform's RECT: right and bottom are exclusive.
struct Rect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  bool Empty() const { return right <= left || bottom <= top; }
  bool operator==(const Rect&) const = default;
};

// The part two rectangles share; empty (by Empty()) when they do not meet.
inline Rect Intersect(const Rect& a, const Rect& b) {
  return Rect{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
              std::min(a.bottom, b.bottom)};
}

// 32-bit pixel rows that a Surface does not own (a window's image, say):
// `stride` bytes from one row to the next.
struct PixelView {
  uint8_t* pixels = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;
  Rect Bounds() const { return Rect{0, 0, width, height}; }
};

// Nearest-neighbour stretch of srcRect of src onto dstRect of dst, writing
// only what lies inside `clip` and dst; the scale is taken from the two
// rectangles as given, so a clipped stretch writes exactly the pixels the
// whole one would there. False (nothing written) when a rectangle is
// empty, srcRect is not inside src, or the two views share their pixels.
// Every pixel written is or-ed with `set` (0xFF000000 makes it opaque).
// `stream`: nobody reads the pixels soon, so they go past the caches
// (streaming stores where the rows allow), which neither reads the
// destination first nor pushes what others work on out of the caches.
bool StretchPixels(const PixelView& dst, const Rect& dstRect, const Rect& clip,
                   const PixelView& src, const Rect& srcRect, uint32_t set = 0,
                   bool stream = false);

// StretchPixels for a picture of solid text on a plain ground (a channel's
// notice), without `set` or streaming: where the stretch makes the picture
// smaller, a pixel gets the colour `keep` (0x00RRGGBB, the text's) when any
// source pixel under it has it, so no stroke of a glyph is dropped; every
// other pixel is the one StretchPixels writes.
bool StretchKeeping(const PixelView& dst, const Rect& dstRect, const Rect& clip,
                    const PixelView& src, const Rect& srcRect, uint32_t keep);

// Where StretchRows takes its source rows from: Row gives source row `y`
// for columns [first, end), with column `first` at the pointer returned,
// valid until the next call. Asked once for each source row a stretch
// reads, in order.
class StretchRowSource {
 public:
  virtual const uint32_t* Row(int y, int first, int end) = 0;

 protected:
  ~StretchRowSource() = default;
};

// StretchPixels from a source of srcWidth x srcHeight pixels whose rows are
// made as the stretch needs them (only the columns it reads), so a picture
// in another form is turned into pixels and stretched in one pass: the
// same pixels as making the whole source, then StretchPixels. Plain stores.
bool StretchRows(const PixelView& dst, const Rect& dstRect, const Rect& clip, int srcWidth,
                 int srcHeight, const Rect& srcRect, StretchRowSource& rows, uint32_t set = 0);

// A one-pixel outline just inside `r`, written only inside `clip` and dst,
// so an outline that reaches past them loses only those parts.
void DrawOutline(const PixelView& dst, const Rect& r, const Rect& clip, uint32_t pixel);

// The face the product's texts are drawn in. Where it is not installed,
// Qt substitutes "AR PL UMing CN", which covers the GBK repertoire.
inline constexpr const char* kFontFace = "宋体";
inline constexpr const char* kFontFaceSubstitute = "AR PL UMing CN";

// A font of a given cell height in pixels. Create it after the
// QGuiApplication exists; it is immutable afterwards and may be shared by
// surfaces on any thread.
class Font {
 public:
  explicit Font(int pixelHeight, const char* face = kFontFace);
  const QFont& Get() const { return font_; }
  int PixelHeight() const { return pixelHeight_; }
  // Identifies the face and size, for caches of rendered text.
  const std::string& Key() const { return key_; }

 private:
  QFont font_;
  int pixelHeight_;
  std::string key_;
};

// Text colours are given as the platform's COLORREF, 0x00BBGGRR.
constexpr uint32_t Rgb(uint8_t r, uint8_t g, uint8_t b) {
  return r | (static_cast<uint32_t>(g) << 8) | (static_cast<uint32_t>(b) << 16);
}
// The opaque pixel (0xFFRRGGBB) of a COLORREF.
constexpr uint32_t PixelOfColorref(uint32_t colorref) {
  return 0xFF000000u | ((colorref & 0xFF) << 16) | (colorref & 0xFF00) | ((colorref >> 16) & 0xFF);
}

// Draws one line of UTF-8 text at a time onto 32-bit pixels. Glyphs are
// solid (not antialiased), so each text is rasterised once into a mask and
// redrawn from it: captions are drawn many times a second. Not thread-safe:
// one per user.
class TextPainter {
 public:
  // (x, y) is the top-left of the text's cell; the background stays, the
  // glyphs get the colour (COLORREF). Only pixels inside `clip` and the
  // view are written. A null font draws in Qt's default font.
  void Draw(const PixelView& target, const Rect& clip, const Font* font, std::string_view utf8,
            int x, int y, uint32_t colorref);
  // The rectangle that Draw may write for the same text at (x, y).
  Rect Extent(const Font* font, std::string_view utf8, int x, int y);

 private:
  struct TextMask {
    int dx = 0, dy = 0;  // of the mask's top-left from the text origin
    int width = 0, height = 0;
    std::vector<uint8_t> bits;  // 1 where a glyph pixel is
  };
  const TextMask& MaskFor(const Font* font, std::string_view utf8);
  std::unordered_map<std::string, TextMask> masks_;
  std::string lookupKey_;
};

// Gives back the mapping a surface's pixels live in.
struct PixelMapping {
  size_t bytes = 0;
  void operator()(uint8_t* pixels) const;
};

class Surface {
 public:
  Surface() = default;
  Surface(const Surface&) = delete;
  Surface& operator=(const Surface&) = delete;

  // Allocates width x height pixels (contents zero). False when the size is
  // not positive, is too large, or the memory cannot be had; the surface is
  // then left as it was. The pixels are a mapping of their own, so a
  // released surface goes back to the system at once, whatever the
  // allocator keeps.
  [[nodiscard]] bool Create(int width, int height);
  bool Valid() const { return pixels_ != nullptr; }
  // Gives the pixels back and keeps the size: Valid() is false until the
  // next Create, which may be of the same size.
  void Release();
  int Width() const { return width_; }
  int Height() const { return height_; }
  int Stride() const { return width_ * 4; }
  Rect Bounds() const { return Rect{0, 0, width_, height_}; }

  // Direct pixel access; null when the surface has no memory. Unlock pairs
  // every Lock, also a failed one.
  uint8_t* Lock() { return pixels_.get(); }
  const uint8_t* Lock() const { return pixels_.get(); }
  void Unlock() const {}

  // Exchanges the pixels with `other`, a surface of the same size, without
  // copying them. False (nothing changed) for any other surface.
  [[nodiscard]] bool SwapPixels(Surface& other);

  // Colour fill of the whole surface, or of a rectangle clipped to it.
  void Fill(uint32_t pixel);
  void Fill(const Rect& rect, uint32_t pixel);

  // Nearest-neighbour stretch of srcRect of src onto dst of this surface.
  // The scale is taken from the rectangles as given; only the part of dst
  // that lies on this surface is written. False (nothing written) when a
  // rectangle is empty, srcRect is not inside src, or src is this surface.
  bool StretchFrom(const Rect& dst, const Surface& src, const Rect& srcRect, bool stream = false);

  // One line of UTF-8 text with (x, y) the top-left of its cell, on a
  // transparent background, clipped to the surface (see TextPainter).
  // False when the surface has no memory.
  bool DrawText(const Font* font, std::string_view utf8, int x, int y, uint32_t colorref);

  PixelView View() const { return PixelView{pixels_.get(), width_, height_, Stride()}; }

  // The pixels as an image without a copy (for painting the surface on a
  // widget). Valid until the surface is destroyed or created again.
  const QImage& Image() const { return image_; }

 private:
  std::unique_ptr<uint8_t[], PixelMapping> pixels_;
  QImage image_;
  TextPainter text_;
  int width_ = 0;
  int height_ = 0;
};

}  // namespace zarvion
