// "录像回放": the viewer's own recordings by day and camera. A calendar
// (days with recordings in bold), the player, the day's timeline with a row
// per camera, and a strip of the day's snapshots. A click on the timeline
// plays that camera from there; a thumbnail shows while the pointer rests
// on a bar; a range chosen with Shift is exported with "导出…".
//
// What exists comes from the recordings' catalogue (any function giving
// its entries over a time span) and the event list.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <QDate>
#include <QHash>
#include <QImage>
#include <QWidget>

#include "viewer/recording_catalogue.h"
#include "viewer/review_timeline.h"

class QCalendarWidget;
class QLabel;
class QListWidget;
class QPushButton;
class QThread;
class QTimer;

namespace zarvion::viewer {

class EventStore;
class ReviewPlayer;
class ThumbnailWorker;

class ReviewWindow : public QWidget {
  Q_OBJECT

 public:
  // The catalogue's entries that overlap [fromMs, toMs).
  using EntrySource = std::function<std::vector<CatalogueEntry>(int64_t fromMs, int64_t toMs)>;
  // Exports a range: the recordings and snapshots in it.
  using ExportHandler = std::function<void(std::vector<CatalogueEntry> recordings, int64_t fromMs,
                                           int64_t toMs, std::vector<CatalogueEntry> snapshots)>;

  ReviewWindow(EntrySource entries, EventStore* events, QWidget* parent = nullptr);
  ~ReviewWindow() override;

  void SetExportHandler(ExportHandler handler);

  // Shows `day` (today when not valid).
  void ShowDay(QDate day);
  // Reads the day (and the calendar's month) again, soon: changes that come
  // together are read once.
  void Refresh();
  // The day of `timeMs`, the camera's recordings in the player from there.
  void OpenAt(int channel, int64_t timeMs);
  // Plays `channel`'s recordings of the day from `timeMs`.
  void PlayFrom(int channel, int64_t timeMs);
  void ChooseRange(int64_t fromMs, int64_t toMs);
  // Opens the export of the chosen range.
  void ExportRange();
  // Shows a snapshot's picture in the player's place.
  void ShowSnapshot(const QString& path);

  QDate Day() const { return model_.Day(); }
  const TimelineModel& Model() const { return model_; }
  TimelineView* Timeline() const { return timeline_; }
  ReviewPlayer* Player() const { return player_; }
  QCalendarWidget* Calendar() const { return calendar_; }
  QListWidget* Snapshots() const { return snapshots_; }
  QPushButton* ExportButton() const { return exportButton_; }
  // The camera the player plays; -1 for none.
  int Channel() const { return channel_; }
  // The thumbnail shown over the timeline (hidden when none).
  QLabel* Thumbnail() const { return thumbnail_; }

 private:
  void MarkMonth(int year, int month);
  void Hovered(int channel, qint64 timeMs, const QString& path, QPoint global);
  void ThumbnailReady(const QString& key, const QImage& picture);
  void UpdateExport();

  EntrySource entries_;
  EventStore* events_;
  ExportHandler exportHandler_;
  TimelineModel model_;
  QCalendarWidget* calendar_;
  ReviewPlayer* player_;
  TimelineView* timeline_;
  QListWidget* snapshots_;
  QLabel* rangeLabel_;
  QPushButton* exportButton_;
  QLabel* thumbnail_;
  QTimer* refreshTimer_;
  QThread* thumbnailThread_;
  ThumbnailWorker* thumbnailWorker_;
  // Decoded thumbnails by file and time (to the thumbnail step).
  QHash<QString, QImage> thumbnails_;
  QString wantedThumbnail_;
  QPoint thumbnailAt_;
  int channel_ = -1;
  QList<QDate> marked_;
};

}  // namespace zarvion::viewer
