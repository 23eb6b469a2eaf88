// A tab's recording and snapshots: what became of them, told as events; a
// recording interrupted by a lost session taken up again; the "● REC" mark;
// the free space of the folders they write to.
#include <sys/statvfs.h>

#include <algorithm>
#include <cstring>

#include <QDateTime>
#include <QFileInfo>
#include <QLabel>

#include "platform/log.h"
#include "video/renderer.h"
#include "viewer/recorder_tab.h"
#include "window/control_window.h"

namespace zarvion::viewer {
namespace {

using Clock = std::chrono::steady_clock;

// While recording, the record folder's free space is looked at this often.
constexpr auto kDiskCheckInterval = std::chrono::seconds(5);
// A recording to resume waits this long, once live, for its channel's
// first picture (a channel is enlarged only once it has sent one).
constexpr auto kResumeWithin = std::chrono::seconds(15);
constexpr int kRecordMarkInset = 6;

}  // namespace

QString FailureText(FileFailure failure, int error, bool snapshot) {
  switch (failure) {
    case FileFailure::kDiskFull:
      return RecorderTab::tr("磁盘已满");
    case FileFailure::kFolderUnwritable:
      return snapshot ? RecorderTab::tr("抓图文件夹无法写入")
                      : RecorderTab::tr("录像文件夹无法写入");
    case FileFailure::kSessionLost:
      return RecorderTab::tr("连接中断");
    case FileFailure::kNone:
    case FileFailure::kOther:
      break;
  }
  if (error != 0) return QString::fromLocal8Bit(std::strerror(error));
  return snapshot ? RecorderTab::tr("没有可保存的画面") : RecorderTab::tr("文件无法写入");
}

std::optional<bool> DiskSpaceLow(const QString& folder, uint64_t floor) {
  struct statvfs vfs {};
  if (::statvfs(QFile::encodeName(folder).constData(), &vfs) != 0) return std::nullopt;
  const uint64_t block = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
  const uint64_t size = uint64_t{vfs.f_blocks} * block;
  const uint64_t free = uint64_t{vfs.f_bavail} * block;
  return free < std::max(floor, size / 100 * kDiskLowPercent);
}

void RecorderTab::WatchSnapshots() {
  const SnapshotStatus shot = control_->LastSnapshot();
  if (shot.count == snapshotsSeen_) return;
  snapshotsSeen_ = shot.count;
  const QString path = QString::fromStdString(shot.path);
  const uint32_t drawMode = control_->Object().dwDrawMode.load();
  const int shown = IsChannelView(drawMode) ? static_cast<int>(drawMode) : kNoChannel;
  if (shot.saved) {
    emit Notice(tr("抓图已保存：%1").arg(path));
    Report(EventKind::kSnapshotSaved, shown, path);
    const int64_t named = RecordingCatalogue::StartOfName(path);
    emit SnapshotFileSaved(path, shown, named ? named : QDateTime::currentMSecsSinceEpoch());
  } else {
    emit Notice(tr("抓图未能保存：%1").arg(path));
    Report(EventKind::kSnapshotFailed, shown, FailureText(shot.failure, shot.error, true));
  }
  CheckDiskSpace(QFileInfo(path).absolutePath());
}

void RecorderTab::WatchRecording(Clock::time_point now) {
  const RecordingStatus r = control_->Recording();
  // A split changes the file, not the count: the part before is closed and
  // the recording goes on in the next. (A stop and a new start between two
  // polls look the same, and are the same to the catalogue.)
  if (recordingChannel_ >= 0 && !r.path.empty() && (r.Recording() || r.count != recordingsSeen_)) {
    const QString path = QString::fromStdString(r.path);
    if (path != recordingPath_) {
      emit RecordingFileEnded(recordingPath_);
      TellRecordingStarted(path, CatalogueKind::kManual, r.channel);
      recordingPath_ = path;
    }
  }
  if (r.count != recordingsSeen_) {
    const uint32_t changes = r.count - recordingsSeen_;
    recordingsSeen_ = r.count;
    const QString path = QString::fromStdString(r.path);
    const bool followed = recordingChannel_ >= 0;
    // A recording that began and ended between two polls is told whole,
    // unless it left no file (its first frame could not be written).
    const bool lost = r.failure == FileFailure::kSessionLost;
    if (!followed && !path.isEmpty() &&
        (r.Recording() || lost || (changes >= 2 && QFileInfo::exists(path)))) {
      Report(resumeStarted_ ? EventKind::kRecordingResumed : EventKind::kRecordingStarted,
             r.channel, path);
      TellRecordingStarted(path, CatalogueKind::kManual, r.channel);
      resumeStarted_ = false;
      resumeChannel_ = -1;
      diskCheckedAt_ = {};
    }
    using Outcome = RecordingStatus::Outcome;
    if (r.outcome == Outcome::kRecording) {
      recordingChannel_ = r.channel;
      recordingPath_ = path;  // a split goes on in a new file
    } else if (r.outcome == Outcome::kStopped) {
      if (followed || !path.isEmpty()) Report(EventKind::kRecordingStopped, r.channel, path);
      if (!path.isEmpty()) emit RecordingFileEnded(path);
      recordingChannel_ = -1;
      recordingPath_.clear();
    } else if (r.outcome == Outcome::kFailed) {
      // A start that failed leaves no file to name; what the operator
      // needs is why.
      Report(EventKind::kRecordingFailed, r.channel, FailureText(r.failure, r.error, false));
      // What was written before the failure stays a recording.
      if (followed) {
        emit RecordingFileEnded(recordingPath_);
      } else if (lost && !path.isEmpty()) {
        emit RecordingFileEnded(path);
      }
      if (r.failure == FileFailure::kDiskFull || r.failure == FileFailure::kFolderUnwritable) {
        diskCheckedAt_ = {};
      }
      // A lost session's recording goes on once live again; one that could
      // not be written would fail alike.
      resumeStarted_ = false;
      resumeChannel_ = lost ? r.channel : -1;
      recordingChannel_ = -1;
      recordingPath_.clear();
    }
    PlaceRecordMark();
  }
  if (recordingChannel_ >= 0 && now - diskCheckedAt_ >= kDiskCheckInterval) {
    diskCheckedAt_ = now;
    CheckDiskSpace(QFileInfo(recordingPath_).absolutePath());
  }
  TryResume(now);
}

void RecorderTab::TryResume(Clock::time_point now) {
  if (resumeChannel_ < 0 || state_ != State::kLive || recordingChannel_ >= 0) return;
  if (now - sessionStart_ > kResumeWithin) {
    Log(LogCategory::kViewer, LogSeverity::kWarning,
        "%s: channel %d sent no picture; its recording was not resumed", qUtf8Printable(Title()),
        resumeChannel_ + 1);
    Report(EventKind::kRecordingFailed, resumeChannel_, tr("通道无画面，录像未能恢复"));
    resumeChannel_ = -1;
    resumeStarted_ = false;
    return;
  }
  // The channel is enlarged once it has sent a picture; the recording then
  // starts as the record button starts it, into a file of its own.
  if (!window_->EnlargeChannel(resumeChannel_)) return;
  resumeStarted_ = true;
  static_cast<void>(window_->StartRecording());
}

void RecorderTab::EndRecordingWithControl(bool lost) {
  const int channel = recordingChannel_;
  if (channel >= 0 && !recordingPath_.isEmpty()) emit RecordingFileEnded(recordingPath_);
  if (lost) {
    // The operator did not stop it: it goes on once the recorder is back.
    if (channel >= 0) {
      Report(EventKind::kRecordingFailed, channel,
             FailureText(FileFailure::kSessionLost, 0, false));
      resumeChannel_ = channel;
    }
  } else {
    if (channel >= 0) Report(EventKind::kRecordingStopped, channel, recordingPath_);
    resumeChannel_ = -1;
  }
  resumeStarted_ = false;
  recordingChannel_ = -1;
  recordingPath_.clear();
  PlaceRecordMark();
}

void RecorderTab::TellRecordingStarted(const QString& path, CatalogueKind kind, int channel) {
  const int64_t named = RecordingCatalogue::StartOfName(path);
  emit RecordingFileStarted(path, kind, channel,
                            named ? named : QDateTime::currentMSecsSinceEpoch());
}

void RecorderTab::CheckDiskSpace(const QString& folder) {
  const std::optional<bool> low = DiskSpaceLow(folder, diskLowFloor_);
  if (!low) return;
  bool& wasLow = diskLow_[folder];
  if (*low && !wasLow) {
    Log(LogCategory::kViewer, LogSeverity::kWarning, "%s: little free space left",
        qUtf8Printable(folder));
    Report(EventKind::kDiskSpaceLow, kNoChannel, folder);
  }
  wasLow = *low;
}

void RecorderTab::PlaceRecordMark() {
  const uint32_t drawMode = control_ ? control_->Object().dwDrawMode.load() : kDefaultDrawMode;
  const View view = ClassifyDrawMode(drawMode);
  const int channel = recordingChannel_;
  // Only a channel shown alone records; a grid shows it in its pane all the
  // same, should the recorder switch the view under the recording.
  const bool shown =
      channel >= 0 && state_ == State::kLive &&
      ((view.kind == ViewKind::kSingle && drawMode == static_cast<uint32_t>(channel)) ||
       (view.kind == ViewKind::kGrid && channel < view.side * view.side));
  if (!shown) {
    if (recordMark_) recordMark_->hide();
    return;
  }
  if (!recordMark_) recordMark_ = NewMark(tr("● REC"), "rgb(200, 0, 0)", "1px 6px");
  // The top right corner of the pane: the caption is at its top left.
  const QRect pane = PaneInTab(drawMode, channel);
  const QSize hint = recordMark_->sizeHint();
  recordMark_->setGeometry(pane.x() + pane.width() - hint.width() - kRecordMarkInset,
                           pane.y() + kRecordMarkInset, hint.width(), hint.height());
  recordMark_->show();
  RaiseBanner();
}

}  // namespace zarvion::viewer
