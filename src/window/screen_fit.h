// Where a top-level window goes so that it stays on its screen.
#pragma once

#include <algorithm>

#include <QPoint>
#include <QRect>

namespace zarvion {

// The top-left corner nearest to `at` at which a window of `size` (frame
// included) lies within `room`; a window larger than `room` keeps room's
// top-left corner.
inline QPoint KeptWithin(QPoint at, QSize size, const QRect& room) {
  const QPoint far = room.topLeft() +
                     QPoint(room.width() - size.width(), room.height() - size.height());
  return QPoint(std::clamp(at.x(), room.left(), std::max(room.left(), far.x())),
                std::clamp(at.y(), room.top(), std::max(room.top(), far.y())));
}

}  // namespace zarvion
