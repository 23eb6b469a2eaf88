#include "viewer/review_player.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QSlider>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "export/recording_reader.h"
#include "settings/settings_store.h"

namespace zarvion::viewer {

namespace {

// Between two pictures further apart than this the recording had a gap:
// playing goes on after one frame's time instead of waiting it out.
constexpr int64_t kGapMs = 1000;
// The period played across a gap.
constexpr int64_t kGapStepMs = 40;
// Behind by more than this, playing stops trying to catch up.
constexpr int64_t kLateMs = 500;

QString TimeText(int64_t ms) {
  return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

}  // namespace

// Lives on the player's thread with the reader. Asks collapse: Work takes
// only the latest one set by Ask.
class FrameWorker : public QObject {
  Q_OBJECT

 public:
  struct Job {
    quint64 generation = 0;
    int ask = 0;
    qint64 timeMs = 0;
  };

  // From the GUI thread: the recordings to read next (replaces any ask).
  void Load(std::vector<recordings::Recording> plan) {
    std::lock_guard lock(mutex_);
    load_ = std::make_unique<std::vector<recordings::Recording>>(std::move(plan));
    job_.reset();
  }
  void Ask(const Job& job) {
    {
      std::lock_guard lock(mutex_);
      job_ = job;
    }
    QMetaObject::invokeMethod(this, &FrameWorker::Work, Qt::QueuedConnection);
  }

 signals:
  void Decoded(quint64 generation, int ask, const QImage& picture, qint64 timeMs,
               const QString& file, qint64 index, bool ok);

 private:
  void Work() {
    std::optional<Job> job;
    {
      std::lock_guard lock(mutex_);
      if (load_) {
        reader_ = std::make_unique<recordings::RecordingReader>(std::move(*load_));
        load_.reset();
      }
      job.swap(job_);
    }
    if (!job) return;  // taken by an earlier call
    recordings::ReadFrame frame;
    std::string error;
    bool ok = false;
    if (reader_) {
      switch (job->ask) {
        case 0:
          ok = reader_->Seek(job->timeMs, &frame, &error);
          break;
        case 1:
          ok = reader_->Next(&frame, &error);
          break;
        default:
          ok = reader_->Previous(&frame, &error);
          break;
      }
    }
    QImage picture;
    QString file;
    if (ok) {
      picture = QImage(frame.width, frame.height, QImage::Format_RGB32);
      for (int y = 0; y < frame.height; ++y) {
        std::memcpy(picture.scanLine(y), frame.pixels.data() + static_cast<size_t>(y) * frame.width * 4,
                    static_cast<size_t>(frame.width) * 4);
      }
      file = QString::fromStdString(reader_->Recordings()[frame.recording].path);
    }
    emit Decoded(job->generation, job->ask, picture, frame.time, file,
                 static_cast<qint64>(frame.index), ok);
  }

  std::mutex mutex_;
  std::unique_ptr<std::vector<recordings::Recording>> load_;
  std::optional<Job> job_;
  std::unique_ptr<recordings::RecordingReader> reader_;
};

PlayerScreen::PlayerScreen(QWidget* parent) : QWidget(parent) {
  setMinimumSize(176, 144);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void PlayerScreen::Show(const QImage& picture, const QString& caption) {
  picture_ = picture;
  caption_ = caption;
  update();
}

void PlayerScreen::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), Qt::black);
  if (picture_.isNull()) return;
  const QSize size = picture_.size().scaled(this->size(), Qt::KeepAspectRatio);
  const QRect target(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
  p.setRenderHint(QPainter::SmoothPixmapTransform);
  p.drawImage(target, picture_);
  if (caption_.isEmpty()) return;
  QFont font = p.font();
  font.setPixelSize(std::max(12, target.height() / 20));
  font.setBold(true);
  p.setFont(font);
  const QRect text = target.adjusted(8, 6, -8, -6);
  // Dark under light, readable on any picture.
  p.setPen(Qt::black);
  p.drawText(text.translated(1, 1), Qt::AlignTop | Qt::AlignRight, caption_);
  p.setPen(Qt::white);
  p.drawText(text, Qt::AlignTop | Qt::AlignRight, caption_);
}

ReviewPlayer::ReviewPlayer(QWidget* parent)
    : QWidget(parent),
      thread_(new QThread(this)),
      worker_(new FrameWorker),
      screen_(new PlayerScreen(this)),
      position_(new QSlider(Qt::Horizontal, this)),
      playButton_(new QToolButton(this)),
      backButton_(new QToolButton(this)),
      forwardButton_(new QToolButton(this)),
      snapshotButton_(new QToolButton(this)),
      speedBox_(new QComboBox(this)),
      timeLabel_(new QLabel(this)),
      playTimer_(new QTimer(this)) {
  worker_->moveToThread(thread_);
  connect(thread_, &QThread::finished, worker_, &QObject::deleteLater);
  connect(worker_, &FrameWorker::Decoded, this, &ReviewPlayer::Decoded);
  thread_->setObjectName(QStringLiteral("review-decode"));
  thread_->start();

  playTimer_->setSingleShot(true);
  connect(playTimer_, &QTimer::timeout, this, &ReviewPlayer::ShowNext);

  backButton_->setText(QStringLiteral("◀|"));
  backButton_->setToolTip(tr("上一帧"));
  forwardButton_->setText(QStringLiteral("|▶"));
  forwardButton_->setToolTip(tr("下一帧"));
  snapshotButton_->setText(tr("抓图"));
  for (double s : kSpeeds) {
    speedBox_->addItem(s == 0.5 ? QStringLiteral("½×") : QStringLiteral("%1×").arg(s), s);
  }
  speedBox_->setCurrentIndex(1);
  speedBox_->setToolTip(tr("播放速度"));
  position_->setRange(0, 0);
  position_->setToolTip(tr("拖动定位"));
  connect(playButton_, &QToolButton::clicked, this, &ReviewPlayer::TogglePlay);
  connect(backButton_, &QToolButton::clicked, this, &ReviewPlayer::StepBack);
  connect(forwardButton_, &QToolButton::clicked, this, &ReviewPlayer::StepForward);
  connect(snapshotButton_, &QToolButton::clicked, this, [this] { SaveSnapshot(); });
  connect(speedBox_, &QComboBox::currentIndexChanged, this,
          [this](int i) { SetSpeed(speedBox_->itemData(i).toDouble()); });
  // The position is in seconds from the first frame: a drag asks for each
  // place it passes, the thread decodes the latest.
  connect(position_, &QSlider::sliderMoved, this,
          [this](int s) { SeekTo(beginMs_ + int64_t{s} * 1000); });
  connect(position_, &QSlider::actionTriggered, this, [this](int action) {
    if (action != QAbstractSlider::SliderMove) {
      QTimer::singleShot(0, this, [this] { SeekTo(beginMs_ + int64_t{position_->value()} * 1000); });
    }
  });

  auto* controls = new QHBoxLayout;
  controls->addWidget(playButton_);
  controls->addWidget(backButton_);
  controls->addWidget(forwardButton_);
  controls->addWidget(position_, 1);
  controls->addWidget(timeLabel_);
  controls->addWidget(speedBox_);
  controls->addWidget(snapshotButton_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(screen_, 1);
  layout->addLayout(controls);
  UpdateButtons();
}

ReviewPlayer::~ReviewPlayer() {
  thread_->quit();
  thread_->wait();
}

bool ReviewPlayer::SetFiles(const QStringList& files, int channel) {
  Pause();
  std::vector<std::string> paths;
  for (const QString& f : files) paths.push_back(f.toStdString());
  std::vector<recordings::Recording> plan;
  std::string error;
  files_ = files;
  playable_ = 0;
  channel_ = channel;
  error_.clear();
  beginMs_ = endMs_ = 0;
  bool ok = true;
  if (!paths.empty() && !recordings::PlanRecordings(paths, &plan, &error)) {
    // One bad file keeps the rest: each that reads is planned alone.
    plan.clear();
    for (const std::string& p : paths) {
      std::vector<recordings::Recording> one;
      std::string why;
      if (recordings::PlanRecordings({p}, &one, &why)) {
        plan.insert(plan.end(), one.begin(), one.end());
      } else {
        error_ = QString::fromStdString(why);
      }
    }
    ok = !plan.empty();
  }
  for (const recordings::Recording& r : plan) {
    if (r.frames == 0) continue;
    beginMs_ = ++playable_ == 1 ? r.FrameTime(0) : std::min(beginMs_, r.FrameTime(0));
    endMs_ = std::max(endMs_, r.FrameTime(r.frames));
  }
  worker_->Load(std::move(plan));
  ++generation_;
  seekGeneration_ = generation_;
  requested_ = answered_ = generation_;
  shownTime_ = -1;
  shownFile_.clear();
  shownIndex_ = -1;
  nextTime_ = -1;
  screen_->Show({}, {});
  position_->setRange(0, static_cast<int>(std::max<int64_t>(0, (endMs_ - beginMs_) / 1000)));
  timeLabel_->clear();
  UpdateButtons();
  return ok;
}

QImage ReviewPlayer::Picture() const { return screen_->Picture(); }

void ReviewPlayer::Request(Ask ask, int64_t timeMs) {
  if (playable_ == 0) return;
  ++generation_;
  if (ask != Ask::kNext || !playing_) seekGeneration_ = generation_;
  requested_ = generation_;
  worker_->Ask(FrameWorker::Job{generation_, static_cast<int>(ask), timeMs});
}

void ReviewPlayer::SeekTo(int64_t timeMs) {
  nextTime_ = -1;
  playTimer_->stop();
  Request(Ask::kSeek, timeMs);
}

void ReviewPlayer::Play() {
  if (playing_ || playable_ == 0) return;
  playing_ = true;
  clock_.start();
  shownAt_ = 0;
  // A seek on its way starts the play where it lands.
  if (!Busy()) {
    Request(HasFrame() ? Ask::kNext : Ask::kSeek, beginMs_);
  }
  UpdateButtons();
  emit PlayingChanged(true);
}

void ReviewPlayer::Pause() {
  if (!playing_) return;
  playing_ = false;
  playTimer_->stop();
  nextTime_ = -1;
  // A picture decoded ahead is not shown.
  seekGeneration_ = ++generation_;
  UpdateButtons();
  emit PlayingChanged(false);
}

void ReviewPlayer::TogglePlay() { playing_ ? Pause() : Play(); }

void ReviewPlayer::StepForward() {
  Pause();
  Request(Ask::kNext);
}

void ReviewPlayer::StepBack() {
  Pause();
  Request(Ask::kPrevious);
}

void ReviewPlayer::SetSpeed(double speed) {
  if (speed <= 0) return;
  speed_ = speed;
  const int i = speedBox_->findData(speed);
  if (i >= 0 && i != speedBox_->currentIndex()) speedBox_->setCurrentIndex(i);
  // The next picture keeps its place; those after come at the new pace.
  if (playing_) {
    clock_.start();
    shownAt_ = 0;
  }
}

void ReviewPlayer::Decoded(quint64 generation, int ask, const QImage& picture, qint64 timeMs,
                           const QString& file, qint64 index, bool ok) {
  answered_ = std::max(answered_, generation);
  // Older than what is shown, or asked for before the latest seek (a seek
  // passed on a drag is shown if nothing newer is yet).
  if (generation <= shownGeneration_) return;
  if (generation < seekGeneration_ && ask != static_cast<int>(Ask::kSeek)) return;
  if (!ok) {
    if (playing_ && ask == static_cast<int>(Ask::kNext)) Pause();  // the end
    return;
  }
  shownGeneration_ = generation;
  if (playing_ && ask == static_cast<int>(Ask::kNext) && shownTime_ >= 0) {
    // Shown when its time comes after the picture before, at the speed
    // chosen; a gap in the recordings is passed over.
    int64_t step = timeMs - shownTime_;
    if (step <= 0 || step > kGapMs) step = kGapStepMs;
    int64_t due = shownAt_ + static_cast<int64_t>(static_cast<double>(step) / speed_);
    const int64_t now = clock_.elapsed();
    if (due < now - kLateMs) due = now;
    nextPicture_ = picture;
    nextTime_ = timeMs;
    nextFile_ = file;
    nextIndex_ = index;
    shownAt_ = due;
    playTimer_->start(static_cast<int>(std::max<int64_t>(0, due - now)));
    return;
  }
  nextPicture_ = picture;
  nextTime_ = timeMs;
  nextFile_ = file;
  nextIndex_ = index;
  shownAt_ = clock_.isValid() ? clock_.elapsed() : 0;
  ShowNext();
}

void ReviewPlayer::ShowNext() {
  if (nextTime_ < 0) return;
  shownTime_ = nextTime_;
  shownFile_ = nextFile_;
  shownIndex_ = nextIndex_;
  screen_->Show(nextPicture_, TimeText(shownTime_));
  nextPicture_ = {};
  nextTime_ = -1;
  if (!position_->isSliderDown()) {
    position_->setValue(static_cast<int>((shownTime_ - beginMs_) / 1000));
  }
  timeLabel_->setText(QDateTime::fromMSecsSinceEpoch(shownTime_).toString(QStringLiteral("HH:mm:ss")));
  UpdateButtons();
  emit FrameShown(shownTime_);
  if (playing_) Request(Ask::kNext);
}

QString ReviewPlayer::SaveSnapshot() {
  const QImage picture = Picture();
  if (picture.isNull() || shownTime_ < 0) return {};
  QString folder = snapshotFolder_;
  if (folder.isEmpty()) {
    folder = QString::fromStdString(SettingsStore::ReadFolderSetting(kCapDir));
  }
  if (folder.isEmpty() || !QDir().mkpath(folder)) return {};
  const QDateTime t = QDateTime::fromMSecsSinceEpoch(shownTime_);
  // Named as the live snapshots are, by the camera and the frame's time, so
  // it lies on the timeline where the picture was recorded.
  const QString name = QStringLiteral("CH%1_%2.bmp")
                           .arg(channel_ + 1, 2, 10, QLatin1Char('0'))
                           .arg(t.toString(QStringLiteral("yyyy_MM_dd_HH_mm_ss_zzz")));
  const QString path = QDir(folder).filePath(name);
  if (QFileInfo::exists(path) || !picture.save(path, "BMP")) return {};
  emit SnapshotSaved(path);
  return path;
}

void ReviewPlayer::UpdateButtons() {
  const bool any = playable_ > 0;
  playButton_->setText(playing_ ? tr("暂停") : tr("播放"));
  playButton_->setEnabled(any);
  backButton_->setEnabled(any);
  forwardButton_->setEnabled(any);
  position_->setEnabled(any);
  snapshotButton_->setEnabled(HasFrame());
}

}  // namespace zarvion::viewer

#include "review_player.moc"
