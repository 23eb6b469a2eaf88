// Texts the renderer draws over the view and their colours.
#pragma once

#include <cstdint>
#include <string>

#include "platform/surface.h"

namespace zarvion {

inline constexpr uint32_t kCaptionSingleColor = 0x00FBFBFB;   // near white
inline constexpr uint32_t kCaptionPointerColor = 0x00FFFF00;  // cyan
inline constexpr uint32_t kCaptionPaneColor = 0x00010101;     // near black
inline constexpr int kFontSmallHeight = 12;
inline constexpr int kFontLargeHeight = 36;

// "CH %d %02dfps %05dBps": channel number from 1, then the rates. nBps is
// printed as the signed number the product always printed.
std::string FormatSingleCaption(int channelNumber, int32_t fps, uint32_t bps);
// "CH %d 回放结束": a played-back recording that has no picture left; its
// last picture stays, without rates that no longer mean anything.
std::string FormatPlaybackEndCaption(int channelNumber);
// "CH %d" with a signal, "CH %d 无信号" without.
std::string FormatPaneCaption(int channelNumber, bool signal);

}  // namespace zarvion
