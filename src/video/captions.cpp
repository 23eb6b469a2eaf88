#include "video/captions.h"

#include <cstdio>

namespace zarvion {

std::string FormatSingleCaption(int channelNumber, int32_t fps, uint32_t bps) {
  char text[64];
  std::snprintf(text, sizeof text, "CH %d %02dfps %05dBps", channelNumber, fps,
                static_cast<int32_t>(bps));
  return text;
}

std::string FormatPlaybackEndCaption(int channelNumber) {
  char text[64];
  std::snprintf(text, sizeof text, "CH %d 回放结束", channelNumber);
  return text;
}

std::string FormatPaneCaption(int channelNumber, bool signal) {
  char text[64];
  std::snprintf(text, sizeof text, signal ? "CH %d" : "CH %d 无信号", channelNumber);
  return text;
}

}  // namespace zarvion
