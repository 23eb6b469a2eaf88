// The control window's own texts. They go through the application's
// translators in the context "ControlWindow"; the recorder's own texts
// (notices, playback rows) never do.
#pragma once

#include <QCoreApplication>
#include <QString>

namespace zarvion {

inline constexpr const char* kCaptionRecord = QT_TRANSLATE_NOOP("ControlWindow", "录像");
inline constexpr const char* kCaptionStopRecording = QT_TRANSLATE_NOOP("ControlWindow", "停止");
inline constexpr const char* kCaptionPlay = QT_TRANSLATE_NOOP("ControlWindow", "播放");
inline constexpr const char* kCaptionPause = QT_TRANSLATE_NOOP("ControlWindow", "暂停");
// The first item of the settings dialog's channel list.
inline constexpr const char* kItemAllChannels = QT_TRANSLATE_NOOP("ControlWindow", "全部通道");

inline QString WindowText(const char* utf8) {
  return QCoreApplication::translate("ControlWindow", utf8);
}

}  // namespace zarvion
