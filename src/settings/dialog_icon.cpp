#include "settings/dialog_icon.h"

#include <QImage>
#include <QPainter>
#include <QPixmap>

namespace zarvion {

QIcon DialogIcon() {
  QImage image(16, 16, QImage::Format_RGB888);
  image.fill(QColor(0xC0, 0xC0, 0xC0));
  QPainter p(&image);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x20, 0x20, 0x20));
  p.drawRect(1, 5, 10, 8);                                          // body
  p.drawPolygon(QPolygon({{11, 8}, {15, 5}, {15, 13}, {11, 10}}));  // lens hood
  p.setBrush(QColor(0x30, 0x90, 0xE0));
  p.drawEllipse(3, 7, 4, 4);  // lens
  p.setBrush(QColor(0xE0, 0x20, 0x20));
  p.drawRect(2, 2, 3, 2);  // recording light
  p.end();
  return QIcon(QPixmap::fromImage(image));
}

}  // namespace zarvion
