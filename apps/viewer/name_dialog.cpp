#include "viewer/name_dialog.h"

#include <algorithm>

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace zarvion::viewer {
namespace {

// Eight cameras to a column.
constexpr int kRowsPerColumn = 8;

std::string Entered(const QLineEdit* field) {
  return field->text().simplified().toStdString();
}

}  // namespace

NameDialog::NameDialog(QWidget* parent, const Recorder& recorder, int channels, int focus)
    : QDialog(parent), recorder_(recorder) {
  setWindowTitle(tr("命名"));
  channels = std::clamp(channels, 1, kMaxCameras);
  name_ = new QLineEdit(QString::fromStdString(recorder.name), this);
  name_->setPlaceholderText(recorder.Label());
  name_->setMaxLength(kMaxRecorderName);

  auto* cameras = new QGroupBox(tr("摄像机"), this);
  auto* grid = new QGridLayout(cameras);
  for (int c = 0; c < channels; ++c) {
    const QString label = QStringLiteral("CH %1").arg(c + 1);
    auto* field =
        new QLineEdit(QString::fromStdString(recorder.cameras[static_cast<size_t>(c)]), cameras);
    field->setPlaceholderText(label);
    field->setMaxLength(kMaxCameraName);
    const int row = c % kRowsPerColumn;
    const int column = c / kRowsPerColumn * 2;
    grid->addWidget(new QLabel(label, cameras), row, column);
    grid->addWidget(field, row, column + 1);
    cameras_.push_back(field);
  }
  captions_ = new QCheckBox(tr("在画面标题中显示摄像机名称"), this);
  captions_->setChecked(recorder.cameraCaptions);

  auto* buttons = new QDialogButtonBox(this);
  ok_ = buttons->addButton(tr("确定"), QDialogButtonBox::AcceptRole);
  cancel_ = buttons->addButton(tr("取消"), QDialogButtonBox::RejectRole);
  ok_->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* form = new QFormLayout;
  form->addRow(tr("录像机名称："), name_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(cameras);
  layout->addWidget(captions_);
  layout->addWidget(buttons);

  QLineEdit* first = focus >= 0 && focus < channels ? cameras_[static_cast<size_t>(focus)] : name_;
  first->setFocus();
  first->selectAll();
}

QLineEdit* NameDialog::CameraField(int channel) const {
  if (channel < 0 || channel >= static_cast<int>(cameras_.size())) return nullptr;
  return cameras_[static_cast<size_t>(channel)];
}

Recorder NameDialog::Named() const {
  Recorder named = recorder_;
  named.name = Entered(name_);
  for (size_t c = 0; c < cameras_.size(); ++c) named.cameras[c] = Entered(cameras_[c]);
  named.cameraCaptions = captions_->isChecked();
  return named;
}

}  // namespace zarvion::viewer
