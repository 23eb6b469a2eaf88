#include "export/time_stamp.h"

#include <algorithm>
#include <map>
#include <memory>

#include "platform/surface.h"

namespace zarvion::recordings {

void DrawTimeStamp(uint8_t* pixels, int width, int height, int stride, const std::string& text) {
  // One font per picture height (a twelfth of it, at least the captions'
  // small size) and one painter; each character is drawn on its own so
  // the painter keeps a dozen glyphs, not a mask per second of video.
  static std::map<int, std::unique_ptr<Font>> fonts;
  static TextPainter painter;
  const int size = std::max(12, height / 12);
  std::unique_ptr<Font>& font = fonts[size];
  if (!font) font = std::make_unique<Font>(size);
  const PixelView view{pixels, width, height, stride};
  const Rect clip = view.Bounds();
  const Rect digit = painter.Extent(font.get(), "0", 0, 0);
  const int advance = std::max(1, digit.Width());
  const int margin = std::max(2, size / 4);
  int x = margin;
  for (char c : text) {
    const std::string glyph(1, c);
    if (c != ' ') {
      for (const auto& [dx, dy] : {std::pair{-1, 0}, {1, 0}, {0, -1}, {0, 1}}) {
        painter.Draw(view, clip, font.get(), glyph, x + dx, margin + dy, Rgb(0, 0, 0));
      }
      painter.Draw(view, clip, font.get(), glyph, x, margin, Rgb(255, 255, 255));
    }
    x += advance;
  }
}

}  // namespace zarvion::recordings
