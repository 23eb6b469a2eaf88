// The log's lines through Qt's categorised logging: "zarvion.net",
// "zarvion.video", "zarvion.recording", "zarvion.settings", "zarvion.shell"
// and "zarvion.viewer", each quiet unless Qt's rules enable it
// (QT_LOGGING_RULES="zarvion.*=true", or QLoggingCategory::setFilterRules)
// or $ZARVION_LOG names it. Lines then reach whatever message handler the
// process has (standard error by default, as "zarvion.net: ...").
#pragma once

#include "platform/log.h"

class QLoggingCategory;

namespace zarvion {

// The Qt category of a log category.
const QLoggingCategory& QtLogCategory(LogCategory category);

// Makes the Qt categories the log's sink. Harmless when called again; it
// only sets a pointer, so it may run while a library is being loaded.
void InstallQtLogSink();

}  // namespace zarvion
