// The review window's timeline: what a day holds, one row per camera, and
// the widget that draws it.
//
// TimelineModel is what the rows show, read by the widget and by whoever
// needs to know what lies where: bars where recordings exist (manual and
// event recordings told apart), marks where events happened and ticks
// where snapshots were taken, each on its camera's row at its times.
//
// TimelineView draws the model over the whole day or any part of it down
// to minutes: the wheel zooms about the pointer, a drag pans, a click asks
// the player there, a drag with Shift held chooses a range (for export).
#pragma once

#include <cstdint>
#include <vector>

#include <QDate>
#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>

#include "viewer/event_log.h"
#include "viewer/recording_catalogue.h"

namespace zarvion::viewer {

enum class TimelineKind {
  kManual,    // a bar: a recording of the record button (or found in a folder)
  kEvent,     // a bar: a recording made on motion
  kSnapshot,  // a tick
  kEventMark  // a mark: an event of the event list
};

struct TimelineItem {
  TimelineKind kind = TimelineKind::kManual;
  int channel = 0;  // 0-based: the row is the channel's
  int64_t fromMs = 0;
  int64_t toMs = 0;  // a tick's or a mark's is its fromMs
  QString path;      // recordings and snapshots
  int64_t eventId = 0;
  bool complete = true;  // a recording being written, or left by a crash
};

class TimelineModel {
 public:
  // The day's contents: `entries` as the catalogue gives them for the day,
  // `events` as the event list has them (rows of no camera are left out).
  void Set(QDate day, std::vector<CatalogueEntry> entries, const QList<Event>& events);

  QDate Day() const { return day_; }
  // Local midnight to the next midnight, ms since the epoch.
  int64_t DayBeginMs() const { return dayBegin_; }
  int64_t DayEndMs() const { return dayEnd_; }
  // The cameras with anything that day, a row each, in channel order.
  const std::vector<int>& Channels() const { return channels_; }
  int RowOf(int channel) const;
  const std::vector<TimelineItem>& Items() const { return items_; }
  std::vector<TimelineItem> ItemsOf(int channel) const;

  // The recordings of a camera that day, in time order.
  QStringList Files(int channel) const;
  // The bar of `channel` at `timeMs`, or null.
  const TimelineItem* RecordingAt(int channel, int64_t timeMs) const;
  // The catalogue's recordings (of every camera) and snapshots over
  // [fromMs, toMs), for an export of the range.
  std::vector<CatalogueEntry> RecordingsIn(int64_t fromMs, int64_t toMs) const;
  std::vector<CatalogueEntry> SnapshotsIn(int64_t fromMs, int64_t toMs) const;

 private:
  QDate day_;
  int64_t dayBegin_ = 0;
  int64_t dayEnd_ = 0;
  std::vector<CatalogueEntry> entries_;
  std::vector<int> channels_;
  std::vector<TimelineItem> items_;
};

class TimelineView : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kLabelWidth = 56;
  static constexpr int kRulerHeight = 20;
  static constexpr int kRowHeight = 26;
  // The narrowest span zoomed to.
  static constexpr int64_t kMinSpanMs = 2 * 60 * 1000;

  explicit TimelineView(const TimelineModel& model, QWidget* parent = nullptr);

  // The model changed: shows its whole day again.
  void Reset();
  // The span shown, ms since the epoch.
  int64_t ViewFromMs() const { return viewFrom_; }
  int64_t ViewToMs() const { return viewTo_; }
  void SetView(int64_t fromMs, int64_t toMs);
  // Zooms by `factor` (< 1 closer) about `aboutMs`.
  void Zoom(double factor, int64_t aboutMs);
  // The chosen range; empty when from == to.
  int64_t RangeFromMs() const { return rangeFrom_; }
  int64_t RangeToMs() const { return rangeTo_; }
  // The camera whose row the range was chosen on; -1 when none was.
  int RangeChannel() const { return rangeChannel_; }
  void SetRange(int64_t fromMs, int64_t toMs, int channel = -1);
  // The player's place, drawn as a line.
  void SetCursor(int channel, int64_t timeMs);

  // Where things are drawn, and the other way round.
  int XOf(int64_t timeMs) const;
  int64_t TimeAt(int x) const;
  // The row's vertical middle; the channel of a y, or -1.
  int YOf(int channel) const;
  int ChannelAt(int y) const;
  QSize sizeHint() const override;

 signals:
  void Clicked(int channel, qint64 timeMs);
  void RangeChosen(qint64 fromMs, qint64 toMs);
  // The pointer rests over a recording's bar (at `global`); or left it.
  void Hovered(int channel, qint64 timeMs, const QString& path, QPoint global);
  void HoverLeft();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  const TimelineModel& model_;
  int64_t viewFrom_ = 0;
  int64_t viewTo_ = 0;
  int64_t rangeFrom_ = 0;
  int64_t rangeTo_ = 0;
  int rangeChannel_ = -1;
  int cursorChannel_ = -1;
  int64_t cursorMs_ = -1;
  // A press: where, and whether it became a pan or a range.
  enum class Drag { kNone, kPress, kPan, kRange } drag_ = Drag::kNone;
  QPoint pressAt_;
  int64_t pressFrom_ = 0;
  int64_t pressTime_ = 0;
};

}  // namespace zarvion::viewer
