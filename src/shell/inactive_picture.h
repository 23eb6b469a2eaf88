// How the control draws itself when a container asks for its picture while
// it has no window (design mode, printing, a picture for a document).
#pragma once

class QPainter;
class QRect;

namespace zarvion {

// The text drawn in the middle of the picture.
constexpr const char* kInactivePictureText = "ATL Composite Control";

// Outlines `bounds` in black, fills it gray and writes the text on one line,
// centred both ways, in the window-text colour on a transparent background,
// in the painter's current font.
void DrawInactivePicture(QPainter& painter, const QRect& bounds);

}  // namespace zarvion
