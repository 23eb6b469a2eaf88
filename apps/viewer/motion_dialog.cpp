#include "viewer/motion_dialog.h"

#include <algorithm>

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

namespace zarvion::viewer {
namespace {

// The picture's shape when there is none: the recorder's 4:3.
constexpr int kDefaultWidth = 704;
constexpr int kDefaultHeight = 528;

bool Masked(const MotionMask& mask, int row, int column) {
  return (mask[static_cast<size_t>(row)] >> column) & 1u;
}

}  // namespace

MaskPainter::MaskPainter(QWidget* parent) : QWidget(parent) {
  setMinimumSize(kMotionGrid * 16, kMotionGrid * 12);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  setCursor(Qt::CrossCursor);
}

void MaskPainter::SetPicture(const QImage& picture) {
  picture_ = picture;
  updateGeometry();
  update();
}

void MaskPainter::SetMask(const MotionMask& mask) {
  if (mask == mask_) return;
  mask_ = mask;
  update();
  emit MaskChanged();
}

QSize MaskPainter::sizeHint() const {
  return {kDefaultWidth, kDefaultHeight};
}

QRect MaskPainter::PictureRect() const {
  // The picture's own shape, as large as it fits, in the middle.
  const QSize shape = picture_.isNull() ? QSize(kDefaultWidth, kDefaultHeight) : picture_.size();
  const QSize fitted = shape.scaled(size(), Qt::KeepAspectRatio);
  return {QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted};
}

bool MaskPainter::BlockAt(const QPoint& point, int* row, int* column) const {
  const QRect picture = PictureRect();
  if (!picture.contains(point) || picture.isEmpty()) return false;
  *column = (point.x() - picture.x()) * kMotionGrid / picture.width();
  *row = (point.y() - picture.y()) * kMotionGrid / picture.height();
  return *row >= 0 && *row < kMotionGrid && *column >= 0 && *column < kMotionGrid;
}

void MaskPainter::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().window());
  const QRect picture = PictureRect();
  if (picture_.isNull()) {
    p.fillRect(picture, QColor(60, 60, 60));
  } else {
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(picture, picture_);
  }
  const auto edge = [&](int i, int length, int from) { return from + i * length / kMotionGrid; };
  // The masked blocks shaded, the picture still seen through them.
  for (int r = 0; r < kMotionGrid; ++r) {
    for (int c = 0; c < kMotionGrid; ++c) {
      if (!Masked(mask_, r, c)) continue;
      const QRect block(
          QPoint(edge(c, picture.width(), picture.x()), edge(r, picture.height(), picture.y())),
          QPoint(edge(c + 1, picture.width(), picture.x()) - 1,
                 edge(r + 1, picture.height(), picture.y()) - 1));
      // Darkened and hatched: plain on a picture of any colour.
      p.fillRect(block, QColor(0, 0, 0, 130));
      p.fillRect(block, QBrush(QColor(255, 90, 60), Qt::BDiagPattern));
    }
  }
  p.setPen(QColor(255, 255, 255, 90));
  for (int i = 0; i <= kMotionGrid; ++i) {
    const int x = std::min(edge(i, picture.width(), picture.x()), picture.right());
    const int y = std::min(edge(i, picture.height(), picture.y()), picture.bottom());
    p.drawLine(x, picture.top(), x, picture.bottom());
    p.drawLine(picture.left(), y, picture.right(), y);
  }
}

void MaskPainter::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton && event->button() != Qt::RightButton) {
    QWidget::mousePressEvent(event);
    return;
  }
  dragging_ = true;
  masking_ = event->button() == Qt::LeftButton && !erasing_;
  last_ = event->position().toPoint();
  Paint(last_);
}

void MaskPainter::mouseMoveEvent(QMouseEvent* event) {
  if (!dragging_) return;
  // Moves arrive merged: every block on the way from the last one counts.
  const QPoint to = event->position().toPoint();
  const QRect picture = PictureRect();
  const int step = std::max(1, std::min(picture.width(), picture.height()) / (kMotionGrid * 4));
  const QPoint way = to - last_;
  const int steps = std::max(1, std::max(std::abs(way.x()), std::abs(way.y())) / step);
  for (int i = 1; i <= steps; ++i) Paint(last_ + way * i / steps);
  last_ = to;
}

void MaskPainter::mouseReleaseEvent(QMouseEvent*) {
  dragging_ = false;
}

void MaskPainter::Paint(const QPoint& point) {
  int row = 0;
  int column = 0;
  if (!BlockAt(point, &row, &column)) return;
  MotionMask mask = mask_;
  const auto bit = static_cast<uint16_t>(1u << column);
  uint16_t& word = mask[static_cast<size_t>(row)];
  word = masking_ ? static_cast<uint16_t>(word | bit) : static_cast<uint16_t>(word & ~bit);
  SetMask(mask);
}

MotionDialog::MotionDialog(QWidget* parent, const QString& camera, const CameraMotion& settings,
                           const QImage& picture)
    : QDialog(parent), settings_(settings) {
  setWindowTitle(tr("移动侦测设置 - %1").arg(camera));
  enabled_ = new QCheckBox(tr("移动侦测"), this);
  enabled_->setChecked(settings.enabled);
  recording_ = new QCheckBox(tr("移动侦测录像"), this);
  recording_->setChecked(settings.recording);
  alarm_ = new QCheckBox(tr("作为报警"), this);
  alarm_->setChecked(settings.alarm);

  sensitivity_ = new QSlider(Qt::Horizontal, this);
  sensitivity_->setRange(kMotionSensitivityMin, kMotionSensitivityMax);
  sensitivity_->setPageStep(1);
  sensitivity_->setTickPosition(QSlider::TicksBelow);
  sensitivity_->setTickInterval(1);
  sensitivity_->setValue(settings.sensitivity);
  number_ = new QLabel(QString::number(sensitivity_->value()), this);
  number_->setMinimumWidth(number_->fontMetrics().horizontalAdvance(QStringLiteral("10")) + 4);
  connect(sensitivity_, &QSlider::valueChanged, number_,
          [this](int value) { number_->setNum(value); });

  painter_ = new MaskPainter(this);
  painter_->SetPicture(picture);
  painter_->SetMask(settings.mask);
  erase_ = new QCheckBox(tr("擦除"), this);
  connect(erase_, &QCheckBox::toggled, painter_, &MaskPainter::SetErasing);
  clear_ = new QPushButton(tr("清除"), this);
  clear_->setAutoDefault(false);
  connect(clear_, &QPushButton::clicked, painter_, [this] { painter_->SetMask({}); });

  auto* switches = new QHBoxLayout;
  switches->addWidget(enabled_);
  switches->addWidget(recording_);
  switches->addWidget(alarm_);
  switches->addStretch(1);
  auto* level = new QHBoxLayout;
  level->addWidget(new QLabel(tr("灵敏度"), this));
  level->addWidget(sensitivity_, 1);
  level->addWidget(number_);
  auto* maskBar = new QHBoxLayout;
  maskBar->addWidget(new QLabel(tr("拖动以屏蔽区块，右键拖动以擦除"), this), 1);
  maskBar->addWidget(erase_);
  maskBar->addWidget(clear_);

  auto* buttons = new QDialogButtonBox(this);
  ok_ = buttons->addButton(tr("确定"), QDialogButtonBox::AcceptRole);
  buttons->addButton(tr("取消"), QDialogButtonBox::RejectRole);
  ok_->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(switches);
  layout->addLayout(level);
  layout->addLayout(maskBar);
  layout->addWidget(painter_, 1);
  layout->addWidget(buttons);
}

CameraMotion MotionDialog::Settings() const {
  CameraMotion s = settings_;
  s.enabled = enabled_->isChecked();
  s.recording = recording_->isChecked();
  s.alarm = alarm_->isChecked();
  s.sensitivity = sensitivity_->value();
  s.mask = painter_->Mask();
  return s;
}

}  // namespace zarvion::viewer
