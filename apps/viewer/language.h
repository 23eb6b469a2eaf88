// The language of the viewer and of the controls it hosts. Chinese is the
// system's own: its texts are the sources, shown as they are, whatever the
// system locale. English comes from a translation catalogue compiled into
// the program. The choice is kept under the viewer's key and read once, at
// start: windows already built keep the language they were built in.
#pragma once

#include <QString>

class QApplication;

namespace zarvion::viewer {

enum class Language { kChinese, kEnglish };

// Value "szLanguage" under the viewer's key: "zh_CN" or "en". Anything else
// (or nothing) is Chinese.
inline constexpr const char* kLanguageValue = "szLanguage";

Language LoadLanguage();
bool SaveLanguage(Language language);

// Installs the texts of `language` into the application: for Chinese, Qt's
// own zh_CN texts (standard buttons, the folder chooser); for English, the
// catalogue of the viewer and the control (Qt's own texts are English
// already). Call once, after the application exists and before any window
// is built. False when a catalogue could not be loaded; the sources (the
// Chinese texts) then show.
bool InstallLanguage(QApplication& app, Language language);

}  // namespace zarvion::viewer
