#include "shell/inactive_picture.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPalette>
#include <QRect>

namespace zarvion {

void DrawInactivePicture(QPainter& painter, const QRect& bounds) {
  if (bounds.isEmpty()) return;
  painter.save();
  // The stock black pen and gray brush: a one-pixel outline inside the
  // rectangle, the gray of the 16-colour palette within.
  QPen pen(Qt::black);
  pen.setWidth(0);
  painter.setPen(pen);
  painter.setBrush(QColor(128, 128, 128));
  painter.drawRect(bounds.adjusted(0, 0, -1, -1));
  const QColor text =
      qGuiApp ? QGuiApplication::palette().color(QPalette::WindowText) : QColor(Qt::black);
  painter.setPen(text);
  painter.setBackgroundMode(Qt::TransparentMode);
  painter.drawText(bounds, Qt::AlignCenter | Qt::TextSingleLine,
                   QString::fromLatin1(kInactivePictureText));
  painter.restore();
}

}  // namespace zarvion
