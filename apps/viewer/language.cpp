#include "viewer/language.h"

#include <QApplication>
#include <QTranslator>

#include "platform/registry.h"
#include "viewer/main_window.h"
#include "viewer/recent_recorders.h"

namespace zarvion::viewer {
namespace {

constexpr const char* kChineseName = "zh_CN";
constexpr const char* kEnglishName = "en";
// Compiled into the program as a Qt resource (apps/viewer/CMakeLists.txt).
constexpr const char* kEnglishCatalogue = ":/i18n/zarvion_en.qm";

}  // namespace

Language LoadLanguage() {
  std::string name;
  if (RegGetString(Hive::kCurrentUser, kViewerKey, kLanguageValue, &name) && name == kEnglishName) {
    return Language::kEnglish;
  }
  return Language::kChinese;
}

bool SaveLanguage(Language language) {
  return RegSetString(Hive::kCurrentUser, kViewerKey, kLanguageValue,
                      language == Language::kEnglish ? kEnglishName : kChineseName);
}

bool InstallLanguage(QApplication& app, Language language) {
  if (language == Language::kChinese) return LoadQtTranslations(app);
  auto* translator = new QTranslator(&app);
  if (!translator->load(QString::fromLatin1(kEnglishCatalogue))) {
    delete translator;
    return false;
  }
  return QApplication::installTranslator(translator);
}

}  // namespace zarvion::viewer
