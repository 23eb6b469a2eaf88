// The review window's player: one camera's recordings as one line of
// pictures, shown scaled to fit with the recording's wall-clock time over
// them; play and pause, a position to drag, a speed from ½× to 8×, a frame
// forward and back, and "抓图" of the picture shown.
//
// Every picture is decoded on a thread of the player's own; the GUI thread
// only asks and shows. Requests do not queue: the thread takes the latest
// one, so a drag over the position shows where the hand is, not where it
// was, and a picture asked for before the latest seek is never shown.
#pragma once

#include <cstdint>
#include <vector>

#include <QElapsedTimer>
#include <QImage>
#include <QPointer>
#include <QStringList>
#include <QWidget>

#include "export/recording_files.h"

class QComboBox;
class QLabel;
class QSlider;
class QThread;
class QTimer;
class QToolButton;

namespace zarvion::viewer {

class FrameWorker;

// The picture area: the frame scaled to fit, its time in a corner.
class PlayerScreen : public QWidget {
  Q_OBJECT
 public:
  explicit PlayerScreen(QWidget* parent = nullptr);
  void Show(const QImage& picture, const QString& caption);
  const QImage& Picture() const { return picture_; }
  QString Caption() const { return caption_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage picture_;
  QString caption_;
};

class ReviewPlayer : public QWidget {
  Q_OBJECT

 public:
  static constexpr double kSpeeds[] = {0.5, 1, 2, 4, 8};

  explicit ReviewPlayer(QWidget* parent = nullptr);
  ~ReviewPlayer() override;

  // Plays these files of one camera (any order); `channel` (0-based) names
  // its snapshots. False, with Error() saying why, when none can be read.
  // Files() gives them back as given.
  bool SetFiles(const QStringList& files, int channel);
  QStringList Files() const { return files_; }
  int Channel() const { return channel_; }
  QString Error() const { return error_; }
  // The recordings' first frame and after their last; 0 when empty.
  int64_t BeginMs() const { return beginMs_; }
  int64_t EndMs() const { return endMs_; }

  void SeekTo(int64_t timeMs);
  void Play();
  void Pause();
  void TogglePlay();
  bool Playing() const { return playing_; }
  void StepForward();
  void StepBack();
  // One of kSpeeds.
  void SetSpeed(double speed);
  double Speed() const { return speed_; }
  // Saves the picture shown as a snapshot in the snapshot folder (named by
  // the camera and the frame's time); its path, or empty when it failed.
  QString SaveSnapshot();
  // Where snapshots go; empty: the folder of the settings.
  void SetSnapshotFolder(const QString& folder) { snapshotFolder_ = folder; }

  // What is shown.
  bool HasFrame() const { return shownTime_ >= 0; }
  QImage Picture() const;
  int64_t FrameTimeMs() const { return shownTime_; }
  QString FrameFile() const { return shownFile_; }
  qint64 FrameIndex() const { return shownIndex_; }
  // Whether a request is still being decoded.
  bool Busy() const { return answered_ < requested_; }
  PlayerScreen* Screen() const { return screen_; }
  QSlider* Position() const { return position_; }
  QToolButton* PlayButton() const { return playButton_; }
  QComboBox* SpeedBox() const { return speedBox_; }

 signals:
  // A picture was shown, of this time.
  void FrameShown(qint64 timeMs);
  void SnapshotSaved(const QString& path);
  void PlayingChanged(bool playing);

 private:
  enum class Ask { kSeek, kNext, kPrevious };
  void Request(Ask ask, int64_t timeMs = 0);
  void Decoded(quint64 generation, int ask, const QImage& picture, qint64 timeMs,
               const QString& file, qint64 index, bool ok);
  void ShowNext();
  void UpdateButtons();

  QThread* thread_;
  FrameWorker* worker_;
  PlayerScreen* screen_;
  QSlider* position_;
  QToolButton* playButton_;
  QToolButton* backButton_;
  QToolButton* forwardButton_;
  QToolButton* snapshotButton_;
  QComboBox* speedBox_;
  QLabel* timeLabel_;
  QTimer* playTimer_;

  QStringList files_;
  int playable_ = 0;  // files with frames
  int channel_ = 0;
  QString error_;
  QString snapshotFolder_;
  int64_t beginMs_ = 0;
  int64_t endMs_ = 0;
  double speed_ = 1;
  bool playing_ = false;
  // Requests made, the latest seek among them, and the one whose picture is
  // shown: a picture older than the latest seek is dropped.
  quint64 generation_ = 0;
  quint64 seekGeneration_ = 0;
  quint64 shownGeneration_ = 0;
  // The latest request, and the latest the thread answered (one superseded
  // before the thread took it is never answered).
  quint64 requested_ = 0;
  quint64 answered_ = 0;
  int64_t shownTime_ = -1;
  QString shownFile_;
  qint64 shownIndex_ = -1;
  // Playing: the next picture, decoded ahead and shown when its time comes.
  QImage nextPicture_;
  int64_t nextTime_ = -1;
  QString nextFile_;
  qint64 nextIndex_ = -1;
  QElapsedTimer clock_;
  int64_t shownAt_ = 0;  // on clock_, when the picture shown was due
};

}  // namespace zarvion::viewer
