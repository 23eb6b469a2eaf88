#include "viewer/review_timeline.h"

#include <algorithm>
#include <cmath>

#include <QDateTime>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

namespace zarvion::viewer {

namespace {

const QColor kManualColour(70, 130, 200);
const QColor kEventColour(230, 140, 40);
const QColor kMarkColour(210, 40, 40);
const QColor kSnapshotColour(40, 160, 70);
const QColor kRangeColour(255, 220, 80, 90);

// Events that a bar or a tick already shows are not marked again.
bool Marked(const Event& e) {
  switch (e.kind) {
    case EventKind::kSnapshotSaved:
    case EventKind::kRecordingStarted:
    case EventKind::kRecordingStopped:
      return false;
    default:
      return e.channel != kNoChannel && e.channel >= 0;
  }
}

// Ruler steps from a minute to six hours: the first that leaves room.
constexpr int64_t kSteps[] = {60000,   120000,  300000,   600000,   900000,
                              1800000, 3600000, 7200000, 10800000, 21600000};

}  // namespace

void TimelineModel::Set(QDate day, std::vector<CatalogueEntry> entries,
                        const QList<Event>& events) {
  day_ = day;
  dayBegin_ = day.startOfDay().toMSecsSinceEpoch();
  dayEnd_ = day.addDays(1).startOfDay().toMSecsSinceEpoch();
  std::stable_sort(entries.begin(), entries.end(),
                   [](const CatalogueEntry& a, const CatalogueEntry& b) {
                     return a.startMs < b.startMs;
                   });
  entries_ = std::move(entries);
  items_.clear();
  channels_.clear();
  for (const CatalogueEntry& e : entries_) {
    TimelineItem item;
    item.channel = e.channel;
    item.fromMs = e.startMs;
    item.toMs = std::max(e.endMs, e.startMs);
    item.path = e.path;
    item.complete = e.complete;
    switch (e.kind) {
      case CatalogueKind::kSnapshot:
        item.kind = TimelineKind::kSnapshot;
        item.toMs = item.fromMs;
        break;
      case CatalogueKind::kEvent:
        item.kind = TimelineKind::kEvent;
        break;
      default:
        item.kind = TimelineKind::kManual;
        break;
    }
    items_.push_back(item);
  }
  for (const Event& e : events) {
    if (!Marked(e)) continue;
    const int64_t from = e.firstMs ? e.firstMs : e.timeMs;
    if (e.timeMs < dayBegin_ || from >= dayEnd_) continue;
    TimelineItem item;
    item.kind = TimelineKind::kEventMark;
    item.channel = e.channel;
    item.fromMs = item.toMs = std::max(from, dayBegin_);
    item.eventId = e.id;
    items_.push_back(item);
  }
  for (const TimelineItem& i : items_) channels_.push_back(i.channel);
  std::sort(channels_.begin(), channels_.end());
  channels_.erase(std::unique(channels_.begin(), channels_.end()), channels_.end());
}

int TimelineModel::RowOf(int channel) const {
  const auto it = std::find(channels_.begin(), channels_.end(), channel);
  return it == channels_.end() ? -1 : static_cast<int>(it - channels_.begin());
}

std::vector<TimelineItem> TimelineModel::ItemsOf(int channel) const {
  std::vector<TimelineItem> out;
  for (const TimelineItem& i : items_) {
    if (i.channel == channel) out.push_back(i);
  }
  return out;
}

QStringList TimelineModel::Files(int channel) const {
  QStringList files;
  for (const CatalogueEntry& e : entries_) {
    if (e.channel == channel && e.kind != CatalogueKind::kSnapshot) files << e.path;
  }
  return files;
}

const TimelineItem* TimelineModel::RecordingAt(int channel, int64_t timeMs) const {
  for (const TimelineItem& i : items_) {
    if (i.channel == channel &&
        (i.kind == TimelineKind::kManual || i.kind == TimelineKind::kEvent) &&
        i.fromMs <= timeMs && timeMs < i.toMs) {
      return &i;
    }
  }
  return nullptr;
}

std::vector<CatalogueEntry> TimelineModel::RecordingsIn(int64_t fromMs, int64_t toMs) const {
  std::vector<CatalogueEntry> out;
  for (const CatalogueEntry& e : entries_) {
    if (e.kind != CatalogueKind::kSnapshot && e.startMs < toMs && e.endMs > fromMs) {
      out.push_back(e);
    }
  }
  return out;
}

std::vector<CatalogueEntry> TimelineModel::SnapshotsIn(int64_t fromMs, int64_t toMs) const {
  std::vector<CatalogueEntry> out;
  for (const CatalogueEntry& e : entries_) {
    if (e.kind == CatalogueKind::kSnapshot && e.startMs >= fromMs && e.startMs < toMs) {
      out.push_back(e);
    }
  }
  return out;
}

TimelineView::TimelineView(const TimelineModel& model, QWidget* parent)
    : QWidget(parent), model_(model) {
  setMouseTracking(true);
  setMinimumHeight(kRulerHeight + kRowHeight);
  Reset();
}

void TimelineView::Reset() {
  viewFrom_ = model_.DayBeginMs();
  viewTo_ = model_.DayEndMs();
  rangeFrom_ = rangeTo_ = 0;
  rangeChannel_ = -1;
  setMinimumHeight(kRulerHeight + kRowHeight * std::max<int>(1, model_.Channels().size()));
  updateGeometry();
  update();
}

QSize TimelineView::sizeHint() const {
  return {800, kRulerHeight + kRowHeight * std::max<int>(1, model_.Channels().size()) + 2};
}

void TimelineView::SetView(int64_t fromMs, int64_t toMs) {
  const int64_t dayFrom = model_.DayBeginMs(), dayTo = model_.DayEndMs();
  int64_t span = std::clamp<int64_t>(toMs - fromMs, kMinSpanMs, dayTo - dayFrom);
  fromMs = std::clamp<int64_t>(fromMs, dayFrom, dayTo - span);
  viewFrom_ = fromMs;
  viewTo_ = fromMs + span;
  update();
}

void TimelineView::Zoom(double factor, int64_t aboutMs) {
  const double span = static_cast<double>(viewTo_ - viewFrom_) * factor;
  const double at = static_cast<double>(aboutMs - viewFrom_) / static_cast<double>(viewTo_ - viewFrom_);
  const int64_t from = aboutMs - static_cast<int64_t>(span * at);
  SetView(from, from + static_cast<int64_t>(span));
}

void TimelineView::SetRange(int64_t fromMs, int64_t toMs, int channel) {
  rangeChannel_ = channel;
  rangeFrom_ = std::min(fromMs, toMs);
  rangeTo_ = std::max(fromMs, toMs);
  update();
}

void TimelineView::SetCursor(int channel, int64_t timeMs) {
  cursorChannel_ = channel;
  cursorMs_ = timeMs;
  update();
}

int TimelineView::XOf(int64_t timeMs) const {
  const int w = std::max(1, width() - kLabelWidth);
  return kLabelWidth + static_cast<int>(static_cast<double>(timeMs - viewFrom_) * w /
                                        static_cast<double>(viewTo_ - viewFrom_));
}

int64_t TimelineView::TimeAt(int x) const {
  const int w = std::max(1, width() - kLabelWidth);
  return viewFrom_ + static_cast<int64_t>(static_cast<double>(x - kLabelWidth) *
                                          static_cast<double>(viewTo_ - viewFrom_) / w);
}

int TimelineView::YOf(int channel) const {
  const int row = model_.RowOf(channel);
  return row < 0 ? -1 : kRulerHeight + row * kRowHeight + kRowHeight / 2;
}

int TimelineView::ChannelAt(int y) const {
  const int row = (y - kRulerHeight) / kRowHeight;
  if (y < kRulerHeight || row >= static_cast<int>(model_.Channels().size())) return -1;
  return model_.Channels()[static_cast<size_t>(row)];
}

void TimelineView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().base());
  const int right = width();
  // The ruler: the finest step that leaves 60 pixels between its marks.
  int64_t step = kSteps[std::size(kSteps) - 1];
  for (int64_t s : kSteps) {
    if (XOf(viewFrom_ + s) - XOf(viewFrom_) >= 60) {
      step = s;
      break;
    }
  }
  p.setPen(palette().color(QPalette::Mid));
  const int64_t dayBegin = model_.DayBeginMs();
  for (int64_t t = dayBegin + (viewFrom_ - dayBegin) / step * step; t <= viewTo_; t += step) {
    const int x = XOf(t);
    if (x < kLabelWidth) continue;
    p.drawLine(x, kRulerHeight - 4, x, height());
    p.setPen(palette().color(QPalette::Text));
    p.drawText(x + 2, kRulerHeight - 6,
               QDateTime::fromMSecsSinceEpoch(t).toString(QStringLiteral("HH:mm")));
    p.setPen(palette().color(QPalette::Mid));
  }
  const int64_t rf = std::max(rangeFrom_, viewFrom_), rt = std::min(rangeTo_, viewTo_);
  if (rangeTo_ > rangeFrom_ && rt > rf) {
    p.fillRect(QRect(QPoint(XOf(rf), kRulerHeight), QPoint(XOf(rt), height())), kRangeColour);
  }
  for (size_t row = 0; row < model_.Channels().size(); ++row) {
    const int channel = model_.Channels()[row];
    const int top = kRulerHeight + static_cast<int>(row) * kRowHeight;
    p.setPen(palette().color(QPalette::Text));
    p.drawText(QRect(4, top, kLabelWidth - 8, kRowHeight), Qt::AlignVCenter,
               QStringLiteral("CH %1").arg(channel + 1));
    p.setPen(palette().color(QPalette::Midlight));
    p.drawLine(kLabelWidth, top + kRowHeight - 1, right, top + kRowHeight - 1);
    for (const TimelineItem& i : model_.Items()) {
      if (i.channel != channel || i.toMs < viewFrom_ || i.fromMs > viewTo_) continue;
      const int x0 = std::max(kLabelWidth, XOf(i.fromMs));
      switch (i.kind) {
        case TimelineKind::kManual:
        case TimelineKind::kEvent: {
          const int x1 = std::max(x0 + 1, std::min(right, XOf(i.toMs)));
          // Manual above, event below: a camera may record both at once.
          const int half = (kRowHeight - 8) / 2;
          const QRect bar(x0, i.kind == TimelineKind::kEvent ? top + 4 + half : top + 4, x1 - x0,
                          half);
          const QColor c = i.kind == TimelineKind::kEvent ? kEventColour : kManualColour;
          p.fillRect(bar, i.complete ? QBrush(c) : QBrush(c, Qt::BDiagPattern));
          break;
        }
        case TimelineKind::kSnapshot:
          p.fillRect(QRect(x0, top + 2, 2, 6), kSnapshotColour);
          break;
        case TimelineKind::kEventMark: {
          const QPoint tri[] = {{x0 - 4, top + kRowHeight - 1}, {x0 + 4, top + kRowHeight - 1},
                                {x0, top + kRowHeight - 8}};
          p.setPen(Qt::NoPen);
          p.setBrush(kMarkColour);
          p.drawPolygon(tri, 3);
          break;
        }
      }
    }
  }
  if (cursorMs_ >= viewFrom_ && cursorMs_ <= viewTo_ && model_.RowOf(cursorChannel_) >= 0) {
    const int x = XOf(cursorMs_);
    p.setPen(QPen(Qt::red, 1));
    p.drawLine(x, kRulerHeight, x, height());
  }
}

void TimelineView::wheelEvent(QWheelEvent* event) {
  const int delta = event->angleDelta().y();
  if (delta == 0) return;
  Zoom(std::pow(0.8, delta / 120.0), TimeAt(static_cast<int>(event->position().x())));
  event->accept();
}

void TimelineView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  pressAt_ = event->position().toPoint();
  pressFrom_ = viewFrom_;
  pressTime_ = TimeAt(pressAt_.x());
  drag_ = (event->modifiers() & Qt::ShiftModifier) ? Drag::kRange : Drag::kPress;
  if (drag_ == Drag::kRange) SetRange(pressTime_, pressTime_, ChannelAt(pressAt_.y()));
}

void TimelineView::mouseMoveEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  if (drag_ == Drag::kPress && (at - pressAt_).manhattanLength() > 4) drag_ = Drag::kPan;
  if (drag_ == Drag::kPan) {
    const int64_t shift = TimeAt(pressAt_.x()) - TimeAt(at.x());
    SetView(pressFrom_ + shift, pressFrom_ + shift + (viewTo_ - viewFrom_));
    return;
  }
  if (drag_ == Drag::kRange) {
    SetRange(pressTime_, std::clamp(TimeAt(at.x()), model_.DayBeginMs(), model_.DayEndMs()),
             rangeChannel_);
    return;
  }
  const int channel = ChannelAt(at.y());
  const int64_t t = TimeAt(at.x());
  const TimelineItem* bar = channel >= 0 && at.x() >= kLabelWidth ? model_.RecordingAt(channel, t)
                                                                  : nullptr;
  if (bar) {
    emit Hovered(channel, t, bar->path, event->globalPosition().toPoint());
  } else {
    emit HoverLeft();
  }
}

void TimelineView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  const Drag drag = drag_;
  drag_ = Drag::kNone;
  const QPoint at = event->position().toPoint();
  if (drag == Drag::kRange) {
    if (rangeTo_ > rangeFrom_) emit RangeChosen(rangeFrom_, rangeTo_);
  } else if (drag == Drag::kPress && at.x() >= kLabelWidth) {
    const int channel = ChannelAt(at.y());
    if (channel >= 0) emit Clicked(channel, TimeAt(at.x()));
  }
}

void TimelineView::leaveEvent(QEvent*) { emit HoverLeft(); }

}  // namespace zarvion::viewer
