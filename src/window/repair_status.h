// The line the control gives its host about the start-up repair of the
// record folder's recordings.
#pragma once

#include <QString>

#include "video/recording_repair.h"

namespace zarvion {

// One line for a status bar; empty when there is nothing to tell (a folder
// whose recordings were all intact).
QString RepairStatusText(const RecordingRepairNote& note);

}  // namespace zarvion
