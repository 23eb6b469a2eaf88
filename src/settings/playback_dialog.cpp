#include "settings/playback_dialog.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHeaderView>
#include <QPushButton>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QTreeWidget>

#include <algorithm>
#include <cstring>

#include "platform/code_page.h"
#include "settings/dialog_icon.h"
#include "ui_playback_dialog.h"

namespace zarvion {
namespace {

constexpr int kLocationRole = Qt::UserRole;

// Rows tall enough for everything the face draws below the baseline: with
// the CJK face the underscore lies below the declared descent, and a row of
// the font's height cut it off ("CH03_2007" read as "CH03 2007").
class RowHeightDelegate : public QStyledItemDelegate {
 public:
  RowHeightDelegate(const QFont& font, QObject* parent) : QStyledItemDelegate(parent) {
    const QFontMetrics metrics(font);
    const QRect ink = metrics.boundingRect(QStringLiteral("_gjpqy|"));
    const int below = std::max(metrics.descent(), ink.bottom() + 1);
    const int above = std::max(metrics.ascent(), -ink.top());
    // The text is centred in the row: leave the larger overhang on both sides.
    const int overhang = std::max(below - metrics.descent(), above - metrics.ascent());
    minHeight_ = metrics.height() + 2 * (overhang + kPadding);
  }
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(std::max(size.height(), minHeight_));
    return size;
  }

 private:
  static constexpr int kPadding = 1;
  int minHeight_ = 0;
};

}  // namespace

PlaybackDialog::PlaybackDialog(QWidget* parent)
    : QDialog(parent), form_(std::make_unique<Ui::PlaybackDialogForm>()) {
  form_->setupUi(this);
  // Caption, system menu, no minimize box; a fixed frame.
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setWindowTitle(QCoreApplication::translate("PlaybackDialog", kPlaybackTitle));
  setWindowIcon(DialogIcon());
  setFixedSize(size());
  setModal(false);
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
  }

  QTreeWidget* list = form_->id209;
  list->header()->setStretchLastSection(false);
  list->header()->setSectionsMovable(false);
  list->setColumnWidth(0, 36);
  // 130 pixels holds the time in the small system font it was laid out for;
  // a larger font must not cut the seconds off.
  const int timeWidth =
      list->fontMetrics().horizontalAdvance(QStringLiteral("0000-00-00 00:00:00"));
  list->setColumnWidth(1, std::max(130, timeWidth + 16));
  list->setColumnWidth(2, 240);
  for (int c = 0; c < 3; ++c) {
    list->headerItem()->setTextAlignment(c, Qt::AlignLeft | Qt::AlignVCenter);
  }
  list->setItemDelegate(new RowHeightDelegate(list->font(), list));
  // The double-click counts anywhere on the list, rows or empty space.
  list->viewport()->installEventFilter(this);

  connect(form_->id1, &QPushButton::clicked, this, &PlaybackDialog::accept);
  connect(form_->id2, &QPushButton::clicked, this, &PlaybackDialog::reject);
}

PlaybackDialog::~PlaybackDialog() = default;

QWidget* PlaybackDialog::Item(int id) const {
  switch (id) {
    case 1:
      return form_->id1;
    case 2:
      return form_->id2;
    case kIdFileList:
      return form_->id209;
    default:
      return nullptr;
  }
}

QTreeWidget* PlaybackDialog::List() const {
  return form_->id209;
}

void PlaybackDialog::ClearList() {
  form_->id209->clear();
}

int PlaybackDialog::AppendPlaybackRow(const std::string& channelGbk, const std::string& timeGbk,
                                      const std::string& locationGbk) {
  auto* item = new QTreeWidgetItem();
  item->setText(0, QString::fromStdString(GbkToUtf8(channelGbk)));
  if (!timeGbk.empty()) item->setText(1, QString::fromStdString(GbkToUtf8(timeGbk)));
  if (!locationGbk.empty()) item->setText(2, QString::fromStdString(GbkToUtf8(locationGbk)));
  item->setData(2, kLocationRole, QByteArray(locationGbk.data(), qsizetype(locationGbk.size())));
  form_->id209->addTopLevelItem(item);
  return form_->id209->indexOfTopLevelItem(item);
}

int PlaybackDialog::RowCount() const {
  return form_->id209->topLevelItemCount();
}

std::string PlaybackDialog::RowLocation(int row) const {
  QTreeWidgetItem* item = form_->id209->topLevelItem(row);
  if (!item) return std::string();
  return item->data(2, kLocationRole).toByteArray().toStdString();
}

int PlaybackDialog::ChosenRow() const {
  QTreeWidget* list = form_->id209;
  const QList<QTreeWidgetItem*> selected = list->selectedItems();
  if (selected.isEmpty()) return -1;
  // The selection mark is the current row, but only while it is selected:
  // a row the user just deselected with the control key is not played.
  // Otherwise the earliest selected row is.
  QTreeWidgetItem* current = list->currentItem();
  if (current && current->isSelected()) return list->indexOfTopLevelItem(current);
  int first = RowCount();
  for (QTreeWidgetItem* item : selected) first = std::min(first, list->indexOfTopLevelItem(item));
  return first < RowCount() ? first : -1;
}

void PlaybackDialog::Play(int row) {
  // What the server listed, cut to the 259 bytes a location may hold.
  char location[kLocationBufferSize] = {};
  const std::string bytes = RowLocation(row);
  std::memcpy(location, bytes.data(),
              strnlen(bytes.data(), std::min(bytes.size(), kLocationBufferSize - 1)));
  emit FileChosen(QByteArray(location));
}

void PlaybackDialog::accept() {
  hide();
  const int row = ChosenRow();
  if (row >= 0) Play(row);
}

void PlaybackDialog::reject() {
  hide();
}

bool PlaybackDialog::eventFilter(QObject* watched, QEvent* event) {
  if (watched == form_->id209->viewport() && event->type() == QEvent::MouseButtonDblClick) {
    const int row = ChosenRow();
    if (row >= 0) {
      Play(row);
      hide();
    }
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace zarvion
