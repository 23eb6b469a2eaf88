// Texts the renderer draws over the view and their colours.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <QtGlobal>

#include "platform/surface.h"

namespace zarvion {

inline constexpr uint32_t kCaptionSingleColor = 0x00FBFBFB;   // near white
inline constexpr uint32_t kCaptionPointerColor = 0x00FFFF00;  // cyan
inline constexpr uint32_t kCaptionPaneColor = 0x00010101;     // near black
inline constexpr int kFontSmallHeight = 12;
inline constexpr int kFontLargeHeight = 36;

// "CH %d %02dfps %05dBps": channel number from 1, then the rates. nBps is
// printed as the signed number the product always printed.
std::string FormatSingleCaption(int channelNumber, int32_t fps, uint32_t bps,
                                std::string_view name = {});
// "CH %d 回放结束" (the words translated): a played-back recording that has no picture left; its
// last picture stays, without rates that no longer mean anything.
std::string FormatPlaybackEndCaption(int channelNumber, std::string_view name = {});
// "CH %d" with a signal, "CH %d 无信号" without (the word translated).
std::string FormatPaneCaption(int channelNumber, bool signal, std::string_view name = {});
// Each of the three with a non-empty `name` (the camera's, UTF-8) in place
// of "CH %d"; the rest of the caption stays as it is.

// What the rates add to the single view's caption at their widest, for
// measuring the room its name has.
inline constexpr const char* kWidestRates = " 00fps 00000Bps";
// `name` as it fits in `room` pixels of a caption drawn in `font` (null:
// Qt's default font), followed by `rest`: whole, or cut after its last
// character that fits with "…" after it (just "…" when none does).
std::string FitCameraName(const Font* font, const std::string& name, std::string_view rest,
                          int room);

// kTextNoSignal and kTextBuffering through the application's translators,
// as UTF-8. Taken at the first use and kept for the process: the language
// is chosen before any control is built, and the connection thread draws
// these for every frame without a signal.
const std::string& NoSignalWord();
const std::string& BufferingWord();
// "回放结束", the same way.
inline constexpr const char* kTextPlaybackEnd = QT_TRANSLATE_NOOP("Captions", "回放结束");
const std::string& PlaybackEndWord();

}  // namespace zarvion
