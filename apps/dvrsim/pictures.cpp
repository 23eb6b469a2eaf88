#include "dvrsim/pictures.h"

#include <string>

namespace zarvion::dvrsim {
namespace {

constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kBlack{0, 0, 0};
constexpr int kNoise = 7;

// Sixteen backgrounds that stay apart after compression and leave white
// text readable.
constexpr Rgb kChannelColours[16] = {
    {160, 30, 30}, {30, 130, 40}, {30, 50, 160},   {150, 120, 20}, {120, 30, 140}, {20, 120, 130},
    {170, 80, 20}, {70, 70, 70},  {100, 140, 30},  {30, 90, 100},  {140, 40, 90},  {60, 40, 130},
    {110, 70, 40}, {20, 100, 70}, {130, 110, 110}, {40, 40, 40},
};

std::string Padded(uint32_t value, size_t digits) {
  std::string s = std::to_string(value);
  if (s.size() < digits) s.insert(0, digits - s.size(), '0');
  return s;
}

void DrawCentred(Canvas* canvas, int y, int scale, const std::string& text, Rgb colour) {
  canvas->DrawText((canvas->Width() - Canvas::TextWidth(scale, text)) / 2, y, scale, text, colour);
}

int Luma(const uint8_t* p) {
  return (p[0] * 77 + p[1] * 150 + p[2] * 29) >> 8;
}

}  // namespace

Rgb ChannelColour(int channel) {
  return kChannelColours[channel & 15];
}

// The stamp runs along the bottom edge, clear of the viewer's captions,
// which sit at the top left of every pane.
void DrawStamp(Canvas* canvas, uint32_t value) {
  const int y = canvas->Height() - kStampCell;
  canvas->FillRect(0, y, kStampCell, kStampCell, kWhite);
  for (int bit = 0; bit < kStampBits; ++bit) {
    const bool set = (value >> bit) & 1u;
    canvas->FillRect((bit + 1) * kStampCell, y, kStampCell, kStampCell, set ? kWhite : kBlack);
  }
  canvas->FillRect((kStampBits + 1) * kStampCell, y, kStampCell, kStampCell, kBlack);
}

bool ReadStamp(const uint8_t* rgb, int width, int height, int stride, uint32_t* value) {
  if (width < (kStampBits + 2) * kStampCell || height < kStampCell) return false;
  auto cellIsWhite = [&](int cell, bool* white) {
    const int row = height - kStampCell / 2;
    const uint8_t* p = rgb + row * stride + (cell * kStampCell + kStampCell / 2) * 3;
    const int y = Luma(p);
    if (y > 170) {
      *white = true;
      return true;
    }
    if (y < 85) {
      *white = false;
      return true;
    }
    return false;  // neither: not a stamp, or badly damaged
  };
  bool white = false;
  if (!cellIsWhite(0, &white) || !white) return false;
  if (!cellIsWhite(kStampBits + 1, &white) || white) return false;
  uint32_t v = 0;
  for (int bit = 0; bit < kStampBits; ++bit) {
    if (!cellIsWhite(bit + 1, &white)) return false;
    if (white) v |= 1u << bit;
  }
  *value = v;
  return true;
}

void DrawLivePicture(Canvas* canvas, int channel, int frame, const SceneLook& look) {
  canvas->Fill(ChannelColour(channel));
  canvas->DrawText(24, 32, 4, "CH", kWhite);
  DrawCentred(canvas, 60, 16, std::to_string(channel + 1), kWhite);
  canvas->DrawText(24, 234, 4, "F " + Padded(static_cast<uint32_t>(frame), 4), kWhite);
  if (look.objectX != SceneLook::kNoObject) {
    canvas->FillRect(look.objectX, kObjectTop, kObjectWidth, kObjectHeight, {240, 240, 90});
  }
  if (look.lit) canvas->Brighten();
  // Sensor noise, as a camera has: it gives the encoder a realistic amount
  // of work and the stream a realistic rate.
  canvas->AddNoise(0, kNoise, static_cast<uint32_t>(channel * 4096 + frame));
  if (look.noise > 0) canvas->AddNoise(0, look.noise, look.noiseSeed);
  DrawStamp(canvas, LiveStamp(channel, frame));
}

void DrawRecordingPicture(Canvas* canvas, int recording, uint32_t step, uint32_t steps) {
  const Rgb a = ChannelColour(recording * 5 + 3);
  const Rgb b{static_cast<uint8_t>(a.r / 2), static_cast<uint8_t>(a.g / 2),
              static_cast<uint8_t>(a.b / 2)};
  for (int y = 0; y < canvas->Height(); y += 32) {
    canvas->FillRect(0, y, canvas->Width(), 16, a);
    canvas->FillRect(0, y + 16, canvas->Width(), 16, b);
  }
  canvas->DrawText(24, 32, 5, "REC " + std::to_string(recording + 1), kWhite);
  DrawCentred(canvas, 110, 10, std::to_string(step), kWhite);
  const int width = canvas->Width() - 48;
  const uint64_t shown = step < steps ? step : steps;
  const int done = steps > 0 ? static_cast<int>(shown * width / steps) : 0;
  canvas->FillRect(24, 248, width, 16, kBlack);
  canvas->FillRect(24, 248, done, 16, {90, 240, 90});
  canvas->AddNoise(0, kNoise, step * 7919u + static_cast<uint32_t>(recording));
  DrawStamp(canvas, step & ((1u << kStampBits) - 1));
}

}  // namespace zarvion::dvrsim
