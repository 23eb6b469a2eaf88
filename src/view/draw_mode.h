// DrawMode words: what the video area shows, as one unsigned 32-bit word.
//
// 0..15: one channel fills the view (the value is its decoder slot).
// n << 16 with n = 4, 9 or 16: a grid of 2 x 2, 3 x 3 or 4 x 4 panes, pane p
// showing slot p. 0x80000000: the playback view (slot 0 full size).
// Any other word shows nothing and must index no decoder.
#pragma once

#include <cstdint>

namespace zarvion {

constexpr uint32_t kDrawGrid4 = 0x00040000;
constexpr uint32_t kDrawGrid9 = 0x00090000;
constexpr uint32_t kDrawGrid16 = 0x00100000;
constexpr uint32_t kDrawPlayback = 0x80000000;
constexpr uint32_t kDefaultDrawMode = kDrawGrid16;

// Decoder slots, one per channel a view can show.
inline constexpr int kDecoderSlots = 16;

// One channel fills the view.
constexpr bool IsChannelView(uint32_t drawMode) {
  return drawMode < static_cast<uint32_t>(kDecoderSlots);
}
// One of the three grids, exactly as the settings store keeps them.
constexpr bool IsGridView(uint32_t drawMode) {
  return drawMode == kDrawGrid4 || drawMode == kDrawGrid9 || drawMode == kDrawGrid16;
}

enum class ViewKind { kSingle, kGrid, kNone };
struct View {
  ViewKind kind = ViewKind::kNone;
  int slot = 0;  // kSingle: the slot shown (0 for the playback view)
  int side = 0;  // kGrid: panes per side (2, 3 or 4)
};

// What a DrawMode word shows, tested in this order: a word at or below
// 0x00010000 or at or above 0x80000000 is a single view (0..15, and slot 0
// for 0x80000000; the rest nothing); otherwise the high 16 bits give the
// pane count, and only 4, 9 and 16 are drawn.
constexpr View ClassifyDrawMode(uint32_t drawMode) {
  if (drawMode <= 0x00010000u || drawMode >= 0x80000000u) {
    if (IsChannelView(drawMode)) return View{ViewKind::kSingle, static_cast<int>(drawMode), 0};
    if (drawMode == kDrawPlayback) return View{ViewKind::kSingle, 0, 0};
    return View{};
  }
  switch (drawMode >> 16) {
    case 4:
      return View{ViewKind::kGrid, 0, 2};
    case 9:
      return View{ViewKind::kGrid, 0, 3};
    case 16:
      return View{ViewKind::kGrid, 0, 4};
    default:
      return View{};
  }
}

// A layout that can stand as the saved grid: one of the three grids, else
// the 4 x 4 grid, so nothing derived from it can index past the decoders.
constexpr uint32_t ValidGridOr16(uint32_t drawMode) {
  return IsGridView(drawMode) ? drawMode : kDrawGrid16;
}

// The n lowest bits set: the SelectChannels mask of a grid of n panes (n = 0
// gives 0).
constexpr uint16_t GridMask(uint32_t panes) {
  return panes >= 16 ? uint16_t{0xFFFF} : static_cast<uint16_t>((1u << panes) - 1u);
}

}  // namespace zarvion
