#include "window/notice_box.h"

#include <algorithm>

#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QScreen>
#include <QStyle>
#include <QTextDocument>
#include <QTextEdit>
#include <QVBoxLayout>

#include "window/screen_fit.h"

namespace zarvion {

namespace {

// The text area's width: a short notice keeps a box of ordinary size, a
// long one wraps at about this many pixels (a readable line).
constexpr int kMinTextWidth = 280;
constexpr int kMaxTextWidth = 560;

}  // namespace

NoticeBox::NoticeBox(QWidget* parent) : QDialog(parent) {
  icon_ = new QLabel(this);
  const int iconSize = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
  icon_->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning, nullptr, this)
                       .pixmap(iconSize, iconSize));
  icon_->setAlignment(Qt::AlignTop | Qt::AlignHCenter);

  // A read-only plain-text view: the text is never parsed as markup (no
  // resource is loaded, no table laid out, no link followed), wraps at
  // word boundaries or inside a word too long for a line, and scrolls when
  // it does not fit the screen.
  text_ = new QTextEdit(this);
  text_->setReadOnly(true);
  text_->setAcceptRichText(false);
  text_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  text_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  text_->setLineWrapMode(QTextEdit::WidgetWidth);
  text_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  text_->setFrameShape(QFrame::NoFrame);
  text_->viewport()->setAutoFillBackground(false);
  text_->setFocusPolicy(Qt::NoFocus);

  buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons_, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* row = new QHBoxLayout;
  row->addWidget(icon_, 0, Qt::AlignTop);
  row->addWidget(text_, 1);
  auto* column = new QVBoxLayout(this);
  column->addLayout(row, 1);
  column->addWidget(buttons_);
  column->setSizeConstraint(QLayout::SetNoConstraint);
}

void NoticeBox::SetNotice(const QString& title, const QString& text) {
  setWindowTitle(title);
  text_->setPlainText(text);
  FitToScreen();
}

QString NoticeBox::Text() const { return text_->toPlainText(); }

void NoticeBox::FitToScreen() {
  QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 640, 480);
  // What the box adds around the text (icon, margins, button row, frame).
  const QSize extra = QSize(icon_->sizeHint().width() + 48, buttons_->sizeHint().height() + 48);
  const int maxTextWidth =
      std::max(80, std::min(kMaxTextWidth, available.width() * 3 / 4 - extra.width()));
  const int maxTextHeight = std::max(40, available.height() * 2 / 3 - extra.height());

  // The width of the longest line, up to the wrapping width; then the
  // height of the text wrapped at that width.
  QTextDocument* doc = text_->document();
  doc->setTextWidth(-1);
  const int natural = static_cast<int>(doc->idealWidth()) + 8;
  const int width = std::clamp(natural, kMinTextWidth, std::max(kMinTextWidth, maxTextWidth));
  doc->setTextWidth(width);
  const int needed = static_cast<int>(doc->size().height()) + 4;
  const int height = std::min(needed, maxTextHeight);
  // Past the height the text scrolls, and the bar takes its width.
  const int bar = needed > height ? style()->pixelMetric(QStyle::PM_ScrollBarExtent) : 0;
  text_->setVerticalScrollBarPolicy(bar ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
  text_->setFixedSize(width + bar, std::max(height, icon_->sizeHint().height()));

  // The window system's frame, known once the box has been shown.
  const QSize frame = frameGeometry().size() - geometry().size();
  const QSize room = available.size() - frame;
  setMaximumSize(room);
  layout()->activate();
  const QSize size = sizeHint().boundedTo(room);
  const QSize outer = size + frame;
  // Centred on its screen when first shown; later it stays where the
  // operator put it, moved only as far as needed to keep it on the screen.
  const QPoint at =
      placed_ ? pos() : available.center() - QPoint(outer.width() / 2, outer.height() / 2);
  placed_ = true;
  resize(size);
  move(KeptWithin(at, outer, available));
}

}  // namespace zarvion
