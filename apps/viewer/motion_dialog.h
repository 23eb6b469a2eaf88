// "移动侦测设置": one camera's motion settings. Detection and its recording
// on or off, the sensitivity, whether the camera's motion is an alarm, and
// the blocks the detector ignores, painted over the camera's picture with
// the detector's 16 x 16 grid: drag to mask blocks, drag with the right
// button (or with "擦除" checked) to give them back, "清除" gives all back.
#pragma once

#include <QDialog>
#include <QImage>
#include <QWidget>

#include "viewer/recent_recorders.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QSlider;

namespace zarvion::viewer {

// The picture with the grid; masked blocks shaded.
class MaskPainter : public QWidget {
  Q_OBJECT

 public:
  explicit MaskPainter(QWidget* parent = nullptr);

  void SetPicture(const QImage& picture);
  void SetMask(const MotionMask& mask);
  const MotionMask& Mask() const { return mask_; }
  // The left button erases instead of masking.
  void SetErasing(bool erasing) { erasing_ = erasing; }
  // The block (row, column) under `point`; false outside the picture.
  bool BlockAt(const QPoint& point, int* row, int* column) const;
  // The picture's rectangle in this widget (the grid's).
  QRect PictureRect() const;

  QSize sizeHint() const override;

 signals:
  void MaskChanged();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void Paint(const QPoint& point);

  QImage picture_;
  MotionMask mask_{};
  bool erasing_ = false;
  // While a button is down: whether the drag masks (true) or erases.
  bool dragging_ = false;
  bool masking_ = true;
  QPoint last_;  // where the drag was last seen
};

class MotionDialog : public QDialog {
  Q_OBJECT

 public:
  // `picture` is the camera's picture now (may be null: a grey field).
  MotionDialog(QWidget* parent, const QString& camera, const CameraMotion& settings,
               const QImage& picture);

  // The settings as entered.
  CameraMotion Settings() const;

  QCheckBox* EnabledBox() const { return enabled_; }
  QCheckBox* RecordingBox() const { return recording_; }
  QCheckBox* AlarmBox() const { return alarm_; }
  QSlider* SensitivitySlider() const { return sensitivity_; }
  QLabel* SensitivityNumber() const { return number_; }
  MaskPainter* Painter() const { return painter_; }
  QCheckBox* EraseBox() const { return erase_; }
  QPushButton* ClearButton() const { return clear_; }
  QPushButton* OkButton() const { return ok_; }

 private:
  CameraMotion settings_;
  QCheckBox* enabled_;
  QCheckBox* recording_;
  QCheckBox* alarm_;
  QSlider* sensitivity_;
  QLabel* number_;
  MaskPainter* painter_;
  QCheckBox* erase_;
  QPushButton* clear_;
  QPushButton* ok_;
};

}  // namespace zarvion::viewer
