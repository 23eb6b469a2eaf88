// RecorderTab's motion: the cameras' settings handed to the control's
// detectors, the detectors polled, each event told as it begins and ends,
// kept as a row with its picture and file, marked on its pane, and the
// blocks changing now drawn over the enlarged picture on request.
#include <algorithm>

#include <QBuffer>
#include <QDateTime>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QRegion>
#include <QScreen>

#include "platform/log.h"
#include "video/renderer.h"
#include "view/draw_mode.h"
#include "viewer/motion_dialog.h"
#include "viewer/recorder_tab.h"
#include "window/control_window.h"

namespace zarvion::viewer {

namespace {

// Below the "● REC" mark, which sits in the same corner.
constexpr int kMotionMarkInset = 6;
constexpr int kMotionMarkTop = 30;

int64_t NowMs() {
  return QDateTime::currentMSecsSinceEpoch();
}

// The peak frame's grey picture as PNG; empty when there is none.
QByteArray ThumbnailPng(const MotionStatus& status) {
  if (status.thumbnail.size() != static_cast<size_t>(kMotionThumbWidth) * kMotionThumbHeight) {
    return {};
  }
  const QImage image(status.thumbnail.data(), kMotionThumbWidth, kMotionThumbHeight,
                     kMotionThumbWidth, QImage::Format_Grayscale8);
  QByteArray png;
  QBuffer out(&png);
  out.open(QIODevice::WriteOnly);
  if (!image.save(&out, "PNG")) return {};
  return png;
}

}  // namespace

QLabel* RecorderTab::MotionMark(int channel) const {
  if (channel < 0 || channel >= static_cast<int>(kMaxChannels)) return nullptr;
  return motionMarks_[static_cast<size_t>(channel)];
}

void RecorderTab::SetMotionEnabled(int channel, bool on) {
  if (channel < 0 || channel >= static_cast<int>(kMaxChannels)) return;
  CameraMotion motion = CameraMotionOf(channel);
  motion.enabled = on;
  SetCameraMotion(channel, motion);
}

bool RecorderTab::MotionEnabled(int channel) const {
  return channel >= 0 && channel < static_cast<int>(kMaxChannels) &&
         motion_[static_cast<size_t>(channel)].enabled;
}

const CameraMotion& RecorderTab::CameraMotionOf(int channel) const {
  static const CameraMotion kNone{};
  if (channel < 0 || channel >= static_cast<int>(kMaxChannels)) return kNone;
  return motion_[static_cast<size_t>(channel)];
}

void RecorderTab::SetCameraMotions(const CameraMotions& motion) {
  motion_ = motion;
  if (target_) target_->motion = motion_;
  ApplyMotionSettings();
  ApplyPreRoll();
  for (int c = 0; c < static_cast<int>(kMaxChannels); ++c) StopMotionRecordingIfOff(c);
}

void RecorderTab::SetCameraMotion(int channel, const CameraMotion& motion) {
  if (channel < 0 || channel >= static_cast<int>(kMaxChannels)) return;
  CameraMotion& kept = motion_[static_cast<size_t>(channel)];
  if (kept == motion) return;
  kept = motion;
  kept.sensitivity = std::clamp(kept.sensitivity, kMotionSensitivityMin, kMotionSensitivityMax);
  if (target_) target_->motion = motion_;
  if (control_) {
    control_->SetMotionEnabled(channel, kept.enabled);
    control_->SetMotionSensitivity(channel, kept.sensitivity);
    control_->SetMotionMask(channel, kept.mask);
  }
  ApplyPreRoll(channel);
  StopMotionRecordingIfOff(channel);
  emit MotionSettingsChanged(channel);
}

void RecorderTab::ApplyMotionSettings() {
  if (!control_) return;
  for (int c = 0; c < static_cast<int>(kMaxChannels); ++c) {
    const CameraMotion& m = motion_[static_cast<size_t>(c)];
    control_->SetMotionEnabled(c, m.enabled);
    control_->SetMotionSensitivity(c, m.sensitivity);
    control_->SetMotionMask(c, m.mask);
  }
}

QImage RecorderTab::PanePicture(int channel) const {
  if (channel < 0 || channel >= static_cast<int>(kMaxChannels)) return {};
  const uint32_t drawMode = control_ ? control_->Object().dwDrawMode.load() : kDefaultDrawMode;
  const View view = ClassifyDrawMode(drawMode);
  const bool shown =
      (view.kind == ViewKind::kSingle && drawMode == static_cast<uint32_t>(channel)) ||
      (view.kind == ViewKind::kGrid && channel < view.side * view.side);
  if (shown && state_ == State::kLive && window_ && window_->isVisible()) {
    const QRect pane = PaneInTab(drawMode, channel);
    const QRect inWindow(window_->mapFrom(this, pane.topLeft()), pane.size());
    QPixmap picture;
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
      // The X server stretches a single view itself: read back what shows.
      const QPoint at = window_->mapToGlobal(inWindow.topLeft());
      if (QScreen* screen = window_->screen()) {
        picture =
            screen->grabWindow(0, at.x() - screen->geometry().x(), at.y() - screen->geometry().y(),
                               inWindow.width(), inWindow.height());
      }
    } else {
      picture = window_->grab(inWindow);
    }
    if (!picture.isNull()) return picture.toImage();
  }
  const MotionStatus status = control_ ? control_->Motion(channel) : MotionStatus{};
  if (status.thumbnail.size() != static_cast<size_t>(kMotionThumbWidth) * kMotionThumbHeight) {
    return {};
  }
  return QImage(status.thumbnail.data(), kMotionThumbWidth, kMotionThumbHeight, kMotionThumbWidth,
                QImage::Format_Grayscale8)
      .copy();
}

MotionDialog* RecorderTab::ShowMotionDialog(int channel) {
  if (channel < 0 || channel >= static_cast<int>(kMaxChannels)) return nullptr;
  // One at a time: a second request replaces the first.
  if (motionDialog_) motionDialog_->close();
  motionDialog_ = new MotionDialog(window(), CameraName(channel), CameraMotionOf(channel),
                                   PanePicture(channel));
  motionDialog_->setAttribute(Qt::WA_DeleteOnClose);
  connect(motionDialog_, &QDialog::accepted, this, [this, channel, dialog = motionDialog_.data()] {
    SetCameraMotion(channel, dialog->Settings());
  });
  motionDialog_->open();
  return motionDialog_;
}

void RecorderTab::SetShowMotionBlocks(bool on) {
  showMotionBlocks_ = on;
  PlaceMotionBlocks();
}

void RecorderTab::PlaceMotionBlocks() {
  const uint32_t drawMode = control_ ? control_->Object().dwDrawMode.load() : kDefaultDrawMode;
  const View view = ClassifyDrawMode(drawMode);
  const bool single = view.kind == ViewKind::kSingle && drawMode < kMaxChannels;
  MotionMask blocks{};
  if (showMotionBlocks_ && single && state_ == State::kLive && control_) {
    blocks = control_->MotionBlocks(static_cast<int>(drawMode));
  }
  if (blocks == MotionMask{}) {
    shownBlocks_ = {};
    if (motionBlocks_) motionBlocks_->hide();
    return;
  }
  const QRect pane = PaneInTab(drawMode, static_cast<int>(drawMode));
  if (!motionBlocks_) {
    motionBlocks_ = new QWidget(this);
    motionBlocks_->setAutoFillBackground(true);
    QPalette palette = motionBlocks_->palette();
    palette.setColor(QPalette::Window, QColor(255, 140, 0));
    motionBlocks_->setPalette(palette);
    PassPointerThrough(motionBlocks_);
  }
  if (blocks != shownBlocks_ || pane != blocksPane_) {
    // Every other line of a changed block: the picture shows between them,
    // also where the video is a window of its own that nothing blends with.
    QRegion region;
    const auto edge = [](int i, int length) { return i * length / kMotionGrid; };
    for (int r = 0; r < kMotionGrid; ++r) {
      const uint16_t word = blocks[static_cast<size_t>(r)];
      for (int c = 0; c < kMotionGrid;) {
        if (!((word >> c) & 1u)) {
          ++c;
          continue;
        }
        int end = c;
        while (end < kMotionGrid && ((word >> end) & 1u)) ++end;
        const int x0 = edge(c, pane.width());
        const int x1 = edge(end, pane.width());
        const int y0 = edge(r, pane.height());
        const int y1 = edge(r + 1, pane.height());
        region += QRect(x0, y0, x1 - x0, 1);
        region += QRect(x0, y1 - 1, x1 - x0, 1);
        for (int y = y0 + 2; y < y1 - 1; y += 2) region += QRect(x0, y, x1 - x0, 1);
        c = end;
      }
    }
    motionBlocks_->setGeometry(pane);
    motionBlocks_->setMask(region);
    shownBlocks_ = blocks;
    blocksPane_ = pane;
  }
  motionBlocks_->show();
  motionBlocks_->raise();
  RaiseBanner();
}

void RecorderTab::WatchMotion(bool ended) {
  bool changed = false;
  for (int c = 0; c < static_cast<int>(kMaxChannels); ++c) {
    const size_t k = static_cast<size_t>(c);
    const bool was = motionActive_[k];
    if (ended || !control_) {
      if (was) {
        EndMotion(c, control_ ? control_->Motion(c) : MotionStatus{});
        changed = true;
      }
      continue;
    }
    const MotionStatus status = control_->Motion(c);
    if (!motionSynced_) {
      // A session begins: the control's count starts from here.
      motionChanges_[k] = status.changes;
      if (status.active) {
        BeginMotion(c);
        changed = true;
      }
      continue;
    }
    // Each start and each end counts one: two or more since the last poll
    // mean an event ended and another began (or one came and went) between.
    const uint32_t steps = status.changes - motionChanges_[k];
    motionChanges_[k] = status.changes;
    if (steps == 0 && status.active == was) continue;
    const bool missed = steps >= 2;
    if (was && (!status.active || missed)) EndMotion(c, status);
    if (!was && !status.active && missed) {
      BeginMotion(c);
      EndMotion(c, status);
    }
    if (status.active && (!was || missed)) BeginMotion(c);
    changed = true;
  }
  motionSynced_ = !ended && control_;
  if (changed) PlaceMotionMarks();
  PlaceMotionBlocks();
}

void RecorderTab::BeginMotion(int channel) {
  const size_t k = static_cast<size_t>(channel);
  motionActive_[k] = true;
  motionStartMs_[k] = NowMs();
  Log(LogCategory::kViewer, LogSeverity::kInfo, "%s: motion on channel %d",
      qUtf8Printable(Title()), channel + 1);
  emit MotionChanged(channel, true);
  // The event recording begins with the motion (or goes on in its post-roll).
  motionFiles_[k] = EventRecordingPath(channel);
  const uint32_t bit = 1u << channel;
  motionAlarmed_ &= ~bit;
  if (!CameraMotionOf(channel).alarm) return;
  // An alarm is told at once; its end completes the same row.
  motionAlarmed_ |= bit;
  Event event;
  event.recorder = Title();
  event.channel = channel;
  event.kind = EventKind::kMotionAlarm;
  event.timeMs = motionStartMs_[k];
  event.recording = motionFiles_[k];
  emit EventOccurred(event);
}

void RecorderTab::EndMotion(int channel, const MotionStatus& status) {
  const size_t k = static_cast<size_t>(channel);
  motionActive_[k] = false;
  Event event;
  event.recorder = Title();
  event.channel = channel;
  event.kind = (motionAlarmed_ >> channel) & 1u ? EventKind::kMotionAlarm : EventKind::kMotion;
  event.timeMs = motionStartMs_[k];
  event.recording = motionFiles_[k];
  event.endMs = std::max(NowMs(), motionStartMs_[k]);
  event.peakPermille = status.peakPermille;
  event.detail = tr("变化 %1%").arg((status.peakPermille + 5) / 10);
  event.thumbnail = ThumbnailPng(status);
  emit MotionChanged(channel, false);
  emit EventOccurred(event);
}

void RecorderTab::PlaceMotionMarks() {
  const uint32_t drawMode = control_ ? control_->Object().dwDrawMode.load() : kDefaultDrawMode;
  const View view = ClassifyDrawMode(drawMode);
  for (int c = 0; c < static_cast<int>(kMaxChannels); ++c) {
    QLabel*& mark = motionMarks_[static_cast<size_t>(c)];
    const bool shown =
        motionActive_[static_cast<size_t>(c)] && state_ == State::kLive &&
        ((view.kind == ViewKind::kSingle && drawMode == static_cast<uint32_t>(c)) ||
         (view.kind == ViewKind::kGrid && c < view.side * view.side));
    if (!shown) {
      if (mark) mark->hide();
      continue;
    }
    if (!mark) mark = NewMark(tr("● 移动"), "rgb(230, 120, 0)", "1px 6px");
    const QRect pane = PaneInTab(drawMode, c);
    const QSize hint = mark->sizeHint();
    mark->setGeometry(pane.x() + pane.width() - hint.width() - kMotionMarkInset,
                      pane.y() + kMotionMarkTop, hint.width(), hint.height());
    mark->show();
    mark->raise();
  }
  RaiseBanner();
}

}  // namespace zarvion::viewer
