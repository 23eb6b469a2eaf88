#include "viewer/alarm_strip.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace zarvion::viewer {

AlarmStrip::AlarmStrip(QWidget* parent) : QFrame(parent) {
  setObjectName(QStringLiteral("alarmStrip"));
  setAutoFillBackground(true);
  setStyleSheet(
      QStringLiteral("#alarmStrip { background-color: rgb(220, 0, 0); }"
                     " #alarmStrip QLabel { color: white; font-size: 14px; font-weight: bold; }"));
  setFixedHeight(kHeight);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(8, 2, 4, 2);
  text_ = new QLabel(this);
  text_->setTextFormat(Qt::PlainText);
  text_->setCursor(Qt::PointingHandCursor);
  text_->installEventFilter(this);
  row->addWidget(text_, 1);
  acknowledge_ = new QPushButton(tr("确认"), this);
  acknowledge_->setFocusPolicy(Qt::NoFocus);
  row->addWidget(acknowledge_);
  connect(acknowledge_, &QPushButton::clicked, this, &AlarmStrip::AcknowledgeClicked);
  hide();
}

void AlarmStrip::Show(const QString& text, int count) {
  text_->setText(text + QStringLiteral("    ") + tr("%n 个未确认的报警", nullptr, count));
  show();
}

bool AlarmStrip::eventFilter(QObject* watched, QEvent* event) {
  if (watched == text_ && event->type() == QEvent::MouseButtonRelease) emit TextClicked();
  return QFrame::eventFilter(watched, event);
}

}  // namespace zarvion::viewer
