// The recording's wall-clock time drawn into an exported picture: white
// figures with a black edge at the top left, in the product's font. Needs a
// QGuiApplication (for the font); one caller thread at a time.
#pragma once

#include <cstdint>
#include <string>

namespace zarvion::recordings {

// `text` of digits, '-', ':' and spaces onto 32-bit pixels (BGRX, rows top
// first, `stride` bytes apart), scaled to the picture's height.
void DrawTimeStamp(uint8_t* pixels, int width, int height, int stride, const std::string& text);

}  // namespace zarvion::recordings
