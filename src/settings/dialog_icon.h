// The dialogs' small window icon: a 16 x 16 camera drawn in code, so the
// library carries no image files for it.
#pragma once

#include <QIcon>

namespace zarvion {

QIcon DialogIcon();

}  // namespace zarvion
