#include "viewer/event_model.h"

#include <algorithm>

#include <QBrush>
#include <QColor>
#include <QDateTime>
#include <QFont>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QPixmapCache>

#include "viewer/plain_tool_tip.h"

namespace zarvion::viewer {
namespace {

// The marker of an alarm not yet acknowledged.
QIcon AlarmMarker() {
  QPixmap dot(12, 12);
  dot.fill(Qt::transparent);
  QPainter painter(&dot);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(QColor(210, 0, 0));
  painter.setPen(Qt::NoPen);
  painter.drawEllipse(1, 1, 10, 10);
  return QIcon(dot);
}

bool Pending(const Event& e) {
  return IsAlarm(e.kind) && !e.Acknowledged();
}

}  // namespace

EventModel::EventModel(QObject* parent) : QAbstractTableModel(parent) {}

bool EventModel::Passes(const Event& e) const {
  if (filter_.recorder && e.recorder != *filter_.recorder) return false;
  return filter_.kinds.empty() ||
         std::find(filter_.kinds.begin(), filter_.kinds.end(), e.kind) != filter_.kinds.end();
}

void EventModel::Reset(const QList<Event>& newestFirst) {
  beginResetModel();
  front_ += rows_.size();
  rows_.clear();
  sequenceOf_.clear();
  const qsizetype n = std::min<qsizetype>(newestFirst.size(), kMaxRows);
  for (qsizetype i = n - 1; i >= 0; --i) {
    if (!Passes(newestFirst[i])) continue;
    sequenceOf_[newestFirst[i].id] = front_ + rows_.size();
    rows_.push_back(newestFirst[i]);
  }
  endResetModel();
}

int EventModel::RowOfSequence(uint64_t sequence) const {
  return static_cast<int>(front_ + rows_.size() - 1 - sequence);
}

bool EventModel::Before(const Event& a, const Event& b) {
  return a.timeMs != b.timeMs ? a.timeMs < b.timeMs : a.id < b.id;
}

size_t EventModel::PlaceFor(const Event& e) const {
  return static_cast<size_t>(std::upper_bound(rows_.begin(), rows_.end(), e, Before) -
                             rows_.begin());
}

void EventModel::Renumber() {
  for (size_t i = 0; i < rows_.size(); ++i) sequenceOf_[rows_[i].id] = front_ + i;
}

void EventModel::Add(const QList<Event>& rows) {
  QList<const Event*> fresh;
  std::vector<int64_t> changed;
  for (const Event& e : rows) {
    const auto known = sequenceOf_.find(e.id);
    if (known == sequenceOf_.end()) {
      if (Passes(e)) fresh.push_back(&e);
      continue;
    }
    changed.push_back(e.id);
    const size_t at = known->second - front_;
    const bool stays = rows_[at].timeMs == e.timeMs;
    rows_[at] = e;
    if (stays) continue;
    // A repeat counted into a row makes it as new as the repeat: it goes
    // where the store's own order puts it.
    Event moved = std::move(rows_[at]);
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(at));
    const size_t to = PlaceFor(moved);
    const int fromRow = static_cast<int>(rows_.size() - at);
    const int toRow = static_cast<int>(rows_.size() - to);
    const bool move = fromRow != toRow;
    if (move) beginMoveRows({}, fromRow, fromRow, {}, toRow > fromRow ? toRow + 1 : toRow);
    rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(to), std::move(moved));
    if (move) endMoveRows();
    Renumber();
  }
  // Rows are numbered from the top, so the update's rows are told before
  // the new ones push them down.
  if (!changed.empty()) {
    int first = rowCount(), last = -1;
    for (const int64_t id : changed) {
      const int row = RowOfSequence(sequenceOf_.at(id));
      first = std::min(first, row);
      last = std::max(last, row);
    }
    emit dataChanged(index(first, 0), index(last, kColumnCount - 1));
  }
  if (fresh.isEmpty()) return;
  std::stable_sort(fresh.begin(), fresh.end(),
                   [](const Event* a, const Event* b) { return Before(*a, *b); });
  // Rows newer than every row held go on top in one insertion; a row that
  // comes late (a motion is written when it ends, with the time it began)
  // goes in where its time puts it.
  qsizetype late = 0;
  bool renumber = false;
  while (late < fresh.size() && !rows_.empty() && Before(*fresh[late], rows_.back())) {
    const Event& e = *fresh[late++];
    const size_t to = PlaceFor(e);
    const int row = static_cast<int>(rows_.size() - to);
    beginInsertRows({}, row, row);
    rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(to), e);
    endInsertRows();
    renumber = true;
  }
  if (renumber) Renumber();
  if (late < fresh.size()) {
    beginInsertRows({}, 0, static_cast<int>(fresh.size() - late) - 1);
    for (qsizetype i = late; i < fresh.size(); ++i) {
      sequenceOf_[fresh[i]->id] = front_ + rows_.size();
      rows_.push_back(*fresh[i]);
    }
    endInsertRows();
  }
  Trim();
}

void EventModel::Trim() {
  if (rows_.size() <= static_cast<size_t>(kMaxRows)) return;
  const int excess = static_cast<int>(rows_.size()) - kMaxRows;
  beginRemoveRows({}, kMaxRows, kMaxRows + excess - 1);
  for (int i = 0; i < excess; ++i) {
    sequenceOf_.erase(rows_.front().id);
    rows_.pop_front();
    ++front_;
  }
  endRemoveRows();
}

void EventModel::MarkAcknowledged(int64_t id, int64_t timeMs) {
  if (rows_.empty()) return;
  if (id == 0) {
    for (Event& e : rows_) {
      if (!e.Acknowledged()) e.acknowledgedMs = timeMs;
    }
    emit dataChanged(index(0, 0), index(rowCount() - 1, kColumnCount - 1));
    return;
  }
  const auto known = sequenceOf_.find(id);
  if (known == sequenceOf_.end()) return;
  rows_[known->second - front_].acknowledgedMs = timeMs;
  const int row = RowOfSequence(known->second);
  emit dataChanged(index(row, 0), index(row, kColumnCount - 1));
}

void EventModel::NamesChanged() {
  if (rows_.empty()) return;
  emit dataChanged(index(0, kRecorder), index(rowCount() - 1, kCamera), {Qt::DisplayRole});
}

QString EventModel::WhatText(const Event& e) {
  QString text = EventKindText(e.kind);
  if (!e.detail.isEmpty()) text += tr("：") + e.detail;
  if (e.count > 1) text += QStringLiteral(" ×%1").arg(e.count);
  return text;
}

int EventModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int EventModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant EventModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const Event& e = At(index.row());
  switch (role) {
    case Qt::ToolTipRole: {
      // A tooltip reads markup in a text that looks like it; a recorder's
      // notice is shown as the plain text it is.
      QString text = data(index, Qt::DisplayRole).toString();
      // A motion row tells where its recording went, whichever column.
      if (!e.recording.isEmpty()) {
        text += (text.isEmpty() ? QString() : QStringLiteral("\n")) + tr("录像：") + e.recording;
      }
      return PlainToolTip(text);
    }
    case Qt::DisplayRole:
      switch (index.column()) {
        case kTime:
          return QDateTime::fromMSecsSinceEpoch(e.timeMs).toLocalTime().toString(
              QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        case kRecorder:
          return names_.recorder ? names_.recorder(e.recorder) : e.recorder;
        case kCamera:
          if (e.channel == kNoChannel) return QString();
          return names_.camera ? names_.camera(e.recorder, e.channel)
                               : QStringLiteral("CH %1").arg(e.channel + 1);
        case kWhat:
          return WhatText(e);
      }
      break;
    case Qt::DecorationRole:
      if (index.column() == kTime && Pending(e)) {
        static const QIcon marker = AlarmMarker();
        return marker;
      }
      if (index.column() == kWhat && !e.thumbnail.isEmpty()) {
        // The motion event's picture at its peak, small: decoded once, not
        // at every paint (a row's picture never changes).
        const QString key =
            QStringLiteral("zarvion-event-%1-%2").arg(e.id).arg(qHash(e.thumbnail));
        QPixmap picture;
        if (QPixmapCache::find(key, &picture)) return picture;
        if (picture.loadFromData(e.thumbnail, "PNG")) {
          picture = picture.scaledToHeight(36);
          QPixmapCache::insert(key, picture);
          return picture;
        }
      }
      break;
    case Qt::FontRole:
      if (Pending(e)) {
        QFont bold;
        bold.setBold(true);
        return bold;
      }
      break;
    case Qt::ForegroundRole:
      if (Pending(e)) return QBrush(QColor(170, 0, 0));
      break;
    default:
      break;
  }
  return {};
}

QVariant EventModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case kTime:
      return tr("时间");
    case kRecorder:
      return tr("录像机");
    case kCamera:
      return tr("摄像机");
    case kWhat:
      return tr("事件内容");
  }
  return {};
}

}  // namespace zarvion::viewer
