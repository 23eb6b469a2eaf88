#include "window/log_sink.h"

#include <QLoggingCategory>
#include <QMessageLogger>

namespace zarvion {

namespace {

QtMsgType QtType(LogSeverity severity) {
  switch (severity) {
    case LogSeverity::kInfo:
      return QtInfoMsg;
    case LogSeverity::kWarning:
      return QtWarningMsg;
    case LogSeverity::kError:
      break;
  }
  return QtCriticalMsg;
}

bool Raised(LogCategory category) {
  return (LogCategoriesFromEnvironment() & (1u << static_cast<unsigned>(category))) != 0;
}

bool QtEnabled(LogCategory category) {
  const QLoggingCategory& c = QtLogCategory(category);
  return Raised(category) || c.isInfoEnabled() || c.isWarningEnabled() || c.isCriticalEnabled();
}

void QtWrite(LogCategory category, LogSeverity severity, const char* line) {
  const QLoggingCategory& c = QtLogCategory(category);
  const QtMsgType type = QtType(severity);
  if (!Raised(category) && !c.isEnabled(type)) return;
  // A logger with the category's name but without its test: a category
  // raised by $ZARVION_LOG is written even where Qt's rules keep it quiet.
  QMessageLogger logger(nullptr, 0, nullptr, c.categoryName());
  switch (type) {
    case QtInfoMsg:
      logger.info("%s", line);
      break;
    case QtWarningMsg:
      logger.warning("%s", line);
      break;
    default:
      logger.critical("%s", line);
      break;
  }
}

constexpr LogSink kQtSink{QtEnabled, QtWrite};

}  // namespace

const QLoggingCategory& QtLogCategory(LogCategory category) {
  // Made on first use and never destroyed, so a line logged while the
  // process ends still finds its category. QtFatalMsg as the level enables
  // none of the levels a line can have: quiet until a rule says otherwise.
  static QLoggingCategory* const categories[kLogCategoryCount] = {
      new QLoggingCategory("zarvion.net", QtFatalMsg),
      new QLoggingCategory("zarvion.video", QtFatalMsg),
      new QLoggingCategory("zarvion.recording", QtFatalMsg),
      new QLoggingCategory("zarvion.settings", QtFatalMsg),
      new QLoggingCategory("zarvion.shell", QtFatalMsg),
      new QLoggingCategory("zarvion.viewer", QtFatalMsg),
  };
  const auto i = static_cast<unsigned>(category);
  return *categories[i < kLogCategoryCount ? i : 0];
}

void InstallQtLogSink() {
  SetLogSink(&kQtSink);
}

}  // namespace zarvion
