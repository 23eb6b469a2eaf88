// A slider that reports when the mouse lets go of it, after a drag of the
// handle or a click on the groove alike, once it has taken its new position.
// Keyboard moves report nothing.
#pragma once

#include <QMouseEvent>
#include <QSlider>

#include <functional>

namespace zarvion {

class Trackbar : public QSlider {
 public:
  explicit Trackbar(QWidget* parent = nullptr) : QSlider(Qt::Horizontal, parent) {}

  std::function<void()> onReleased;

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override {
    QSlider::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && onReleased) onReleased();
  }
};

}  // namespace zarvion
