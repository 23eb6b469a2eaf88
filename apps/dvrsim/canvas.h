// A small RGB drawing surface for the simulator's synthetic pictures. It has
// its own bitmap font so that pictures can be drawn on any thread without a
// GUI application object.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace zarvion::dvrsim {

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
};

class Canvas {
 public:
  Canvas(int width, int height);

  int Width() const { return width_; }
  int Height() const { return height_; }
  // Packed RGB24, rows top first, stride Width() * 3.
  const uint8_t* Data() const { return pixels_.data(); }
  Rgb Pixel(int x, int y) const;

  void Fill(Rgb colour);
  // Clipped to the canvas.
  void FillRect(int x, int y, int w, int h, Rgb colour);
  // Draws text in the built-in 5 x 7 font, each font pixel `scale` pixels
  // square, one blank column between characters. Characters without a
  // glyph are drawn as blanks.
  void DrawText(int x, int y, int scale, std::string_view text, Rgb colour);
  static int TextWidth(int scale, std::string_view text);
  // Adds pseudo-random noise of at most +-amplitude to every pixel of rows
  // y0 and below; `seed` picks the pattern.
  void AddNoise(int y0, int amplitude, uint32_t seed);
  // Lifts every pixel two fifths of the way towards white.
  void Brighten();
  static constexpr int kGlyphHeight = 7;

 private:
  int width_;
  int height_;
  std::vector<uint8_t> pixels_;
};

}  // namespace zarvion::dvrsim
