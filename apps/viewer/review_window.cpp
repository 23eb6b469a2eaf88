#include "viewer/review_window.h"

#include <limits>
#include <memory>
#include <mutex>
#include <optional>

#include <QCalendarWidget>
#include <QDateTime>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScrollArea>
#include <QTextCharFormat>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include "export/recording_reader.h"
#include "viewer/event_log.h"
#include "viewer/plain_tool_tip.h"
#include "viewer/review_player.h"

namespace zarvion::viewer {

namespace {

// A bar's thumbnails are decoded at most this often along it.
constexpr int64_t kThumbnailStepMs = 10000;
constexpr int kThumbnailWidth = 176;
constexpr int kMaxThumbnails = 400;
constexpr int kSnapshotIcon = 96;

QString ThumbnailKey(const QString& path, int64_t timeMs) {
  return path + QLatin1Char('@') + QString::number(timeMs / kThumbnailStepMs);
}

}  // namespace

// Decodes the pictures under the pointer on a thread of its own; only the
// latest asked for is decoded.
class ThumbnailWorker : public QObject {
  Q_OBJECT

 public:
  void Ask(const QString& key, const QString& path, int64_t timeMs) {
    {
      std::lock_guard lock(mutex_);
      job_ = Job{key, path, timeMs};
    }
    QMetaObject::invokeMethod(this, &ThumbnailWorker::Work, Qt::QueuedConnection);
  }

 signals:
  void Ready(const QString& key, const QImage& picture);

 private:
  struct Job {
    QString key;
    QString path;
    int64_t timeMs = 0;
  };
  void Work() {
    std::optional<Job> job;
    {
      std::lock_guard lock(mutex_);
      job.swap(job_);
    }
    if (!job) return;
    if (path_ != job->path) {
      reader_.reset();
      path_ = job->path;
      std::vector<recordings::Recording> plan;
      std::string error;
      if (recordings::PlanRecordings({path_.toStdString()}, &plan, &error)) {
        reader_ = std::make_unique<recordings::RecordingReader>(std::move(plan));
      }
    }
    QImage picture;
    recordings::ReadFrame frame;
    std::string error;
    if (reader_ && reader_->Seek(job->timeMs, &frame, &error)) {
      const QImage full(frame.pixels.data(), frame.width, frame.height, frame.width * 4,
                        QImage::Format_RGB32);
      picture = full.scaledToWidth(kThumbnailWidth, Qt::SmoothTransformation);
    }
    emit Ready(job->key, picture);
  }

  std::mutex mutex_;
  std::optional<Job> job_;
  QString path_;
  std::unique_ptr<recordings::RecordingReader> reader_;
};

ReviewWindow::ReviewWindow(EntrySource entries, EventStore* events, QWidget* parent)
    : QWidget(parent, Qt::Window),
      entries_(std::move(entries)),
      events_(events),
      calendar_(new QCalendarWidget(this)),
      player_(new ReviewPlayer(this)),
      timeline_(new TimelineView(model_, this)),
      snapshots_(new QListWidget(this)),
      rangeLabel_(new QLabel(this)),
      exportButton_(new QPushButton(tr("导出…"), this)),
      thumbnail_(new QLabel(this, Qt::ToolTip)),
      refreshTimer_(new QTimer(this)),
      thumbnailThread_(new QThread(this)),
      thumbnailWorker_(new ThumbnailWorker) {
  setWindowTitle(tr("录像回放"));
  setObjectName(QStringLiteral("ReviewWindow"));
  resize(1100, 760);

  thumbnailWorker_->moveToThread(thumbnailThread_);
  connect(thumbnailThread_, &QThread::finished, thumbnailWorker_, &QObject::deleteLater);
  connect(thumbnailWorker_, &ThumbnailWorker::Ready, this, &ReviewWindow::ThumbnailReady);
  thumbnailThread_->setObjectName(QStringLiteral("review-thumbs"));
  thumbnailThread_->start();
  thumbnail_->hide();
  refreshTimer_->setSingleShot(true);
  refreshTimer_->setInterval(300);
  connect(refreshTimer_, &QTimer::timeout, this, [this] { ShowDay(model_.Day()); });

  calendar_->setGridVisible(true);
  calendar_->setMaximumWidth(300);
  connect(calendar_, &QCalendarWidget::clicked, this, &ReviewWindow::ShowDay);
  connect(calendar_, &QCalendarWidget::activated, this, &ReviewWindow::ShowDay);
  connect(calendar_, &QCalendarWidget::currentPageChanged, this, &ReviewWindow::MarkMonth);

  snapshots_->setViewMode(QListView::IconMode);
  snapshots_->setFlow(QListView::LeftToRight);
  snapshots_->setWrapping(false);
  snapshots_->setIconSize(QSize(kSnapshotIcon, kSnapshotIcon * 3 / 4));
  snapshots_->setFixedHeight(kSnapshotIcon + 30);
  snapshots_->setMovement(QListView::Static);
  snapshots_->setToolTip(tr("当天的抓图"));
  connect(snapshots_, &QListWidget::itemClicked, this,
          [this](QListWidgetItem* item) { ShowSnapshot(item->data(Qt::UserRole).toString()); });

  connect(timeline_, &TimelineView::Clicked, this, &ReviewWindow::PlayFrom);
  connect(timeline_, &TimelineView::RangeChosen, this, [this] { UpdateExport(); });
  connect(timeline_, &TimelineView::Hovered, this, &ReviewWindow::Hovered);
  connect(timeline_, &TimelineView::HoverLeft, this, [this] {
    wantedThumbnail_.clear();
    thumbnail_->hide();
  });
  connect(player_, &ReviewPlayer::FrameShown, this,
          [this](qint64 t) { timeline_->SetCursor(channel_, t); });
  connect(exportButton_, &QPushButton::clicked, this, &ReviewWindow::ExportRange);
  rangeLabel_->setText(tr("按住 Shift 在时间轴上拖动以选择导出范围"));

  auto* top = new QHBoxLayout;
  auto* left = new QVBoxLayout;
  left->addWidget(calendar_);
  left->addStretch(1);
  top->addLayout(left);
  top->addWidget(player_, 1);
  auto* rangeRow = new QHBoxLayout;
  rangeRow->addWidget(rangeLabel_, 1);
  rangeRow->addWidget(exportButton_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top, 1);
  // Many cameras scroll: the player keeps its room.
  auto* rows = new QScrollArea(this);
  rows->setWidget(timeline_);
  rows->setWidgetResizable(true);
  rows->setFrameShape(QFrame::NoFrame);
  rows->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  rows->setMaximumHeight(TimelineView::kRulerHeight + TimelineView::kRowHeight * 13 / 2 + 2);
  layout->addWidget(rows);
  layout->addLayout(rangeRow);
  layout->addWidget(snapshots_);
  UpdateExport();
  ShowDay(QDate::currentDate());
}

ReviewWindow::~ReviewWindow() {
  thumbnailThread_->quit();
  thumbnailThread_->wait();
}

void ReviewWindow::SetExportHandler(ExportHandler handler) {
  exportHandler_ = std::move(handler);
  UpdateExport();
}

void ReviewWindow::ShowDay(QDate day) {
  if (!day.isValid()) day = QDate::currentDate();
  const bool sameDay = day == model_.Day();
  const int64_t viewFrom = timeline_->ViewFromMs(), viewTo = timeline_->ViewToMs();
  const int64_t rangeFrom = timeline_->RangeFromMs(), rangeTo = timeline_->RangeToMs();
  const int rangeChannel = timeline_->RangeChannel();
  const int64_t from = day.startOfDay().toMSecsSinceEpoch();
  const int64_t to = day.addDays(1).startOfDay().toMSecsSinceEpoch();
  QList<Event> events;
  if (events_) {
    EventFilter filter;
    filter.fromMs = from;
    filter.toMs = to;
    filter.limit = 100000;
    events = events_->Query(filter);
  }
  model_.Set(day, entries_ ? entries_(from, to) : std::vector<CatalogueEntry>{}, events);
  timeline_->Reset();
  if (sameDay) {
    timeline_->SetView(viewFrom, viewTo);
    timeline_->SetRange(rangeFrom, rangeTo, rangeChannel);
  }
  if (calendar_->selectedDate() != day) calendar_->setSelectedDate(day);
  MarkMonth(calendar_->yearShown(), calendar_->monthShown());

  snapshots_->clear();
  for (const TimelineItem& i : model_.Items()) {
    if (i.kind != TimelineKind::kSnapshot) continue;
    QImageReader reader(i.path);
    const QSize size = reader.size();
    if (size.isValid()) reader.setScaledSize(size.scaled(snapshots_->iconSize(), Qt::KeepAspectRatio));
    auto* item = new QListWidgetItem(
        QIcon(QPixmap::fromImage(reader.read())),
        QStringLiteral("CH %1 %2").arg(i.channel + 1).arg(
            QDateTime::fromMSecsSinceEpoch(i.fromMs).toString(QStringLiteral("HH:mm:ss"))),
        snapshots_);
    item->setData(Qt::UserRole, i.path);
    item->setToolTip(PlainToolTip(i.path));
  }

  // The camera played stays when it has recordings that day; else the
  // first that has any, from its first recording.
  const QStringList files = model_.Files(channel_);
  if (channel_ >= 0 && files == player_->Files()) {
    UpdateExport();
    return;
  }
  int channel = files.isEmpty() ? -1 : channel_;
  for (size_t i = 0; channel < 0 && i < model_.Channels().size(); ++i) {
    if (!model_.Files(model_.Channels()[i]).isEmpty()) channel = model_.Channels()[i];
  }
  if (channel < 0) {
    channel_ = -1;
    player_->SetFiles({}, 0);
  } else {
    const int64_t keep = player_->HasFrame() && player_->Channel() == channel ? player_->FrameTimeMs() : -1;
    int64_t start = keep;
    if (start < from || start >= to) {
      for (const TimelineItem& i : model_.ItemsOf(channel)) {
        if (i.kind == TimelineKind::kManual || i.kind == TimelineKind::kEvent) {
          start = i.fromMs;
          break;
        }
      }
    }
    PlayFrom(channel, start);
  }
  UpdateExport();
}

void ReviewWindow::Refresh() { refreshTimer_->start(); }

void ReviewWindow::MarkMonth(int year, int month) {
  for (const QDate& d : marked_) calendar_->setDateTextFormat(d, QTextCharFormat());
  marked_.clear();
  if (!entries_) return;
  const QDate first(year, month, 1);
  const int64_t from = first.startOfDay().toMSecsSinceEpoch();
  const int64_t to = first.addMonths(1).startOfDay().toMSecsSinceEpoch();
  QTextCharFormat bold;
  bold.setFontWeight(QFont::Bold);
  bold.setForeground(QColor(40, 90, 170));
  for (const CatalogueEntry& e : entries_(from, to)) {
    if (e.kind == CatalogueKind::kSnapshot) continue;
    // Every day a recording covers.
    QDate d = QDateTime::fromMSecsSinceEpoch(std::max(e.startMs, from)).date();
    const QDate last = QDateTime::fromMSecsSinceEpoch(std::max(e.startMs, std::min(e.endMs, to) - 1)).date();
    for (; d.isValid() && d <= last; d = d.addDays(1)) {
      if (marked_.contains(d)) continue;
      marked_ << d;
      calendar_->setDateTextFormat(d, bold);
    }
  }
}

void ReviewWindow::OpenAt(int channel, int64_t timeMs) {
  const QDate day = QDateTime::fromMSecsSinceEpoch(timeMs).date();
  if (day != model_.Day()) {
    channel_ = channel;  // kept by ShowDay when it has recordings
    ShowDay(day);
  }
  PlayFrom(channel, timeMs);
  timeline_->SetView(timeMs - 30 * 60 * 1000, timeMs + 30 * 60 * 1000);
  show();
  raise();
  activateWindow();
}

void ReviewWindow::PlayFrom(int channel, int64_t timeMs) {
  const QStringList files = model_.Files(channel);
  const bool playing = player_->Playing();
  const bool reload = channel != channel_ || files != player_->Files();
  if (reload) player_->SetFiles(files, channel);
  channel_ = channel;
  timeline_->SetCursor(channel, timeMs);
  if (files.isEmpty()) return;
  player_->SeekTo(timeMs);
  // A recording that began or ended meanwhile does not stop the play.
  if (reload && playing) player_->Play();
}

void ReviewWindow::ChooseRange(int64_t fromMs, int64_t toMs) {
  timeline_->SetRange(fromMs, toMs, channel_);
  UpdateExport();
}

void ReviewWindow::UpdateExport() {
  const int64_t from = timeline_->RangeFromMs(), to = timeline_->RangeToMs();
  const int channel = timeline_->RangeChannel() >= 0 ? timeline_->RangeChannel() : channel_;
  bool any = false;
  for (const CatalogueEntry& e : model_.RecordingsIn(from, to)) any = any || e.channel == channel;
  exportButton_->setEnabled(exportHandler_ && to > from && any);
  exportButton_->setVisible(static_cast<bool>(exportHandler_));
  if (to > from) {
    rangeLabel_->setText(tr("CH %1：%2 – %3")
                             .arg(channel + 1)
                             .arg(QDateTime::fromMSecsSinceEpoch(from).toString(QStringLiteral("HH:mm:ss")))
                             .arg(QDateTime::fromMSecsSinceEpoch(to).toString(QStringLiteral("HH:mm:ss"))));
  }
}

void ReviewWindow::ExportRange() {
  const int64_t from = timeline_->RangeFromMs(), to = timeline_->RangeToMs();
  if (!exportHandler_ || to <= from) return;
  const int channel = timeline_->RangeChannel() >= 0 ? timeline_->RangeChannel() : channel_;
  std::vector<CatalogueEntry> recordings, snapshots;
  // A camera may record on the button and on motion at once: a recording
  // that another already holds from start to end is not exported twice.
  int64_t covered = std::numeric_limits<int64_t>::min();
  for (CatalogueEntry& e : model_.RecordingsIn(from, to)) {
    if (e.channel != channel || e.endMs <= covered) continue;
    covered = e.endMs;
    recordings.push_back(std::move(e));
  }
  for (CatalogueEntry& e : model_.SnapshotsIn(from, to)) {
    if (e.channel == channel) snapshots.push_back(std::move(e));
  }
  if (recordings.empty()) return;
  player_->Pause();
  exportHandler_(std::move(recordings), from, to, std::move(snapshots));
}

void ReviewWindow::ShowSnapshot(const QString& path) {
  const QImage picture(path);
  if (picture.isNull()) return;
  player_->Pause();
  const TimelineItem* item = nullptr;
  for (const TimelineItem& i : model_.Items()) {
    if (i.kind == TimelineKind::kSnapshot && i.path == path) item = &i;
  }
  player_->Screen()->Show(
      picture, item ? QDateTime::fromMSecsSinceEpoch(item->fromMs)
                          .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")) + QStringLiteral("  ") + tr("抓图")
                    : QFileInfo(path).fileName());
}

void ReviewWindow::Hovered(int, qint64 timeMs, const QString& path, QPoint global) {
  const QString key = ThumbnailKey(path, timeMs);
  thumbnailAt_ = global + QPoint(12, 16);
  wantedThumbnail_ = key;
  const auto it = thumbnails_.constFind(key);
  if (it != thumbnails_.constEnd()) {
    ThumbnailReady(key, *it);
    return;
  }
  thumbnailWorker_->Ask(key, path, timeMs / kThumbnailStepMs * kThumbnailStepMs);
}

void ReviewWindow::ThumbnailReady(const QString& key, const QImage& picture) {
  if (!picture.isNull() && !thumbnails_.contains(key)) {
    if (thumbnails_.size() >= kMaxThumbnails) thumbnails_.clear();
    thumbnails_.insert(key, picture);
  }
  if (key != wantedThumbnail_ || picture.isNull()) return;
  thumbnail_->setPixmap(QPixmap::fromImage(picture));
  thumbnail_->adjustSize();
  thumbnail_->move(thumbnailAt_);
  thumbnail_->show();
}

}  // namespace zarvion::viewer

#include "review_window.moc"
