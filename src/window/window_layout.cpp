#include "window/window_layout.h"

#include <algorithm>

#include "net/control_object.h"

namespace zarvion {

QRect ToolbarButtonRect(const QRect& client, int position) {
  // QRect's bottom() is inclusive; the band ends at the exclusive edge.
  const int bottom = client.top() + client.height();
  return QRect(client.left() + kToolbarButtonWidth * position, bottom - kToolbarHeight,
               kToolbarButtonWidth, kToolbarHeight);
}

QRect ToolbarSliderRect(const QRect& client) {
  const int bottom = client.top() + client.height();
  return QRect(client.left() + kSliderLeft, bottom - kToolbarHeight,
               std::max(0, client.width() - kSliderLeft), kToolbarHeight);
}

namespace {

// The column (or row) whose open interval holds `p`, or -1.
int Band(int side, int extent, int p) {
  for (int j = 0; j < side; ++j) {
    const int low = (j * extent) / side + 2 * j + 2;
    const int high = ((j + 1) * extent) / side + 2 * j + 4;
    if (low < p && p < high) return j;
  }
  return -1;
}

}  // namespace

int PaneAtPointer(int side, int windowWidth, int windowHeight, int px, int py) {
  if (side < 1) return -1;
  const int w = windowWidth - 2 * side;
  const int h = windowHeight - kPointerAllowance - 2 * side;
  const int column = Band(side, w, px);
  const int row = Band(side, h, py);
  if (column < 0 || row < 0) return -1;
  return row * side + column;
}

}  // namespace zarvion
