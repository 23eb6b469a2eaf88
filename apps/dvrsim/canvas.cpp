#include "dvrsim/canvas.h"

#include <algorithm>
#include <array>

#include "platform/vectorise.h"

namespace zarvion::dvrsim {
namespace {

constexpr int kGlyphWidth = 5;

struct Glyph {
  char c;
  std::array<const char*, Canvas::kGlyphHeight> rows;
};

// clang-format off
constexpr Glyph kGlyphs[] = {
  {'0', {" ### ", "#   #", "#  ##", "# # #", "##  #", "#   #", " ### "}},
  {'1', {"  #  ", " ##  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "}},
  {'2', {" ### ", "#   #", "    #", "   # ", "  #  ", " #   ", "#####"}},
  {'3', {"#####", "   # ", "  #  ", "   # ", "    #", "#   #", " ### "}},
  {'4', {"   # ", "  ## ", " # # ", "#  # ", "#####", "   # ", "   # "}},
  {'5', {"#####", "#    ", "#### ", "    #", "    #", "#   #", " ### "}},
  {'6', {"  ## ", " #   ", "#    ", "#### ", "#   #", "#   #", " ### "}},
  {'7', {"#####", "    #", "   # ", "  #  ", " #   ", " #   ", " #   "}},
  {'8', {" ### ", "#   #", "#   #", " ### ", "#   #", "#   #", " ### "}},
  {'9', {" ### ", "#   #", "#   #", " ####", "    #", "   # ", " ##  "}},
  {'A', {" ### ", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"}},
  {'C', {" ### ", "#   #", "#    ", "#    ", "#    ", "#   #", " ### "}},
  {'E', {"#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#####"}},
  {'F', {"#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#    "}},
  {'H', {"#   #", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"}},
  {'L', {"#    ", "#    ", "#    ", "#    ", "#    ", "#    ", "#####"}},
  {'P', {"#### ", "#   #", "#   #", "#### ", "#    ", "#    ", "#    "}},
  {'R', {"#### ", "#   #", "#   #", "#### ", "# #  ", "#  # ", "#   #"}},
  {'S', {" ####", "#    ", "#    ", " ### ", "    #", "    #", "#### "}},
  {'T', {"#####", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  "}},
  {'V', {"#   #", "#   #", "#   #", "#   #", "#   #", " # # ", "  #  "}},
  {'Y', {"#   #", "#   #", " # # ", "  #  ", "  #  ", "  #  ", "  #  "}},
  {':', {"     ", "  #  ", "  #  ", "     ", "  #  ", "  #  ", "     "}},
  {'-', {"     ", "     ", "     ", "#####", "     ", "     ", "     "}},
  {'#', {" # # ", " # # ", "#####", " # # ", "#####", " # # ", " # # "}},
};
// clang-format on

const Glyph* FindGlyph(char c) {
  for (const Glyph& g : kGlyphs) {
    if (g.c == c) return &g;
  }
  return nullptr;
}

}  // namespace

Canvas::Canvas(int width, int height)
    : width_(width), height_(height), pixels_(static_cast<size_t>(width) * height * 3) {}

Rgb Canvas::Pixel(int x, int y) const {
  const uint8_t* p = pixels_.data() + (static_cast<size_t>(y) * width_ + x) * 3;
  return {p[0], p[1], p[2]};
}

void Canvas::Fill(Rgb colour) {
  FillRect(0, 0, width_, height_, colour);
}

void Canvas::FillRect(int x, int y, int w, int h, Rgb colour) {
  const int x0 = std::max(x, 0), y0 = std::max(y, 0);
  const int x1 = std::min(x + w, width_), y1 = std::min(y + h, height_);
  for (int row = y0; row < y1; ++row) {
    uint8_t* p = pixels_.data() + (static_cast<size_t>(row) * width_ + x0) * 3;
    for (int col = x0; col < x1; ++col) {
      *p++ = colour.r;
      *p++ = colour.g;
      *p++ = colour.b;
    }
  }
}

void Canvas::DrawText(int x, int y, int scale, std::string_view text, Rgb colour) {
  for (char c : text) {
    if (const Glyph* g = FindGlyph(c)) {
      for (int row = 0; row < kGlyphHeight; ++row) {
        for (int col = 0; col < kGlyphWidth; ++col) {
          if (g->rows[row][col] == '#') {
            FillRect(x + col * scale, y + row * scale, scale, scale, colour);
          }
        }
      }
    }
    x += (kGlyphWidth + 1) * scale;
  }
}

namespace {

ZARVION_VECTORISE void AddDeltas(uint8_t* __restrict out, const int8_t* __restrict delta,
                                 size_t count, int amplitude) {
  for (size_t k = 0; k < count; ++k) {
    const int v = out[k] + delta[k] * amplitude / 128;
    out[k] = static_cast<uint8_t>(std::clamp(v, 0, 255));
  }
}

}  // namespace

void Canvas::AddNoise(int y0, int amplitude, uint32_t seed) {
  // One table of deltas, read from a seed-dependent offset: cheap enough for
  // every picture of every loop at start-up.
  constexpr size_t kTable = 1 << 16;
  static const std::vector<int8_t> table = [] {
    std::vector<int8_t> t(kTable);
    uint32_t state = 12345;
    for (auto& v : t) {
      state = state * 1664525u + 1013904223u;
      v = static_cast<int8_t>(static_cast<int>(state >> 24) - 128);
    }
    return t;
  }();
  const size_t offset = (seed * 2654435761u) % kTable;
  const size_t end = pixels_.size();
  // In runs that do not wrap around the table, each a plain loop the
  // compiler vectorises: live scenes add noise to every picture.
  for (size_t i = std::min(static_cast<size_t>(std::max(y0, 0)) * width_ * 3, end); i < end;) {
    const size_t from = (offset + i) % kTable;
    const size_t run = std::min(end - i, kTable - from);
    AddDeltas(pixels_.data() + i, table.data() + from, run, amplitude);
    i += run;
  }
}

void Canvas::Brighten() {
  for (uint8_t& v : pixels_) v = static_cast<uint8_t>(v + (255 - v) * 2 / 5);
}

int Canvas::TextWidth(int scale, std::string_view text) {
  if (text.empty()) return 0;
  return static_cast<int>(text.size()) * (kGlyphWidth + 1) * scale - scale;
}

}  // namespace zarvion::dvrsim
