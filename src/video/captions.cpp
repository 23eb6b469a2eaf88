#include "video/captions.h"

#include <cstdio>

#include <QCoreApplication>

#include "video/channel_decoder.h"

namespace zarvion {

std::string FormatSingleCaption(int channelNumber, int32_t fps, uint32_t bps) {
  char text[64];
  std::snprintf(text, sizeof text, "CH %d %02dfps %05dBps", channelNumber, fps,
                static_cast<int32_t>(bps));
  return text;
}

std::string FormatPlaybackEndCaption(int channelNumber) {
  char text[64];
  std::snprintf(text, sizeof text, "CH %d", channelNumber);
  return std::string(text) + ' ' + PlaybackEndWord();
}

std::string FormatPaneCaption(int channelNumber, bool signal) {
  char text[64];
  std::snprintf(text, sizeof text, "CH %d", channelNumber);
  if (!signal) return std::string(text) + ' ' + NoSignalWord();
  return text;
}

const std::string& NoSignalWord() {
  static const std::string word =
      QCoreApplication::translate("Captions", kTextNoSignal).toStdString();
  return word;
}

const std::string& BufferingWord() {
  static const std::string word =
      QCoreApplication::translate("Captions", kTextBuffering).toStdString();
  return word;
}

const std::string& PlaybackEndWord() {
  static const std::string word =
      QCoreApplication::translate("Captions", kTextPlaybackEnd).toStdString();
  return word;
}

}  // namespace zarvion
