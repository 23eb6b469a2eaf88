// "命名": what the operator calls a recorder and each of its cameras, and
// whether the panes' captions show the cameras' names. An empty field
// leaves that name unset: the address, or "CH k", stands for it as before.
#pragma once

#include <vector>

#include <QDialog>

#include "viewer/recent_recorders.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace zarvion::viewer {

class NameDialog : public QDialog {
  Q_OBJECT

 public:
  // Names are longest at these many characters.
  static constexpr int kMaxRecorderName = 64;
  static constexpr int kMaxCameraName = 32;

  // One field per camera of the recorder's `channels` (1 to 16). The field
  // of `focus` (a 0-based channel) takes the focus, or the recorder's own
  // for -1.
  NameDialog(QWidget* parent, const Recorder& recorder, int channels, int focus = -1);

  // The recorder with the names entered; cameras beyond its channels keep
  // theirs.
  Recorder Named() const;

  QLineEdit* RecorderField() const { return name_; }
  // Null beyond the recorder's channels.
  QLineEdit* CameraField(int channel) const;
  QCheckBox* CaptionsBox() const { return captions_; }
  QPushButton* OkButton() const { return ok_; }
  QPushButton* CancelButton() const { return cancel_; }

 private:
  Recorder recorder_;
  QLineEdit* name_;
  std::vector<QLineEdit*> cameras_;
  QCheckBox* captions_;
  QPushButton* ok_;
  QPushButton* cancel_;
};

}  // namespace zarvion::viewer
