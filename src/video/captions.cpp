#include "video/captions.h"

#include <cstdio>

#include <algorithm>

#include <QCoreApplication>
#include <QFontMetrics>
#include <QTextBoundaryFinder>

#include "video/channel_decoder.h"

namespace zarvion {

namespace {

// "CH %d", or the camera's name when it has one.
std::string CameraLabel(int channelNumber, std::string_view name) {
  if (!name.empty()) return std::string(name);
  char text[16];
  std::snprintf(text, sizeof text, "CH %d", channelNumber);
  return text;
}

}  // namespace

std::string FormatSingleCaption(int channelNumber, int32_t fps, uint32_t bps,
                                std::string_view name) {
  char rates[48];
  std::snprintf(rates, sizeof rates, " %02dfps %05dBps", fps, static_cast<int32_t>(bps));
  return CameraLabel(channelNumber, name) + rates;
}

std::string FormatPlaybackEndCaption(int channelNumber, std::string_view name) {
  return CameraLabel(channelNumber, name) + ' ' + PlaybackEndWord();
}

std::string FormatPaneCaption(int channelNumber, bool signal, std::string_view name) {
  std::string text = CameraLabel(channelNumber, name);
  if (!signal) text += ' ' + NoSignalWord();
  return text;
}

std::string FitCameraName(const Font* font, const std::string& name, std::string_view rest,
                          int room) {
  const QFontMetrics metrics(font ? font->Get() : QFont());
  const QString tail = QString::fromUtf8(rest.data(), static_cast<qsizetype>(rest.size()));
  // As far as the glyphs reach, overhangs included.
  auto fits = [&](const QString& text) {
    const QString whole = text + tail;
    const int reach =
        std::max(metrics.horizontalAdvance(whole), metrics.boundingRect(whole).right() + 1);
    return reach <= room;
  };
  const QString text = QString::fromStdString(name);
  if (fits(text)) return name;
  // Cut between characters as the reader sees them, never inside one.
  const QString ellipsis(QChar(0x2026));
  QTextBoundaryFinder boundaries(QTextBoundaryFinder::Grapheme, text);
  boundaries.toEnd();
  for (qsizetype at = boundaries.toPreviousBoundary(); at > 0;
       at = boundaries.toPreviousBoundary()) {
    const QString cut = text.left(at).trimmed() + ellipsis;
    if (fits(cut)) return cut.toStdString();
  }
  return ellipsis.toStdString();
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
