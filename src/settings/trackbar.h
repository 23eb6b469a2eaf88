// A slider that reports a change the user made: when the mouse lets go of
// it (after a drag of the handle or a click on the groove alike), once it
// has taken its new position; when the keys that moved it are let go (once
// per change, however long a key was held); and after each wheel turn that
// moved it. Moves made by the program report nothing.
#pragma once

#include <QKeyEvent>
#include <QMouseEvent>
#include <QSlider>
#include <QWheelEvent>

#include <functional>

namespace zarvion {

class Trackbar : public QSlider {
 public:
  explicit Trackbar(QWidget* parent = nullptr) : QSlider(Qt::Horizontal, parent) {}

  std::function<void()> onReleased;

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override {
    QSlider::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton) Report();
  }
  void keyPressEvent(QKeyEvent* event) override {
    // A held key repeats its press (and its release); the change counts
    // from the first press to the last release.
    if (!keyHeld_) {
      keyHeld_ = true;
      keyStart_ = value();
    }
    QSlider::keyPressEvent(event);
  }
  void keyReleaseEvent(QKeyEvent* event) override {
    QSlider::keyReleaseEvent(event);
    if (!event->isAutoRepeat()) EndKeys();
  }
  void focusOutEvent(QFocusEvent* event) override {
    EndKeys();
    QSlider::focusOutEvent(event);
  }
  void wheelEvent(QWheelEvent* event) override {
    const int before = value();
    QSlider::wheelEvent(event);
    if (value() != before) Report();
  }

 private:
  void EndKeys() {
    if (!keyHeld_) return;
    keyHeld_ = false;
    if (value() != keyStart_) Report();
  }
  void Report() {
    if (onReleased) onReleased();
  }

  bool keyHeld_ = false;
  int keyStart_ = 0;
};

}  // namespace zarvion
